#include "sim/card/live_pin.h"

namespace simcard {
namespace {

// The pin's own time base (the card's crystal), in 100 ns units.
REFERENCE_TIME CrystalNow() {
  LARGE_INTEGER frequency, counter;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&counter);
  const LONGLONG seconds = counter.QuadPart / frequency.QuadPart;
  const LONGLONG rest = counter.QuadPart % frequency.QuadPart;
  return seconds * 10000000 + rest * 10000000 / frequency.QuadPart;
}

std::atomic<DWORD> g_stopTimeout{10000};

}  // namespace

class LivePin::Pump final : public StoppableThread {
 public:
  explicit Pump(LivePin* pin) : pin_(pin) { SetStopTimeout(g_stopTimeout.load()); }
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

// Called by the filter's Run before its state turns to running, so the thread, which waits for
// that state, finds the marks of this run.
HRESULT LivePin::Run(REFERENCE_TIME start) {
  REFERENCE_TIME now = 0;
  if (!GraphStreamTime(start, &now)) now = 0;  // no clock: stream time counts from the run
  runStream_ = now;
  runCrystal_ = CrystalNow();
  return S_OK;
}

bool LivePin::GraphStreamTime(REFERENCE_TIME start, REFERENCE_TIME* now) {
  IReferenceClock* clock = nullptr;
  if (FAILED(m_pFilter->GetSyncSource(&clock)) || !clock) return false;
  REFERENCE_TIME t = 0;
  const HRESULT hr = clock->GetTime(&t);
  clock->Release();
  if (FAILED(hr)) return false;
  *now = t - start;
  return true;
}

void LivePin::SetStopTimeout(DWORD ms) { g_stopTimeout = ms; }

REFERENCE_TIME LivePin::StreamNow() const { return runStream_.load() + (CrystalNow() - runCrystal_.load()); }

DWORD LivePin::Loop(HANDLE stop) {
  // A delivery may hand the filter's last reference over on this thread (a host that tears the
  // graph down from the streaming thread): the filter, and this pin with it, then goes when the
  // loop has ended, never under it.
  LastReleaseDeferral deferral(m_pFilter);
  LONGLONG index = 0;
  bool discontinuity = true;
  bool capturing = false;
  REFERENCE_TIME origin = 0;  // the start time of sample 0
  for (;;) {
    if (LastReleaseDeferral::Released()) return 0;
    FILTER_STATE state = State_Stopped;
    m_pFilter->GetState(0, &state);
    if (state != State_Running) {
      if (WaitForSingleObject(stop, 5) != WAIT_TIMEOUT) return 0;
      continue;
    }
    const REFERENCE_TIME now = StreamNow();
    if (!capturing) {
      capturing = true;
      origin = now;
    }
    const REFERENCE_TIME due = origin + index * period_;
    if (now < due) {
      const DWORD waitMs = static_cast<DWORD>((due - now + 9999) / 10000);
      if (WaitForSingleObject(stop, waitMs < 50 ? waitMs : 50) != WAIT_TIMEOUT) return 0;
      continue;
    }
    if (now - due > 4 * period_) {
      index = (now - origin) / period_;
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
