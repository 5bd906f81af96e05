// The base of every filter: IBaseFilter over a set of pins that the derived class owns, the
// state machine Stop/Pause/Run that drives the pins' Active/Inactive, the graph's event sink
// and the reference clock.
#pragma once

#include <atomic>
#include <string>

#include "common/dshow.h"
#include "filters/base/lock.h"
#include "filters/base/unknown.h"

class CBasePin;

class CBaseFilter : public CUnknown, public IBaseFilter {
 public:
  // `lock` is the filter (state) lock, owned by the derived class and shared with its pins.
  CBaseFilter(const wchar_t* objectName, IUnknown* outer, CCritSec* lock, REFCLSID clsid,
              HRESULT* phr = nullptr);
  ~CBaseFilter() override;

  DECLARE_IUNKNOWN
  STDMETHODIMP NonDelegatingQueryInterface(REFIID iid, void** out) override;

  // IPersist
  STDMETHODIMP GetClassID(CLSID* clsid) override;

  // IMediaFilter
  STDMETHODIMP Stop() override;
  STDMETHODIMP Pause() override;
  STDMETHODIMP Run(REFERENCE_TIME tStart) override;
  STDMETHODIMP GetState(DWORD timeoutMs, FILTER_STATE* state) override;
  STDMETHODIMP SetSyncSource(IReferenceClock* clock) override;
  STDMETHODIMP GetSyncSource(IReferenceClock** clock) override;

  // IBaseFilter
  STDMETHODIMP EnumPins(IEnumPins** pins) override;
  STDMETHODIMP FindPin(LPCWSTR id, IPin** pin) override;
  STDMETHODIMP QueryFilterInfo(FILTER_INFO* info) override;
  STDMETHODIMP JoinFilterGraph(IFilterGraph* graph, LPCWSTR name) override;
  STDMETHODIMP QueryVendorInfo(LPWSTR* vendorInfo) override;

  // The pins, owned by the derived class. GetPin(n) is null for n outside 0..GetPinCount()-1.
  virtual int GetPinCount() = 0;
  virtual CBasePin* GetPin(int n) = 0;

  // Sends an event to the graph (E_NOTIMPL when the filter is in no graph). EC_COMPLETE
  // without a second parameter names this filter.
  HRESULT NotifyEvent(long code, LONG_PTR param1, LONG_PTR param2);
  // Now, relative to the stream start: VFW_E_NO_CLOCK without a clock.
  HRESULT StreamTime(REFERENCE_TIME& now);

  bool IsStopped() const { return m_State == State_Stopped; }
  bool IsActive() const { return m_State != State_Stopped; }
  CCritSec* pStateLock() const { return m_pLock; }
  IFilterGraph* GetFilterGraph() const { return m_pGraph; }

  // Pin enumerators made before a change of the pin set report VFW_E_ENUM_OUT_OF_SYNC.
  void IncrementPinVersion() { ++m_PinVersion; }
  long GetPinVersion() const { return m_PinVersion.load(); }

 protected:
  std::atomic<FILTER_STATE> m_State{State_Stopped};  // written under the filter lock
  IReferenceClock* m_pClock = nullptr;  // referenced; null when the graph gave no clock
  CCritSec m_clockLock;  // the clock pointer only; a leaf lock the streaming thread may take
  REFERENCE_TIME m_tStart = 0;          // stream time 0 on the clock (from Run)
  CLSID m_clsid;
  CCritSec* const m_pLock;
  std::wstring m_pName;  // name in the graph
  // The graph references us (it holds the filter), so we must not reference the graph: both
  // pointers are weak and valid from JoinFilterGraph(graph) to JoinFilterGraph(null).
  IFilterGraph* m_pGraph = nullptr;
  IMediaEventSink* m_pSink = nullptr;

 private:
  std::atomic<long> m_PinVersion{1};
};
