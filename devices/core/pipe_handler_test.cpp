// The device pipe's answers, and the 32-bit object addresses of slots and pipe names.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "common/device/device_identity.h"
#include "common/device/named_pipe.h"
#include "common/handles.h"
#include "devices/core/device_state_slots.h"
#include "devices/core/pipe_handler.h"
#include "devices/core/testing/pipe_client.h"

namespace {

DWORD Answer(const BYTE* request, DWORD size, BYTE* answer) {
  DWORD answerSize = 77;  // the handler decides, whatever it was given
  HandleDevicePipeRequest(nullptr, nullptr, size, request, &answerSize, answer, kDevicePipeAnswerCapacity);
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

  // An answer buffer too small for the reply gets nothing written.
  BYTE small[11];
  std::memset(small, 0xCC, sizeof(small));
  DWORD answerSize = 77;
  HandleDevicePipeRequest(nullptr, nullptr, 16, unaligned + 1, &answerSize, small, sizeof(small));
  EXPECT_EQ(answerSize, 0u);
  EXPECT_EQ(small[0], 0xCC);
}

// One overlapped transfer on the client end, bounded.
bool ClientTransfer(HANDLE pipe, bool write, BYTE* buffer, DWORD size, DWORD* moved) {
  return testing_support::PipeClientTransfer(pipe, write, buffer, size, moved, 5000);
}

// The device object serves the handler through the device pipe as it is; a client of another
// object reaches it by the device's pipe name and gets the twelve bytes on each request.
TEST(DevicePipeHandler, ServedThroughTheDevicePipe) {
  const DeviceIdentity identity(L"\\\\?\\pci#ven_1&dev_2&subsys_3&rev_4#5&6#{65e8773d-8f56-11d0-a3b9-00a0c9223196}");
  int owner = 0;
  NamedPipe server;
  ASSERT_EQ(server.StartDeviceServer(nullptr, identity, GetCurrentProcessId(), &owner,
                                     &HandleDevicePipeRequest, 0),
            S_OK);
  const std::wstring name = NamedPipe::DevicePipeName(identity, GetCurrentProcessId(), &owner, 0);
  UniqueFileHandle client(CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
  ASSERT_TRUE(client.valid()) << GetLastError();

  for (int round = 0; round < 2; ++round) {
    const std::uint32_t request[2] = {0, static_cast<std::uint32_t>(round + 1)};
    DWORD moved = 0;
    ASSERT_TRUE(ClientTransfer(client.get(), true, reinterpret_cast<BYTE*>(const_cast<std::uint32_t*>(request)),
                               sizeof(request), &moved));
    ASSERT_EQ(moved, sizeof(request));
    std::uint32_t reply[4] = {};
    ASSERT_TRUE(ClientTransfer(client.get(), false, reinterpret_cast<BYTE*>(reply), sizeof(reply), &moved));
    ASSERT_EQ(moved, 12u);
    EXPECT_EQ(reply[0], 12u);
    EXPECT_EQ(reply[1], 0u);
    EXPECT_EQ(reply[2], 0u);
  }
  client.reset();
  EXPECT_EQ(server.StopServer(), S_OK);
}

TEST(DeviceStateSlots, ObjectAddressesKeepTheirLow32Bits) {
  const auto* object = reinterpret_cast<const void*>(static_cast<std::uintptr_t>(0x12345678ABCDEF00ull & UINTPTR_MAX));
  EXPECT_EQ(static_cast<std::uint32_t>(ObjectAddress32(object)),
            static_cast<std::uint32_t>(0xABCDEF00u & static_cast<std::uint32_t>(UINTPTR_MAX)));
  EXPECT_EQ(kSlotCount, 12);
}

}  // namespace
