// VornCon.dll: the in-process server of HighQualityVideoControl (threading model "Both",
// aggregatable), its registration and its type library.
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#include <atomic>

#include "board/high_quality_video_control.h"
#include "common/class_registration.h"
#include "common/com_object.h"
#include "common/hresult.h"
#include "common/module.h"
#include "common/path.h"
#include "common/trace.h"

VORN_MODULE_TRACE(kTraceKeyLumacrest2)

namespace {

std::atomic<long> g_locks{0};

const GUID kTypeLib = {0xD79E4235, 0x4DDD, 0x4E07, {0xA6, 0xEC, 0x5F, 0x2D, 0xA8, 0xF3, 0x5E, 0xBC}};
constexpr wchar_t kAppId[] = L"{E7A3E7ED-031C-4315-A460-BFC6CD3DBA94}";
constexpr wchar_t kProgId[] = L"VornCon.HighQualityVideoControl.1";
constexpr wchar_t kCurrentProgId[] = L"VornCon.HighQualityVideoControl";
constexpr wchar_t kClassName[] = L"HighQualityVideoControl Class";

class ClassObject final : public StaticClassObject {
 public:
  STDMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
    return board::CHighQualityVideoControl::Create(outer, iid, out);
  }
  STDMETHODIMP LockServer(BOOL lock) override {
    lock ? ++g_locks : --g_locks;
    return S_OK;
  }
};
ClassObject g_classObject;

std::wstring ClassKey() { return L"CLSID\\" + GuidKeyName(board::kHighQualityVideoControlClass); }

}  // namespace

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (clsid != board::kHighQualityVideoControlClass) return CLASS_E_CLASSNOTAVAILABLE;
  return g_classObject.QueryInterface(iid, out);
}

STDAPI DllCanUnloadNow() {
  return g_locks == 0 && board::CHighQualityVideoControl::Objects() == 0 ? S_OK : S_FALSE;
}

STDAPI DllRegisterServer() {
  return GuardHr(E_FAIL, []() -> HRESULT {
    const std::wstring module = ModulePath::OfModule(ThisModule()).str();
    const std::wstring clsid = GuidKeyName(board::kHighQualityVideoControlClass);
    const ClassesRootValue values[] = {
        {ClassKey(), nullptr, kClassName},
        {ClassKey(), L"AppID", kAppId},
        {ClassKey() + L"\\ProgID", nullptr, kProgId},
        {ClassKey() + L"\\VersionIndependentProgID", nullptr, kCurrentProgId},
        {ClassKey() + L"\\InprocServer32", nullptr, module},
        {ClassKey() + L"\\InprocServer32", L"ThreadingModel", L"Both"},
        {ClassKey() + L"\\TypeLib", nullptr, GuidKeyName(kTypeLib)},
        {kProgId, nullptr, kClassName},
        {std::wstring(kProgId) + L"\\CLSID", nullptr, clsid},
        {kCurrentProgId, nullptr, kClassName},
        {std::wstring(kCurrentProgId) + L"\\CLSID", nullptr, clsid},
        {std::wstring(kCurrentProgId) + L"\\CurVer", nullptr, kProgId},
        {std::wstring(L"AppID\\") + kAppId, nullptr, L"VornCon"},
    };
    for (const auto& value : values) RETURN_IF_FAILED(SetClassesRootValue(value));
    ITypeLib* lib = nullptr;  // resource 1 of this module
    RETURN_IF_FAILED(LoadTypeLibEx(module.c_str(), REGKIND_REGISTER, &lib));
    lib->Release();
    return S_OK;
  });
}

STDAPI DllUnregisterServer() {
  HRESULT result = S_OK;
  for (const std::wstring& key : {ClassKey(), std::wstring(kProgId), std::wstring(kCurrentProgId),
                                  std::wstring(L"AppID\\") + kAppId}) {
    const LSTATUS status = RegDeleteTreeW(HKEY_CLASSES_ROOT, key.c_str());
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND && SUCCEEDED(result))
      result = HResultFromWin32(static_cast<DWORD>(status));
  }
  const HRESULT lib = UnRegisterTypeLib(kTypeLib, 1, 0, LOCALE_NEUTRAL, sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32);
  if (FAILED(lib) && lib != TYPE_E_REGISTRYACCESS && SUCCEEDED(result)) result = lib;
  return result;
}
