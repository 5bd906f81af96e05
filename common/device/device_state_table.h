// The device-state table: one named section shared by the device managers of every process, in
// which each tuner device in use has an entry (its name, two integers given at registration and
// twelve state slots), so that one device manager sees what another process does with the same
// device. The meaning of the integers and slots is the device managers'.
//
// Entries are never freed: a name stays registered while the section exists (it disappears with
// the last process that maps it, and a new one starts zeroed). So at most 12 distinct device
// names can be registered over the lifetime of one section; the 13th gets 0x8007F034.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "common/locks.h"
#include "common/shared_memory.h"

// One entry of the shared section; little-endian, 2104 bytes.
struct DeviceStateEntry {
  static constexpr std::size_t kNameChars = 1024;  // 1023 characters and the terminator
  static constexpr std::size_t kSlotCount = 12;

  wchar_t name[kNameChars];  // UTF-16; empty = free entry
  std::int32_t a;            // given at registration
  std::int32_t b;            // given at registration
  std::int32_t slot[kSlotCount];
};
static_assert(sizeof(wchar_t) == 2, "the section stores UTF-16 names");
static_assert(sizeof(DeviceStateEntry) == 2104);
static_assert(offsetof(DeviceStateEntry, name) == 0);
static_assert(offsetof(DeviceStateEntry, a) == 2048);
static_assert(offsetof(DeviceStateEntry, b) == 2052);
static_assert(offsetof(DeviceStateEntry, slot) == 2056);

class DeviceStateTable {
 public:
  static constexpr wchar_t kSectionName[] = L"Global\\MMF_DEVICE_STATE";
  static constexpr wchar_t kMutexName[] = L"Global\\MMF_DEVICE_STATE_MUTEX";
  static constexpr DWORD kEntryCount = 16;   // the section's size is part of the format
  static constexpr DWORD kUsedEntries = 12;  // entries 12 to 15 stay zero
  static constexpr DWORD kSectionSize = kEntryCount * sizeof(DeviceStateEntry);
  static_assert(kSectionSize == 33664);

  // The system's table. Creates or opens its mutex.
  DeviceStateTable();
  // A table under other names (an isolated table, as the tests use).
  DeviceStateTable(const wchar_t* sectionName, const wchar_t* mutexName);
  DeviceStateTable(const DeviceStateTable&) = delete;
  DeviceStateTable& operator=(const DeviceStateTable&) = delete;
  ~DeviceStateTable();

  // Creates or maps the section: S_OK, or S_FALSE when this object has it mapped already;
  // 0x8007F044 without the mutex; the Win32 error when the section cannot be made.
  HRESULT Open();
  // Unmaps the section. The entries stay registered.
  void Close();
  bool IsOpen() const noexcept { return opened_; }

  // Registers `name` (compared without regard to case). A name present already keeps its a and
  // b (S_OK); else the first free entry takes it (S_OK), 0x8007F034 when none is free.
  // 0x8007F044 for a null name, without the mutex, or when not open; 0x8007F054 for an empty
  // name or one of 1024 characters or more.
  HRESULT Register(const wchar_t* name, std::int32_t a, std::int32_t b);
  // Sets slot `index` (0 to 11) of a registered name. 0x8007F054 for a null name or a bad index,
  // 0x8007F034 when the name is not registered (or the table not open), 0x8007F044 without the
  // mutex.
  HRESULT SetSlot(const wchar_t* name, int index, std::int32_t value);
  // Copies min(size, 48) bytes of the slots of a registered name into `buffer`. 0x8007F044 for
  // a null name or buffer and without the mutex; 0x8007F034 when not registered (or not open).
  HRESULT ReadSlots(const wchar_t* name, DWORD size, void* buffer);

  // Whether an entry's name field equals `name` (case-insensitively). Reads no more than the
  // 1024 characters of the field even when another process left it without a terminator.
  static bool NameEquals(const DeviceStateEntry& entry, const wchar_t* name) noexcept;

 private:
  // The used entry holding `name`, or null. Called under the mutex.
  DeviceStateEntry* Find(const wchar_t* name) noexcept;
  bool HasMutex() const noexcept { return mutex_.IsValid(); }

  wchar_t sectionName_[MAX_PATH] = {};
  NamedMutex mutex_;  // guards every access to the section, in every process
  SharedMemory memory_;
  bool opened_ = false;
};
