#include "mappingsvc/mmf_support.h"

#include <oleauto.h>
#include <wrl/client.h>

#include <cwchar>
#include <memory>
#include <new>

#include "common/handles.h"
#include "common/hresult.h"
#include "common/locks.h"
#include "common/module.h"
#include "common/path.h"
#include "common/security.h"
#include "common/shared_memory.h"
#include "mappingsvc/mapping_registry.h"
#include "mappingsvc/server_lifetime.h"

namespace mappingsvc {
namespace {

using Microsoft::WRL::ComPtr;

constexpr wchar_t kGlobalPrefix[] = L"Global\\";
constexpr size_t kGlobalPrefixLength = 7;

// The longest object name the system takes whole: a counted system string holds 32767
// characters with its terminator, and a longer name is silently cut to this length.
constexpr size_t kMaxSectionName = 32766;

// A section name as the system takes it: not empty, not longer than it keeps, and holding no
// embedded terminator. Otherwise the name would be cut, and two callers' names that differ only
// past the cut would share one section.
bool IsUsableName(const wchar_t* name, size_t length) {
  return length != 0 && length <= kMaxSectionName && std::wcslen(name) == length;
}

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

CZarnMMFSupport::CZarnMMFSupport(MappingRegistry* registry, bool holdsServer)
    : registry_(registry), holdsServer_(holdsServer) {
  if (holdsServer_) server_lifetime::AddRef();
}

CZarnMMFSupport::~CZarnMMFSupport() {
  if (typeInfo_) typeInfo_->Release();
  if (holdsServer_) server_lifetime::Release();
}

HRESULT CZarnMMFSupport::Create(MappingRegistry* registry, REFIID iid, void** object, bool holdsServer) {
  if (!object) return E_POINTER;
  *object = nullptr;
  if (!registry) return E_UNEXPECTED;
  auto* created = new (std::nothrow) CZarnMMFSupport(registry, holdsServer);
  if (!created) return E_OUTOFMEMORY;
  const HRESULT hr = created->QueryInterface(iid, object);
  created->Release();
  return hr;
}

HRESULT CZarnMMFSupport::TypeInfo(ITypeInfo** info) {
  *info = nullptr;
  ITypeInfo* cached = static_cast<ITypeInfo*>(
      InterlockedCompareExchangePointer(reinterpret_cast<void* volatile*>(&typeInfo_), nullptr, nullptr));
  if (!cached) {
    // The type library is resource 1 of the module this class is linked into.
    const PathString path = ModulePath::OfModule(ThisModule());
    if (path.empty()) return HResultFromLastError();
    ComPtr<ITypeLib> library;
    RETURN_IF_FAILED(LoadTypeLibEx(path.c_str(), REGKIND_NONE, library.GetAddressOf()));
    RETURN_IF_FAILED(library->GetTypeInfoOfGuid(IID_IZarnMMFSupport, &cached));
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
  ComPtr<ITypeInfo> info;
  RETURN_IF_FAILED(TypeInfo(info.GetAddressOf()));
  return DispGetIDsOfNames(info.Get(), names, count, ids);
}

STDMETHODIMP CZarnMMFSupport::Invoke(DISPID id, REFIID iid, LCID, WORD flags, DISPPARAMS* params,
                                     VARIANT* result, EXCEPINFO* exception, UINT* argError) {
  if (iid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
  ComPtr<ITypeInfo> info;
  RETURN_IF_FAILED(TypeInfo(info.GetAddressOf()));
  return DispInvoke(static_cast<IZarnMMFSupport*>(this), info.Get(), id, flags, params, result, exception,
                    argError);
}

// The caller's process gets its own handle to the section; this process keeps none, so the
// section lives exactly as long as the caller's handle (and any other handles to it).
// ProcessId is trusted: any client may have the handle put into any process it names.
STDMETHODIMP CZarnMMFSupport::CreateTunerInfoS(BSTR Name, ULONG MaximumSizeHigh,
                                               ULONG MaximumSizeLow, ULONG ProcessId,
                                               INT64* Handle, LONG* IsFirstObject) {
  if (!Name || std::wcsncmp(Name, kGlobalPrefix, kGlobalPrefixLength) != 0) return E_INVALIDARG;
  if (!IsUsableName(Name, SysStringLen(Name))) return E_INVALIDARG;
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
  // An unnamed section would be kept for nobody, one more on every call.
  if (!IsUsableName(name.c_str(), name.size())) return E_INVALIDARG;

  LockGuard guard(registry_->lock(), MappingRegistry::kLockTimeoutMs);
  if (pIsFirst) *pIsFirst = 0;
  try {
    auto memory = std::make_unique<SharedMemory>();
    BOOL created = FALSE;
    const HRESULT hr = memory->Create(name.c_str(),
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
