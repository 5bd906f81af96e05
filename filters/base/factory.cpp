#include "filters/base/factory.h"

#include <atomic>
#include <string>

#include "common/class_registration.h"
#include "common/handles.h"
#include "common/hresult.h"
#include "common/module.h"
#include "common/path.h"

namespace {

std::atomic<long> g_serverLocks{0};

// One factory object per DllGetClassObject request; it counts as a live object, so a caller
// holding a factory keeps the module loaded.
class CClassFactory final : public CUnknown, public IClassFactory {
 public:
  explicit CClassFactory(const CFactoryTemplate& entry)
      : CUnknown(L"Class factory", nullptr), entry_(entry) {}

  DECLARE_IUNKNOWN

  STDMETHODIMP NonDelegatingQueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    if (iid == IID_IClassFactory) return GetInterface(static_cast<IClassFactory*>(this), out);
    return CUnknown::NonDelegatingQueryInterface(iid, out);
  }

  // IClassFactory
  STDMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    // An aggregated object hands its outer object nothing but its own IUnknown.
    if (outer && iid != IID_IUnknown) return CLASS_E_NOAGGREGATION;
    HRESULT hr = S_OK;
    CUnknown* object = nullptr;
    const HRESULT created = GuardHr(E_UNEXPECTED, [&]() -> HRESULT {
      object = entry_.m_lpfnNew(outer, &hr);
      return S_OK;
    });
    if (FAILED(created)) return created;
    if (!object) return FAILED(hr) ? hr : E_OUTOFMEMORY;
    if (FAILED(hr)) {
      delete object;
      return hr;
    }
    object->NonDelegatingAddRef();
    hr = object->NonDelegatingQueryInterface(iid, out);
    object->NonDelegatingRelease();
    return hr;
  }

  STDMETHODIMP LockServer(BOOL lock) override {
    if (lock) {
      ++g_serverLocks;
    } else if (g_serverLocks.fetch_sub(1) <= 0) {
      ++g_serverLocks;  // an unbalanced unlock never drives the count below zero
    }
    return S_OK;
  }

 private:
  const CFactoryTemplate& entry_;
};

const CFactoryTemplate* FindTemplate(REFCLSID clsid) {
  for (int i = 0; i < g_cTemplates; ++i) {
    if (g_Templates[i].IsClassID(clsid)) return &g_Templates[i];
  }
  return nullptr;
}

std::wstring ClassKeyPath(REFCLSID clsid) { return L"CLSID\\" + GuidKeyName(clsid); }

// COM for the mapper calls, on whatever thread registration runs.
class ComScope {
 public:
  ComScope() : hr_(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
  ~ComScope() {
    if (SUCCEEDED(hr_)) CoUninitialize();
  }
  ComScope(const ComScope&) = delete;
  ComScope& operator=(const ComScope&) = delete;

 private:
  HRESULT hr_;
};

HRESULT CreateMapper(IFilterMapper2** mapper) {
  return CoCreateInstance(CLSID_FilterMapper2, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterMapper2,
                          reinterpret_cast<void**>(mapper));
}

bool IsNotFound(HRESULT hr) {
  return hr == HResultFromWin32(ERROR_FILE_NOT_FOUND) || hr == HResultFromWin32(ERROR_PATH_NOT_FOUND);
}

}  // namespace

HINSTANCE ModuleInstance() noexcept { return ThisModule(); }

long ServerLockCount() noexcept { return g_serverLocks.load(); }

BOOL WINAPI DllEntryPoint(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH || reason == DLL_PROCESS_DETACH) {
    const BOOL loading = reason == DLL_PROCESS_ATTACH;
    for (int i = 0; i < g_cTemplates; ++i) {
      if (g_Templates[i].m_lpfnInit) {
        GuardNoThrow([&] { g_Templates[i].m_lpfnInit(loading, g_Templates[i].m_ClsID); });
      }
    }
  }
  return TRUE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (iid != IID_IUnknown && iid != IID_IClassFactory) return E_NOINTERFACE;
  const CFactoryTemplate* entry = FindTemplate(clsid);
  if (!entry) return CLASS_E_CLASSNOTAVAILABLE;
  auto* factory = new (std::nothrow) CClassFactory(*entry);
  if (!factory) return E_OUTOFMEMORY;
  factory->NonDelegatingAddRef();
  const HRESULT hr = factory->NonDelegatingQueryInterface(iid, out);
  factory->NonDelegatingRelease();
  return hr;
}

STDAPI DllCanUnloadNow() {
  return CUnknown::ObjectCount() == 0 && g_serverLocks.load() == 0 ? S_OK : S_FALSE;
}

FilterRegistration::FilterRegistration(const AMOVIESETUP_FILTER& setup) {
  size_t typeCount = 0;
  for (UINT p = 0; p < setup.nPins; ++p) typeCount += setup.lpPin[p].nMediaTypes;
  types.reserve(typeCount);  // the pins point into it: no reallocation below
  pins.reserve(setup.nPins);
  for (UINT p = 0; p < setup.nPins; ++p) {
    const AMOVIESETUP_PIN& pin = setup.lpPin[p];
    REGFILTERPINS2 out{};
    out.dwFlags = (pin.bRendered ? REG_PINFLAG_B_RENDERER : 0) | (pin.bOutput ? REG_PINFLAG_B_OUTPUT : 0) |
                  (pin.bZero ? REG_PINFLAG_B_ZERO : 0) | (pin.bMany ? REG_PINFLAG_B_MANY : 0);
    out.cInstances = 0;
    out.nMediaTypes = pin.nMediaTypes;
    out.lpMediaType = types.data() + types.size();
    for (UINT t = 0; t < pin.nMediaTypes; ++t) {
      types.push_back(REGPINTYPES{pin.lpMediaType[t].clsMajorType, pin.lpMediaType[t].clsMinorType});
    }
    if (pin.nMediaTypes == 0) out.lpMediaType = nullptr;
    pins.push_back(out);
  }
  filter.dwVersion = 2;
  filter.dwMerit = setup.dwMerit;
  filter.cPins2 = static_cast<ULONG>(pins.size());
  filter.rgPins2 = pins.empty() ? nullptr : pins.data();
}

HRESULT RegisterTemplate(const CFactoryTemplate& entry, const wchar_t* modulePath) {
  const std::wstring classKey = ClassKeyPath(*entry.m_ClsID);
  RETURN_IF_FAILED(SetClassesRootValues({
      {classKey, nullptr, entry.m_Name},
      {classKey + L"\\InprocServer32", nullptr, modulePath},
      {classKey + L"\\InprocServer32", L"ThreadingModel", L"Both"},
  }));

  if (!entry.m_pAMovieSetup_Filter) return S_OK;
  ComScope com;
  IFilterMapper2* mapper = nullptr;
  RETURN_IF_FAILED(CreateMapper(&mapper));
  // The mapper's record is the setup record's: its name (not the class table's), merit and pins.
  const AMOVIESETUP_FILTER& setup = *entry.m_pAMovieSetup_Filter;
  FilterRegistration registration(setup);
  const wchar_t* name = setup.strName && setup.strName[0] ? setup.strName : entry.m_Name;
  const HRESULT hr = mapper->RegisterFilter(*entry.m_ClsID, name, nullptr, &CLSID_LegacyAmFilterCategory, nullptr,
                                            &registration.filter);
  mapper->Release();
  return hr;
}

HRESULT UnregisterTemplate(const CFactoryTemplate& entry, const wchar_t* modulePath) {
  HRESULT result = S_OK;
  if (entry.m_pAMovieSetup_Filter) {
    ComScope com;
    IFilterMapper2* mapper = nullptr;
    HRESULT hr = CreateMapper(&mapper);
    if (SUCCEEDED(hr)) {
      hr = mapper->UnregisterFilter(&CLSID_LegacyAmFilterCategory, nullptr, *entry.m_ClsID);
      mapper->Release();
    }
    if (FAILED(hr) && !IsNotFound(hr)) result = hr;
  }

  // The class key goes only while it still names this module as its server.
  KeepFirstFailure(result, DeleteOwnedKey({ClassKeyPath(*entry.m_ClsID), L"InprocServer32", nullptr}, modulePath));
  return result;
}

HRESULT AMovieDllRegisterServer2(BOOL bRegister) {
  const std::wstring path = ModulePath::OfModule(ThisModule()).str();
  if (path.empty()) return HResultFromLastError();
  HRESULT result = S_OK;
  for (int i = 0; i < g_cTemplates; ++i) {
    if (bRegister) {
      RETURN_IF_FAILED(RegisterTemplate(g_Templates[i], path.c_str()));
    } else {
      const HRESULT hr = UnregisterTemplate(g_Templates[i], path.c_str());
      if (FAILED(hr) && SUCCEEDED(result)) result = hr;
    }
  }
  return result;
}
