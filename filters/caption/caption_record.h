// The tuner card's caption records as the caption relay reads them: one record per sample, the
// caption channel as a 32-bit value at byte 128 and the Line 21 byte pair (parity bits as they
// arrived) at bytes 144 and 145.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

namespace caption {

constexpr std::size_t kChannelOffset = 128;
constexpr std::size_t kBytePairOffset = 144;
constexpr std::size_t kMinRecordBytes = kBytePairOffset + 2;  // 146
constexpr long kFirstChannel = 1;
constexpr long kSecondChannel = 2;

constexpr bool IsValidChannel(long channel) { return channel == kFirstChannel || channel == kSecondChannel; }

// The byte pair of a record of `channel`: S_OK with the pair, S_FALSE for a record of the
// other channel or one too short to hold both fields, E_POINTER for null buffers.
HRESULT ExtractBytePair(const std::uint8_t* record, std::size_t length, long channel, std::uint8_t pair[2]);

}  // namespace caption
