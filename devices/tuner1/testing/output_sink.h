// Test support: the host's IOutputDataCB of every family's tests under the first family's names.
#pragma once

#include <windows.h>

#include "devices/core/testing/output_data_sink.h"

namespace tuner1_test {

using output_testing::kIndex;
using output_testing::kMpeg;
using output_testing::kPcm;
using output_testing::Sink;
using output_testing::Sinks;
constexpr DWORD kSinkWaitMs = output_testing::kDataWaitMs;

}  // namespace tuner1_test
