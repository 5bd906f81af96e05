// The wire layouts of the tuner cards' driver requests that differ between the families, and
// the pure functions that build and convert them. The driver links and the simulated drivers
// share them; nothing here performs I/O.
//
// All layouts are little-endian with the property-set GUID in its in-memory order.
#pragma once

#include <windows.h>

#include <array>
#include <cstddef>
#include <cstdint>

namespace driver_packets {

constexpr std::uint32_t kGet = 1;  // direction of a property request
constexpr std::uint32_t kSet = 2;

// --- The second family's command packet (control code 0x220000) ---------------------------
// One buffer is sent and received. Most requests send the first 32 bytes; the tune requests
// send all 36 (value 3 carries the mode, or the key's third word on a get).
#pragma pack(push, 4)
struct CommandPacket {
  GUID set;
  std::uint32_t id;
  std::uint32_t direction;
  std::uint32_t value1;  // the tuner index, or the key of a get
  std::uint32_t value2;  // the value set, or the driver's answer to a get
  std::uint32_t value3;  // only in the 36-byte packets
};
#pragma pack(pop)
static_assert(sizeof(CommandPacket) == 36);
static_assert(offsetof(CommandPacket, id) == 16 && offsetof(CommandPacket, value1) == 24 &&
              offsetof(CommandPacket, value3) == 32);
constexpr DWORD kCommandPacketSize = 32;
constexpr DWORD kTunePacketSize = 36;

// A packet with the unused words zero.
CommandPacket MakeCommandPacket(const GUID& set, std::uint32_t id, std::uint32_t direction,
                                std::uint32_t value1, std::uint32_t value2 = 0,
                                std::uint32_t value3 = 0) noexcept;

// --- The second family's encoder parameter record -----------------------------------------
// As callers hold it: thirteen uint32 (bytes 0-51), a byte (52), four uint32 (53-68), a byte
// (69), two uint32 (70-77), packed without gaps. Word 0 is the tuner index.
constexpr std::size_t kEncoderRecordSize = 78;
using EncoderParameterRecord = std::array<std::uint8_t, kEncoderRecordSize>;

// The same record on the wire, every field at its natural alignment.
struct AlignedEncoderRecord {
  std::uint32_t words[13];
  std::uint8_t byteA;
  std::uint8_t padA[3];
  std::uint32_t wordsB[4];
  std::uint8_t byteB;
  std::uint8_t padB[3];
  std::uint32_t wordsC[2];
};
static_assert(sizeof(AlignedEncoderRecord) == 84);
static_assert(offsetof(AlignedEncoderRecord, byteA) == 52 && offsetof(AlignedEncoderRecord, wordsB) == 56 &&
              offsetof(AlignedEncoderRecord, byteB) == 72 && offsetof(AlignedEncoderRecord, wordsC) == 76);

// Control code 0x220000 with the encoder parameter set: 108 bytes.
struct EncoderParameterPacket {
  GUID set;
  std::uint32_t id;
  std::uint32_t direction;
  AlignedEncoderRecord record;
};
static_assert(sizeof(EncoderParameterPacket) == 108 && offsetof(EncoderParameterPacket, record) == 24);

// Packed -> aligned (padding zero) and back; the round trip is exact.
AlignedEncoderRecord AlignEncoderRecord(const EncoderParameterRecord& packed) noexcept;
EncoderParameterRecord PackEncoderRecord(const AlignedEncoderRecord& aligned) noexcept;

// --- The third family's kernel-streaming property record ----------------------------------
// A KSPROPERTY header (set, id, flags) followed by one or two 32-bit values; one buffer serves
// as both the instance data and the property data of IKsPropertySet::Get/Set.
struct KsPropertyRecord {
  GUID set;
  std::uint32_t id;
  std::uint32_t flags;
  std::int32_t value1;
  std::int32_t value2;
};
static_assert(sizeof(KsPropertyRecord) == 32 && offsetof(KsPropertyRecord, value1) == 24);
constexpr DWORD kKsRecordOneValue = 28;
constexpr DWORD kKsRecordTwoValues = 32;

KsPropertyRecord MakeKsPropertyRecord(const GUID& set, std::uint32_t id, std::uint32_t flags,
                                      std::int32_t value1, std::int32_t value2 = 0) noexcept;

// --- Handles in 32-bit value words ---------------------------------------------------------
// Event handles travel in a 32-bit value word. Kernel handles fit: on 64-bit Windows only their
// low 32 bits are significant and a receiver sign-extends them, so 32-bit and 64-bit code can
// share one value.
inline std::uint32_t HandleToWord(HANDLE handle) noexcept {
  return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(handle));
}
inline HANDLE WordToHandle(std::uint32_t word) noexcept {
  return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(static_cast<std::int32_t>(word)));
}

}  // namespace driver_packets
