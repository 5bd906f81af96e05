// The request codecs under the mutation driver: whatever bytes a driver or a caller leaves in a
// record, the conversions keep every field and zero every gap.
#include "devices/core/link/packet_codecs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "common/testing/fuzz_driver.h"

using namespace driver_packets;

namespace {

std::string CheckCodecs(const std::uint8_t* data, std::size_t size) {
  // A packed record as a caller holds it (missing bytes zero).
  EncoderParameterRecord packed{};
  std::memcpy(packed.data(), data, std::min(size, packed.size()));
  const AlignedEncoderRecord aligned = AlignEncoderRecord(packed);
  if (PackEncoderRecord(aligned) != packed) return "packed -> aligned -> packed changed the record";
  if (aligned.padA[0] | aligned.padA[1] | aligned.padA[2] | aligned.padB[0] | aligned.padB[1] | aligned.padB[2]) {
    return "aligned record with padding that is not zero";
  }

  // An aligned record as a driver answers it, padding whatever the driver left there.
  AlignedEncoderRecord wire{};
  std::memcpy(&wire, data, std::min(size, sizeof(wire)));
  AlignedEncoderRecord clean = wire;
  std::memset(clean.padA, 0, sizeof(clean.padA));
  std::memset(clean.padB, 0, sizeof(clean.padB));
  const AlignedEncoderRecord back = AlignEncoderRecord(PackEncoderRecord(wire));
  if (std::memcmp(&back, &clean, sizeof(back)) != 0) return "aligned -> packed -> aligned lost a field";

  // Command packets and property records carry their words where the layout says.
  std::uint32_t words[6] = {};
  std::memcpy(words, data, std::min(size, sizeof(words)));
  GUID set{};
  std::memcpy(&set, data, std::min(size, sizeof(set)));
  const CommandPacket packet = MakeCommandPacket(set, words[0], words[1], words[2], words[3], words[4]);
  const std::uint32_t expected[5] = {words[0], words[1], words[2], words[3], words[4]};
  if (!IsEqualGUID(packet.set, set) || std::memcmp(&packet.id, expected, sizeof(expected)) != 0) {
    return "command packet words out of place";
  }
  const KsPropertyRecord record = MakeKsPropertyRecord(set, words[0], words[1], static_cast<std::int32_t>(words[2]),
                                                       static_cast<std::int32_t>(words[3]));
  if (record.id != words[0] || record.flags != words[1] || static_cast<std::uint32_t>(record.value1) != words[2] ||
      static_cast<std::uint32_t>(record.value2) != words[3]) {
    return "property record words out of place";
  }
  // Every handle word survives the trip through a handle.
  if (HandleToWord(WordToHandle(words[5])) != words[5]) return "handle word changed";
  return {};
}

TEST(PacketCodecsFuzz, RecordsKeepTheirFieldsWhateverTheBytes) {
  fuzzing::Target target;
  target.name = "packet_codecs";
  fuzzing::Bytes counting(kEncoderRecordSize);
  for (std::size_t i = 0; i < counting.size(); ++i) counting[i] = static_cast<std::uint8_t>(i + 1);
  target.seeds = {counting, fuzzing::Bytes(sizeof(AlignedEncoderRecord), 0xFF), fuzzing::Bytes(36, 0)};
  target.check = CheckCodecs;
  target.maxSize = 128;
  target.defaultRuns = 5000;
  const fuzzing::Result result = fuzzing::Run(target);
  EXPECT_TRUE(result.failure.empty()) << result.failure << "\n" << fuzzing::Hex(result.input);
}

}  // namespace
