// A minimal in-process COM server used by the tests of module loading and registration: one
// class whose objects answer IUnknown and IPersist (GetClassID gives the class identifier).
#include <windows.h>
#include <objbase.h>

#include <atomic>

#include "common/com_object.h"
#include "common/module.h"

// {6E0C1A3B-3C55-4F7B-9D2A-0B7E5D3C9A11}
extern "C" const CLSID CLSID_VornTestObject = {0x6e0c1a3b, 0x3c55, 0x4f7b, {0x9d, 0x2a, 0x0b, 0x7e, 0x5d, 0x3c, 0x9a, 0x11}};

namespace {

std::atomic<long> g_objects{0};
std::atomic<long> g_locks{0};

class TestObject final : public SingleInterfaceObject<TestObject, IPersist, IID_IPersist> {
 public:
  TestObject() { ++g_objects; }
  ~TestObject() { --g_objects; }

  // IPersist
  STDMETHODIMP GetClassID(CLSID* clsid) override {
    if (!clsid) return E_POINTER;
    *clsid = CLSID_VornTestObject;
    return S_OK;
  }
};

SingleClassFactory<TestObject> g_factory(g_locks);

}  // namespace

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (clsid != CLSID_VornTestObject) return CLASS_E_CLASSNOTAVAILABLE;
  return g_factory.QueryInterface(iid, out);
}

STDAPI DllCanUnloadNow() { return g_objects == 0 && g_locks == 0 ? S_OK : S_FALSE; }

STDAPI DllRegisterServer() {
  wchar_t path[MAX_PATH];
  const DWORD n = GetModuleFileNameW(ThisModule(), path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return E_FAIL;
  HKEY key = nullptr;
  LONG rc = RegCreateKeyExW(HKEY_CLASSES_ROOT,
                            L"CLSID\\{6E0C1A3B-3C55-4F7B-9D2A-0B7E5D3C9A11}\\InprocServer32", 0,
                            nullptr, 0, KEY_WRITE, nullptr, &key, nullptr);
  if (rc != ERROR_SUCCESS) return HRESULT_FROM_WIN32(rc);
  rc = RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(path), (n + 1) * sizeof(wchar_t));
  if (rc == ERROR_SUCCESS)
    rc = RegSetValueExW(key, L"ThreadingModel", 0, REG_SZ, reinterpret_cast<const BYTE*>(L"Both"), 5 * sizeof(wchar_t));
  RegCloseKey(key);
  return HRESULT_FROM_WIN32(rc);
}

STDAPI DllUnregisterServer() {
  const LONG rc = RegDeleteTreeW(HKEY_CLASSES_ROOT, L"CLSID\\{6E0C1A3B-3C55-4F7B-9D2A-0B7E5D3C9A11}");
  return rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND ? S_OK : HRESULT_FROM_WIN32(rc);
}
