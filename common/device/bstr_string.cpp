#include "common/device/bstr_string.h"

#include <atomic>
#include <new>

#include "common/hresult.h"

struct BstrString::Record {
  explicit Record(BSTR s) noexcept : value(s) {}
  ~Record() {
    SysFreeString(value);
    delete[] narrow.load();
  }
  BSTR value;
  std::atomic<char*> narrow{nullptr};
  std::atomic<long> count{1};
};

BstrString::BstrString(const wchar_t* text) {
  if (!text) return;
  BSTR s = SysAllocString(text);
  if (!s) ThrowHr(E_OUTOFMEMORY);
  record_ = new (std::nothrow) Record(s);
  if (!record_) {
    SysFreeString(s);
    ThrowHr(E_OUTOFMEMORY);
  }
}

BstrString::BstrString(BSTR value, Take how) {
  if (!value) return;
  BSTR s = value;
  if (how == Take::Copy) {
    s = SysAllocStringByteLen(reinterpret_cast<const char*>(value), SysStringByteLen(value));
    if (!s) ThrowHr(E_OUTOFMEMORY);
  }
  record_ = new (std::nothrow) Record(s);
  if (!record_) {
    SysFreeString(s);  // adopted strings are ours from the call on, even when we fail
    ThrowHr(E_OUTOFMEMORY);
  }
}

BstrString::BstrString(const BstrString& other) noexcept : record_(other.record_) {
  if (record_) record_->count.fetch_add(1, std::memory_order_relaxed);
}

BstrString& BstrString::operator=(const BstrString& other) noexcept {
  if (record_ != other.record_) {
    if (other.record_) other.record_->count.fetch_add(1, std::memory_order_relaxed);
    Clear();
    record_ = other.record_;
  }
  return *this;
}

BstrString& BstrString::operator=(BstrString&& other) noexcept {
  if (this != &other) {
    Clear();
    record_ = other.record_;
    other.record_ = nullptr;
  }
  return *this;
}

void BstrString::Clear() noexcept {
  Record* r = record_;
  record_ = nullptr;
  if (r && r->count.fetch_sub(1, std::memory_order_acq_rel) == 1) delete r;
}

BSTR BstrString::get() const noexcept { return record_ ? record_->value : nullptr; }

UINT BstrString::length() const noexcept { return SysStringLen(get()); }

long BstrString::useCount() const noexcept {
  return record_ ? record_->count.load(std::memory_order_relaxed) : 0;
}

const char* BstrString::narrow() const noexcept {
  if (!record_) return nullptr;
  if (char* made = record_->narrow.load(std::memory_order_acquire)) return made;
  const BSTR s = record_->value;
  const int chars = static_cast<int>(SysStringLen(s));
  const int bytes =
      chars ? WideCharToMultiByte(CP_ACP, 0, s, chars, nullptr, 0, nullptr, nullptr) : 0;
  if (chars && bytes <= 0) return nullptr;
  char* copy = new (std::nothrow) char[static_cast<size_t>(bytes) + 1];
  if (!copy) return nullptr;
  if (bytes) WideCharToMultiByte(CP_ACP, 0, s, chars, copy, bytes, nullptr, nullptr);
  copy[bytes] = '\0';
  // Two threads may race to make the copy: the first one kept wins, the other is dropped.
  char* expected = nullptr;
  if (!record_->narrow.compare_exchange_strong(expected, copy, std::memory_order_acq_rel)) {
    delete[] copy;
    return expected;
  }
  return copy;
}

int BstrString::Compare(BSTR a, BSTR b) noexcept {
  if (!a || !b) return (a ? 1 : 0) - (b ? 1 : 0);
  const UINT la = SysStringLen(a), lb = SysStringLen(b);
  const UINT common = la < lb ? la : lb;
  for (UINT i = 0; i < common; ++i) {
    const auto ca = static_cast<unsigned short>(a[i]), cb = static_cast<unsigned short>(b[i]);
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  return la == lb ? 0 : (la < lb ? -1 : 1);
}

HRESULT VariantHelpers::AssignString(VARIANT* variant, const wchar_t* text) noexcept {
  if (!variant) return E_POINTER;
  VariantClear(variant);
  BSTR s = SysAllocString(text);
  if (text && !s) {
    V_VT(variant) = VT_ERROR;
    V_ERROR(variant) = E_OUTOFMEMORY;
    return E_OUTOFMEMORY;
  }
  V_VT(variant) = VT_BSTR;
  V_BSTR(variant) = s;
  return S_OK;
}
