#include "devices/core/channel_settle.h"

#include <mmsystem.h>

#include "devices/core/output_session.h"

DWORD ChannelSettleRemaining(const InstanceRecord& record, DWORD intervalMs, DWORD nowMs) noexcept {
  return record.channelSet == 1 ? output_data::SettleWaitMs(nowMs, record.lastChangeMs, intervalMs) : 0;
}

void WaitChannelSettle(const InstanceStamp& stamp, DWORD intervalMs) {
  const InstanceRecord* record = stamp.record();
  if (!record) return;
  const InstanceRecord copy = *record;  // another process may write it meanwhile
  if (const DWORD rest = ChannelSettleRemaining(copy, intervalMs, timeGetTime())) Sleep(rest);
}
