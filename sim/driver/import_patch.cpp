#include "sim/driver/import_patch.h"

#include <cstring>

#include "common/hresult.h"

namespace {

HRESULT WriteSlot(void** slot, void* value) {
  DWORD oldProtect = 0;
  if (!VirtualProtect(slot, sizeof(void*), PAGE_READWRITE, &oldProtect)) return HResultFromLastError();
  // An aligned pointer store: threads that call through the entry see the old or the new value.
  InterlockedExchangePointer(slot, value);
  DWORD ignored = 0;
  VirtualProtect(slot, sizeof(void*), oldProtect, &ignored);
  return S_OK;
}

const IMAGE_NT_HEADERS* NtHeaders(HMODULE module) {
  if (!module) return nullptr;
  const auto* base = reinterpret_cast<const BYTE*>(module);
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  if (dos->e_magic != IMAGE_DOS_SIGNATURE || dos->e_lfanew <= 0) return nullptr;
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  if (nt->Signature != IMAGE_NT_SIGNATURE || nt->OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR_MAGIC) {
    return nullptr;
  }
  return nt;
}

}  // namespace

HRESULT PatchImports(HMODULE module, const ImportHook* hooks, size_t hookCount,
                     std::vector<PatchedImport>* patched) {
  const IMAGE_NT_HEADERS* nt = NtHeaders(module);
  if (!nt || !patched || (hookCount && !hooks)) return E_INVALIDARG;
  auto* base = reinterpret_cast<BYTE*>(module);
  const IMAGE_DATA_DIRECTORY& directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  if (nt->OptionalHeader.NumberOfRvaAndSizes <= IMAGE_DIRECTORY_ENTRY_IMPORT || !directory.VirtualAddress) {
    return S_OK;  // imports nothing
  }
  for (auto* descriptor = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + directory.VirtualAddress);
       descriptor->Name != 0; ++descriptor) {
    // Once bound, the address table no longer holds names; without the name table there is
    // nothing to match by name.
    if (descriptor->OriginalFirstThunk == 0 || descriptor->FirstThunk == 0) continue;
    auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + descriptor->OriginalFirstThunk);
    auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + descriptor->FirstThunk);
    for (; names->u1.AddressOfData != 0; ++names, ++slots) {
      if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
      const auto* byName = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
      const char* name = reinterpret_cast<const char*>(byName->Name);
      for (size_t i = 0; i < hookCount; ++i) {
        if (std::strcmp(name, hooks[i].name) != 0) continue;
        auto** slot = reinterpret_cast<void**>(&slots->u1.Function);
        void* original = *slot;
        if (original == hooks[i].replacement) break;  // attached already
        const HRESULT hr = WriteSlot(slot, hooks[i].replacement);
        if (FAILED(hr)) return hr;
        patched->push_back({slot, original});
        break;
      }
    }
  }
  return S_OK;
}

HRESULT RestoreImports(const std::vector<PatchedImport>& patched) {
  HRESULT result = S_OK;
  for (const PatchedImport& entry : patched) {
    const HRESULT hr = WriteSlot(entry.slot, entry.original);
    if (FAILED(hr) && SUCCEEDED(result)) result = hr;
  }
  return result;
}
