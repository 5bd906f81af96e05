// platformdoubles.dll: the class table and the registration of the platform filter stand-ins.
// Every class of the table gets its class key; besides them, registration writes the entries
// that the device enumerator reads (HKCR\CLSID\{category}\Instance\<name>) and the VBI codec's
// device-parameter keys under HKLM that name it; unregistration removes them again.
#include <string>

#include "common/class_registration.h"
#include "common/hresult.h"
#include "filters/base/factory.h"
#include "sim/doubles/platform_doubles.h"
#include "sim/doubles/platform_filters.h"

#include <uuids.h>

namespace {

struct CategoryEntry {
  const GUID* category;
  const wchar_t* instance;
  const wchar_t* friendlyName;
  const CLSID* clsid;
};

const CategoryEntry kEntries[] = {
    {&CLSID_AudioRendererCategory, L"SimSound", DOUBLES_SOUND_FRIENDLY_NAME, &doubles::kClsidSimSound},
    {&doubles::kCategoryVbiCodec, L"SimVbiCodec", DOUBLES_VBI_CODEC_NAME, &doubles::kClsidSimVbiCodec},
};

// The device-parameter keys naming the VBI codec; on removal, their parents go too when empty
// (up to the device-class key of the platform's own tree).
const wchar_t* const kVbiParameterKeys[] = {DOUBLES_VBI_PARAMETERS_KEY, DOUBLES_VBI_PARAMETERS_KEY2};

HRESULT SetString(HKEY root, const std::wstring& key, const wchar_t* name, const std::wstring& value) {
  const LSTATUS status = RegSetKeyValueW(root, key.c_str(), name, REG_SZ, value.c_str(),
                                         static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  return HResultFromWin32(static_cast<DWORD>(status));
}

std::wstring InstanceKey(const CategoryEntry& entry) {
  return L"CLSID\\" + GuidKeyName(*entry.category) + L"\\Instance\\" + entry.instance;
}

HRESULT RegisterVbiParameters(bool add) {
  HRESULT result = S_OK;
  for (const wchar_t* key : kVbiParameterKeys) {
    if (add) {
      const HRESULT hr = SetString(HKEY_LOCAL_MACHINE, key, L"FriendlyName", DOUBLES_VBI_CODEC_NAME);
      if (FAILED(hr)) return hr;
      continue;
    }
    std::wstring path = key;
    path.resize(path.rfind(L'\\'));  // "...\#{...}&GLOBAL": ours entirely
    KeepFirstFailure(result, DeleteKeyAndEmptyParents(HKEY_LOCAL_MACHINE, path, 2));
  }
  return result;
}

HRESULT RegisterEntries(bool add) {
  HRESULT result = RegisterVbiParameters(add);
  if (FAILED(result) && add) return result;
  for (const CategoryEntry& entry : kEntries) {
    const std::wstring key = InstanceKey(entry);
    if (!add) {
      KeepFirstFailure(result, DeleteKeyAndEmptyParents(HKEY_CLASSES_ROOT, key, 2));
      continue;
    }
    HRESULT hr = SetString(HKEY_CLASSES_ROOT, key, L"FriendlyName", entry.friendlyName);
    if (SUCCEEDED(hr)) hr = SetString(HKEY_CLASSES_ROOT, key, L"CLSID", GuidKeyName(*entry.clsid));
    if (FAILED(hr)) return hr;
  }
  return result;
}

}  // namespace

const CFactoryTemplate g_Templates[] = {
    {L"SimSound audio renderer", &doubles::kClsidSimSound, &CreateSimSoundRenderer, nullptr, nullptr},
    {L"Sim Line 21 decoder", &CLSID_Line21Decoder, &CreateSimLine21Decoder, nullptr, nullptr},
    {L"Sim VBI codec", &doubles::kClsidSimVbiCodec, &CreateSimVbiCodec, nullptr, nullptr},
    // In no category (no filter setup data): the device manager creates it by class identifier.
    {L"Sim video renderer", &doubles::kClsidSimVideoRenderer, &CreateSimVideoRenderer, nullptr, nullptr},
};
VORN_FILTER_MODULE_DLLMAIN()

STDAPI DllRegisterServer() {
  HRESULT hr = AMovieDllRegisterServer2(TRUE);
  if (SUCCEEDED(hr)) hr = RegisterEntries(true);
  return hr;
}

STDAPI DllUnregisterServer() {
  const HRESULT entries = RegisterEntries(false);
  const HRESULT classes = AMovieDllRegisterServer2(FALSE);
  return FAILED(entries) ? entries : classes;
}
