#include "board/inproc_registration.h"

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
    RETURN_IF_FAILED(SetClassesRootValues({
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
    }));
    return RegisterModuleTypeLib(module);  // resource 1 of this module
  });
}

HRESULT UnregisterInprocClass(const InprocClass& c) {
  return GuardHr(E_FAIL, [&]() -> HRESULT {
    const std::wstring module = ModulePath::OfModule(ThisModule()).str();
    const std::wstring clsid = GuidKeyName(c.clsid);
    // Each key only while it still names this class and module.
    HRESULT result = S_OK;
    KeepFirstFailure(result, DeleteOwnedKey({c.progId, L"CLSID", nullptr}, clsid));
    KeepFirstFailure(result, DeleteOwnedKey({c.currentProgId, L"CLSID", nullptr}, clsid));
    KeepFirstFailure(result, DeleteOwnedKey({L"CLSID\\" + clsid, L"InprocServer32", nullptr}, module));
    KeepFirstFailure(result, DeleteOwnedKey({std::wstring(L"AppID\\") + c.appId, L"", nullptr}, c.appName));
    KeepFirstFailure(result, UnregisterModuleTypeLib(c.typeLib, 1, 0, module));
    return result;
  });
}

}  // namespace board
