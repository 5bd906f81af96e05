#include "common/registry.h"

#include "common/hresult.h"

namespace {

struct RootName {
  const wchar_t* name;
  HKEY key;
};
const RootName kRoots[] = {
    {L"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},   {L"HKEY_CURRENT_CONFIG", HKEY_CURRENT_CONFIG},
    {L"HKEY_CURRENT_USER", HKEY_CURRENT_USER},   {L"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
    {L"HKEY_USERS", HKEY_USERS},
};

}  // namespace

RegistryKeyPath RegistryKeyPath::SubKey(const WideString& name) const {
  std::wstring path = path_.str();
  if (!path.empty() && path.back() != L'\\' && !name.empty() && name[0] != L'\\') path += L'\\';
  path += name.str();
  return RegistryKeyPath(WideString(std::move(path)));
}

HKEY RegistryKeyPath::RootKey(const std::wstring& name) {
  for (const auto& root : kRoots) {
    if (name == root.name) return root.key;
  }
  return nullptr;
}

bool RegistryKeyPath::Split(HKEY* root, std::wstring* subKey) const {
  const std::wstring& path = path_.str();
  const std::size_t start = path.find_first_not_of(L'\\');
  if (start == std::wstring::npos) return false;
  const std::size_t separator = path.find(L'\\', start);
  const std::wstring rootName =
      path.substr(start, separator == std::wstring::npos ? std::wstring::npos : separator - start);
  *root = RootKey(rootName);
  if (!*root) return false;
  *subKey = separator == std::wstring::npos ? std::wstring() : path.substr(separator + 1);
  return true;
}

UniqueRegKey RegistryKeyPath::Open(REGSAM access) const {
  HKEY root = nullptr;
  std::wstring subKey;
  UniqueRegKey key;
  if (!Split(&root, &subKey)) return key;
  HKEY opened = nullptr;
  if (RegOpenKeyExW(root, subKey.c_str(), 0, access, &opened) == ERROR_SUCCESS) key.reset(opened);
  return key;
}

DWORD RegistryKeyPath::ReadDword(const WideString& name, DWORD defaultValue) const {
  return ReadDwordValue(name.c_str(), defaultValue);
}

DWORD RegistryKeyPath::ReadDwordValue(const wchar_t* name, DWORD defaultValue) const {
  UniqueRegKey key = Open();
  if (!key) return defaultValue;
  DWORD type = 0, value = 0, size = sizeof(value);
  const LSTATUS status =
      RegQueryValueExW(key.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
  if (status != ERROR_SUCCESS || type != REG_DWORD || size != sizeof(value)) return defaultValue;
  return value;
}

int RegistryKeyPath::ReadString(const WideString& name, WideString& out, const wchar_t* defaultValue) const {
  const WideString fallback(defaultValue);
  out = fallback;
  UniqueRegKey key = Open();
  if (!key) return static_cast<int>(out.length());
  DWORD type = 0, bytes = 0;
  if (RegQueryValueExW(key.get(), name.c_str(), nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS ||
      type != REG_SZ) {
    return static_cast<int>(out.length());
  }
  // The stored bytes need not end in a terminator (nor be a whole number of characters): the
  // length comes from the data, with trailing terminators dropped. A value that grows between
  // the two queries is read again with the new size.
  for (int attempt = 0; attempt < 4; ++attempt) {
    std::wstring text(bytes / sizeof(wchar_t) + 1, L'\0');
    DWORD size = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    const LSTATUS status = RegQueryValueExW(key.get(), name.c_str(), nullptr, &type,
                                            reinterpret_cast<BYTE*>(text.data()), &size);
    if (status == ERROR_MORE_DATA) {
      bytes = size;
      continue;
    }
    if (status != ERROR_SUCCESS || type != REG_SZ) break;
    text.resize(size / sizeof(wchar_t));
    const std::size_t end = text.find(L'\0');
    if (end != std::wstring::npos) text.resize(end);
    out = WideString(std::move(text));
    return static_cast<int>(out.length());
  }
  out = fallback;
  return static_cast<int>(out.length());
}

HRESULT RegistryKeyPath::WriteDword(const WideString& name, DWORD value) const {
  HKEY root = nullptr;
  std::wstring subKey;
  if (!Split(&root, &subKey)) return HResultFromWin32(ERROR_INVALID_PARAMETER);
  UniqueRegKey key;
  LSTATUS status = RegCreateKeyExW(root, subKey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                   KEY_SET_VALUE, nullptr, key.put(), nullptr);
  if (status != ERROR_SUCCESS) return HResultFromWin32(static_cast<DWORD>(status));
  status = RegSetValueExW(key.get(), name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                          sizeof(value));
  return HResultFromWin32(static_cast<DWORD>(status));
}
