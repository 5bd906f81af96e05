#include "sim/host/sim_environment.h"

#include <algorithm>

#include "common/format.h"
#include "common/hresult.h"
#include "common/module.h"
#include "common/trace.h"
#include "sim/doubles/outside_interfaces.h"
#include "sim/doubles/platform_doubles.h"
#include "sim/driver/sim_driver.h"

namespace sim_host {
namespace {

using EntryFn = HRESULT(STDAPICALLTYPE*)();
// The card's controls, taken from the registered copy of simcard.dll (their declarations in
// sim_card.h give the calling convention).
using RegisterCardFn = decltype(&SimCard_RegisterCard);
using DevicePathFn = decltype(&SimCard_GetDevicePath);
using ResetFn = decltype(&SimCard_ResetAll);

constexpr wchar_t kTamModule[] = L"tamDevice.dll";
constexpr wchar_t kCardModule[] = L"simcard.dll";
constexpr wchar_t kSettingsName[] = L"tamDevice.ini";
constexpr wchar_t kZarn[] = L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Zarn Corporation\\";
constexpr wchar_t kSoundFilter[] = L"SimFilter";  // the audio filter driver, also the playback device

HRESULT ReadWholeFile(const std::wstring& path, bool* exists, std::string* bytes) {
  *exists = false;
  bytes->clear();
  UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, 0, nullptr));
  if (!file) return GetLastError() == ERROR_FILE_NOT_FOUND ? S_OK : HResultFromLastError();
  *exists = true;
  char buffer[4096];
  DWORD read = 0;
  while (ReadFile(file.get(), buffer, sizeof(buffer), &read, nullptr) && read) bytes->append(buffer, read);
  return S_OK;
}

HRESULT WriteWholeFile(const std::wstring& path, const std::string& bytes) {
  UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  if (!file) return HResultFromLastError();
  DWORD written = 0;
  if (!WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
      written != bytes.size())
    return HResultFromLastError();
  return S_OK;
}

}  // namespace

const wchar_t* const kRegisteredModules[5] = {L"vorn_halitem.dll", kTamModule, kCardModule, L"filterdoubles.dll",
                                              DOUBLES_PLATFORM_FILE};
const wchar_t* const kFileModules[13] = {
    DOUBLES_CALLBACK_FILE, DOUBLES_ANALYZER_FILE, DOUBLES_SELECTOR_FILE, DOUBLES_RATEMATCH_FILE, DOUBLES_OSD_FILE,
    DOUBLES_DEINTERLACE_FILE, DOUBLES_MOR_FILE, DOUBLES_VIDEOINFO_FILE, DOUBLES_MIXER1_FILE, DOUBLES_MIXER2_FILE,
    L"VideoPacer.ax", L"AudioPacer.ax", L"QfaTesk.ax"};

HRESULT CallServerEntry(const std::wstring& path, const char* entry, HMODULE* module) {
  if (module) *module = nullptr;
  UniqueModule loaded(LoadLibraryW(path.c_str()));
  if (!loaded) return HResultFromLastError();
  const auto fn = GetProcAs<EntryFn>(loaded.get(), entry);
  if (!fn) return HResultFromLastError();
  const HRESULT hr = fn();
  if (module) *module = loaded.release();
  return hr;
}

RegistryKeyPath BoardInfoKey() { return RegistryKeyPath(WideString(std::wstring(kZarn) + L"TunerBrdInfo")); }

RegistryKeyPath TunerKey(DWORD boardType, DWORD tunerNumber, const wchar_t* subKey) {
  return BoardInfoKey().SubKey(FormatW(L"BoardType%lu\\Tuner%lu\\%ls", static_cast<unsigned long>(boardType),
                                       static_cast<unsigned long>(tunerNumber + 1), subKey));
}

RegistryKeyPath TovrelKey() { return RegistryKeyPath(WideString(std::wstring(kZarn) + L"Tovrel")); }

SimEnvironment::SimEnvironment(std::wstring binFolder) : bin_(std::move(binFolder)) {}

HRESULT SimEnvironment::Fail(HRESULT hr, std::wstring what) {
  error_ = FormatW(L"%ls: 0x%08lX", what.c_str(), static_cast<unsigned long>(hr));
  return hr;
}

HMODULE SimEnvironment::Loaded(const wchar_t* name) const noexcept {
  for (const Server& s : servers_)
    if (s.name == name) return s.module.get();
  return nullptr;
}

HMODULE SimEnvironment::tamModule() const noexcept { return Loaded(kTamModule); }

std::wstring SimEnvironment::DevicePath(UINT card, UINT role) const {
  const auto get = GetProcAs<DevicePathFn>(Loaded(kCardModule), "SimCard_GetDevicePath");
  wchar_t path[MAX_PATH] = {};
  return get && SUCCEEDED(get(card, role, path, MAX_PATH)) ? path : L"";
}

SettingsFile SimEnvironment::settings() const { return SettingsFile(PathString(bin_ + L"\\" + kSettingsName)); }

HRESULT SimEnvironment::Install(const std::vector<UINT>& cards) {
  error_.clear();
  if (!servers_.empty()) return Fail(HResultFromWin32(ERROR_ALREADY_INITIALIZED), L"installed already");
  for (const wchar_t* name : kFileModules) {
    const std::wstring path = bin_ + L"\\" + name;
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY))
      return Fail(HResultFromWin32(ERROR_FILE_NOT_FOUND),
                  FormatW(L"%ls is missing beside tamDevice.dll", path.c_str()));
  }
  const HRESULT hr = [&]() -> HRESULT {
    for (const wchar_t* name : kRegisteredModules) {
      HMODULE module = nullptr;
      const HRESULT registered = CallServerEntry(bin_ + L"\\" + name, "DllRegisterServer", &module);
      // A module that loaded is kept even when its registration failed: Remove unregisters it.
      if (module) servers_.push_back({name, UniqueModule(module)});
      if (FAILED(registered)) return Fail(registered, FormatW(L"%ls DllRegisterServer", name));
    }
    RETURN_IF_FAILED(RegisterCards(cards));
    RETURN_IF_FAILED(SetSetting(L"SetChannel", L"Interval", L"100"));
    return SetSetting(L"REC", L"minimum REC time", L"100");
  }();
  if (FAILED(hr)) {
    const std::wstring what = error_;
    Remove();
    error_ = what;
  }
  return hr;
}

HRESULT SimEnvironment::RegisterCards(const std::vector<UINT>& cards) {
  const HMODULE module = Loaded(kCardModule);
  const auto registerCard = GetProcAs<RegisterCardFn>(module, "SimCard_RegisterCard");
  const auto reset = GetProcAs<ResetFn>(module, "SimCard_ResetAll");
  if (!registerCard || !reset) return Fail(HResultFromWin32(ERROR_PROC_NOT_FOUND), L"simcard.dll controls");
  // Registering the module puts card 0 in the categories: only the cards asked for stay.
  if (std::find(cards.begin(), cards.end(), 0u) == cards.end()) registerCard(0, FALSE);
  for (const UINT card : cards) {
    const HRESULT hr = registerCard(card, TRUE);
    if (FAILED(hr)) return Fail(hr, FormatW(L"SimCard_RegisterCard(%u)", card));
    cards_.push_back(card);
  }
  reset();  // every card's state starts from its defaults
  return S_OK;
}

HRESULT SimEnvironment::SetSetting(const wchar_t* section, const wchar_t* key, const std::wstring& value) {
  const std::wstring path = settings().path().str();
  if (!settingsTouched_) {
    const HRESULT read = ReadWholeFile(path, &settingsExisted_, &settingsBefore_);
    if (FAILED(read)) return Fail(read, FormatW(L"read %ls", path.c_str()));
    settingsTouched_ = true;
  }
  if (!WritePrivateProfileStringW(section, key, value.c_str(), path.c_str()))
    return Fail(HResultFromLastError(), FormatW(L"write [%ls] %ls to %ls", section, key, path.c_str()));
  return S_OK;
}

HRESULT SimEnvironment::RestoreSettings() noexcept {
  if (!settingsTouched_) return S_OK;
  settingsTouched_ = false;
  const std::wstring path = settings().path().str();
  // The profile functions keep a file cached: flush it before the file changes under them.
  WritePrivateProfileStringW(nullptr, nullptr, nullptr, path.c_str());
  if (settingsExisted_) return WriteWholeFile(path, settingsBefore_);
  if (!DeleteFileW(path.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND) return HResultFromLastError();
  return S_OK;
}

HRESULT SimEnvironment::SetTrace(DWORD trace, const std::wstring& logPath) {
  const RegistryKeyPath key{WideString(kTraceKeyTovrel)};
  RETURN_IF_FAILED(registry_.SetDword(key, L"trace", trace));
  return registry_.SetString(key, L"log", logPath);
}

HRESULT SimEnvironment::BypassSound() { return sim_host::BypassSound(registry_); }

HRESULT BypassSound(RegistryJournal& journal) {
  const RegistryKeyPath app{WideString(std::wstring(kZarn) + L"Belvane Audio Filter\\App")};
  RETURN_IF_FAILED(journal.SetString(app, L"EnableTVLive", L"0"));
  RETURN_IF_FAILED(journal.SetString(app, L"FilterDriverName", kSoundFilter));
  RETURN_IF_FAILED(journal.SetString(
      RegistryKeyPath(WideString(L"HKEY_CURRENT_USER\\Software\\Microsoft\\Multimedia\\Sound Mapper")), L"Playback",
      kSoundFilter));
  return journal.SetString(
      RegistryKeyPath(WideString(L"HKEY_CURRENT_USER\\Software\\Zarn Corporation\\Belvane Audio Filter\\Settings")),
      L"SoundDriver", DOUBLES_SOUND_DRIVER);
}

HRESULT SimEnvironment::AttachDriver(const wchar_t* stateName, UINT* patched) {
  const HMODULE tam = tamModule();
  if (!tam) return Fail(E_UNEXPECTED, L"AttachDriver before Install");
  HRESULT hr = SimDriver_Connect(stateName);
  if (FAILED(hr)) return Fail(hr, L"SimDriver_Connect");
  for (const UINT card : cards_) {
    UINT index = 0;
    hr = SimDriver_AddCard(DevicePath(card).c_str(), &index);
    if (FAILED(hr)) return Fail(hr, FormatW(L"SimDriver_AddCard(card %u)", card));
  }
  hr = SimDriver_Attach(tam, patched);
  if (FAILED(hr)) return Fail(hr, L"SimDriver_Attach(tamDevice.dll)");
  attached_ = tam;
  return S_OK;
}

HRESULT SimEnvironment::Remove() noexcept {
  HRESULT result = S_OK;
  const auto note = [&](HRESULT hr, const wchar_t* what, const wchar_t* detail = L"") {
    if (FAILED(hr) && SUCCEEDED(result)) result = GuardHr(hr, [&] { return Fail(hr, std::wstring(what) + detail); });
  };
  if (attached_) {
    note(SimDriver_Detach(attached_), L"SimDriver_Detach(tamDevice.dll)");
    attached_ = nullptr;
  }
  if (const auto registerCard = GetProcAs<RegisterCardFn>(Loaded(kCardModule), "SimCard_RegisterCard"))
    for (const UINT card : cards_) note(registerCard(card, FALSE), L"SimCard_RegisterCard(remove)");
  cards_.clear();
  while (!servers_.empty()) {
    Server& server = servers_.back();
    const auto unregister = GetProcAs<EntryFn>(server.module.get(), "DllUnregisterServer");
    note(unregister ? unregister() : HResultFromWin32(ERROR_PROC_NOT_FOUND), server.name.c_str(),
         L" DllUnregisterServer");
    servers_.pop_back();  // unloads it (COM keeps what it loaded itself)
  }
  note(RestoreSettings(), L"restore tamDevice.ini");
  note(registry_.Restore(), L"restore the registry");
  return result;
}

}  // namespace sim_host
