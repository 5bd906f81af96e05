#include "common/device/device_state_table.h"

#include <cstring>
#include <cwchar>

#include "common/errors.h"

namespace {
// The field holds 1023 characters and the terminator.
bool NameFits(const wchar_t* name) noexcept {
  return wcsnlen(name, DeviceStateEntry::kNameChars) < DeviceStateEntry::kNameChars;
}
}  // namespace

DeviceStateTable::DeviceStateTable() : DeviceStateTable(kSectionName, kMutexName) {}

DeviceStateTable::DeviceStateTable(const wchar_t* sectionName, const wchar_t* mutexName) {
  if (sectionName && wcsnlen(sectionName, MAX_PATH) < MAX_PATH) {
    std::wcscpy(sectionName_, sectionName);
  }
  // A mutex that cannot be opened or created leaves the object without one: every operation
  // then reports 0x8007F044 rather than touch the section unprotected.
  if (mutexName) mutex_.Open(mutexName);
}

DeviceStateTable::~DeviceStateTable() { Close(); }

HRESULT DeviceStateTable::Open() {
  if (!HasMutex()) return errors::kDmNullPointer;
  LockGuard guard(mutex_, INFINITE);
  if (!guard.owns()) return errors::kDmNullPointer;
  if (opened_) return S_FALSE;
  if (!sectionName_[0]) return errors::kDmNullPointer;
  const HRESULT hr = memory_.Create(sectionName_, 0, kSectionSize);
  if (SUCCEEDED(hr)) opened_ = true;
  return hr;
}

void DeviceStateTable::Close() {
  // Under the mutex when there is one, so that another thread's operation never sees the view
  // go away under it.
  LockGuard guard(mutex_, INFINITE, HasMutex());
  memory_.Close();
  opened_ = false;
}

bool DeviceStateTable::NameEquals(const DeviceStateEntry& entry, const wchar_t* name) noexcept {
  if (!name) return false;
  const size_t length = wcsnlen(entry.name, DeviceStateEntry::kNameChars);
  // Free entries match nothing; an entry without a terminator (written by a faulty or hostile
  // process: the section is writable by everyone) is taken as used and matches nothing.
  if (length == 0 || length == DeviceStateEntry::kNameChars) return false;
  return _wcsnicmp(entry.name, name, DeviceStateEntry::kNameChars) == 0;
}

DeviceStateEntry* DeviceStateTable::Find(const wchar_t* name) noexcept {
  auto* entries = memory_.As<DeviceStateEntry>();
  if (!entries || !name || !NameFits(name)) return nullptr;
  for (DWORD i = 0; i < kUsedEntries; ++i) {
    if (NameEquals(entries[i], name)) return &entries[i];
  }
  return nullptr;
}

HRESULT DeviceStateTable::Register(const wchar_t* name, std::int32_t a, std::int32_t b) {
  if (!HasMutex() || !name) return errors::kDmNullPointer;
  if (!*name || !NameFits(name)) return errors::kDmInvalidArg;
  LockGuard guard(mutex_, INFINITE);
  if (!guard.owns()) return errors::kDmNullPointer;
  auto* entries = memory_.As<DeviceStateEntry>();
  if (!entries) return errors::kDmNullPointer;
  if (Find(name)) return S_OK;
  for (DWORD i = 0; i < kUsedEntries; ++i) {
    DeviceStateEntry& entry = entries[i];
    if (entry.name[0] != L'\0') continue;
    std::memset(&entry, 0, sizeof(entry));
    std::wcscpy(entry.name, name);  // fits: checked above
    entry.a = a;
    entry.b = b;
    return S_OK;
  }
  return errors::kDmFailure;
}

HRESULT DeviceStateTable::SetSlot(const wchar_t* name, int index, std::int32_t value) {
  if (!HasMutex()) return errors::kDmNullPointer;
  if (!name || index < 0 || index >= static_cast<int>(DeviceStateEntry::kSlotCount)) {
    return errors::kDmInvalidArg;
  }
  LockGuard guard(mutex_, INFINITE);
  if (!guard.owns()) return errors::kDmNullPointer;
  DeviceStateEntry* entry = Find(name);
  if (!entry) return errors::kDmFailure;
  entry->slot[index] = value;
  return S_OK;
}

HRESULT DeviceStateTable::ReadSlots(const wchar_t* name, DWORD size, void* buffer) {
  if (!HasMutex() || !name || !buffer) return errors::kDmNullPointer;
  LockGuard guard(mutex_, INFINITE);
  if (!guard.owns()) return errors::kDmNullPointer;
  const DeviceStateEntry* entry = Find(name);
  if (!entry) return errors::kDmFailure;
  const DWORD bytes = size < sizeof(entry->slot) ? size : static_cast<DWORD>(sizeof(entry->slot));
  std::memcpy(buffer, entry->slot, bytes);
  return S_OK;
}
