// The channel-settle wait shared by the families: a recording that starts soon after a channel
// change (in any process that uses the device) waits until the tuner has settled, counted from
// the time the instance stamp recorded.
#pragma once

#include <windows.h>

#include "devices/core/device_objects.h"

// How long is still to wait at `nowMs` (timeGetTime) for `intervalMs` after the recorded change:
// 0 when no channel was set or the interval has passed. The time since the change is the
// modular difference of the two counter values, so a change in the same millisecond waits the
// whole interval and a wrap of the counter in between costs nothing.
DWORD ChannelSettleRemaining(const InstanceRecord& record, DWORD intervalMs, DWORD nowMs) noexcept;

// Sleeps out the rest of the interval (nothing without a record).
void WaitChannelSettle(const InstanceStamp& stamp, DWORD intervalMs);
