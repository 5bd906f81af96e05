#include "common/device/device_state_table.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "common/errors.h"
#include "common/format.h"
#include "common/handles.h"
#include "common/testing/child.h"

using testing_support::ChildProcess;
using testing_support::RunChild;
using testing_support::UniqueName;

namespace {

// An isolated table (its own section and mutex names), so that cases never share entries.
struct TableNames {
  std::wstring section = UniqueName(L"Global\\vorn_state_");
  std::wstring mutex = section + L"_MUTEX";
};

// The raw section, mapped beside the table to look at and plant bytes.
DeviceStateEntry* RawEntries(SharedMemory& raw, const TableNames& names) {
  if (FAILED(raw.Create(names.section.c_str(), 0, DeviceStateTable::kSectionSize))) return nullptr;
  return raw.As<DeviceStateEntry>();
}

std::wstring DeviceName(int i) { return FormatW(L"dev_%d#inst", i); }

}  // namespace

TEST(DeviceStateTable, UsesTheSystemNamesAndTheSharedSize) {
  // The default object names the system's table; opening it registers nothing.
  DeviceStateTable table;
  ASSERT_EQ(table.Open(), S_OK);
  EXPECT_EQ(table.Open(), S_FALSE);
  HANDLE mapping = OpenFileMappingW(FILE_MAP_READ, FALSE, L"Global\\MMF_DEVICE_STATE");
  ASSERT_NE(mapping, nullptr);
  MEMORY_BASIC_INFORMATION info{};
  void* view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
  ASSERT_NE(view, nullptr);
  VirtualQuery(view, &info, sizeof(info));
  EXPECT_GE(info.RegionSize, DeviceStateTable::kSectionSize);
  UnmapViewOfFile(view);
  CloseHandle(mapping);
  HANDLE mutex = OpenMutexW(SYNCHRONIZE, FALSE, L"Global\\MMF_DEVICE_STATE_MUTEX");
  EXPECT_NE(mutex, nullptr);
  if (mutex) CloseHandle(mutex);
}

TEST(DeviceStateTable, RegisterKeepsTheFirstValuesForAnyLetterCase) {
  TableNames names;
  DeviceStateTable table(names.section.c_str(), names.mutex.c_str());
  EXPECT_EQ(table.Register(L"Tuner", 1, 2), errors::kDmNullPointer);  // not open yet
  ASSERT_EQ(table.Open(), S_OK);
  EXPECT_EQ(table.Open(), S_FALSE);
  ASSERT_EQ(table.Register(L"Tuner#1", 10, 20), S_OK);
  ASSERT_EQ(table.Register(L"tUNER#1", 30, 40), S_OK);

  SharedMemory raw;
  DeviceStateEntry* entries = RawEntries(raw, names);
  ASSERT_NE(entries, nullptr);
  EXPECT_STREQ(entries[0].name, L"Tuner#1");
  EXPECT_EQ(entries[0].a, 10);
  EXPECT_EQ(entries[0].b, 20);
  EXPECT_EQ(entries[1].name[0], L'\0');  // no second entry

  // Byte-level layout as other processes read it.
  ASSERT_EQ(table.SetSlot(L"TUNER#1", 3, 0x11223344), S_OK);
  const auto* bytes = reinterpret_cast<const unsigned char*>(entries);
  std::int32_t a = 0, slot3 = 0;
  std::memcpy(&a, bytes + 2048, 4);
  std::memcpy(&slot3, bytes + 2056 + 3 * 4, 4);
  EXPECT_EQ(a, 10);
  EXPECT_EQ(slot3, 0x11223344);
  EXPECT_EQ(bytes[2104], 0);  // entry 1 starts after 2104 bytes
}

TEST(DeviceStateTable, HoldsTwelveNamesAndRefusesBadArguments) {
  TableNames names;
  DeviceStateTable table(names.section.c_str(), names.mutex.c_str());
  ASSERT_EQ(table.Open(), S_OK);
  for (int i = 0; i < 12; ++i) ASSERT_EQ(table.Register(DeviceName(i).c_str(), i, -i), S_OK) << i;
  EXPECT_EQ(table.Register(DeviceName(12).c_str(), 0, 0), errors::kDmFailure);
  EXPECT_EQ(table.Register(DeviceName(5).c_str(), 0, 0), S_OK);  // present already

  EXPECT_EQ(table.SetSlot(DeviceName(1).c_str(), 12, 1), errors::kDmInvalidArg);
  EXPECT_EQ(table.SetSlot(DeviceName(1).c_str(), -1, 1), errors::kDmInvalidArg);
  EXPECT_EQ(table.SetSlot(nullptr, 0, 1), errors::kDmInvalidArg);
  EXPECT_EQ(table.SetSlot(DeviceName(12).c_str(), 0, 1), errors::kDmFailure);
  EXPECT_EQ(table.Register(nullptr, 0, 0), errors::kDmNullPointer);
  // An empty name would match a free entry: it is no name.
  EXPECT_EQ(table.Register(L"", 0, 0), errors::kDmInvalidArg);
  EXPECT_EQ(table.SetSlot(L"", 0, 1), errors::kDmFailure);

  for (int s = 0; s < 12; ++s) ASSERT_EQ(table.SetSlot(DeviceName(7).c_str(), s, 100 + s), S_OK);
  unsigned char buffer[100];
  std::memset(buffer, 0xCC, sizeof(buffer));
  ASSERT_EQ(table.ReadSlots(DeviceName(7).c_str(), sizeof(buffer), buffer), S_OK);
  std::int32_t slots[12];
  std::memcpy(slots, buffer, sizeof(slots));
  for (int s = 0; s < 12; ++s) EXPECT_EQ(slots[s], 100 + s);
  for (size_t i = 48; i < sizeof(buffer); ++i) ASSERT_EQ(buffer[i], 0xCC) << "byte " << i;
  std::memset(buffer, 0xCC, sizeof(buffer));
  ASSERT_EQ(table.ReadSlots(DeviceName(7).c_str(), 2, buffer), S_OK);
  EXPECT_EQ(buffer[2], 0xCC);
  EXPECT_EQ(table.ReadSlots(DeviceName(7).c_str(), 4, nullptr), errors::kDmNullPointer);
  EXPECT_EQ(table.ReadSlots(nullptr, 4, buffer), errors::kDmNullPointer);
  EXPECT_EQ(table.ReadSlots(DeviceName(13).c_str(), 4, buffer), errors::kDmFailure);

  // Closed, the entries stay; operations report "not found" until it is opened again.
  SharedMemory keep;  // keeps the section alive while the table has it closed
  ASSERT_NE(RawEntries(keep, names), nullptr);
  table.Close();
  EXPECT_FALSE(table.IsOpen());
  EXPECT_EQ(table.SetSlot(DeviceName(7).c_str(), 0, 1), errors::kDmFailure);
  ASSERT_EQ(table.Open(), S_OK);
  ASSERT_EQ(table.ReadSlots(DeviceName(7).c_str(), 4, buffer), S_OK);
  EXPECT_EQ(buffer[0], 100);
}

TEST(DeviceStateTable, RefusesLongNamesAndWritesNothingPastTheField) {
  TableNames names;
  DeviceStateTable table(names.section.c_str(), names.mutex.c_str());
  ASSERT_EQ(table.Open(), S_OK);
  const std::wstring longest(1023, L'n'), tooLong(1024, L'n');
  EXPECT_EQ(table.Register(tooLong.c_str(), 1, 2), errors::kDmInvalidArg);
  EXPECT_EQ(table.SetSlot(tooLong.c_str(), 0, 1), errors::kDmFailure);
  ASSERT_EQ(table.Register(longest.c_str(), 7, 8), S_OK);
  SharedMemory raw;
  DeviceStateEntry* entries = RawEntries(raw, names);
  ASSERT_NE(entries, nullptr);
  EXPECT_EQ(entries[0].name[1022], L'n');
  EXPECT_EQ(entries[0].name[1023], L'\0');
  EXPECT_EQ(entries[0].a, 7);
  EXPECT_EQ(entries[0].b, 8);
  EXPECT_EQ(table.SetSlot(longest.c_str(), 11, 5), S_OK);
  EXPECT_EQ(entries[0].slot[11], 5);
}

TEST(DeviceStateTable, WithoutItsMutexItTouchesNothing) {
  // A mutex name that cannot be made: an event of that name exists.
  TableNames names;
  HANDLE clash = CreateEventW(nullptr, TRUE, FALSE, names.mutex.c_str());
  ASSERT_NE(clash, nullptr);
  DeviceStateTable table(names.section.c_str(), names.mutex.c_str());
  EXPECT_EQ(table.Open(), errors::kDmNullPointer);
  EXPECT_EQ(table.Register(L"dev", 1, 2), errors::kDmNullPointer);
  EXPECT_EQ(table.SetSlot(L"dev", 0, 1), errors::kDmNullPointer);
  std::int32_t slot = 0;
  EXPECT_EQ(table.ReadSlots(L"dev", 4, &slot), errors::kDmNullPointer);
  EXPECT_EQ(OpenFileMappingW(FILE_MAP_READ, FALSE, names.section.c_str()), nullptr);
  CloseHandle(clash);
}

TEST(DeviceStateTable, UnterminatedNamesAreComparedWithinTheirField) {
  // The name field ends exactly at a no-access page: a compare that runs past it faults.
  SYSTEM_INFO si{};
  GetSystemInfo(&si);
  const size_t page = si.dwPageSize;
  auto* base = static_cast<unsigned char*>(
      VirtualAlloc(nullptr, 2 * page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
  ASSERT_NE(base, nullptr);
  DWORD old = 0;
  ASSERT_TRUE(VirtualProtect(base + page, page, PAGE_NOACCESS, &old));
  auto* entry = reinterpret_cast<DeviceStateEntry*>(base + page - sizeof(DeviceStateEntry::name));
  for (auto& c : entry->name) c = L'A';
  const std::wstring almost(1023, L'a'), same(1024, L'a');
  EXPECT_FALSE(DeviceStateTable::NameEquals(*entry, almost.c_str()));
  EXPECT_FALSE(DeviceStateTable::NameEquals(*entry, same.c_str()));
  EXPECT_FALSE(DeviceStateTable::NameEquals(*entry, L"A"));
  entry->name[1023] = L'\0';
  EXPECT_TRUE(DeviceStateTable::NameEquals(*entry, almost.c_str()));
  VirtualFree(base, 0, MEM_RELEASE);

  // A section filled by a hostile writer: every entry counts as used and matches nothing.
  TableNames names;
  SharedMemory raw;
  auto* bytes = reinterpret_cast<unsigned char*>(RawEntries(raw, names));
  ASSERT_NE(bytes, nullptr);
  std::memset(bytes, 0x41, DeviceStateTable::kSectionSize);
  DeviceStateTable table(names.section.c_str(), names.mutex.c_str());
  ASSERT_EQ(table.Open(), S_OK);
  const std::wstring planted(1023, static_cast<wchar_t>(0x4141));
  EXPECT_EQ(table.Register(planted.c_str(), 1, 2), errors::kDmFailure);
  EXPECT_EQ(table.SetSlot(planted.c_str(), 0, 1), errors::kDmFailure);
  // Planted entries with a terminator are ordinary names.
  auto* entries = reinterpret_cast<DeviceStateEntry*>(bytes);
  entries[4].name[3] = L'\0';
  EXPECT_EQ(table.SetSlot(planted.substr(0, 3).c_str(), 0, 9), S_OK);
  EXPECT_EQ(entries[4].slot[0], 9);
}

// Registers a device and sets its slots in the section named by the arguments.
VORN_CHILD(StateTableWriter) {
  DeviceStateTable table(args.at(0).c_str(), args.at(1).c_str());
  if (table.Open() != S_OK && table.Open() != S_FALSE) return 2;
  if (table.Register(L"Child#Tuner", 5, 6) != S_OK) return 3;
  for (int s = 0; s < 12; ++s) {
    if (table.SetSlot(L"child#tuner", s, 1000 + s) != S_OK) return 4;
  }
  return 0;
}

TEST(DeviceStateTable, AChildsEntryIsSeenByTheParent) {
  TableNames names;
  DeviceStateTable table(names.section.c_str(), names.mutex.c_str());
  ASSERT_EQ(table.Open(), S_OK);  // keeps the section alive across the child
  ASSERT_EQ(RunChild("StateTableWriter", {names.section, names.mutex}), 0u);
  std::int32_t slots[12] = {};
  ASSERT_EQ(table.ReadSlots(L"CHILD#TUNER", sizeof(slots), slots), S_OK);
  for (int s = 0; s < 12; ++s) EXPECT_EQ(slots[s], 1000 + s);
  ASSERT_EQ(table.Register(L"Child#Tuner", 0, 0), S_OK);  // the child's a and b stay
  SharedMemory raw;
  DeviceStateEntry* entries = RawEntries(raw, names);
  ASSERT_NE(entries, nullptr);
  EXPECT_EQ(entries[0].a, 5);
  EXPECT_EQ(entries[0].b, 6);
}

// Waits for the start event, then registers the twelve shared names 50 times in an order and a
// letter case of its own, racing the other processes.
VORN_CHILD(StateTableRacer) {
  const int racer = std::stoi(args.at(3));
  HANDLE go = OpenEventW(SYNCHRONIZE, FALSE, args.at(2).c_str());
  HANDLE ready = OpenSemaphoreW(SEMAPHORE_MODIFY_STATE, FALSE, args.at(4).c_str());
  if (!go || !ready || !ReleaseSemaphore(ready, 1, nullptr)) return 2;
  CloseHandle(ready);
  if (WaitForSingleObject(go, 20000) != WAIT_OBJECT_0) return 2;
  CloseHandle(go);
  DeviceStateTable table(args.at(0).c_str(), args.at(1).c_str());
  if (FAILED(table.Open())) return 3;
  for (int i = 0; i < 50; ++i) {
    const int n = (i * 5 + racer * 4) % 12;  // every racer meets all twelve
    std::wstring name = DeviceName(n);
    if ((i + racer) % 2) name[0] = L'D';
    if (table.Register(name.c_str(), racer, i) != S_OK) return 10 + i;
  }
  return 0;
}

TEST(DeviceStateTable, ConcurrentRegistrationFromSeveralProcessesNeverDuplicatesOrLoses) {
  TableNames names;
  DeviceStateTable table(names.section.c_str(), names.mutex.c_str());
  ASSERT_EQ(table.Open(), S_OK);
  const std::wstring goName = UniqueName(L"Global\\vorn_state_go_");
  HANDLE go = CreateEventW(nullptr, TRUE, FALSE, goName.c_str());
  ASSERT_NE(go, nullptr);
  // Each racer counts itself in here once it has opened the start event.
  const std::wstring readyName = UniqueName(L"Global\\vorn_state_ready_");
  UniqueHandle ready(CreateSemaphoreW(nullptr, 0, 3, readyName.c_str()));
  ASSERT_NE(ready.get(), nullptr);
  std::vector<ChildProcess> racers;
  for (int r = 0; r < 3; ++r) {
    racers.push_back(ChildProcess::Start(
        "StateTableRacer", {names.section, names.mutex, goName, std::to_wstring(r), readyName}));
    ASSERT_TRUE(racers.back().valid());
  }
  for (int r = 0; r < 3; ++r) ASSERT_EQ(WaitForSingleObject(ready.get(), 30000), WAIT_OBJECT_0);
  SetEvent(go);
  for (auto& racer : racers) EXPECT_EQ(racer.Wait(30000), 0u);
  CloseHandle(go);

  SharedMemory raw;
  DeviceStateEntry* entries = RawEntries(raw, names);
  ASSERT_NE(entries, nullptr);
  std::set<std::wstring> seen;
  for (DWORD i = 0; i < DeviceStateTable::kUsedEntries; ++i) {
    std::wstring name(entries[i].name);
    ASSERT_FALSE(name.empty()) << "entry " << i << " free: a name was lost";
    name[0] = L'd';
    EXPECT_TRUE(seen.insert(name).second) << "duplicate " << testing::PrintToString(name);
  }
  EXPECT_EQ(seen.size(), 12u);
}
