// The memory layout of the deinterlacing filter's parameter table, an interface between modules:
// the filter owns the table, and the device managers, built separately, walk it through the
// pointer that ITeskSettings::GetParameterTable hands out, find records by name and write
// clamped values into them (plain 32-bit stores; no lock).
//
// The product's 32-bit build has the fixed 1600-byte layout. The two record-pointer arrays hold
// native pointers, so the x86_64 build (tests only) has its own, larger size; both are asserted.
#pragma once

#include <cstddef>
#include <cstdint>

namespace deinterlace {

constexpr int kParameterCapacity = 101;  // records per list
constexpr int kParameterNameSize = 32;   // name characters, terminator included
constexpr int kParameterKeySize = 780;   // registry key characters, terminator included
constexpr int kTextParameterSize = 261;  // text characters, terminator included

// One integer parameter (56 bytes).
struct ParameterRecord {
  std::int32_t value;
  std::int32_t minimum;
  std::int32_t maximum;
  std::int32_t defaultValue;
  std::int32_t flags;
  char name[kParameterNameSize];
  std::uint8_t reserved[4];
};
static_assert(sizeof(ParameterRecord) == 56);
static_assert(offsetof(ParameterRecord, flags) == 16 && offsetof(ParameterRecord, name) == 20);

// One text parameter. The system registers none; the layout is kept for the walkers.
struct TextParameterRecord {
  char text[kTextParameterSize];
  char defaultText[kTextParameterSize];
  char valueName[kTextParameterSize];
};
static_assert(offsetof(TextParameterRecord, defaultText) == 261 &&
              offsetof(TextParameterRecord, valueName) == 522);

// The shared table memory, as the device managers see it.
struct ParameterTableLayout {
  std::int32_t count;      // integer records
  std::int32_t textCount;  // text records (always 0)
  ParameterRecord* records[kParameterCapacity];
  TextParameterRecord* textRecords[kParameterCapacity];
  char key[kParameterKeySize];  // path under HKEY_LOCAL_MACHINE, terminated
  std::uint8_t reserved[4];
};
static_assert(offsetof(ParameterTableLayout, records) == 8);
#if defined(_WIN64)
static_assert(offsetof(ParameterTableLayout, textRecords) == 816 &&
              offsetof(ParameterTableLayout, key) == 1624 && sizeof(ParameterTableLayout) == 2408);
#else
static_assert(offsetof(ParameterTableLayout, textRecords) == 412 &&
              offsetof(ParameterTableLayout, key) == 816 && sizeof(ParameterTableLayout) == 1600);
#endif

}  // namespace deinterlace
