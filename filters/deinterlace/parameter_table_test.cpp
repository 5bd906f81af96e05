#include "filters/deinterlace/parameter_table.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "filters/deinterlace/testing/registry_fixture.h"

namespace deinterlace {
namespace {

TEST(ParameterTable, RegisterFindAndClamp) {
  ParameterTable table;
  EXPECT_EQ(table.Register("A", 0, 10, 5, 2), 1);
  EXPECT_EQ(table.Register("B", -5, 5, 9, 1), 2);  // default above the range is clamped
  EXPECT_EQ(table.GetByName("B"), 5);
  EXPECT_EQ(table.Register(nullptr, 0, 1, 0, 2), -1);
  EXPECT_EQ(table.Register("", 0, 1, 0, 2), -1);
  EXPECT_EQ(table.Register("C", 3, 1, 2, 2), -1);
  EXPECT_EQ(table.Register(std::string(32, 'n').c_str(), 0, 1, 0, 2), -1);
  EXPECT_EQ(table.Register(std::string(31, 'n').c_str(), 0, 1, 0, 2), 3);

  EXPECT_EQ(table.SetByName("A", 11), 0);
  EXPECT_EQ(table.GetByName("A"), 10);
  EXPECT_EQ(table.SetByName("A", -1), 0);
  EXPECT_EQ(table.GetByName("A"), 0);
  EXPECT_EQ(table.SetByName("a", 3), -1);  // names are case-sensitive
  EXPECT_EQ(table.GetByName("a"), -1);
  EXPECT_EQ(table.GetByName(nullptr), -1);

  int minimum = 0, maximum = 0, flags = 0;
  EXPECT_EQ(table.Find("B", &minimum, &maximum, &flags), 2);
  EXPECT_EQ(minimum, -5);
  EXPECT_EQ(maximum, 5);
  EXPECT_EQ(flags, 1);
  EXPECT_EQ(table.Find("Z", &minimum, &maximum, &flags), -1);
  EXPECT_EQ(minimum, -1);
  EXPECT_EQ(maximum, -1);
  EXPECT_EQ(flags, -1);

  EXPECT_EQ(table.GetValueAt(1), 0);
  EXPECT_EQ(table.GetValueAt(2), 5);
  EXPECT_EQ(table.GetValueAt(0), -1);
  EXPECT_EQ(table.GetValueAt(4), -1);
}

// A name is found only whole: not by a longer or shorter name that shares its start, and a
// record whose name a foreign module left without a terminator matches no name at all.
TEST(ParameterTable, NamesMatchOnlyWhole) {
  ParameterTable table;
  ASSERT_EQ(table.Register("Qfa Frame Drop Time", 1, 40, 20, 2), 1);
  ASSERT_EQ(table.Register("Qfa Frame Drop", 0, 1, 1, 2), 2);
  ASSERT_EQ(table.Register(std::string(31, 'n').c_str(), 0, 9, 7, 2), 3);
  const struct {
    std::string name;
    int value;
  } cases[] = {{"Qfa Frame Drop Time", 20}, {"Qfa Frame Drop", 1}, {"Qfa Frame Dro", -1}, {"Qfa Frame Drop ", -1},
               {"Qfa Frame Drop Tim", -1}, {"Qfa Frame Drop Times", -1}, {std::string(31, 'n'), 7},
               {std::string(30, 'n'), -1}};
  for (const auto& c : cases) EXPECT_EQ(table.GetByName(c.name.c_str()), c.value) << c.name;

  std::memset(table.Raw()->records[2]->name, 'n', sizeof(table.Raw()->records[2]->name));
  EXPECT_EQ(table.GetByName(std::string(31, 'n').c_str()), -1);
  EXPECT_EQ(table.GetByName("Qfa Frame Drop"), 1);
}

TEST(ParameterTable, ReRegistrationKeepsIndexAndCapacityIsRefused) {
  ParameterTable table;
  ASSERT_EQ(table.Register("Mode", 0, 9, 4, 2), 1);
  table.SetByName("Mode", 8);
  EXPECT_EQ(table.Register("Mode", 7, 9, 9, 1), 1);
  EXPECT_EQ(table.Count(), 1);
  EXPECT_EQ(table.GetByName("Mode"), 8);
  table.SetByName("Mode", 0);
  EXPECT_EQ(table.GetByName("Mode"), 7);
  EXPECT_EQ(table.Register("Mode", 0, 4, 4, 2), 1);
  EXPECT_EQ(table.GetByName("Mode"), 4);  // clamped into the new range

  for (int i = 2; i <= kParameterCapacity; ++i) {
    ASSERT_EQ(table.Register(("P" + std::to_string(i)).c_str(), 0, 1, 0, 2), i);
  }
  EXPECT_EQ(table.Register("OneTooMany", 0, 1, 0, 2), -1);
  EXPECT_EQ(table.Count(), kParameterCapacity);
  EXPECT_EQ(table.Register("P50", 0, 3, 0, 2), 50);  // an existing name still updates
}

TEST(ParameterTable, KeyIsTruncated) {
  ParameterTable table;
  EXPECT_STREQ(table.Key(), kInitialParameterKey);
  table.SetKey(nullptr);
  EXPECT_STREQ(table.Key(), kInitialParameterKey);
  const std::string longPath(900, 'k');
  table.SetKey(longPath.c_str());
  EXPECT_EQ(std::strlen(table.Key()), 779u);
}

TEST(ParameterTable, LoadResetsThenReadsClampedDwords) {
  testing::TestRegistryKey key;
  key.SetDword(params::kFrameDropTime, 0);
  key.SetDword(params::kFrameDrop, 1);
  key.SetRaw(params::kDebugMessages, REG_SZ, "1", 2);  // not a DWORD: the default stays
  ParameterTable table;
  table.SetKey(key.pathWithSlash().c_str());
  table.Register(params::kDebugMessages, 0, 1, 0, 2);
  table.Register(params::kFrameDrop, 0, 1, 0, 2);
  table.Register(params::kFrameDropTime, 1, 40, 20, 2);
  table.Register(params::kDvdBypass, 0, 1, 1, 2);
  table.SetByName(params::kDvdBypass, 0);
  table.Load();
  EXPECT_EQ(table.GetByName(params::kFrameDropTime), 1);
  EXPECT_EQ(table.GetByName(params::kFrameDrop), 1);
  EXPECT_EQ(table.GetByName(params::kDebugMessages), 0);
  EXPECT_EQ(table.GetByName(params::kDvdBypass), 1);  // written values are reset by a load

  key.SetDword(params::kFrameDropTime, 100);
  table.Load();
  EXPECT_EQ(table.GetByName(params::kFrameDropTime), 40);
}

TEST(FilterParameters, PathAndModeRange) {
  testing::TestRegistryKey key;
  {
    ParameterTable table;
    table.SetKey(key.pathWithSlash().c_str());
    EXPECT_FALSE(RegisterFilterParameters(table, false));
    EXPECT_EQ(table.Count(), 9);
    EXPECT_EQ(table.GetByName(params::kDeintermode), 4);
    EXPECT_EQ(table.GetByName(params::kDvdBypass), 1);
    table.SetByName(params::kDeintermode, 7);
    EXPECT_EQ(table.GetByName(params::kDeintermode), 4);
    table.SetByName(params::kDeintermode, -3);
    EXPECT_EQ(table.GetByName(params::kDeintermode), 0);
    // Loading again neither grows the table nor keeps stale values.
    EXPECT_FALSE(RegisterFilterParameters(table, false));
    EXPECT_FALSE(RegisterFilterParameters(table, false));
    EXPECT_EQ(table.Count(), 9);
    EXPECT_EQ(table.GetByName(params::kDeintermode), 4);
  }
  {
    ParameterTable table;
    table.SetKey(key.pathWithSlash().c_str());
    EXPECT_TRUE(RegisterFilterParameters(table, true));  // a processor without SSE2
    EXPECT_EQ(table.GetByName(params::kDeintermode), 9);
    table.SetByName(params::kDeintermode, -3);
    EXPECT_EQ(table.GetByName(params::kDeintermode), 7);
  }
  key.SetDword(params::kAllowMcDeinterlacing, 1);
  {
    ParameterTable table;
    table.SetKey(key.pathWithSlash().c_str());
    EXPECT_FALSE(RegisterFilterParameters(table, false));
    table.SetByName(params::kDeintermode, 9);
    EXPECT_EQ(table.GetByName(params::kDeintermode), 9);
  }
  key.SetDword(params::kRunMmx, 1);
  {
    ParameterTable table;
    table.SetKey(key.pathWithSlash().c_str());
    EXPECT_TRUE(RegisterFilterParameters(table, false));  // forced on an SSE2 processor
    int minimum = 0, maximum = 0;
    EXPECT_GT(table.Find(params::kDeintermode, &minimum, &maximum, nullptr), 0);
    EXPECT_EQ(minimum, 7);
    EXPECT_EQ(maximum, 9);
    EXPECT_EQ(table.GetByName(params::kDeintermode), 9);
  }
}

// What a device manager does with the pointer it gets: walk the bytes, find a record by name
// and write a clamped value into it.
void ForeignModuleSet(void* tableMemory, const char* name, std::int32_t value) {
  auto* bytes = static_cast<std::uint8_t*>(tableMemory);
  std::int32_t count = 0;
  std::memcpy(&count, bytes, 4);
  for (std::int32_t i = 0; i < count; ++i) {
    std::uint8_t* record = nullptr;
    std::memcpy(&record, bytes + 8 + i * sizeof(void*), sizeof(void*));
    if (std::strcmp(reinterpret_cast<const char*>(record + 20), name) != 0) continue;
    std::int32_t minimum = 0, maximum = 0;
    std::memcpy(&minimum, record + 4, 4);
    std::memcpy(&maximum, record + 8, 4);
    value = value < minimum ? minimum : (value > maximum ? maximum : value);
    std::memcpy(record, &value, 4);
    return;
  }
  ADD_FAILURE() << "no record " << name;
}

TEST(ParameterTable, ForeignWritesAreSeen) {
  ParameterTable table;
  table.SetKey("Software\\Zarn Corporation\\NoSuchDeinterlaceKey\\");
  RegisterFilterParameters(table, false);
  ForeignModuleSet(table.Raw(), params::kDeintermode, 3);
  ForeignModuleSet(table.Raw(), params::kFrameDropTime, 500);
  EXPECT_EQ(table.GetByName(params::kDeintermode), 3);
  EXPECT_EQ(table.GetByName(params::kFrameDropTime), 40);
  const auto* raw = reinterpret_cast<const std::uint8_t*>(table.Raw());
  EXPECT_STREQ(reinterpret_cast<const char*>(raw + offsetof(ParameterTableLayout, key)),
               "Software\\Zarn Corporation\\NoSuchDeinterlaceKey\\");
}

}  // namespace
}  // namespace deinterlace
