#include "devices/core/link/packet_codecs.h"

#include <cstring>

namespace driver_packets {
namespace {

// Offsets of the packed record's fields.
constexpr std::size_t kPackedByteA = 52;
constexpr std::size_t kPackedWordsB = 53;
constexpr std::size_t kPackedByteB = 69;
constexpr std::size_t kPackedWordsC = 70;

}  // namespace

CommandPacket MakeCommandPacket(const GUID& set, std::uint32_t id, std::uint32_t direction,
                                std::uint32_t value1, std::uint32_t value2,
                                std::uint32_t value3) noexcept {
  CommandPacket packet{};
  packet.set = set;
  packet.id = id;
  packet.direction = direction;
  packet.value1 = value1;
  packet.value2 = value2;
  packet.value3 = value3;
  return packet;
}

AlignedEncoderRecord AlignEncoderRecord(const EncoderParameterRecord& packed) noexcept {
  AlignedEncoderRecord aligned{};
  const std::uint8_t* p = packed.data();
  std::memcpy(aligned.words, p, sizeof(aligned.words));
  aligned.byteA = p[kPackedByteA];
  std::memcpy(aligned.wordsB, p + kPackedWordsB, sizeof(aligned.wordsB));
  aligned.byteB = p[kPackedByteB];
  std::memcpy(aligned.wordsC, p + kPackedWordsC, sizeof(aligned.wordsC));
  return aligned;
}

EncoderParameterRecord PackEncoderRecord(const AlignedEncoderRecord& aligned) noexcept {
  EncoderParameterRecord packed{};
  std::uint8_t* p = packed.data();
  std::memcpy(p, aligned.words, sizeof(aligned.words));
  p[kPackedByteA] = aligned.byteA;
  std::memcpy(p + kPackedWordsB, aligned.wordsB, sizeof(aligned.wordsB));
  p[kPackedByteB] = aligned.byteB;
  std::memcpy(p + kPackedWordsC, aligned.wordsC, sizeof(aligned.wordsC));
  return packed;
}

KsPropertyRecord MakeKsPropertyRecord(const GUID& set, std::uint32_t id, std::uint32_t flags,
                                      std::int32_t value1, std::int32_t value2) noexcept {
  KsPropertyRecord record{};
  record.set = set;
  record.id = id;
  record.flags = flags;
  record.value1 = value1;
  record.value2 = value2;
  return record;
}

}  // namespace driver_packets
