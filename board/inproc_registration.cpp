#include "board/inproc_registration.h"

#include <oleauto.h>

#include "common/class_registration.h"
#include "common/hresult.h"
#include "common/module.h"
#include "common/path.h"

namespace board {

HRESULT RegisterInprocClass(const InprocClass& c) {
  return GuardHr(E_FAIL, [&]() -> HRESULT {
    const std::wstring module = ModulePath::OfModule(ThisModule()).str();
    const std::wstring clsid = GuidKeyName(c.clsid);
    const std::wstring classKey = L"CLSID\\" + clsid;
    const std::wstring progId = c.progId, current = c.currentProgId;
    const ClassesRootValue values[] = {
        {classKey, nullptr, c.className},
        {classKey, L"AppID", c.appId},
        {classKey + L"\\ProgID", nullptr, progId},
        {classKey + L"\\VersionIndependentProgID", nullptr, current},
        {classKey + L"\\InprocServer32", nullptr, module},
        {classKey + L"\\InprocServer32", L"ThreadingModel", L"Both"},
        {classKey + L"\\TypeLib", nullptr, GuidKeyName(c.typeLib)},
        {progId, nullptr, c.className},
        {progId + L"\\CLSID", nullptr, clsid},
        {current, nullptr, c.className},
        {current + L"\\CLSID", nullptr, clsid},
        {current + L"\\CurVer", nullptr, progId},
        {std::wstring(L"AppID\\") + c.appId, nullptr, c.appName},
    };
    for (const auto& value : values) RETURN_IF_FAILED(SetClassesRootValue(value));
    ITypeLib* lib = nullptr;  // resource 1 of this module
    RETURN_IF_FAILED(LoadTypeLibEx(module.c_str(), REGKIND_REGISTER, &lib));
    lib->Release();
    return S_OK;
  });
}

HRESULT UnregisterInprocClass(const InprocClass& c) {
  return GuardHr(E_FAIL, [&]() -> HRESULT {
    HRESULT result = S_OK;
    for (const std::wstring& key : {L"CLSID\\" + GuidKeyName(c.clsid), std::wstring(c.progId),
                                    std::wstring(c.currentProgId), std::wstring(L"AppID\\") + c.appId}) {
      const LSTATUS status = RegDeleteTreeW(HKEY_CLASSES_ROOT, key.c_str());
      if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND && SUCCEEDED(result))
        result = HResultFromWin32(static_cast<DWORD>(status));
    }
    const HRESULT lib = UnRegisterTypeLib(c.typeLib, 1, 0, LOCALE_NEUTRAL, sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32);
    if (FAILED(lib) && lib != TYPE_E_REGISTRYACCESS && SUCCEEDED(result)) result = lib;
    return result;
  });
}

}  // namespace board
