// The renderer bases: a filter with one input pin that holds each sample until its time on the
// graph's clock has come and then draws it, sends EC_COMPLETE after the last one, and (for
// video) counts what it drew and dropped through IQualProp.
//
// Locks, in the order they may be taken: the filter lock (state changes, connection), then the
// receive lock (the whole of DoRenderSample). The wait for a sample's time holds neither.
#pragma once

#include <atomic>

#include "common/handles.h"
#include "filters/base/filter.h"
#include "filters/base/pin.h"

class CBaseRenderer;

// The input pin: forwards its type checks, connection hooks and stream to the renderer.
class CRendererInputPin : public CBaseInputPin {
 public:
  CRendererInputPin(CBaseRenderer* renderer, HRESULT* phr, const wchar_t* pinName);

  HRESULT CheckMediaType(const CMediaType* type) override;
  HRESULT SetMediaType(const CMediaType* type) override;
  HRESULT CompleteConnect(IPin* receivePin) override;
  HRESULT BreakConnect() override;

  STDMETHODIMP Receive(IMediaSample* sample) override;
  STDMETHODIMP EndOfStream() override;
  STDMETHODIMP BeginFlush() override;
  STDMETHODIMP EndFlush() override;

  // The base pin's versions, for a renderer that overrides the hooks above.
  HRESULT BaseSetMediaType(const CMediaType* type) { return CBaseInputPin::SetMediaType(type); }

 protected:
  CBaseRenderer* const m_pRenderer;
};

class CBaseRenderer : public CBaseFilter, public IAMFilterMiscFlags {
 public:
  CBaseRenderer(const wchar_t* objectName, IUnknown* outer, REFCLSID clsid, CCritSec* lock, HRESULT* phr);
  ~CBaseRenderer() override;

  DECLARE_IUNKNOWN
  STDMETHODIMP NonDelegatingQueryInterface(REFIID iid, void** out) override;

  int GetPinCount() override { return 1; }
  CBasePin* GetPin(int n) override;

  STDMETHODIMP Stop() override;
  STDMETHODIMP Pause() override;
  STDMETHODIMP Run(REFERENCE_TIME start) override;

  // IAMFilterMiscFlags: a renderer (the graph waits for its EC_COMPLETE).
  STDMETHODIMP_(ULONG) GetMiscFlags() override { return AM_FILTER_MISC_FLAGS_IS_RENDERER; }

  // --- What a renderer provides ------------------------------------------------------------------
  virtual HRESULT CheckMediaType(const CMediaType* type) = 0;
  // Draws one sample (under the receive lock); its result is Receive's.
  virtual HRESULT DoRenderSample(IMediaSample* sample) = 0;
  // The schedule of a sample, with its times (which it may move): S_OK draw now, S_FALSE wait
  // for `*start` on the clock, a failure drops it. The base draws at once without a clock or
  // times, and waits otherwise.
  virtual HRESULT ShouldDrawSampleNow(IMediaSample* sample, REFERENCE_TIME* start, REFERENCE_TIME* end);
  virtual HRESULT SetMediaType(const CMediaType* type);
  virtual HRESULT CompleteConnect(IPin* receivePin);
  virtual HRESULT BreakConnect();
  // Called when the filter leaves or enters the stopped state (filter lock held).
  virtual HRESULT Active() { return S_OK; }
  virtual HRESULT Inactive() { return S_OK; }
  // A sample was dropped by its schedule.
  virtual void OnDropSample(IMediaSample*, REFERENCE_TIME /*lateness*/) {}
  // A sample was drawn.
  virtual void OnRenderSample(IMediaSample*) {}

  // The stream (from the pin).
  HRESULT Receive(IMediaSample* sample);
  HRESULT EndOfStream();
  HRESULT BeginFlush();
  HRESULT EndFlush();

  CRendererInputPin* InputPin();
  CCritSec* ReceiveLock() { return &m_RendererLock; }

  // A renderer's own pin: made by GetPin(0) when null (under the filter lock).
  virtual CRendererInputPin* CreateInputPin(HRESULT* phr);

 protected:
  CCritSec m_RendererLock;  // the receive lock
  CRendererInputPin* m_pInputPin = nullptr;  // owned

 private:
  void Wake() { SetEvent(m_wake.get()); }
  void ClearEndOfStream();
  void SendComplete();  // filter lock held
  // Waits until the sample may be drawn: S_OK draw, S_FALSE drop, a failure ends Receive.
  HRESULT WaitForSample(IMediaSample* sample);

  UniqueHandle m_wake;     // manual reset: a state change or a flush
  UniqueHandle m_advise;   // auto reset: the clock's advise
  bool m_eosPending = false;  // filter lock
  bool m_eosSent = false;     // filter lock
};

// The video renderer base: the late-frame rule and the IQualProp counters.
class CBaseVideoRenderer : public CBaseRenderer, public IQualProp {
 public:
  // A frame later than this (or than its own duration, when longer) is dropped.
  static constexpr REFERENCE_TIME kLateDropLimit = 300000;  // 30 ms

  CBaseVideoRenderer(const wchar_t* objectName, IUnknown* outer, REFCLSID clsid, CCritSec* lock, HRESULT* phr);

  DECLARE_IUNKNOWN
  STDMETHODIMP NonDelegatingQueryInterface(REFIID iid, void** out) override;

  HRESULT ShouldDrawSampleNow(IMediaSample* sample, REFERENCE_TIME* start, REFERENCE_TIME* end) override;
  void OnDropSample(IMediaSample* sample, REFERENCE_TIME lateness) override;
  void OnRenderSample(IMediaSample* sample) override;
  HRESULT Active() override;

  // IQualProp
  STDMETHODIMP get_FramesDroppedInRenderer(int* frames) override;
  STDMETHODIMP get_FramesDrawn(int* frames) override;
  STDMETHODIMP get_AvgFrameRate(int* rate) override;
  STDMETHODIMP get_Jitter(int* jitter) override;
  STDMETHODIMP get_AvgSyncOffset(int* offset) override;
  STDMETHODIMP get_DevSyncOffset(int* deviation) override;

 private:
  std::atomic<int> m_framesDrawn{0};
  std::atomic<int> m_framesDropped{0};
  std::atomic<DWORD> m_firstDrawTick{0};
};
