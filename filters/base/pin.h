// Pins. A pin is part of its filter: its IUnknown is the filter's, so a reference on a pin is a
// reference on the filter, and the filter owns (and deletes) its pins. Pins share the filter
// lock for connection and state; the receive path takes no filter lock (see lock.h).
#pragma once

#include <atomic>
#include <string>

#include "filters/base/allocator.h"
#include "common/dshow.h"
#include "filters/base/filter.h"
#include "filters/base/lock.h"
#include "filters/base/mediatype.h"
#include "filters/base/unknown.h"

class CBasePin : public CUnknown, public IPin, public IQualityControl {
 public:
  CBasePin(const wchar_t* objectName, CBaseFilter* filter, CCritSec* lock, HRESULT* phr,
           const wchar_t* pinName, PIN_DIRECTION direction);
  ~CBasePin() override;

  DECLARE_IUNKNOWN
  STDMETHODIMP NonDelegatingQueryInterface(REFIID iid, void** out) override;
  // A pin lives inside its filter: its count is the filter's.
  STDMETHODIMP_(ULONG) NonDelegatingAddRef() override;
  STDMETHODIMP_(ULONG) NonDelegatingRelease() override;

  // IPin
  STDMETHODIMP Connect(IPin* receivePin, const AM_MEDIA_TYPE* type) override;
  STDMETHODIMP ReceiveConnection(IPin* connector, const AM_MEDIA_TYPE* type) override;
  STDMETHODIMP Disconnect() override;
  STDMETHODIMP ConnectedTo(IPin** pin) override;
  STDMETHODIMP ConnectionMediaType(AM_MEDIA_TYPE* type) override;
  STDMETHODIMP QueryPinInfo(PIN_INFO* info) override;
  STDMETHODIMP QueryDirection(PIN_DIRECTION* direction) override;
  STDMETHODIMP QueryId(LPWSTR* id) override;
  STDMETHODIMP QueryAccept(const AM_MEDIA_TYPE* type) override;
  STDMETHODIMP EnumMediaTypes(IEnumMediaTypes** types) override;
  STDMETHODIMP QueryInternalConnections(IPin** pins, ULONG* count) override;
  STDMETHODIMP EndOfStream() override;
  STDMETHODIMP BeginFlush() override = 0;
  STDMETHODIMP EndFlush() override = 0;
  STDMETHODIMP NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) override;

  // IQualityControl
  STDMETHODIMP Notify(IBaseFilter* sender, Quality q) override;
  STDMETHODIMP SetSink(IQualityControl* sink) override;

  // --- Hooks of the connection -----------------------------------------------------------------
  // The peer is acceptable at all (direction; output pins: IMemInputPin).
  virtual HRESULT CheckConnect(IPin* pin);
  // S_OK accepts the type; anything else refuses it.
  virtual HRESULT CheckMediaType(const CMediaType* type) = 0;
  // The agreed type (the base keeps a copy as the connection type).
  virtual HRESULT SetMediaType(const CMediaType* type);
  // Both sides agreed; a failure undoes the connection.
  virtual HRESULT CompleteConnect(IPin* receivePin);
  // Undo whatever CheckConnect..CompleteConnect set up (also after a failed attempt).
  virtual HRESULT BreakConnect();
  // The preferred types, from position 0 on: S_OK, VFW_S_NO_MORE_ITEMS past the end.
  virtual HRESULT GetMediaType(int position, CMediaType* type);
  // Enumerators of this pin's types made before a change report VFW_E_ENUM_OUT_OF_SYNC.
  void IncrementTypeVersion() { ++m_TypeVersion; }
  long GetMediaTypeVersion() const { return m_TypeVersion.load(); }

  // --- Hooks of the filter's state changes (under the filter lock) ------------------------------
  virtual HRESULT Active() { return S_OK; }
  virtual HRESULT Inactive() { return S_OK; }
  virtual HRESULT Run(REFERENCE_TIME) { return S_OK; }

  bool IsConnected() const { return m_Connected != nullptr; }
  IPin* GetConnected() const { return m_Connected; }  // no reference added
  const CMediaType& CurrentMediaType() const { return m_mt; }
  bool IsStopped() const { return m_pFilter->IsStopped(); }
  const std::wstring& Name() const { return m_pName; }
  REFERENCE_TIME CurrentStartTime() const { return m_tStart; }
  REFERENCE_TIME CurrentStopTime() const { return m_tStop; }
  double CurrentRate() const { return m_dRate; }

 protected:
  // The negotiation of Connect: each candidate type (the given one when fully specified,
  // else this pin's types, then the peer's, all matching the given partial type).
  HRESULT AgreeMediaType(IPin* receivePin, const CMediaType* partial);
  HRESULT TryMediaTypes(IPin* receivePin, const CMediaType* partial, IEnumMediaTypes* types,
                        bool* peerRefused);
  // One type. `peerRefused` (optional) tells a refusal of the peer itself (CheckConnect).
  HRESULT AttemptConnection(IPin* receivePin, const CMediaType* type, bool* peerRefused = nullptr);
  void DisconnectInternal();

  std::wstring m_pName;
  IPin* m_Connected = nullptr;  // referenced while connected
  const PIN_DIRECTION m_dir;
  CCritSec* const m_pLock;  // the filter lock
  // Our filter owns us and outlives us: no reference.
  CBaseFilter* const m_pFilter;
  CMediaType m_mt;  // the connection type
  REFERENCE_TIME m_tStart = 0;
  REFERENCE_TIME m_tStop = 0x7FFFFFFFFFFFFFFFLL;
  double m_dRate = 1.0;
  // Quality messages go here when set; the sink is set by the graph, which outlives the
  // connection: no reference.
  IQualityControl* m_pQSink = nullptr;

 private:
  std::atomic<long> m_TypeVersion{1};
};

class CBaseInputPin : public CBasePin, public IMemInputPin {
 public:
  CBaseInputPin(const wchar_t* objectName, CBaseFilter* filter, CCritSec* lock, HRESULT* phr,
                const wchar_t* pinName);
  ~CBaseInputPin() override;

  DECLARE_IUNKNOWN
  STDMETHODIMP NonDelegatingQueryInterface(REFIID iid, void** out) override;

  // IMemInputPin
  // Our allocator (a memory allocator made on first request) unless one was agreed.
  STDMETHODIMP GetAllocator(IMemAllocator** allocator) override;
  STDMETHODIMP NotifyAllocator(IMemAllocator* allocator, BOOL readOnly) override;
  STDMETHODIMP GetAllocatorRequirements(ALLOCATOR_PROPERTIES* props) override;
  // The checks every derived Receive starts with: not connected, stopped (VFW_E_WRONG_STATE),
  // flushing (S_FALSE), after a run-time error (VFW_E_RUNTIME_ERROR); then the sample's
  // properties go to m_SampleProps, and a changed type must pass CheckMediaType.
  STDMETHODIMP Receive(IMediaSample* sample) override;
  STDMETHODIMP ReceiveMultiple(IMediaSample** samples, long count, long* processed) override;
  STDMETHODIMP ReceiveCanBlock() override;

  // IPin
  STDMETHODIMP BeginFlush() override;
  STDMETHODIMP EndFlush() override;
  STDMETHODIMP EndOfStream() override;

  HRESULT BreakConnect() override;
  HRESULT Inactive() override;

  // Streaming state for Receive and EndOfStream: S_OK when samples may be processed.
  HRESULT CheckStreaming();
  bool IsFlushing() const { return m_bFlushing.load(); }
  bool IsReadOnly() const { return m_bReadOnly; }
  const AM_SAMPLE2_PROPERTIES* SampleProps() const { return &m_SampleProps; }

 protected:
  IMemAllocator* m_pAllocator = nullptr;  // referenced: the agreed allocator
  bool m_bReadOnly = false;
  std::atomic<bool> m_bFlushing{false};
  std::atomic<bool> m_bRunTimeError{false};
  AM_SAMPLE2_PROPERTIES m_SampleProps{};  // of the sample in Receive (streaming thread only)
};

class CBaseOutputPin : public CBasePin {
 public:
  CBaseOutputPin(const wchar_t* objectName, CBaseFilter* filter, CCritSec* lock, HRESULT* phr,
                 const wchar_t* pinName);
  ~CBaseOutputPin() override;

  // Sizes and counts the buffers on an allocator: `request` holds the peer's requirements
  // (alignment at least 1).
  virtual HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) = 0;
  // The peer's allocator when it offers one and the sizes can be set on it, else our own.
  virtual HRESULT DecideAllocator(IMemInputPin* pin, IMemAllocator** allocator);
  virtual HRESULT InitAllocator(IMemAllocator** allocator);

  // A buffer of the agreed allocator (VFW_E_NOT_CONNECTED without one).
  virtual HRESULT GetDeliveryBuffer(IMediaSample** sample, REFERENCE_TIME* start,
                                    REFERENCE_TIME* stop, DWORD flags);
  virtual HRESULT Deliver(IMediaSample* sample);
  virtual HRESULT DeliverEndOfStream();
  virtual HRESULT DeliverBeginFlush();
  virtual HRESULT DeliverEndFlush();
  virtual HRESULT DeliverNewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate);

  HRESULT CheckConnect(IPin* pin) override;
  HRESULT CompleteConnect(IPin* receivePin) override;
  HRESULT BreakConnect() override;
  HRESULT Active() override;    // commits the allocator
  HRESULT Inactive() override;  // decommits it: a blocked GetDeliveryBuffer returns

  // Stream control calls come from upstream, which an output pin does not have.
  STDMETHODIMP EndOfStream() override { return E_UNEXPECTED; }
  STDMETHODIMP BeginFlush() override { return E_UNEXPECTED; }
  STDMETHODIMP EndFlush() override { return E_UNEXPECTED; }

  IMemAllocator* Allocator() const { return m_pAllocator; }

 protected:
  IMemAllocator* m_pAllocator = nullptr;  // referenced: the agreed allocator
  IMemInputPin* m_pInputPin = nullptr;    // referenced: the peer's transport
};
