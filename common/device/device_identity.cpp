#include "common/device/device_identity.h"

#include <oleauto.h>
#include <rpc.h>

#include <cstring>
#include <string_view>

namespace {

// A piece of the path up to (not including) the first of `stops`.
std::wstring_view CutAt(std::wstring_view piece, const wchar_t* stops) {
  return piece.substr(0, piece.find_first_of(stops));
}

// VarCmp of two strings as VT_BSTR values; false when a BSTR cannot be made.
bool VariantStringsEqual(const std::wstring& a, const std::wstring& b) noexcept {
  VARIANT va, vb;
  VariantInit(&va);
  VariantInit(&vb);
  V_VT(&va) = VT_BSTR;
  V_BSTR(&va) = SysAllocStringLen(a.data(), static_cast<UINT>(a.size()));
  V_VT(&vb) = VT_BSTR;
  V_BSTR(&vb) = SysAllocStringLen(b.data(), static_cast<UINT>(b.size()));
  const bool equal = V_BSTR(&va) && V_BSTR(&vb) &&
                     VarCmp(&va, &vb, LOCALE_SYSTEM_DEFAULT, 0) == static_cast<HRESULT>(VARCMP_EQ);
  VariantClear(&va);
  VariantClear(&vb);
  return equal;
}

}  // namespace

DeviceIdentity::DeviceIdentity(const wchar_t* path) { Parse(path); }

DeviceIdentity::DeviceIdentity(const VARIANT& value) {
  if (V_VT(&value) == VT_BSTR) Parse(V_BSTR(&value));
}

void DeviceIdentity::Clear() noexcept {
  path_.clear();
  for (auto& field : fields_) field.clear();
  guid_ = GUID{};
}

void DeviceIdentity::Parse(const wchar_t* path) {
  Clear();
  if (!path || !*path) return;
  path_ = path;
  const std::wstring_view p(path_);

  // The first "#" is looked for from the second character on.
  const size_t hash1 = p.find(L'#', 1);
  if (hash1 != std::wstring_view::npos) {
    const std::wstring_view afterHardware = p.substr(hash1 + 1);
    const size_t hash2 = afterHardware.find(L'#');
    const std::wstring_view hardware = afterHardware.substr(0, hash2);

    std::array<std::wstring_view, 4> parts{};
    size_t start = 0;
    for (size_t i = 0; i < parts.size(); ++i) {
      const size_t amp = hardware.find(L'&', start);
      parts[i] = CutAt(hardware.substr(start, amp == std::wstring_view::npos ? amp : amp - start),
                       L"\\");
      if (amp == std::wstring_view::npos) break;
      start = amp + 1;
    }
    fields_[0] = parts[1];
    fields_[1] = parts[0];
    fields_[2] = parts[2];
    fields_[3] = parts[2];
    fields_[4] = parts[3];

    if (hash2 != std::wstring_view::npos) {
      fields_[5] = CutAt(afterHardware.substr(hash2 + 1), L"#\\");
    }
  }

  const size_t open = p.find(L'{');
  if (open != std::wstring_view::npos) {
    const size_t close = p.find(L'}', open + 1);
    if (close != std::wstring_view::npos) {
      std::wstring text(p.substr(open + 1, close - open - 1));
      GUID parsed{};
      if (UuidFromStringW(reinterpret_cast<RPC_WSTR>(text.data()), &parsed) == RPC_S_OK) {
        guid_ = parsed;
      }
    }
  }
}

const wchar_t* DeviceIdentity::GetField(int number) const noexcept {
  if (IsEmpty() || number < 1 || number > kFieldCount) return nullptr;
  return fields_[static_cast<size_t>(number - 1)].c_str();
}

std::array<std::uint32_t, 4> DeviceIdentity::GetGuidWords() const noexcept {
  std::array<std::uint32_t, 4> words{};
  static_assert(sizeof(words) == sizeof(GUID));
  std::memcpy(words.data(), &guid_, sizeof(GUID));
  return words;
}

bool DeviceIdentity::Equals(const DeviceIdentity& other) const noexcept {
  return path_ == other.path_;  // also covers both empty / one empty
}

bool DeviceIdentity::Matches(const DeviceIdentity& other) const noexcept {
  if (IsEmpty() || other.IsEmpty()) return false;
  for (size_t i = 0; i < fields_.size(); ++i) {
    if (!VariantStringsEqual(fields_[i], other.fields_[i])) return false;
  }
  return true;
}
