#include "sim/card/live_pin.h"

namespace simcard {

class LivePin::Pump final : public StoppableThread {
 public:
  explicit Pump(LivePin* pin) : pin_(pin) { SetStopTimeout(10000); }
  ~Pump() override { Stop(); }

 protected:
  DWORD Run() override { return pin_->Loop(stopEvent()); }

 private:
  LivePin* const pin_;  // owns us
};

LivePin::LivePin(const wchar_t* objectName, CBaseFilter* filter, CCritSec* lock, HRESULT* phr,
                 const wchar_t* pinName, REFERENCE_TIME period)
    : CBaseOutputPin(objectName, filter, lock, phr, pinName), period_(period), pump_(std::make_unique<Pump>(this)) {}

LivePin::~LivePin() { pump_->Stop(); }

HRESULT LivePin::Active() {
  HRESULT hr = CBaseOutputPin::Active();
  if (FAILED(hr)) return hr;
  return pump_->Start();
}

HRESULT LivePin::Inactive() {
  const HRESULT hr = CBaseOutputPin::Inactive();  // a blocked GetDeliveryBuffer returns
  pump_->Stop();
  return hr;
}

HRESULT LivePin::Run(REFERENCE_TIME start) {
  start_ = start;
  runTick_ = GetTickCount64();
  return S_OK;
}

bool LivePin::StreamNow(REFERENCE_TIME* now) {
  IReferenceClock* clock = nullptr;
  if (SUCCEEDED(m_pFilter->GetSyncSource(&clock)) && clock) {
    REFERENCE_TIME t = 0;
    const HRESULT hr = clock->GetTime(&t);
    clock->Release();
    if (FAILED(hr)) return false;
    *now = t - start_.load();
    return true;
  }
  *now = static_cast<REFERENCE_TIME>(GetTickCount64() - runTick_.load()) * 10000;
  return true;
}

DWORD LivePin::Loop(HANDLE stop) {
  LONGLONG index = 0;
  bool discontinuity = true;
  for (;;) {
    FILTER_STATE state = State_Stopped;
    m_pFilter->GetState(0, &state);
    REFERENCE_TIME now = 0;
    if (state != State_Running || !StreamNow(&now)) {
      if (WaitForSingleObject(stop, 5) != WAIT_TIMEOUT) return 0;
      continue;
    }
    const REFERENCE_TIME due = index * period_;
    if (now < due) {
      const DWORD waitMs = static_cast<DWORD>((due - now) / 10000) + 1;
      if (WaitForSingleObject(stop, waitMs < 50 ? waitMs : 50) != WAIT_TIMEOUT) return 0;
      continue;
    }
    if (now - due > 4 * period_) {
      index = now / period_;
      discontinuity = true;
      continue;
    }
    IMediaSample* sample = nullptr;
    if (FAILED(GetDeliveryBuffer(&sample, nullptr, nullptr, 0)) || !sample) {
      if (WaitForSingleObject(stop, 5) != WAIT_TIMEOUT) return 0;
      continue;
    }
    if (FillSample(sample, index) == S_OK) {
      REFERENCE_TIME start = due, end = due + period_;
      sample->SetTime(&start, &end);
      sample->SetSyncPoint(TRUE);
      sample->SetDiscontinuity(discontinuity);
      discontinuity = false;
      if (SUCCEEDED(Deliver(sample))) Delivered();
    }
    sample->Release();
    ++index;
    if (WaitForSingleObject(stop, 0) != WAIT_TIMEOUT) return 0;
  }
}

}  // namespace simcard
