#include "devices/core/base_channel_list.h"

std::vector<_SHAL_BASECH> BaseChannelsFromInputs(ULONG inputs) {
  std::vector<_SHAL_BASECH> list;
  if (inputs & 1) {
    list.push_back({kBaseChannelRegion, kBaseChannelTvFormat, 1});
    list.push_back({kBaseChannelRegion, kBaseChannelTvFormat, 2});
  }
  if (inputs & 4) list.push_back({kBaseChannelRegion, kBaseChannelTvFormat, 0x20000020});
  if (inputs & 2) list.push_back({kBaseChannelRegion, kBaseChannelTvFormat, 0x10100020});
  return list;
}
