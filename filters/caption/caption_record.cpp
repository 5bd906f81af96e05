#include "filters/caption/caption_record.h"

#include <cstring>

namespace caption {

HRESULT ExtractBytePair(const std::uint8_t* record, std::size_t length, long channel, std::uint8_t pair[2]) {
  if (!record || !pair) return E_POINTER;
  if (length < kMinRecordBytes) return S_FALSE;
  std::uint32_t recordChannel = 0;
  std::memcpy(&recordChannel, record + kChannelOffset, sizeof(recordChannel));
  if (recordChannel != static_cast<std::uint32_t>(channel)) return S_FALSE;
  pair[0] = record[kBytePairOffset];
  pair[1] = record[kBytePairOffset + 1];
  return S_OK;
}

}  // namespace caption
