// VornCon.dll: the in-process server of HighQualityVideoControl (threading model "Both",
// aggregatable), its registration and its type library.
#include <windows.h>
#include <objbase.h>

#include <atomic>

#include "board/high_quality_video_control.h"
#include "board/inproc_registration.h"
#include "common/com_object.h"
#include "common/hresult.h"
#include "common/trace.h"

VORN_MODULE_TRACE(kTraceKeyLumacrest2)

namespace {

std::atomic<long> g_locks{0};

const board::InprocClass kClass = {
    board::kHighQualityVideoControlClass,
    {0xD79E4235, 0x4DDD, 0x4E07, {0xA6, 0xEC, 0x5F, 0x2D, 0xA8, 0xF3, 0x5E, 0xBC}},
    L"{E7A3E7ED-031C-4315-A460-BFC6CD3DBA94}",
    L"VornCon",
    L"VornCon.HighQualityVideoControl.1",
    L"VornCon.HighQualityVideoControl",
    L"HighQualityVideoControl Class"};

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

STDAPI DllRegisterServer() { return board::RegisterInprocClass(kClass); }

STDAPI DllUnregisterServer() { return board::UnregisterInprocClass(kClass); }
