// The transform filter: one input pin, one output pin, and for every input sample an output
// sample from the downstream allocator that the derived class fills in Transform.
//
// Locks (see lock.h for the order): m_csFilter is the filter (state) lock shared with both pins;
// m_csReceive is the streaming lock, held by the input pin over Receive and EndOfStream. Stop
// takes the state lock, leaves the active state on the input side (its allocator decommitted,
// so the upstream thread cannot get new buffers), then takes the streaming lock (the Receive in
// progress has returned) and only then calls StopStreaming. Pause from the stopped state calls
// StartStreaming under both locks.
//
// Transform results: S_OK delivers the output sample; S_FALSE skips it (the input sample still
// counts as received: Receive returns S_OK), marks the next delivered sample as a
// discontinuity and sends the graph one EC_QUALITY_CHANGE per run; a failure is returned from
// Receive.
#pragma once

#include "filters/base/filter.h"
#include "filters/base/pin.h"

class CTransformFilter;

// Gives `out` the properties of the input sample described by `props` (as CBaseInputPin::Receive
// recorded them): times, media times (from `in`), sync point, preroll, discontinuity (also when
// `discontinuity` asks for it), type-specific flags and stream id. The buffer's data, length and
// attached type are left alone.
HRESULT CopySampleProperties(IMediaSample* in, const AM_SAMPLE2_PROPERTIES& props, bool discontinuity,
                             IMediaSample* out);

class CTransformInputPin : public CBaseInputPin {
 public:
  CTransformInputPin(const wchar_t* objectName, CTransformFilter* filter, HRESULT* phr,
                     const wchar_t* pinName);

  // IMemInputPin
  STDMETHODIMP Receive(IMediaSample* sample) override;

  // IPin
  STDMETHODIMP EndOfStream() override;
  STDMETHODIMP BeginFlush() override;
  STDMETHODIMP EndFlush() override;
  STDMETHODIMP NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) override;

  HRESULT CheckConnect(IPin* pin) override;
  HRESULT BreakConnect() override;
  HRESULT CompleteConnect(IPin* receivePin) override;
  // The filter's CheckInputType, and CheckTransform against the output type when the output is
  // connected.
  HRESULT CheckMediaType(const CMediaType* type) override;
  HRESULT SetMediaType(const CMediaType* type) override;

  // The agreed allocator (no reference added; null while not agreed).
  IMemAllocator* PeekAllocator() const { return m_pAllocator; }

 protected:
  CTransformFilter* const m_pTransformFilter;  // owns us
};

class CTransformOutputPin : public CBaseOutputPin {
 public:
  CTransformOutputPin(const wchar_t* objectName, CTransformFilter* filter, HRESULT* phr,
                      const wchar_t* pinName);

  // The output connects only after the input (its types follow from the input's type).
  HRESULT CheckConnect(IPin* pin) override;
  HRESULT BreakConnect() override;
  HRESULT CompleteConnect(IPin* receivePin) override;
  HRESULT CheckMediaType(const CMediaType* type) override;
  HRESULT SetMediaType(const CMediaType* type) override;
  // The filter's types; none while the input is not connected.
  HRESULT GetMediaType(int position, CMediaType* type) override;
  HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) override;

  // IQualityControl: the filter's AlterQuality first; what it leaves (S_FALSE) goes upstream.
  STDMETHODIMP Notify(IBaseFilter* sender, Quality q) override;

  // The downstream pin's transport (no reference added; null while not connected).
  IMemInputPin* ConnectedIMemInputPin() const { return m_pInputPin; }

 protected:
  CTransformFilter* const m_pTransformFilter;  // owns us
};

class CTransformFilter : public CBaseFilter {
 public:
  CTransformFilter(const wchar_t* objectName, IUnknown* outer, REFCLSID clsid, HRESULT* phr = nullptr);
  ~CTransformFilter() override;

  // Pin 0 is the input, pin 1 the output; both are made on first use through CreateInputPin and
  // CreateOutputPin (a derived class may also set m_pInput itself before calling this).
  int GetPinCount() override { return 2; }
  CBasePin* GetPin(int n) override;

  STDMETHODIMP Stop() override;
  STDMETHODIMP Pause() override;

  // --- What a derived class provides -------------------------------------------------------------
  virtual HRESULT CheckInputType(const CMediaType* in) = 0;
  virtual HRESULT CheckTransform(const CMediaType* in, const CMediaType* out) = 0;
  // Output types from position 0 (called only while the input is connected).
  virtual HRESULT GetMediaType(int position, CMediaType* type) = 0;
  virtual HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) = 0;
  // Fills `out` from `in`: S_OK delivers, S_FALSE skips. The base has no transform of its own.
  virtual HRESULT Transform(IMediaSample* in, IMediaSample* out);

  // --- Hooks with defaults -----------------------------------------------------------------------
  virtual HRESULT StartStreaming() { return S_OK; }
  virtual HRESULT StopStreaming() { return S_OK; }
  // A quality message from downstream; S_FALSE passes it upstream.
  virtual HRESULT AlterQuality(Quality) { return S_FALSE; }
  virtual HRESULT SetMediaType(PIN_DIRECTION, const CMediaType*) { return S_OK; }
  virtual HRESULT CheckConnect(PIN_DIRECTION, IPin*) { return S_OK; }
  virtual HRESULT BreakConnect(PIN_DIRECTION) { return S_OK; }
  virtual HRESULT CompleteConnect(PIN_DIRECTION, IPin*) { return S_OK; }
  // A type change in the middle of the stream, called by Receive before Transform: `upstream` is
  // the type the input sample carries (the input pin has checked it), `downstream` the type the
  // downstream filter attached to the delivery buffer; either may be null, never both. A failure
  // is returned from Receive. The base ignores both.
  virtual HRESULT StreamTypeChange(const CMediaType* /*upstream*/, const CMediaType* /*downstream*/) { return S_OK; }

  // The receive path, called by the input pin under the streaming lock once the pin's checks
  // passed. A derived Receive may call this more than once for one input sample.
  virtual HRESULT Receive(IMediaSample* sample);
  // A delivery buffer carrying the input sample's times, media times, sync point, preroll,
  // discontinuity (also after a skipped sample), type-specific flags and stream id.
  virtual HRESULT InitializeOutputSample(IMediaSample* in, IMediaSample** out);

  // Stream control from the input pin, passed downstream.
  virtual HRESULT EndOfStream();
  virtual HRESULT BeginFlush();
  virtual HRESULT EndFlush();
  virtual HRESULT NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate);

  CTransformInputPin* InputPin() { return m_pInput; }
  CTransformOutputPin* OutputPin() { return m_pOutput; }
  CCritSec* ReceiveLock() { return &m_csReceive; }

 protected:
  // Pin factories for GetPin: "XForm In" and "XForm Out" unless overridden. Null on failure.
  virtual CTransformInputPin* CreateInputPin(HRESULT* phr);
  virtual CTransformOutputPin* CreateOutputPin(HRESULT* phr);

  // Lock order: m_csFilter before m_csReceive (lock.h).
  CCritSec m_csFilter;
  CCritSec m_csReceive;

  // Owned; made on first GetPin, deleted with the filter.
  CTransformInputPin* m_pInput = nullptr;
  CTransformOutputPin* m_pOutput = nullptr;

  // Streaming thread only (under m_csReceive); reset when streaming starts.
  bool m_bSampleSkipped = false;
  bool m_bQualityChanged = false;
  // End of stream sent downstream for an unconnected input (state lock).
  bool m_bEOSDelivered = false;

  // Counts a sample that Transform skipped: EC_QUALITY_CHANGE once per run.
  void NoteSkippedSample();

 private:
  // StreamTypeChange for the types the input sample and the delivery buffer `out` carry, if any.
  HRESULT ReceiveTypeChanges(IMediaSample* out);
};
