// The device-state section under the mutation driver: every process can write it, so its entries
// may hold anything (names without a terminator, a name behind a free marker, names past the used
// entries). Whatever they hold, a device object finds exactly the first used entry of its name,
// reads its slots within the entry and registers a new name only in a free entry.
#include "common/device/device_state_table.h"

#include <gtest/gtest.h>

#include <cstring>
#include <cwctype>
#include <string>

#include "common/errors.h"
#include "common/shared_memory.h"
#include "common/testing/child.h"
#include "common/testing/fuzz_driver.h"

namespace {

constexpr wchar_t kWanted[] = L"1\\\\?\\sim#ven_5a52#3&0#{65e8773d}\\capture";
constexpr wchar_t kNew[] = L"2\\\\?\\sim#ven_5a52#3&0#{65e8773d}\\capture";
constexpr std::size_t kEntryBytes = 5;  // a kind and four bytes the slots are made of

// What an entry's name field holds, by its kind byte.
enum Kind : std::uint8_t { kFree, kFreeWithRest, kName, kNameOtherCase, kUnterminated, kLonger, kOther, kNameThenRest, kKinds };

void PlantName(DeviceStateEntry& entry, Kind kind) {
  std::memset(entry.name, 0, sizeof(entry.name));
  const std::wstring wanted = kWanted;
  switch (kind) {
    case kFree: break;
    case kFreeWithRest: for (std::size_t i = 1; i < DeviceStateEntry::kNameChars; ++i) entry.name[i] = L'x'; break;
    case kName: std::wcscpy(entry.name, kWanted); break;
    case kNameOtherCase:
      for (std::size_t i = 0; i < wanted.size(); ++i) entry.name[i] = static_cast<wchar_t>(std::towupper(wanted[i]));
      break;
    case kUnterminated:
      for (std::size_t i = 0; i < DeviceStateEntry::kNameChars; ++i) entry.name[i] = wanted[i % wanted.size()];
      break;
    case kLonger: std::wcscpy(entry.name, (wanted + L"x").c_str()); break;
    case kOther: std::wcscpy(entry.name, L"another#device"); break;
    case kNameThenRest:
      std::wcscpy(entry.name, kWanted);
      for (std::size_t i = wanted.size() + 1; i < DeviceStateEntry::kNameChars; ++i) entry.name[i] = L'y';
      break;
    default: break;
  }
}

bool Matches(Kind kind) { return kind == kName || kind == kNameOtherCase || kind == kNameThenRest; }

TEST(DeviceStateTableFuzz, EntriesAreFoundAndTakenOnlyAsTheirNamesSay) {
  const std::wstring section = testing_support::UniqueName(L"Global\\vorn_state_fuzz_");
  const std::wstring mutex = section + L"_MUTEX";
  DeviceStateTable table(section.c_str(), mutex.c_str());
  ASSERT_EQ(S_OK, table.Open());
  SharedMemory raw;
  ASSERT_EQ(S_OK, raw.Create(section.c_str(), 0, DeviceStateTable::kSectionSize));
  auto* entries = raw.As<DeviceStateEntry>();

  fuzzing::Target target;
  target.name = "device_state_section";
  target.seeds = {{kName, 1, 2, 3, 4}, {kFree, 0, 0, 0, 0, kNameOtherCase, 9, 9, 9, 9},
                  {kUnterminated, 1, 1, 1, 1, kOther, 2, 2, 2, 2, kNameThenRest, 3, 3, 3, 3},
                  {kFreeWithRest, 5, 5, 5, 5, kLonger, 6, 6, 6, 6}};
  // Entries past the used twelve too: a name there is never found.
  fuzzing::Bytes beyond;
  for (int i = 0; i < 13; ++i) beyond.insert(beyond.end(), {i < 12 ? std::uint8_t{kOther} : std::uint8_t{kName}, 7, 7, 7, 7});
  target.seeds.push_back(beyond);
  target.maxSize = DeviceStateTable::kEntryCount * kEntryBytes;
  target.defaultRuns = 2000;
  target.check = [&](const std::uint8_t* data, std::size_t size) -> std::string {
    std::memset(entries, 0, DeviceStateTable::kSectionSize);
    Kind kinds[DeviceStateTable::kEntryCount] = {};
    for (std::size_t i = 0; i < DeviceStateTable::kEntryCount && (i + 1) * kEntryBytes <= size; ++i) {
      const std::uint8_t* at = data + i * kEntryBytes;
      kinds[i] = static_cast<Kind>(at[0] % kKinds);
      PlantName(entries[i], kinds[i]);
      for (std::size_t s = 0; s < DeviceStateEntry::kSlotCount; ++s)
        entries[i].slot[s] = static_cast<std::int32_t>(fuzzing::ReadLe(at + 1, 4) * (s + 1));
    }
    int found = -1, free = -1;
    for (int i = 0; i < static_cast<int>(DeviceStateTable::kUsedEntries); ++i) {
      if (found < 0 && Matches(kinds[i])) found = i;
      if (free < 0 && (kinds[i] == kFree || kinds[i] == kFreeWithRest)) free = i;
    }

    std::int32_t slots[DeviceStateEntry::kSlotCount + 2];
    std::memset(slots, 0xEE, sizeof(slots));
    const HRESULT read = table.ReadSlots(kWanted, sizeof(slots), slots);
    if (read != (found >= 0 ? S_OK : errors::kDmFailure)) return "the entry found wrongly: " + std::to_string(read);
    if (found >= 0 && std::memcmp(slots, entries[found].slot, sizeof(entries[found].slot)) != 0)
      return "slots not the entry's";
    if (slots[DeviceStateEntry::kSlotCount] != static_cast<std::int32_t>(0xEEEEEEEE)) return "slots read past the entry";
    if (found >= 0) {
      if (table.SetSlot(kWanted, 11, 1234) != S_OK || entries[found].slot[11] != 1234) return "the slot set elsewhere";
    }

    const HRESULT registered = table.Register(kNew, 5, 6);
    if (registered != (free >= 0 ? S_OK : errors::kDmFailure)) return "registered wrongly: " + std::to_string(registered);
    if (free >= 0 && (std::wcscmp(entries[free].name, kNew) != 0 || entries[free].a != 5 || entries[free].b != 6 ||
                      entries[free].slot[0] != 0)) {
      return "the new entry not where it belongs";
    }
    for (int i = 0; i < static_cast<int>(DeviceStateTable::kEntryCount); ++i) {
      if (i == free) continue;
      const bool wasFree = kinds[i] == kFree || kinds[i] == kFreeWithRest;
      const bool untouched = wasFree ? entries[i].name[0] == 0 : entries[i].name[0] != 0;
      if (!untouched) return "another entry changed";
    }
    return {};
  };
  const fuzzing::Result result = fuzzing::Run(target);
  EXPECT_TRUE(result.failure.empty()) << result.failure << "\n" << fuzzing::Hex(result.input);
}

}  // namespace
