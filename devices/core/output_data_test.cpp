// The shared output-data answers: information values and audio modes.
#include "devices/core/output_data.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using namespace output_data;

TEST(OutputData, InformationValuesByTypeAndSubtype) {
  struct Case {
    ULONG type, subtype;
    HRESULT result;
    std::vector<std::int32_t> values;
  };
  const Case cases[] = {
      {1, 0, S_OK, {2, 0, 9, 8000000, 0, 1, 0, 7407200, 0, 480, 720, 2, 4, 2, 256000, 0, 48000}},
      {1, 1, S_OK, {2, 1, 9, 4000000, 6000000, 1, 0, 3670000, 5429600, 480, 720, 2, 4, 2, 256000, 0, 48000}},
      {1, 2, S_OK, {2, 1, 9, 2500000, 0, 1, 0, 1968800, 0, 480, 352, 2, 4, 2, 256000, 0, 48000}},
      {2, 0, S_OK, {2, 48000, 256000, 4, 16}},
      {3, 0, S_OK, {}},
      {1, 3, errors::kOutputUnknownValue, {}},
      {2, 1, errors::kOutputUnknownValue, {}},
      {0, 0, errors::kOutputUnknownValue, {}},
      {4, 0, errors::kOutputUnknownValue, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.type << "/" << c.subtype);
    std::vector<std::int32_t> values{-1};
    EXPECT_EQ(OutputDataInfo(c.type, c.subtype, &values), c.result);
    if (c.result == S_OK) {
      EXPECT_EQ(values, c.values);
    }
  }
  // The second and third families' own MPEG values; the rest as above.
  const Case family23[] = {
      {1, 0, S_OK, {2, 0, 9, 8000000, 0, 1, 0, 7620000, 0, 480, 720, 2, 4, 2, 256000, 0, 48000}},
      {1, 1, S_OK, {2, 1, 9, 4000000, 8000000, 1, 0, 3670000, 7620000, 480, 720, 2, 4, 2, 256000, 0, 48000}},
      {1, 2, S_OK, {2, 1, 9, 2500000, 4500000, 1, 0, 2179600, 4000000, 480, 352, 2, 4, 2, 256000, 0, 48000}},
      {2, 0, S_OK, {2, 48000, 256000, 4, 16}},
      {1, 3, errors::kOutputUnknownValue, {}},
  };
  for (const Case& c : family23) {
    SCOPED_TRACE(testing::Message() << "family 2/3 " << c.type << "/" << c.subtype);
    std::vector<std::int32_t> values{-1};
    EXPECT_EQ(OutputDataInfoFamily23(c.type, c.subtype, &values), c.result);
    if (c.result == S_OK) {
      EXPECT_EQ(values, c.values);
    }
  }
  std::vector<ULONG> subtypes;
  EXPECT_EQ(AvailableSubtypes(5, &subtypes), errors::kOutputUnknownValue);
  EXPECT_EQ(WriteOutputDataInfo(1, 0, nullptr), errors::kOutputNullPointer);
}

TEST(OutputData, AudioModesFromTheTvAudioMode) {
  struct Case {
    long tvMode;
    bool external;
    ULONG mainL, mainR, sub, lineL, lineR;
  };
  const Case cases[] = {
      {0x01, false, 1, 1, 0, 1, 1},  {0x02, false, 2, 2, 0, 2, 2},  {0x22, false, 2, 2, 16, 2, 2},
      {0x41, false, 1, 1, 32, 1, 1}, {0x32, false, 4, 8, 0, 4, 8},  {0x32, true, 1, 1, 0, 1, 1},
      {0x00, false, 0, 0, 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.tvMode << " external " << c.external);
    const _SHAL_INPUT_AUDIOMODE input = InputAudioMode(c.tvMode, c.external);
    EXPECT_EQ(input.mainL, c.mainL);
    EXPECT_EQ(input.mainR, c.mainR);
    EXPECT_EQ(input.sub, c.sub);
    const _SHAL_OUTPUT_AUDIOMODE output = OutputAudioMode(c.tvMode, c.external);
    EXPECT_EQ(output.lineL, c.lineL);
    EXPECT_EQ(output.lineR, c.lineR);
  }
}

}  // namespace
