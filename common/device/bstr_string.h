// BSTR and VARIANT values as the device classes hand them to and from COM: a shared, counted
// BSTR holder with a narrow copy made on demand, a code-unit comparison, and the VARIANT
// string assignment.
#pragma once

#include <windows.h>
#include <oleauto.h>

class BstrString {
 public:
  enum class Take { Adopt, Copy };

  BstrString() noexcept = default;
  // A new string (SysAllocString). A null text gives an empty holder; an allocation failure
  // throws HResultError(E_OUTOFMEMORY).
  explicit BstrString(const wchar_t* text);
  // Takes an existing BSTR: Adopt makes the holder its owner (freed with the last holder, or at
  // once when the holder cannot be made); Copy allocates a copy of its bytes, embedded NULs
  // included. A null BSTR gives an empty holder. Failures throw HResultError(E_OUTOFMEMORY).
  BstrString(BSTR value, Take how);

  // Copies share the one string (the count goes up); the last holder frees it.
  BstrString(const BstrString& other) noexcept;
  BstrString& operator=(const BstrString& other) noexcept;
  BstrString(BstrString&& other) noexcept : record_(other.record_) { other.record_ = nullptr; }
  BstrString& operator=(BstrString&& other) noexcept;
  ~BstrString() { Clear(); }

  // Drops this holder's share and leaves it empty.
  void Clear() noexcept;

  BSTR get() const noexcept;                 // null when empty
  UINT length() const noexcept;              // characters, embedded NULs included
  // The string in the ANSI code page, made on first use and kept with the string; null when
  // empty or when the copy cannot be made.
  const char* narrow() const noexcept;
  long useCount() const noexcept;            // holders sharing the string (0 when empty)

  // Code-unit comparison over the whole BSTR lengths (embedded NULs count): a null string sorts
  // before every other and equals another null; a prefix sorts before the longer string.
  // Negative, 0 or positive.
  static int Compare(BSTR a, BSTR b) noexcept;
  static int Compare(const BstrString& a, const BstrString& b) noexcept {
    return Compare(a.get(), b.get());
  }

 private:
  struct Record;
  Record* record_ = nullptr;
};

namespace VariantHelpers {
// Clears the variant and stores a copy of `text` as VT_BSTR (a null text gives a null BSTR).
// When the copy cannot be allocated the variant becomes VT_ERROR holding E_OUTOFMEMORY, which
// is also returned. E_POINTER for a null variant.
HRESULT AssignString(VARIANT* variant, const wchar_t* text) noexcept;
}  // namespace VariantHelpers
