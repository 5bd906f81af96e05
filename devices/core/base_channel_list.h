// The base channels a device offers, from the input capability bits its driver reports (word 1
// of the first description record): bit 0 the tuner (antenna 1 and cable 2), bit 2 the external
// input 0x20000020, bit 1 the external input 0x10100020, in this order; region 81, format 2.
#pragma once

#include <windows.h>

#include <vector>

#include "devices/idl/device_manager.h"

inline constexpr ULONG kBaseChannelRegion = 81;
inline constexpr ULONG kBaseChannelTvFormat = 2;

// The list for `inputs`; empty when no bit is set.
std::vector<_SHAL_BASECH> BaseChannelsFromInputs(ULONG inputs);
