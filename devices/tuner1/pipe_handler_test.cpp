// The device pipe's answers, and the 32-bit object addresses of slots and pipe names.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "devices/tuner1/device_state_slots.h"
#include "devices/tuner1/pipe_handler.h"

namespace {

DWORD Answer(const BYTE* request, DWORD size, BYTE* answer) {
  DWORD answerSize = 77;  // the handler decides, whatever it was given
  HandleDevicePipeRequest(nullptr, nullptr, size, request, &answerSize, answer);
  return answerSize;
}

TEST(DevicePipeHandler, AnswersOnlyRequestsWithANonZeroSecondWord) {
  BYTE answer[kDevicePipeAnswerCapacity];
  std::memset(answer, 0xCC, sizeof(answer));
  BYTE request[16] = {};
  EXPECT_EQ(Answer(request, 8, answer), 0u);   // second word zero
  request[4] = 1;
  EXPECT_EQ(Answer(request, 7, answer), 0u);   // shorter than two words
  EXPECT_EQ(Answer(nullptr, 8, answer), 0u);
  EXPECT_EQ(answer[0], 0xCC);                  // nothing written for those

  // A request that starts at an odd address is read all the same.
  BYTE unaligned[17] = {};
  unaligned[1 + 7] = 0x80;
  ASSERT_EQ(Answer(unaligned + 1, 16, answer), 12u);
  std::uint32_t words[3];
  std::memcpy(words, answer, sizeof(words));
  EXPECT_EQ(words[0], 12u);
  EXPECT_EQ(words[1], 0u);
  EXPECT_EQ(words[2], 0u);
  EXPECT_EQ(answer[12], 0xCC);                 // exactly twelve bytes
}

TEST(DeviceStateSlots, ObjectAddressesKeepTheirLow32Bits) {
  const auto* object = reinterpret_cast<const void*>(static_cast<std::uintptr_t>(0x12345678ABCDEF00ull & UINTPTR_MAX));
  EXPECT_EQ(static_cast<std::uint32_t>(ObjectAddress32(object)),
            static_cast<std::uint32_t>(0xABCDEF00u & static_cast<std::uint32_t>(UINTPTR_MAX)));
  EXPECT_EQ(kSlotCount, 12);
}

}  // namespace
