// simcard.dll: the five filter classes of the simulated card, their registration in the device
// categories, and the test controls.
#include <cwchar>
#include <string>

#include "common/class_registration.h"
#include "common/format.h"
#include "common/hresult.h"
#include "filters/base/factory.h"
#include "sim/card/card_filter.h"
#include "sim/card/card_state.h"
#include "sim/card/live_pin.h"
#include "sim/card/sim_card.h"

namespace {

using namespace simcard;

struct RoleInfo {
  const CLSID* clsid;
  const GUID* category;
  const wchar_t* friendlyName;
  const wchar_t* pathClass;  // the interface class in the device path
  const wchar_t* suffix;
};

const RoleInfo kRoles[kSimRoleCount] = {
    {&kClsidSimTuner, &kCategoryTvTuner, SIM_CARD_TUNER_NAME, L"a799a800-a46d-11d0-a18c-00a02401dcd4", L"tuner"},
    {&kClsidSimCrossbar, &kCategoryCrossbar, SIM_CARD_CROSSBAR_NAME, L"a799a801-a46d-11d0-a18c-00a02401dcd4", L"crossbar"},
    {&kClsidSimTvAudio, &kCategoryTvAudio, SIM_CARD_TVAUDIO_NAME, L"a799a802-a46d-11d0-a18c-00a02401dcd4", L"tvaudio"},
    {&kClsidSimCapture, &kCategoryVideoInput, SIM_CARD_CAPTURE_NAME, L"65e8773d-8f56-11d0-a3b9-00a0c9223196", L"capture"},
    {&kClsidSimEncoder, &kCategoryEncoder, SIM_CARD_ENCODER_NAME, L"19689bf6-c384-48fd-ad51-90e58c79f70b", L"encoder"},
};

constexpr UINT kMaxCards = 16;

// The class registered for a role under a family's names: the second family's capture and
// encoder have pin layouts of their own.
const CLSID* FamilyClass(UINT family, UINT role) {
  if (family == kSimFamilyRul && role == kSimRoleCapture) return &kClsidSimRulCapture;
  if (family == kSimFamilyRul && role == kSimRoleEncoder) return &kClsidSimRulEncoder;
  if (family == kSimFamilyPex && role == kSimRoleEncoder) return &kClsidSimPexEncoder;
  return kRoles[role].clsid;
}

std::wstring DevicePath(UINT index, UINT role) {
  return FormatW(L"\\\\?\\sim#ven_5a52&dev_7130&subsys_00011a2b&rev_01#3&2411e6fe&0&%u#{%ls}\\%ls", 48 + 2 * index,
                 kRoles[role].pathClass, kRoles[role].suffix);
}

std::wstring InstanceKey(UINT index, UINT role) {
  return L"CLSID\\" + GuidKeyName(*kRoles[role].category) + L"\\Instance\\" + FormatW(L"SimCard%u_%u", index, role);
}

HRESULT SetString(const std::wstring& key, const wchar_t* name, const std::wstring& value) {
  const LSTATUS status = RegSetKeyValueW(HKEY_CLASSES_ROOT, key.c_str(), name, REG_SZ, value.c_str(),
                                         static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  return HResultFromWin32(static_cast<DWORD>(status));
}

std::shared_ptr<CardState> CardOf(const wchar_t* devicePath) { return FindOrCreateCard(devicePath); }

// The third family's preview source: a second filter of the card in the video-input category.
HRESULT RegisterPexPreview(UINT index, BOOL add) {
  const std::wstring key = L"CLSID\\" + GuidKeyName(kCategoryVideoInput) + L"\\Instance\\" +
                           FormatW(L"SimCard%u_F%u_0_%u", index, static_cast<UINT>(kSimFamilyPex),
                                   static_cast<UINT>(kSimRolePexPreview));
  if (!add) return DeleteKeyAndEmptyParents(HKEY_CLASSES_ROOT, key, 2);
  std::wstring path = DevicePath(index, kSimRoleCapture);
  path.replace(path.rfind(L'\\') + 1, std::wstring::npos, L"preview");
  HRESULT hr = SetString(key, L"FriendlyName", SIM_CARD_PEX_PREVIEW_NAME);
  if (SUCCEEDED(hr)) hr = SetString(key, L"CLSID", GuidKeyName(kClsidSimPexPreview));
  if (SUCCEEDED(hr)) hr = SetString(key, L"DevicePath", path);
  return hr;
}

}  // namespace

const CFactoryTemplate g_Templates[] = {
    {L"Sim TV Tuner", &kClsidSimTuner, &CreateTunerFilter, nullptr, nullptr},
    {L"Sim Crossbar", &kClsidSimCrossbar, &CreateCrossbarFilter, nullptr, nullptr},
    {L"Sim TV Audio", &kClsidSimTvAudio, &CreateTvAudioFilter, nullptr, nullptr},
    {L"Sim Capture", &kClsidSimCapture, &CreateCaptureFilter, nullptr, nullptr},
    {L"Sim Encoder", &kClsidSimEncoder, &CreateEncoderFilter, nullptr, nullptr},
    {L"Sim Numbered Capture", &kClsidSimRulCapture, &CreateRulCaptureFilter, nullptr, nullptr},
    {L"Sim Numbered Encoder", &kClsidSimRulEncoder, &CreateRulEncoderFilter, nullptr, nullptr},
    {L"Sim TAVO Preview", &kClsidSimPexPreview, &CreatePexPreviewFilter, nullptr, nullptr},
    {L"Sim TAVO Encoder", &kClsidSimPexEncoder, &CreatePexEncoderFilter, nullptr, nullptr},
};
VORN_FILTER_MODULE_DLLMAIN()

extern "C" {

HRESULT SimCard_RegisterCard(UINT index, BOOL add) {
  if (index >= kMaxCards) return E_INVALIDARG;
  for (UINT role = 0; role < kSimRoleCount; ++role) {
    const std::wstring key = InstanceKey(index, role);
    if (!add) {
      // The category's "Instance" key and the category key go too when ours were all they held.
      RETURN_IF_FAILED(DeleteKeyAndEmptyParents(HKEY_CLASSES_ROOT, key, 2));
      continue;
    }
    HRESULT hr = SetString(key, L"FriendlyName", kRoles[role].friendlyName);
    if (SUCCEEDED(hr)) hr = SetString(key, L"CLSID", GuidKeyName(*kRoles[role].clsid));
    if (SUCCEEDED(hr)) hr = SetString(key, L"DevicePath", DevicePath(index, role));
    if (FAILED(hr)) return hr;
  }
  return S_OK;
}

HRESULT SimCard_RegisterFamilyCard(UINT index, UINT family, UINT tuners, BOOL add) {
  static const wchar_t* const kRulNames[kSimRoleCount] = {SIM_CARD_RUL_TUNER_NAME, SIM_CARD_RUL_CROSSBAR_NAME,
                                                           SIM_CARD_RUL_TVAUDIO_NAME, SIM_CARD_RUL_CAPTURE_NAME,
                                                           SIM_CARD_RUL_ENCODER_NAME};
  static const wchar_t* const kPexNames[kSimRoleCount] = {SIM_CARD_PEX_TUNER_NAME, SIM_CARD_PEX_CROSSBAR_NAME,
                                                           SIM_CARD_PEX_TVAUDIO_NAME, SIM_CARD_PEX_CAPTURE_NAME,
                                                           SIM_CARD_PEX_ENCODER_NAME};
  if (index >= kMaxCards || (family != kSimFamilyRul && family != kSimFamilyPex)) return E_INVALIDARG;
  const bool numbered = family == kSimFamilyRul;
  if (add && numbered && (tuners < 1 || tuners > kSimCardMaxTuners)) return E_INVALIDARG;
  const UINT sets = !numbered ? 1 : add ? tuners : kSimCardMaxTuners;
  for (UINT tuner = 0; tuner < sets; ++tuner) {
    for (UINT role = 0; role < kSimRoleCount; ++role) {
      const std::wstring key = L"CLSID\\" + GuidKeyName(*kRoles[role].category) + L"\\Instance\\" +
                               FormatW(L"SimCard%u_F%u_%u_%u", index, family, tuner, role);
      if (!add) {
        RETURN_IF_FAILED(DeleteKeyAndEmptyParents(HKEY_CLASSES_ROOT, key, 2));
        continue;
      }
      const std::wstring name = numbered ? FormatW(kRulNames[role], tuner + 1) : std::wstring(kPexNames[role]);
      HRESULT hr = SetString(key, L"FriendlyName", name);
      if (SUCCEEDED(hr)) hr = SetString(key, L"CLSID", GuidKeyName(*FamilyClass(family, role)));
      if (SUCCEEDED(hr)) hr = SetString(key, L"DevicePath", DevicePath(index, role));
      if (FAILED(hr)) return hr;
    }
  }
  return numbered ? S_OK : RegisterPexPreview(index, add);
}

HRESULT SimCard_GetDevicePath(UINT index, UINT role, wchar_t* path, UINT chars) {
  if (!path) return E_POINTER;
  if (index >= kMaxCards || role >= kSimRoleCount) return E_INVALIDARG;
  const std::wstring text = DevicePath(index, role);
  if (chars <= text.size()) return HResultFromWin32(ERROR_INSUFFICIENT_BUFFER);
  wmemcpy(path, text.c_str(), text.size() + 1);
  return S_OK;
}

HRESULT SimCard_SetCrossbarVariant(const wchar_t* devicePath, UINT variant) {
  auto card = CardOf(devicePath);
  if (!card || variant > kSimCrossbarAuxNoRelated) return E_INVALIDARG;
  card->SetCrossbarVariant(variant);
  return S_OK;
}

HRESULT SimCard_GetRouteLog(const wchar_t* devicePath, SimCardRoute* routes, UINT capacity, UINT* count) {
  if (!count || (capacity && !routes)) return E_POINTER;
  auto card = CardOf(devicePath);
  if (!card) return E_INVALIDARG;
  const std::vector<SimCardRoute> log = card->RouteLog();
  *count = 0;
  for (const SimCardRoute& route : log) {
    if (*count >= capacity) break;
    routes[(*count)++] = route;
  }
  return S_OK;
}

HRESULT SimCard_SetTunerInputType(const wchar_t* devicePath, LONG type) {
  auto card = CardOf(devicePath);
  if (!card) return E_INVALIDARG;
  card->SetTunerInputType(type);
  return S_OK;
}

HRESULT SimCard_SetTvAudioMode(const wchar_t* devicePath, DWORD mode) {
  UINT driverCard = 0;
  if (!CardOf(devicePath)) return E_INVALIDARG;
  if (!DriverLink::Instance().Card(devicePath, &driverCard)) return E_NOINTERFACE;
  return DriverLink::Instance().SetTvAudioMode(driverCard, mode);
}

HRESULT SimCard_SetProcAmpRange(const wchar_t* devicePath, LONG property, LONG minimum, LONG maximum, LONG step,
                                LONG defaultValue, LONG flags) {
  auto card = CardOf(devicePath);
  if (!card || minimum > maximum || defaultValue < minimum || defaultValue > maximum) return E_INVALIDARG;
  return card->SetProcAmpRange(property, ProcAmpRange{minimum, maximum, step, defaultValue, flags, defaultValue,
                                                      flags == 1 ? 1 : 2});
}

HRESULT SimCard_SetCaptureFormat(const wchar_t* devicePath, UINT format) {
  auto card = CardOf(devicePath);
  if (!card || format > kSimCaptureInterlaced) return E_INVALIDARG;
  card->SetCaptureFormat(format);
  return S_OK;
}

HRESULT SimCard_SetEncoderStopMode(const wchar_t* devicePath, UINT mode, DWORD delayMs) {
  auto card = CardOf(devicePath);
  if (!card || mode > kSimEncoderStopNever) return E_INVALIDARG;
  card->SetEncoderStop(mode, delayMs);
  return S_OK;
}

HRESULT SimCard_InjectFailure(const wchar_t* devicePath, const char* method, HRESULT error, UINT times) {
  if (!method) return E_POINTER;
  auto card = CardOf(devicePath);
  if (!card || SUCCEEDED(error)) return E_INVALIDARG;
  card->InjectFailure(method, error, times);
  return S_OK;
}

HRESULT SimCard_PostCaptureEvent(const wchar_t* devicePath, LONG code, LONG_PTR param1, LONG_PTR param2) {
  const std::wstring key = CardKey(devicePath);
  if (key.empty()) return E_INVALIDARG;
  return PostCaptureEvent(key, code, param1, param2);
}

HRESULT SimCard_SetKsSupport(const wchar_t* devicePath, const GUID* set, DWORD id, DWORD support) {
  auto card = CardOf(devicePath);
  if (!card || !set) return E_INVALIDARG;
  return card->ks().SetSupport(*set, id, support);
}

HRESULT SimCard_SetKsValues(const wchar_t* devicePath, const GUID* set, DWORD id, LONG value1, LONG value2) {
  auto card = CardOf(devicePath);
  if (!card || !set) return E_INVALIDARG;
  return card->ks().SetValues(*set, id, value1, value2);
}

HRESULT SimCard_SetKsReturned(const wchar_t* devicePath, const GUID* set, DWORD id, DWORD returned) {
  auto card = CardOf(devicePath);
  if (!card || !set) return E_INVALIDARG;
  return card->ks().SetReturned(*set, id, returned);
}

HRESULT SimCard_GetKsLog(const wchar_t* devicePath, SimCardKsWrite* writes, UINT capacity, UINT* count) {
  if (!count || (capacity && !writes)) return E_POINTER;
  auto card = CardOf(devicePath);
  if (!card) return E_INVALIDARG;
  *count = 0;
  for (const SimCardKsWrite& write : card->ks().Log()) {
    if (*count >= capacity) break;
    writes[(*count)++] = write;
  }
  return S_OK;
}

HRESULT SimCard_GetCounters(const wchar_t* devicePath, SimCardCounters* counters) {
  if (!counters) return E_POINTER;
  auto card = CardOf(devicePath);
  if (!card) return E_INVALIDARG;
  *counters = card->counters();
  return S_OK;
}

HRESULT SimCard_GetPicture(const wchar_t* devicePath, SimCardPicture* picture) {
  if (!picture) return E_POINTER;
  auto card = CardOf(devicePath);
  if (!card) return E_INVALIDARG;
  UINT driverCard = 0;
  SimDriverCardState state{};
  DWORD frequency = 0;
  if (DriverLink::Instance().Card(devicePath, &driverCard) && DriverLink::Instance().State(driverCard, &state)) {
    frequency = state.frequency;
  }
  *picture = card->Picture(frequency);
  return S_OK;
}

HRESULT SimCard_GetKsData(const wchar_t* devicePath, const GUID* set, DWORD id, LONG* values, UINT count) {
  if (!values || !set) return E_POINTER;
  auto card = CardOf(devicePath);
  if (!card) return E_INVALIDARG;
  LONG all[kSimKsMaxValues] = {};
  RETURN_IF_FAILED(card->ks().Values(*set, id, all));
  for (UINT i = 0; i < count; ++i) values[i] = i < kSimKsMaxValues ? all[i] : 0;
  return S_OK;
}

HRESULT SimCard_SignalKsEvent(const wchar_t* devicePath, const GUID* set, DWORD id) {
  auto card = CardOf(devicePath);
  if (!card || !set) return E_INVALIDARG;
  const HANDLE event = card->ks().RegisteredHandle(*set, id);
  if (!event) return S_FALSE;
  return SetEvent(event) ? S_OK : HResultFromLastError();
}

HRESULT SimCard_SetPreviewFormat(const wchar_t* devicePath, UINT format) {
  auto card = CardOf(devicePath);
  if (!card || format > kSimPreviewNoBlock) return E_INVALIDARG;
  card->SetPreviewFormat(format);
  return S_OK;
}

HRESULT SimCard_ResetAll() {
  ResetCards();
  return S_OK;
}

HRESULT SimCard_SetPumpStopTimeout(DWORD ms) {
  simcard::LivePin::SetStopTimeout(ms);
  return S_OK;
}

}  // extern "C"

// Registers the classes and card 0.
STDAPI DllRegisterServer() {
  const HRESULT hr = AMovieDllRegisterServer2(TRUE);
  return FAILED(hr) ? hr : SimCard_RegisterCard(0, TRUE);
}

STDAPI DllUnregisterServer() {
  for (UINT index = 0; index < kMaxCards; ++index) {
    SimCard_RegisterCard(index, FALSE);
    SimCard_RegisterFamilyCard(index, kSimFamilyRul, 0, FALSE);
    SimCard_RegisterFamilyCard(index, kSimFamilyPex, 0, FALSE);
  }
  return AMovieDllRegisterServer2(FALSE);
}
