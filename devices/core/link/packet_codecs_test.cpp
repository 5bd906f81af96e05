#include "devices/core/link/packet_codecs.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

using namespace driver_packets;

namespace {

// {46548DF9-F55C-4DE5-9316-AEF9BFC524D1} and its bytes as they lie in memory.
constexpr GUID kSet = {0x46548DF9, 0xF55C, 0x4DE5, {0x93, 0x16, 0xAE, 0xF9, 0xBF, 0xC5, 0x24, 0xD1}};
constexpr std::uint8_t kSetBytes[16] = {0xF9, 0x8D, 0x54, 0x46, 0x5C, 0xF5, 0xE5, 0x4D,
                                        0x93, 0x16, 0xAE, 0xF9, 0xBF, 0xC5, 0x24, 0xD1};

template <class T>
std::vector<std::uint8_t> Bytes(const T& value) {
  const auto* p = reinterpret_cast<const std::uint8_t*>(&value);
  return std::vector<std::uint8_t>(p, p + sizeof(T));
}

std::uint32_t WordAt(const std::vector<std::uint8_t>& bytes, size_t offset) {
  std::uint32_t value = 0;
  std::memcpy(&value, bytes.data() + offset, sizeof(value));
  return value;
}

TEST(PacketCodecs, CommandPacketAndKsRecordLayouts) {
  const auto packet = Bytes(MakeCommandPacket(kSet, 2, kGet, 1, 0, 0x77));
  ASSERT_EQ(36u, packet.size());
  EXPECT_EQ(std::vector<std::uint8_t>(kSetBytes, kSetBytes + 16), std::vector<std::uint8_t>(packet.begin(), packet.begin() + 16));
  EXPECT_EQ(2u, WordAt(packet, 16));
  EXPECT_EQ(1u, WordAt(packet, 20));
  EXPECT_EQ(1u, WordAt(packet, 24));
  EXPECT_EQ(0u, WordAt(packet, 28));
  EXPECT_EQ(0x77u, WordAt(packet, 32));

  const auto record = Bytes(MakeKsPropertyRecord(kSet, 1, 2, -5));
  ASSERT_EQ(32u, record.size());
  EXPECT_EQ(0, std::memcmp(kSetBytes, record.data(), 16));
  EXPECT_EQ(1u, WordAt(record, 16));
  EXPECT_EQ(2u, WordAt(record, 20));
  EXPECT_EQ(0xFFFFFFFBu, WordAt(record, 24));
  EXPECT_EQ(0u, WordAt(record, 28));
}

TEST(PacketCodecs, EncoderRecordTravelsAlignedAndComesBackPacked) {
  EncoderParameterRecord packed{};
  for (size_t i = 0; i < packed.size(); ++i) packed[i] = static_cast<std::uint8_t>(i + 1);

  EncoderParameterPacket wire{};
  wire.record = AlignEncoderRecord(packed);
  const auto bytes = Bytes(wire);
  ASSERT_EQ(108u, bytes.size());
  // Packed bytes 0-51 at 24-75, byte 52 at 76, 53-68 at 80-95, byte 69 at 96, 70-77 at 100-107;
  // the padding behind the two single bytes is zero.
  const struct {
    size_t packed, wire, length;
  } runs[] = {{0, 24, 52}, {52, 76, 1}, {53, 80, 16}, {69, 96, 1}, {70, 100, 8}};
  for (const auto& run : runs) {
    SCOPED_TRACE(run.packed);
    EXPECT_EQ(0, std::memcmp(packed.data() + run.packed, bytes.data() + run.wire, run.length));
  }
  for (size_t pad : {77u, 78u, 79u, 97u, 98u, 99u}) EXPECT_EQ(0u, bytes[pad]) << pad;

  EXPECT_EQ(packed, PackEncoderRecord(wire.record));
}

TEST(PacketCodecs, HandleWordsSignExtend) {
  EXPECT_EQ(0x1234u, HandleToWord(reinterpret_cast<HANDLE>(0x1234)));
  EXPECT_EQ(reinterpret_cast<HANDLE>(0x1234), WordToHandle(0x1234));
  // The pseudo handle of the current process survives the 32-bit trip.
  EXPECT_EQ(GetCurrentProcess(), WordToHandle(HandleToWord(GetCurrentProcess())));
}

}  // namespace
