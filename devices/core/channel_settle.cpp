#include "devices/core/channel_settle.h"

#include <mmsystem.h>

DWORD ChannelSettleRemaining(const InstanceRecord& record, DWORD intervalMs, DWORD nowMs) noexcept {
  if (record.channelSet != 1) return 0;
  const DWORD elapsed = nowMs - record.lastChangeMs;
  return elapsed < intervalMs ? intervalMs - elapsed : 0;
}

void WaitChannelSettle(const InstanceStamp& stamp, DWORD intervalMs) {
  const InstanceRecord* record = stamp.record();
  if (!record) return;
  const InstanceRecord copy = *record;  // another process may write it meanwhile
  if (const DWORD rest = ChannelSettleRemaining(copy, intervalMs, timeGetTime())) Sleep(rest);
}
