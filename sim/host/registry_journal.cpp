#include "sim/host/registry_journal.h"

#include "common/hresult.h"

namespace sim_host {
namespace {

HRESULT FromStatus(LSTATUS status) { return HResultFromWin32(static_cast<DWORD>(status)); }

// "HKEY_LOCAL_MACHINE\SOFTWARE\x" gives HKEY_LOCAL_MACHINE and "SOFTWARE\x".
bool Split(const RegistryKeyPath& key, HKEY* root, std::wstring* subKey) {
  const std::wstring& path = key.path().str();
  const size_t separator = path.find(L'\\');
  *root = RegistryKeyPath::RootKey(path.substr(0, separator));
  *subKey = separator == std::wstring::npos ? std::wstring() : path.substr(separator + 1);
  return *root && !subKey->empty();
}

// ERROR_SUCCESS when the key exists, ERROR_FILE_NOT_FOUND when it does not.
LSTATUS KeyState(HKEY root, const std::wstring& subKey) {
  UniqueRegKey key;
  return RegOpenKeyExW(root, subKey.c_str(), 0, KEY_QUERY_VALUE, key.put());
}

}  // namespace

HRESULT RegistryJournal::Remember(HKEY root, const std::wstring& subKey, const std::wstring& name) {
  // The topmost missing key of the path, when one is missing: deleting it undoes the write.
  for (size_t end = subKey.find(L'\\');; end = subKey.find(L'\\', end + 1)) {
    const std::wstring prefix = subKey.substr(0, end);
    const LSTATUS state = KeyState(root, prefix);
    if (state == ERROR_FILE_NOT_FOUND) {
      changes_.push_back({root, prefix, true, {}, false, 0, {}, 0});
      return S_OK;
    }
    // A key that cannot be looked at is never taken for one of ours.
    if (state != ERROR_SUCCESS) return FromStatus(state);
    if (end == std::wstring::npos) break;
  }
  for (const Change& c : changes_)
    if (!c.createdKey && c.root == root && _wcsicmp(c.subKey.c_str(), subKey.c_str()) == 0 &&
        _wcsicmp(c.name.c_str(), name.c_str()) == 0)
      return S_OK;
  Change change{root, subKey, false, name, false, 0, {}, 0};
  UniqueRegKey key;
  LSTATUS status = RegOpenKeyExW(root, subKey.c_str(), 0, KEY_QUERY_VALUE, key.put());
  if (status != ERROR_SUCCESS) return FromStatus(status);
  DWORD bytes = 0;
  status = RegQueryValueExW(key.get(), name.c_str(), nullptr, &change.type, nullptr, &bytes);
  // Read whole, as stored (no terminator added); a value that grows meanwhile is read again.
  while (status == ERROR_SUCCESS || status == ERROR_MORE_DATA) {
    change.data.resize(bytes + 1);
    bytes = static_cast<DWORD>(change.data.size());
    status = RegQueryValueExW(key.get(), name.c_str(), nullptr, &change.type, change.data.data(), &bytes);
    if (status == ERROR_SUCCESS) {
      // Wine stores a string one terminator longer when the character after the given bytes is
      // a terminator: a guard after them keeps the bytes exactly as they were.
      change.data.resize(bytes);
      change.data.insert(change.data.end(), {0xFF, 0xFF, 0xFF});
      change.size = bytes;
      change.existed = true;
      break;
    }
  }
  if (!change.existed && status != ERROR_FILE_NOT_FOUND) return FromStatus(status);
  changes_.push_back(std::move(change));
  return S_OK;
}

HRESULT RegistryJournal::SetValue(const RegistryKeyPath& key, const wchar_t* name, DWORD type, const void* data,
                                  DWORD bytes) {
  HKEY root = nullptr;
  std::wstring subKey;
  if (!Split(key, &root, &subKey)) return E_INVALIDARG;
  const std::wstring valueName = name ? name : L"";
  RETURN_IF_FAILED(Remember(root, subKey, valueName));
  return FromStatus(RegSetKeyValueW(root, subKey.c_str(), valueName.c_str(), type, data, bytes));
}

HRESULT RegistryJournal::SetDword(const RegistryKeyPath& key, const wchar_t* name, DWORD value) {
  return SetValue(key, name, REG_DWORD, &value, sizeof(value));
}

HRESULT RegistryJournal::SetString(const RegistryKeyPath& key, const wchar_t* name, const std::wstring& value) {
  return SetValue(key, name, REG_SZ, value.c_str(), static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

HRESULT RegistryJournal::Restore() noexcept {
  HRESULT result = S_OK;
  for (auto c = changes_.rbegin(); c != changes_.rend(); ++c) {
    LSTATUS status;
    if (c->createdKey) {
      status = RegDeleteTreeW(c->root, c->subKey.c_str());  // the key itself included
    } else if (c->existed) {
      status = RegSetKeyValueW(c->root, c->subKey.c_str(), c->name.c_str(), c->type, c->data.data(), c->size);
    } else {
      status = RegDeleteKeyValueW(c->root, c->subKey.c_str(), c->name.c_str());
    }
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND && SUCCEEDED(result)) result = FromStatus(status);
  }
  changes_.clear();
  return result;
}

}  // namespace sim_host
