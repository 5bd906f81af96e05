// The real serial port on COM1 through the Win32 serial API, with the simulated board on the
// far end of the session's pty.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/errors.h"
#include "portserver/port_manager.h"
#include "portserver/serial_port.h"
#include "sim/board/board_sim_client.h"

namespace {

using board_sim::BoardSim;

std::vector<BYTE> ReadFrame(WORD addr, BYTE count) { return board_sim::ReadRequest(addr, count); }

class SerialPortOnCom1 : public ::testing::Test {
 protected:
  void SetUp() override {
    // COM1 is this machine's console unless the session mapped it to its pty and the board
    // listens there.
    if (!BoardSim::Available()) GTEST_SKIP() << "no Wine session with the simulated board";
    ASSERT_EQ(board_.ResetAll(), S_OK);
  }

  HRESULT Transfer(SerialPort& port, const std::vector<BYTE>& request, DWORD* size, BYTE* reply,
                   DWORD* elapsedMs = nullptr) {
    const ULONGLONG start = GetTickCount64();
    const HRESULT hr = port.Transfer(static_cast<DWORD>(request.size()), request.data(), size, reply);
    if (elapsedMs) *elapsedMs = static_cast<DWORD>(GetTickCount64() - start);
    return hr;
  }

  BoardSim board_;
};

TEST_F(SerialPortOnCom1, RequestReachesTheBoardAndTheReplyComesBack) {
  SerialPort port;
  ASSERT_EQ(port.Open(), S_OK);
  BYTE reply[16] = {};
  DWORD size = 11;
  ASSERT_EQ(Transfer(port, ReadFrame(0x5062, 1), &size, reply), S_OK);
  EXPECT_EQ(size, 11u);
  EXPECT_EQ(reply[0], 0xAA);
  EXPECT_EQ(reply[2], 11);
  EXPECT_EQ(reply[9], 7) << "the panel identifier of the power-on profile";
  ASSERT_TRUE(board_.WaitForFrames("TX", "read-reply", 1));
  bool sawRequest = false;
  for (const auto& f : board_.Frames())
    sawRequest |= f.direction == "RX" && f.op == "read" && f.addr == 0x5062 && f.count == 1;
  EXPECT_TRUE(sawRequest);
}

TEST_F(SerialPortOnCom1, LineReadsBack57600EightNoneOne) {
  SerialPort port;
  ASSERT_EQ(port.Open(), S_OK);
  PortState state{};
  ASSERT_EQ(port.GetState(&state), S_OK);
  EXPECT_EQ(state.baudrate, 57600u);
  EXPECT_EQ(state.byteSize, 8);
  EXPECT_EQ(state.parity, NOPARITY);
  EXPECT_EQ(state.stopBits, ONESTOPBIT);
  // Open twice is the same open port. (Exclusive use of the device cannot be checked here:
  // Wine lets a second handle open the same pty.)
  EXPECT_EQ(port.Open(), S_OK);
  EXPECT_TRUE(port.IsOpen());
}

TEST_F(SerialPortOnCom1, SilentBoardGivesShortReadAfterTheTimeout) {
  ASSERT_EQ(board_.Command("fault noreply"), S_OK);
  SerialPort port;
  ASSERT_EQ(port.Open(), S_OK);
  BYTE reply[16] = {};
  DWORD size = 16, elapsed = 0;
  EXPECT_EQ(Transfer(port, ReadFrame(0x5000, 6), &size, reply, &elapsed), S_FALSE);
  EXPECT_EQ(size, 0u);
  EXPECT_GE(elapsed, 800u);
  EXPECT_LE(elapsed, 2500u);
}

TEST_F(SerialPortOnCom1, TruncatedReplyGivesTheBytesThatCame) {
  ASSERT_EQ(board_.Command("fault truncate 5 count=1"), S_OK);
  SerialPort port;
  ASSERT_EQ(port.Open(), S_OK);
  BYTE reply[16] = {};
  DWORD size = 11;
  EXPECT_EQ(Transfer(port, ReadFrame(0x5062, 1), &size, reply), S_FALSE);
  EXPECT_EQ(size, 5u);
}

TEST_F(SerialPortOnCom1, LateReplyIsDiscardedWhenThePortReopens) {
  ASSERT_EQ(board_.Command("fault delay 1300 count=1"), S_OK);
  SerialPort port;
  ASSERT_EQ(port.Open(), S_OK);
  BYTE reply[16] = {};
  DWORD size = 11;
  ASSERT_EQ(Transfer(port, ReadFrame(0x5062, 1), &size, reply), S_FALSE);
  // The late reply arrives after the transfer gave up and sits in the input queue.
  ASSERT_TRUE(board_.WaitForFrames("TX", "read-reply", 1, 3000));
  Sleep(100);
  port.Close();
  ASSERT_EQ(port.Open(), S_OK);
  size = 11;
  ASSERT_EQ(Transfer(port, ReadFrame(0x5095, 1), &size, reply), S_OK);
  EXPECT_EQ(reply[7], 0x50);
  EXPECT_EQ(reply[8], 0x95) << "the stale reply to 0x5062 was read instead";
  EXPECT_EQ(reply[9], 1);
}

TEST_F(SerialPortOnCom1, ShortReadLeavesNothingForTheNextCommand) {
  SerialPort port;
  ASSERT_EQ(port.Open(), S_OK);
  BYTE reply[16] = {};
  DWORD size = 4;  // the board answers with 11 bytes
  ASSERT_EQ(Transfer(port, ReadFrame(0x5062, 1), &size, reply), S_OK);
  ASSERT_TRUE(board_.WaitForFrames("TX", "read-reply", 1, 3000));
  size = 11;
  ASSERT_EQ(Transfer(port, ReadFrame(0x5095, 1), &size, reply), S_OK);
  EXPECT_EQ(std::vector<BYTE>(reply, reply + 11), board_sim::MakeFrame({0x00, 0x80, 0x00, 0x00, 0x50, 0x95, 1}))
      << "the rest of the reply to 0x5062 was read instead";
}

TEST_F(SerialPortOnCom1, TimeoutsComeBackAfterAReset) {
  LockedPortManager manager;
  DWORD key = 0;
  ASSERT_EQ(manager.OpenLockedPort(&key, GetCurrentProcessId()), S_OK);
  ASSERT_EQ(board_.Command("fault noreply"), S_OK);
  ASSERT_EQ(manager.SetTimeout(key, 300), S_OK);
  std::vector<BYTE> request = ReadFrame(0x5000, 6);
  BYTE reply[16] = {};
  DWORD size = 16;
  ULONGLONG start = GetTickCount64();
  EXPECT_EQ(manager.SendCommandEx(key, static_cast<DWORD>(request.size()), request.data(), &size, reply), S_FALSE);
  const ULONGLONG shortWait = GetTickCount64() - start;
  EXPECT_LT(shortWait, 800u);
  ASSERT_EQ(manager.ResetLockedPort(key), S_OK);
  size = 16;
  start = GetTickCount64();
  EXPECT_EQ(manager.SendCommandEx(key, static_cast<DWORD>(request.size()), request.data(), &size, reply), S_FALSE);
  EXPECT_GE(GetTickCount64() - start, 800u);
  EXPECT_EQ(manager.CloseLockedPort(key, GetCurrentProcessId()), S_OK);
  EXPECT_FALSE(manager.IsPortOpen());
}

}  // namespace
