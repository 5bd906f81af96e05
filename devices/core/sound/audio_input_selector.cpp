#include "devices/core/sound/audio_input_selector.h"

#include <wrl/client.h>

#include <algorithm>
#include <cwchar>

#include "common/device/device_enum.h"
#include "common/device/filter_loader.h"
#include "common/device/graph_state.h"
#include "common/device/pin_helpers.h"
#include "common/format.h"
#include "common/hresult.h"
#include "common/registry.h"
#include "devices/core/sound/graph_state.h"
#include "devices/core/outside_filters.h"

using Microsoft::WRL::ComPtr;

namespace {

// The outside filters (their class identifiers and the files they ship in).
constexpr const wchar_t* kSelectorFile = outside::kSelectorFile;
constexpr const wchar_t* kRateMatcherFile = outside::kRateMatcherFile;

RegistryKeyPath AudioBufferKey() {
  return RegistryKeyPath(WideString(L"HKEY_LOCAL_MACHINE\\") + WideString(sound_registry::kAudioBufferKey));
}

HRESULT CreateOutsideFilter(HMODULE module, const wchar_t* file, REFCLSID clsid, IBaseFilter** out) {
  RETURN_IF_FAILED(FilterLoader::CreateFromNamedModule(module, file, clsid, nullptr, CLSCTX_INPROC_SERVER,
                                                       IID_IBaseFilter, reinterpret_cast<void**>(out)));
  return *out ? S_OK : E_OUTOFMEMORY;
}

}  // namespace

AudioInputSelector::AudioInputSelector(HMODULE module) : module_(module) {}

AudioInputSelector::~AudioInputSelector() { AudioInputSelector::Teardown(); }

bool AudioInputSelector::BypassFilterDriver() {
  const RegistryKeyPath app(WideString(L"HKEY_LOCAL_MACHINE\\") + WideString(sound_registry::kFilterDriverKey));
  WideString enable;
  if (app.ReadString(L"EnableTVLive", enable, L"") > 0 && enable[0] == L'1') return false;
  WideString driver, playback;
  if (!ReadFilterDriverName(driver) || !ReadPlaybackDevice(playback)) return false;
  return _wcsicmp(driver.c_str(), playback.c_str()) == 0;
}

HRESULT AudioInputSelector::AddRenderer(REFCLSID renderer) {
  WideString soundDriver;
  if (BypassFilterDriver() && ReadSoundDriver(soundDriver)) {
    const std::wstring name = FormatW(L"DirectSound: %ls", soundDriver.c_str());
    RETURN_IF_FAILED(DeviceEnum::BindFilterByName(&renderer_, CLSID_AudioRendererCategory, name.c_str(), 0));
    if (!renderer_) return VFW_E_NOT_FOUND;
    return graph_->AddFilter(renderer_, name.c_str());
  }
  RETURN_IF_FAILED(CoCreateInstance(renderer, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                    reinterpret_cast<void**>(&renderer_)));
  if (!renderer_) return E_OUTOFMEMORY;
  return graph_->AddFilter(renderer_, L"Audio Renderer");
}

HRESULT AudioInputSelector::Build(REFCLSID renderer, LONG value1, LONG value2, IFilterGraph* graph) {
  if (!graph) return E_POINTER;
  if (renderer_ || selector_) return E_FAIL;
  FilterHolder::Build(renderer, value1, value2, graph);

  HRESULT hr = AddRenderer(renderer);
  if (FAILED(hr)) {
    ReleaseAndClear(renderer_);  // not in the graph
    return hr;
  }
  hr = CreateOutsideFilter(module_, kSelectorFile, outside::kClsidSoundSelector, &selector_);
  if (SUCCEEDED(hr)) hr = graph_->AddFilter(selector_, L"Sound Selector");
  if (FAILED(hr)) {
    ReleaseAndClear(selector_);
    return hr;
  }
  RETURN_IF_FAILED(selector_->QueryInterface(IID_ISelectorFilterControl, reinterpret_cast<void**>(&selectorControl_)));
  RETURN_IF_FAILED(selectorControl_->Select(1, 1));
  RETURN_IF_FAILED(renderer_->QueryInterface(IID_IBasicAudio, reinterpret_cast<void**>(&basicAudio_)));
  RETURN_IF_FAILED(PinHelpers::FindPinByIndex(&selectorIn_, selector_, PINDIR_INPUT, 1));
  RETURN_IF_FAILED(PinHelpers::FindPinByIndex(&selectorOut_, selector_, PINDIR_OUTPUT, 1));
  RETURN_IF_FAILED(PinHelpers::FindPinByIndex(&rendererIn_, renderer_, PINDIR_INPUT, 1));

  start_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  watchOff_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!start_ || !watchOff_) return HResultFromLastError();
  return worker_.Start();
}

HRESULT AudioInputSelector::Teardown() {
  if (started_) AudioInputSelector::Stop();
  worker_.Stop();
  start_.reset();
  watchOff_.reset();
  if (graph_) {
    if (selector_) graph_->RemoveFilter(selector_);
    if (renderer_) graph_->RemoveFilter(renderer_);
  }
  ReleaseAll();
  return FilterHolder::Teardown();
}

void AudioInputSelector::ReleaseAll() {
  ReleaseAndClear(rendererIn_);
  ReleaseAndClear(selectorIn_);
  ReleaseAndClear(selectorOut_);
  ReleaseAndClear(selectorControl_);
  ReleaseAndClear(basicAudio_);
  ReleaseAndClear(selector_);
  ReleaseAndClear(renderer_);
}

HRESULT AudioInputSelector::StartPath(IPin* upstream, IPin* feed) {
  HRESULT hr = PinHelpers::Connect(feed, selectorIn_, graph_);
  if (FAILED(hr)) return hr;
  hr = PinHelpers::Connect(selectorOut_, rendererIn_, graph_);
  if (FAILED(hr)) {
    PinHelpers::Disconnect(feed, selectorIn_, graph_);
    return hr;
  }
  const RegistryKeyPath settings = AudioBufferKey();
  // A period of 0 would make the worker check without ever waiting: it counts as not set.
  const DWORD timer = settings.ReadDwordValue(L"Watch Timer", kDefaultWatchTimer);
  watchTimer_ = timer == 0 ? kDefaultWatchTimer : timer;
  bufferLimit_ = settings.ReadDwordValue(L"Buffer Limit", kDefaultBufferLimit);
  {
    LockGuard guard(watchLock_, INFINITE);
    watching_ = true;
  }
  if (start_) SetEvent(start_.get());
  return FilterHolder::Start(upstream);
}

HRESULT AudioInputSelector::Start(IPin* upstream) { return StartPath(upstream, upstream); }

void AudioInputSelector::SuspendWatch() {
  {
    // Waits out a restart in flight: the worker holds the lock across it.
    LockGuard guard(watchLock_, INFINITE);
    watching_ = false;
  }
  if (watchOff_) SetEvent(watchOff_.get());
}

void AudioInputSelector::StopPath(IPin* feed) {
  SuspendWatch();
  if (graph_ && feed && selectorIn_) PinHelpers::Disconnect(feed, selectorIn_, graph_);
  if (graph_ && selectorOut_ && rendererIn_) PinHelpers::Disconnect(selectorOut_, rendererIn_, graph_);
  FilterHolder::Stop();
}

HRESULT AudioInputSelector::Stop() {
  StopPath(upstream_);
  return S_OK;
}

DWORD AudioInputSelector::Watch(HANDLE stop) {
  ComPtr<IMediaControl> control;
  ComPtr<IAMAudioRendererStats> stats;
  if (graph_) graph_->QueryInterface(IID_PPV_ARGS(&control));
  if (renderer_) renderer_->QueryInterface(IID_IAMAudioRendererStats, reinterpret_cast<void**>(stats.GetAddressOf()));
  const HANDLE handles[3] = {stop, start_.get(), watchOff_.get()};
  DWORD timeout = INFINITE;
  for (;;) {
    const DWORD woken = WaitForMultipleObjects(3, handles, FALSE, timeout);
    if (woken == WAIT_OBJECT_0 + 1 || woken == WAIT_OBJECT_0 + 2) {
      // The watch flag, not the order the events were seen in, says whether to watch.
      ResetEvent(start_.get());
      ResetEvent(watchOff_.get());
      LockGuard guard(watchLock_, INFINITE);
      timeout = watching_ ? watchTimer_.load() : INFINITE;
    } else if (woken == WAIT_TIMEOUT) {
      OnWatched(control && stats && Check(control.Get(), stats.Get()));
    } else {
      return 0;  // stop event, or the wait failed
    }
  }
}

bool AudioInputSelector::Check(IMediaControl* control, IAMAudioRendererStats* stats) {
  DWORD fullness = 0, unused = 0;
  if (FAILED(stats->GetStatParam(AM_AUDREND_STAT_PARAM_BUFFERFULLNESS, &fullness, &unused))) return false;
  if (fullness < bufferLimit_) return false;
  LockGuard guard(watchLock_, INFINITE);
  if (!watching_) return false;
  Restart(control);
  return true;
}

void AudioInputSelector::Restart(IMediaControl* control) {
  OAFilterState state = State_Stopped;
  const HRESULT hr = graph_state::Read(control, 0, &state);
  if (FAILED(hr) || state == State_Stopped) return;
  OnRestarting();
  // A step the graph refuses leaves every filter stopped: the host's next start finds it clean.
  graph_state::Restore(control);
}

HRESULT AudioInputSelector::SetClockMode(LONG mode) { return sound_graph::SetClockMode(graph_, renderer_, mode); }

HRESULT AudioInputSelector::PutClamped(HRESULT (STDMETHODCALLTYPE IBasicAudio::*put)(long), LONG value, LONG low,
                                       LONG high) {
  if (!basicAudio_) return E_POINTER;
  const HRESULT hr = (basicAudio_->*put)(std::clamp(value, low, high));
  return FAILED(hr) ? hr : S_OK;
}

HRESULT AudioInputSelector::GetValue(HRESULT (STDMETHODCALLTYPE IBasicAudio::*get)(long*), LONG* out) {
  if (!out || !basicAudio_) return E_POINTER;
  long value = 0;
  const HRESULT hr = (basicAudio_->*get)(&value);
  if (FAILED(hr)) return hr;
  *out = value;
  return S_OK;
}

HRESULT AudioInputSelector::SetVolume(LONG volume) { return PutClamped(&IBasicAudio::put_Volume, volume, -10000, 0); }
HRESULT AudioInputSelector::GetVolume(LONG* volume) { return GetValue(&IBasicAudio::get_Volume, volume); }
HRESULT AudioInputSelector::SetBalance(LONG balance) {
  return PutClamped(&IBasicAudio::put_Balance, balance, -10000, 10000);
}
HRESULT AudioInputSelector::GetBalance(LONG* balance) { return GetValue(&IBasicAudio::get_Balance, balance); }

// --- AudioRateAdapter ----------------------------------------------------------------------------

AudioRateAdapter::~AudioRateAdapter() { AudioRateAdapter::Teardown(); }

HRESULT AudioRateAdapter::Build(REFCLSID renderer, LONG value1, LONG value2, IFilterGraph* graph) {
  if (rate_) return E_FAIL;
  RETURN_IF_FAILED(AudioInputSelector::Build(renderer, value1, value2, graph));
  HRESULT hr = CreateOutsideFilter(module_, kRateMatcherFile, outside::kClsidRateMatcher, &rate_);
  if (SUCCEEDED(hr)) hr = graph_->AddFilter(rate_, L"Zarn Rate Matching Filter");
  if (FAILED(hr)) {
    ReleaseAndClear(rate_);
    return hr;
  }
  if (FAILED(PinHelpers::FindPinByName(&rateIn_, rate_, PINDIR_INPUT, L"Input")) ||
      FAILED(PinHelpers::FindPinByName(&rateOut_, rate_, PINDIR_OUTPUT, L"Output"))) {
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

HRESULT AudioRateAdapter::Teardown() {
  if (started_) AudioRateAdapter::Stop();
  if (graph_ && rate_) graph_->RemoveFilter(rate_);
  ReleaseAndClear(rateIn_);
  ReleaseAndClear(rateOut_);
  ReleaseAndClear(rate_);
  return AudioInputSelector::Teardown();
}

HRESULT AudioRateAdapter::Start(IPin* upstream) {
  RETURN_IF_FAILED(PinHelpers::Connect(upstream, rateIn_, graph_));
  const HRESULT hr = StartPath(upstream, rateOut_);
  if (FAILED(hr)) PinHelpers::Disconnect(upstream, rateIn_, graph_);
  return hr;
}

HRESULT AudioRateAdapter::Stop() {
  SuspendWatch();
  if (graph_ && upstream_ && rateIn_) PinHelpers::Disconnect(upstream_, rateIn_, graph_);
  StopPath(rateOut_);
  return S_OK;
}
