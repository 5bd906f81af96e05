#include "sim/card/card_state.h"

#include <cwctype>

#include <vfwmsgs.h>

#include "common/path.h"

namespace simcard {

namespace {

constexpr LONG kTuner = 1, kComposite = 2, kSVideo = 3, kAux = 9, kDecoder = 12;
constexpr LONG kAudioTuner = 0x1000, kAudioLine = 0x1002, kAudioDecoder = 0x1007;

bool IsAudio(LONG type) { return type >= 0x1000; }

// Saturated, well separated colours: a screenshot tells them apart even after the renderer's
// colour conversion.
constexpr std::uint8_t kChannelColours[8][3] = {
    {220, 40, 40}, {40, 200, 40}, {40, 60, 220}, {220, 200, 40},
    {200, 40, 200}, {40, 200, 200}, {240, 130, 20}, {130, 40, 220}};
constexpr std::uint8_t kInputColours[3][3] = {{128, 128, 128}, {250, 250, 250}, {20, 20, 20}};

}  // namespace

CardState::CardState(std::wstring key) : key_(std::move(key)) {
  SetCrossbarVariant(kSimCrossbarDefault);
  for (LONG p = 0; p < static_cast<LONG>(kSimProcAmpProperties); ++p) {
    procAmp_[p] = ProcAmpRange{0, 255, 1, 128, 2, 128, 2};
  }
}

void CardState::SetCrossbarVariant(UINT variant) {
  LockGuard guard(lock_, INFINITE);
  inputs_ = {{kTuner, 3}, {kComposite, 4}, {kComposite, 5}, {kAudioTuner, 0}, {kAudioLine, 1}, {kAudioLine, 2}};
  outputs_ = {{kDecoder, 1}, {kAudioDecoder, 0}};
  switch (variant) {
    case kSimCrossbarSVideo: inputs_[2].type = kSVideo; break;
    case kSimCrossbarNoRelated: inputs_[2].related = -1; break;
    case kSimCrossbarNoDecoderOut: outputs_[0].type = 11; break;  // PhysConn_Video_VideoEncoder
    case kSimCrossbarAux:
    case kSimCrossbarAuxNoRelated:
      inputs_[1].type = inputs_[2].type = kAux;
      if (variant == kSimCrossbarAuxNoRelated) inputs_[1].related = -1;
      break;
    default: break;
  }
  routes_ = {0, 3};
  // The S-Video layout starts routed to that input, so that the routed type is the odd one.
  if (variant == kSimCrossbarSVideo) routes_[0] = 2;
}

std::vector<CrossbarPin> CardState::Inputs() const {
  LockGuard guard(lock_, INFINITE);
  return inputs_;
}

std::vector<CrossbarPin> CardState::Outputs() const {
  LockGuard guard(lock_, INFINITE);
  return outputs_;
}

LONG CardState::RoutedTo(LONG output) const {
  LockGuard guard(lock_, INFINITE);
  if (output < 0 || output >= static_cast<LONG>(routes_.size())) return -1;
  return routes_[output];
}

HRESULT CardState::CanRoute(LONG output, LONG input) const {
  LockGuard guard(lock_, INFINITE);
  if (output < 0 || output >= static_cast<LONG>(outputs_.size()) || input < 0 ||
      input >= static_cast<LONG>(inputs_.size())) {
    return E_INVALIDARG;
  }
  return IsAudio(outputs_[output].type) == IsAudio(inputs_[input].type) ? S_OK : S_FALSE;
}

HRESULT CardState::Route(LONG output, LONG input) {
  HRESULT hr = CanRoute(output, input);
  LockGuard guard(lock_, INFINITE);
  if (hr == S_OK) routes_[output] = input;
  if (routeLog_.size() < kSimCardMaxRoutes) routeLog_.push_back(SimCardRoute{output, input, hr});
  return hr == S_FALSE ? VFW_E_CANNOT_CONNECT : hr;
}

std::vector<SimCardRoute> CardState::RouteLog() const {
  LockGuard guard(lock_, INFINITE);
  return routeLog_;
}

bool CardState::RoutedVideoInput(LONG* type, LONG* ordinal) const {
  LockGuard guard(lock_, INFINITE);
  for (size_t o = 0; o < outputs_.size(); ++o) {
    if (IsAudio(outputs_[o].type) || routes_[o] < 0) continue;
    const LONG in = routes_[o];
    *type = inputs_[in].type;
    *ordinal = 0;
    for (LONG i = 0; i < in; ++i) {
      if (inputs_[i].type == *type) ++*ordinal;
    }
    return true;
  }
  return false;
}

HRESULT CardState::SetProcAmpRange(LONG property, const ProcAmpRange& range) {
  if (property < 0 || property >= static_cast<LONG>(kSimProcAmpProperties)) return E_INVALIDARG;
  LockGuard guard(lock_, INFINITE);
  procAmp_[property] = range;
  return S_OK;
}

HRESULT CardState::GetProcAmp(LONG property, ProcAmpRange* range) const {
  if (property < 0 || property >= static_cast<LONG>(kSimProcAmpProperties)) return E_PROP_ID_UNSUPPORTED;
  LockGuard guard(lock_, INFINITE);
  *range = procAmp_[property];
  return S_OK;
}

HRESULT CardState::SetProcAmpValue(LONG property, LONG value, LONG flags) {
  if (property < 0 || property >= static_cast<LONG>(kSimProcAmpProperties)) return E_PROP_ID_UNSUPPORTED;
  LockGuard guard(lock_, INFINITE);
  ProcAmpRange& r = procAmp_[property];
  if (value < r.minimum || value > r.maximum) return E_INVALIDARG;
  if ((flags & (1 | 2)) == 0 || (flags & r.flags) == 0) return E_INVALIDARG;
  r.value = value;
  r.valueFlags = flags;
  return S_OK;
}

void CardState::SetEncoderStop(UINT mode, DWORD delayMs) {
  encoderStopMode_ = mode;
  encoderStopDelay_ = delayMs;
}

void CardState::InjectFailure(const std::string& method, HRESULT error, UINT times) {
  LockGuard guard(lock_, INFINITE);
  if (times == 0) {
    failures_.erase(method);
  } else {
    failures_[method] = Failure{error, times};
  }
}

HRESULT CardState::TakeFailure(const char* method) {
  LockGuard guard(lock_, INFINITE);
  auto it = failures_.find(method);
  if (it == failures_.end()) return S_OK;
  const HRESULT error = it->second.error;
  if (--it->second.times == 0) failures_.erase(it);
  return error;
}

SimCardCounters CardState::counters() const {
  return SimCardCounters{videoFrames_.load(), audioBuffers_.load(), packs_.load(), encoderStops_.load(),
                         eventsPosted_.load()};
}

SimCardPicture CardState::Picture(DWORD frequency) const {
  LONG type = 0, ordinal = 0;
  const bool routed = RoutedVideoInput(&type, &ordinal);
  SimCardPicture picture{};
  size_t input = 2;  // nothing routed or an unknown connector: dark
  if (routed && type == kTuner) input = 0;
  if (routed && (type == kComposite || type == kSVideo)) input = 1;
  const std::uint8_t* top = kInputColours[input];
  if (input == 0) {
    // The channel's colour: the frequency in 250 kHz steps, so neighbouring channels differ.
    top = kChannelColours[(frequency / 250000u + frequency / 6000000u) % 8u];
  } else if (input == 1 && ordinal > 0) {
    top = kChannelColours[(ordinal + 3) % 8];
  }
  for (int c = 0; c < 3; ++c) {
    picture.top[c] = top[c];
    picture.bottom[c] = kInputColours[input][c];
  }
  return picture;
}

std::wstring CardKey(const wchar_t* devicePath) {
  if (!devicePath) return {};
  std::wstring path(devicePath);
  for (auto& c : path) c = static_cast<wchar_t>(std::towlower(c));
  // "\\?\<bus>#<hardware>#<instance>#{class}\<suffix>"
  const size_t first = path.find(L'#');
  if (first == std::wstring::npos) return {};
  const size_t second = path.find(L'#', first + 1);
  if (second == std::wstring::npos) return {};
  size_t third = path.find_first_of(L"#\\", second + 1);
  if (third == std::wstring::npos) third = path.size();
  return path.substr(first + 1, third - first - 1);
}

namespace {
CriticalSection g_tableLock;
std::map<std::wstring, std::shared_ptr<CardState>>& Table() {
  static auto* table = new std::map<std::wstring, std::shared_ptr<CardState>>();  // lives to exit
  return *table;
}
}  // namespace

std::shared_ptr<CardState> FindOrCreateCard(const wchar_t* devicePath) {
  const std::wstring key = CardKey(devicePath);
  if (key.empty()) return nullptr;
  LockGuard guard(g_tableLock, INFINITE);
  auto& slot = Table()[key];
  if (!slot) slot = std::make_shared<CardState>(key);
  return slot;
}

void ResetCards() {
  LockGuard guard(g_tableLock, INFINITE);
  Table().clear();
}

DriverLink& DriverLink::Instance() {
  static DriverLink* link = new DriverLink();  // lives to exit: the stand-in stays loaded
  return *link;
}

DriverLink::DriverLink() {
  HMODULE driver = GetModuleHandleW(L"simdriver.dll");
  if (!driver) {
    HMODULE self = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&DriverLink::Instance), &self);
    const PathString own = ModulePath::OfModule(self);
    if (!own.empty()) {
      const PathString path = PathString::Combine(own.GetFolder(), WideString(L"simdriver.dll"));
      driver = LoadLibraryW(path.c_str());  // kept for the life of the process
    }
  }
  if (!driver) return;
  addCard_ = reinterpret_cast<AddCardFn>(reinterpret_cast<void*>(GetProcAddress(driver, "SimDriver_AddCard")));
  getState_ = reinterpret_cast<GetStateFn>(reinterpret_cast<void*>(GetProcAddress(driver, "SimDriver_GetCardState")));
  setTvAudioMode_ = reinterpret_cast<SetModeFn>(reinterpret_cast<void*>(GetProcAddress(driver, "SimDriver_SetTvAudioMode")));
  signalStopped_ = reinterpret_cast<CardFn>(reinterpret_cast<void*>(GetProcAddress(driver, "SimDriver_SignalEncoderStopped")));
}

bool DriverLink::Card(const wchar_t* devicePath, UINT* card) {
  return addCard_ && SUCCEEDED(addCard_(devicePath, card));
}

bool DriverLink::State(UINT card, SimDriverCardState* state) {
  return getState_ && SUCCEEDED(getState_(card, state));
}

HRESULT DriverLink::SetTvAudioMode(UINT card, DWORD mode) {
  return setTvAudioMode_ ? setTvAudioMode_(card, mode) : E_NOINTERFACE;
}

HRESULT DriverLink::SignalEncoderStopped(UINT card) {
  return signalStopped_ ? signalStopped_(card) : E_NOINTERFACE;
}

}  // namespace simcard
