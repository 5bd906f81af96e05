#include "mappingsvc/mmf_support.h"

#include <oleauto.h>

#include <cwchar>
#include <memory>
#include <new>
#include <vector>

#include "common/handles.h"
#include "common/hresult.h"
#include "common/locks.h"
#include "common/module.h"
#include "common/security.h"
#include "common/shared_memory.h"
#include "mappingsvc/mapping_registry.h"
#include "mappingsvc/server_lifetime.h"

namespace mappingsvc {
namespace {

constexpr wchar_t kGlobalPrefix[] = L"Global\\";
constexpr size_t kGlobalPrefixLength = 7;

}  // namespace

void UnscrambleName(std::wstring& name) noexcept {
  const size_t keyLength = std::wcslen(kNameKey);
  size_t k = 0;
  for (wchar_t& c : name) {
    c = static_cast<wchar_t>(c ^ kNameKey[k]);
    if (++k == keyLength) k = 0;
  }
}

// --- MappingRegistry --------------------------------------------------------------------------

void MappingRegistry::Clear() {
  LockGuard guard(lock_, INFINITE);
  kept_.clear();  // each SharedMemory unmaps its view and closes its handle
}

std::size_t MappingRegistry::size() {
  LockGuard guard(lock_, INFINITE);
  return kept_.size();
}

// --- CZarnMMFSupport --------------------------------------------------------------------------

CZarnMMFSupport::CZarnMMFSupport(MappingRegistry* registry) : registry_(registry) {
  server_lifetime::AddRef();
}

CZarnMMFSupport::~CZarnMMFSupport() {
  if (typeInfo_) typeInfo_->Release();
  server_lifetime::Release();
}

HRESULT CZarnMMFSupport::Create(MappingRegistry* registry, REFIID iid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  if (!registry) return E_UNEXPECTED;
  auto* created = new (std::nothrow) CZarnMMFSupport(registry);
  if (!created) return E_OUTOFMEMORY;
  const HRESULT hr = created->QueryInterface(iid, object);
  created->Release();
  return hr;
}

STDMETHODIMP CZarnMMFSupport::QueryInterface(REFIID iid, void** object) {
  if (!object) return E_POINTER;
  if (iid == IID_IUnknown || iid == IID_IDispatch || iid == IID_IZarnMMFSupport) {
    *object = static_cast<IZarnMMFSupport*>(this);
    AddRef();
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) CZarnMMFSupport::AddRef() { return InterlockedIncrement(&refs_); }

STDMETHODIMP_(ULONG) CZarnMMFSupport::Release() {
  const LONG refs = InterlockedDecrement(&refs_);
  if (refs == 0) delete this;
  return static_cast<ULONG>(refs);
}

HRESULT CZarnMMFSupport::TypeInfo(ITypeInfo** info) {
  *info = nullptr;
  ITypeInfo* cached = static_cast<ITypeInfo*>(
      InterlockedCompareExchangePointer(reinterpret_cast<void* volatile*>(&typeInfo_), nullptr, nullptr));
  if (!cached) {
    // The type library is resource 1 of the module this class is linked into.
    std::vector<wchar_t> path(MAX_PATH);
    for (;;) {
      const DWORD n = GetModuleFileNameW(ThisModule(), path.data(), static_cast<DWORD>(path.size()));
      if (n == 0) return HResultFromLastError();
      if (n < path.size()) break;
      path.resize(path.size() * 2);
    }
    ITypeLib* library = nullptr;
    RETURN_IF_FAILED(LoadTypeLibEx(path.data(), REGKIND_NONE, &library));
    const HRESULT hr = library->GetTypeInfoOfGuid(IID_IZarnMMFSupport, &cached);
    library->Release();
    RETURN_IF_FAILED(hr);
    void* previous = InterlockedCompareExchangePointer(
        reinterpret_cast<void* volatile*>(&typeInfo_), cached, nullptr);
    if (previous) {  // another thread was first: use its copy
      cached->Release();
      cached = static_cast<ITypeInfo*>(previous);
    }
  }
  cached->AddRef();
  *info = cached;
  return S_OK;
}

STDMETHODIMP CZarnMMFSupport::GetTypeInfoCount(UINT* count) {
  if (!count) return E_POINTER;
  *count = 1;
  return S_OK;
}

STDMETHODIMP CZarnMMFSupport::GetTypeInfo(UINT index, LCID, ITypeInfo** info) {
  if (!info) return E_POINTER;
  *info = nullptr;
  if (index != 0) return DISP_E_BADINDEX;
  return TypeInfo(info);
}

STDMETHODIMP CZarnMMFSupport::GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID,
                                            DISPID* ids) {
  if (iid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
  if (!names || !ids) return E_POINTER;
  ITypeInfo* info = nullptr;
  RETURN_IF_FAILED(TypeInfo(&info));
  const HRESULT hr = DispGetIDsOfNames(info, names, count, ids);
  info->Release();
  return hr;
}

STDMETHODIMP CZarnMMFSupport::Invoke(DISPID id, REFIID iid, LCID, WORD flags, DISPPARAMS* params,
                                     VARIANT* result, EXCEPINFO* exception, UINT* argError) {
  if (iid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
  ITypeInfo* info = nullptr;
  RETURN_IF_FAILED(TypeInfo(&info));
  const HRESULT hr = DispInvoke(static_cast<IZarnMMFSupport*>(this), info, id, flags, params,
                                result, exception, argError);
  info->Release();
  return hr;
}

// The caller's process gets its own handle to the section; this process keeps none, so the
// section lives exactly as long as the caller's handle (and any other handles to it).
// ProcessId is trusted: any client may have the handle put into any process it names.
STDMETHODIMP CZarnMMFSupport::CreateTunerInfoS(BSTR Name, ULONG MaximumSizeHigh,
                                               ULONG MaximumSizeLow, ULONG ProcessId,
                                               INT64* Handle, LONG* IsFirstObject) {
  if (!Name || std::wcsncmp(Name, kGlobalPrefix, kGlobalPrefixLength) != 0) return E_INVALIDARG;
  if (!Handle) return E_POINTER;
  return GuardHr(E_FAIL, [&]() -> HRESULT {
    UniqueHandle process(OpenProcess(PROCESS_DUP_HANDLE, FALSE, ProcessId));
    if (!process) return HResultFromLastError();

    OpenSecurity security = OpenSecurity::Everyone(OpenSecurity::kSectionAllAccess);
    SECURITY_ATTRIBUTES* attributes = security.get();
    if (!attributes) return HResultFromLastError();

    UniqueHandle mapping(CreateFileMappingW(INVALID_HANDLE_VALUE, attributes, PAGE_READWRITE,
                                            MaximumSizeHigh, MaximumSizeLow, Name));
    if (!mapping) return HResultFromLastError();
    const bool existed = GetLastError() == ERROR_ALREADY_EXISTS;

    HANDLE duplicate = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), mapping.get(), process.get(), &duplicate, 0, FALSE,
                         DUPLICATE_SAME_ACCESS)) {
      return HResultFromLastError();
    }
    if (IsFirstObject) *IsFirstObject = existed ? 0 : 1;
    // Sign-extended, as handle values are between 32- and 64-bit processes.
    *Handle = static_cast<INT64>(reinterpret_cast<INT_PTR>(duplicate));
    return S_OK;
  });
}

STDMETHODIMP CZarnMMFSupport::CreateTunerInfo(BSTR Name, INT64 MaximumSize, LONG* pIsFirst) {
  // The whole name, embedded characters included (an unscrambled NUL ends the name early).
  std::wstring name;
  try {
    name.assign(Name ? Name : L"", Name ? SysStringLen(Name) : 0);
  } catch (...) {
    return E_OUTOFMEMORY;
  }
  UnscrambleName(name);

  LockGuard guard(registry_->lock(), MappingRegistry::kLockTimeoutMs);
  if (pIsFirst) *pIsFirst = 0;
  try {
    auto memory = std::make_unique<SharedMemory>();
    BOOL created = FALSE;
    const HRESULT hr = memory->Create(name.empty() ? nullptr : name.c_str(),
                                      static_cast<DWORD>(static_cast<UINT64>(MaximumSize) >> 32),
                                      static_cast<DWORD>(MaximumSize), &created);
    if (FAILED(hr)) return hr;
    if (created) {
      registry_->Add(std::move(memory));  // open until the server stops
    } else {
      memory.reset();  // the name existed: its other holders keep it
    }
    if (pIsFirst) *pIsFirst = created ? 1 : 0;
    return S_OK;
  } catch (...) {
    return E_POINTER;  // the documented answer for an allocation failure here
  }
}

// --- CZarnMMFSupportFactory -------------------------------------------------------------------

STDMETHODIMP CZarnMMFSupportFactory::QueryInterface(REFIID iid, void** object) {
  if (!object) return E_POINTER;
  if (iid == IID_IUnknown || iid == IID_IClassFactory) {
    *object = static_cast<IClassFactory*>(this);
    AddRef();
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) CZarnMMFSupportFactory::AddRef() { return InterlockedIncrement(&refs_); }

STDMETHODIMP_(ULONG) CZarnMMFSupportFactory::Release() {
  const LONG refs = InterlockedDecrement(&refs_);
  if (refs == 0) delete this;
  return static_cast<ULONG>(refs);
}

STDMETHODIMP CZarnMMFSupportFactory::CreateInstance(IUnknown* outer, REFIID iid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  if (outer) return CLASS_E_NOAGGREGATION;
  return CZarnMMFSupport::Create(registry_, iid, object);
}

STDMETHODIMP CZarnMMFSupportFactory::LockServer(BOOL lock) {
  if (lock) server_lifetime::AddRef();
  else server_lifetime::Release();
  return S_OK;
}

}  // namespace mappingsvc
