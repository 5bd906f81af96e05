// The identity of a tuner device: its kernel-streaming device path and the parts cut out of it.
// The six fields name every per-device kernel object (pipe, events, mutexes, sections), and the
// device enumeration uses them to recognise the same device again.
//
// A path of the usual form
//   \\?\pci#ven_1234&dev_5678&subsys_00011234&rev_01#3&abc&0&48#{guid}\suffix
// gives field 1 "dev_5678" (second "&" part of the hardware segment), field 2 "ven_1234"
// (first part), fields 3 and 4 "subsys_00011234" (third part, twice), field 5 "rev_01" (fourth
// part), field 6 "3&abc&0&48" (the instance segment) and the GUID between the braces.
//
// Paths that lack separators: a missing part gives an empty field. A hardware part ends at the
// next "&", "#", "\" or the end of the path; the instance segment at the next "#", "\" or the
// end. No field ever holds a "\", which would make every kernel object name built from it
// invalid.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <array>
#include <cstdint>
#include <string>

class DeviceIdentity {
 public:
  static constexpr int kFieldCount = 6;

  DeviceIdentity() noexcept = default;  // empty
  // Parses a device path (null or "" gives an empty identity). Throws std::bad_alloc.
  explicit DeviceIdentity(const wchar_t* path);
  // Parses a VT_BSTR value (up to its first NUL); any other type gives an empty identity.
  explicit DeviceIdentity(const VARIANT& value);

  DeviceIdentity(const DeviceIdentity&) = default;
  DeviceIdentity& operator=(const DeviceIdentity&) = default;
  DeviceIdentity(DeviceIdentity&&) noexcept = default;
  DeviceIdentity& operator=(DeviceIdentity&&) noexcept = default;
  // Copies the path, the six fields and the GUID of `other`.
  void Copy(const DeviceIdentity& other) { *this = other; }

  // Replaces the identity with the one of `path`.
  void Parse(const wchar_t* path);
  // Empties every string and zeroes the GUID.
  void Clear() noexcept;

  bool IsEmpty() const noexcept { return path_.empty(); }
  // The texts, or null when the identity is empty.
  const wchar_t* GetPath() const noexcept { return IsEmpty() ? nullptr : path_.c_str(); }
  const wchar_t* GetField(int number) const noexcept;  // 1 to 6; null outside
  const wchar_t* GetField1() const noexcept { return GetField(1); }
  const wchar_t* GetField2() const noexcept { return GetField(2); }
  const wchar_t* GetField3() const noexcept { return GetField(3); }
  const wchar_t* GetField4() const noexcept { return GetField(4); }
  const wchar_t* GetField5() const noexcept { return GetField(5); }
  const wchar_t* GetField6() const noexcept { return GetField(6); }

  // The class reference between the braces; all zero when missing or not a GUID.
  const GUID& GetGuid() const noexcept { return guid_; }
  // The same 16 bytes as four 32-bit integers.
  std::array<std::uint32_t, 4> GetGuidWords() const noexcept;

  // Two empty identities are equal, an empty and a non-empty one are not; otherwise the paths
  // compare exactly (case-sensitive).
  bool Equals(const DeviceIdentity& other) const noexcept;
  // The device enumeration's match: both not empty and each of the six fields equal as VARIANT
  // strings (VarCmp, system default locale, no flags). False when a value cannot be allocated.
  bool Matches(const DeviceIdentity& other) const noexcept;

 private:
  std::wstring path_;
  std::array<std::wstring, kFieldCount> fields_;
  GUID guid_{};
};
