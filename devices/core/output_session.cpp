#include "devices/core/output_session.h"

#include <algorithm>
#include <atomic>
#include <cwchar>
#include <string>

#include "common/format.h"
#include "common/hresult.h"
#include "devices/core/output_data.h"

namespace output_data {

// --- Status words ---------------------------------------------------------------------------

DWORD PackFileVersion(const wchar_t* text) {
  static constexpr DWORD kWeights[4] = {100000000, 10000000, 100000, 1};
  DWORD numbers[4] = {0, 0, 0, 0};
  int found = 0;
  for (const wchar_t* p = text; p && *p && found < 4;) {
    if (*p == L'.' || *p == L' ' || *p == L',') {
      ++p;
      continue;
    }
    // Each part counts by its leading digits (none: 0).
    DWORD value = 0;
    for (; *p >= L'0' && *p <= L'9'; ++p) value = value * 10 + static_cast<DWORD>(*p - L'0');
    while (*p && *p != L'.' && *p != L' ' && *p != L',') ++p;
    numbers[found++] = value;
  }
  DWORD packed = 0;
  for (int i = 0; i < 4; ++i) packed += numbers[i] * kWeights[i];
  return packed;
}

DWORD ReadFileVersion(const wchar_t* path) {
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(path, &ignored);
  if (size == 0) return 0;
  std::vector<BYTE> block(size);
  if (!GetFileVersionInfoW(path, 0, size, block.data())) return 0;
  struct Translation {
    WORD language, codePage;
  };
  Translation* translations = nullptr;
  UINT length = 0;
  if (!VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translations),
                      &length) ||
      length < sizeof(Translation))
    return 0;
  const std::wstring key = FormatW(L"\\StringFileInfo\\%04X%04X\\FileVersion", translations[0].language,
                                   translations[0].codePage);
  wchar_t* version = nullptr;
  if (!VerQueryValueW(block.data(), key.c_str(), reinterpret_cast<void**>(&version), &length) || !version ||
      length == 0)
    return 0;
  return PackFileVersion(std::wstring(version, wcsnlen(version, length)).c_str());
}

DWORD ReadDriverVersion(const wchar_t* driverFile) {
  wchar_t system[MAX_PATH] = {};
  const UINT length = GetSystemDirectoryW(system, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return 0;
  return ReadFileVersion(FormatW(L"%ls\\drivers\\%ls", system, driverFile).c_str());
}

DWORD StatusWordA(ULONG capability) noexcept {
  DWORD top = 0x80;
  if (capability & 1) top |= 0x10;
  if (capability & 2) top |= 0x08;
  return top << 24;
}

DWORD StatusWordD(std::int32_t band, std::int32_t functions) noexcept {
  DWORD top = 0x04;
  if (band & 0x20) {
    top = 0x08;
  } else if (band & 0x40) {
    top = 0x14;
  }
  DWORD word = top << 24;
  if (functions & 1) word |= 2;
  if (functions & 2) word |= 1;
  return word;
}

// --- Channel settling ---------------------------------------------------------------------

DWORD SettleWaitMs(DWORD now, DWORD changed, DWORD interval) noexcept {
  const DWORD elapsed = now - changed;  // unsigned: right across the wrap
  return elapsed < interval ? interval - elapsed : 0;
}

// --- The output-type choices --------------------------------------------------------------

// The callback filter's one callback: each OnData goes to the callback kept for its type. The
// callback is taken (referenced) under the lock and called outside it, so that a host that
// replaces its choice meanwhile never sees its old callback released under a running call.
class OutputTypeChoices::Dispatcher final : public IOutputDataCB {
 public:
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    return QueryOutputDataCallback(this, iid, out);
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
  STDMETHODIMP_(ULONG) Release() override {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }
  STDMETHODIMP OnData(ULONG type, ULONG subtype, ULONG param1, ULONG param2, ULONG size, BYTE* data) override {
    Microsoft::WRL::ComPtr<IOutputDataCB> target = Callback(type);
    return target ? target->OnData(type, subtype, param1, param2, size, data) : S_OK;
  }

  Microsoft::WRL::ComPtr<IOutputDataCB> Callback(ULONG type) {
    LockGuard guard(lock_, INFINITE);
    return type >= 1 && type <= 3 ? callbacks_[type - 1] : nullptr;
  }
  // Swaps in `callback`; the one it replaces is released by the caller, outside the lock.
  Microsoft::WRL::ComPtr<IOutputDataCB> Replace(ULONG type, IOutputDataCB* callback) {
    Microsoft::WRL::ComPtr<IOutputDataCB> previous(callback);
    LockGuard guard(lock_, INFINITE);
    callbacks_[type - 1].Swap(previous);
    return previous;
  }

 private:
  std::atomic<ULONG> refs_{1};
  CriticalSection lock_;
  Microsoft::WRL::ComPtr<IOutputDataCB> callbacks_[3];
};

OutputTypeChoices::OutputTypeChoices() : dispatch_(new Dispatcher()) {
  // The new object's one reference becomes the holder's (the toolchain's ComPtr::Attach would add
  // another).
  *dispatcher_.GetAddressOf() = dispatch_;
}

OutputTypeChoices::~OutputTypeChoices() { Clear(); }

bool OutputTypeChoices::Allowed(ULONG subtype, const std::vector<ULONG>& listed) noexcept {
  return std::find(listed.begin(), listed.end(), subtype) != listed.end() || (subtype >= 100 && subtype <= 200);
}

void OutputTypeChoices::Keep(ULONG type, ULONG subtype, IOutputDataCB* callback) {
  if (type < 1 || type > 3) return;
  subtypes_[type - 1] = subtype;
  dispatch_->Replace(type, callback);
}

void OutputTypeChoices::Clear() noexcept {
  for (ULONG type = 1; type <= 3; ++type) {
    subtypes_[type - 1] = 0;
    dispatch_->Replace(type, nullptr);
  }
}

ULONG OutputTypeChoices::subtype(ULONG type) const noexcept {
  return type >= 1 && type <= 3 ? subtypes_[type - 1] : 0;
}

HRESULT OutputTypeChoices::Records(long* count, _SHAL_OUTPUTDTATA_TYPE** types) const {
  if (!count || !types) return errors::kOutputNullPointer;
  auto* records = static_cast<_SHAL_OUTPUTDTATA_TYPE*>(CoTaskMemAlloc(3 * sizeof(_SHAL_OUTPUTDTATA_TYPE)));
  if (!records) return E_OUTOFMEMORY;
  for (ULONG type = 1; type <= 3; ++type) records[type - 1] = {type, subtypes_[type - 1]};
  *count = 3;
  *types = records;
  return S_OK;
}

}  // namespace output_data
