// The board link end to end: the request thread, the serial port server out of process, COM1
// and the simulated board on the session's pty.
#include "board/register_block.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "board/board_test_support.h"
#include "common/format.h"
#include "common/timeouts.h"

namespace {


// The request thread, with the port resets the register code asks for counted.
class CountingLink final : public board::FrameTransport {
 public:
  explicit CountingLink(board::BoardRequestThread& thread) : thread_(thread) {}
  long Transfer(const std::uint8_t* f, std::size_t n, std::uint8_t* r, std::size_t e) override {
    return thread_.Transfer(f, n, r, e);
  }
  long ResetPort() override {
    ++resets;
    return thread_.ResetPort();
  }
  HRESULT LastResult() override { return thread_.LastResult(); }
  int resets = 0;

 private:
  board::BoardRequestThread& thread_;
};

class BoardLink : public board_testing::OnTheBoard {
 protected:
  void SetUp() override {
    OnTheBoard::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    ASSERT_EQ(thread_.Start(), S_OK);
    ASSERT_EQ(thread_.OpenPort(), 1);
  }
  void TearDown() override { thread_.Stop(); }

  board::BoardRequestThread thread_;
  CountingLink link_{thread_};
};

}  // namespace

TEST_F(BoardLink, BlocksRoundTripInFramesOf245Bytes) {
  EXPECT_EQ(thread_.IsPortOpen(), 1);
  board::RegisterBlock picture(&link_, 0x4000, 133);
  ASSERT_EQ(picture.Read(), S_OK);
  for (std::size_t i = 0; i < 133; ++i) ASSERT_EQ(picture.data()[i], 0x5A) << i;  // the filler

  board::RegisterBlock big(&link_, 0x6000, 300);
  for (std::size_t i = 0; i < 300; ++i) big.data()[i] = static_cast<std::uint8_t>(i * 7 + 1);
  ASSERT_EQ(board_.Command("clear-log"), S_OK);
  ASSERT_EQ(big.Write(), S_OK);
  ASSERT_EQ(big.ReadRange(4, 246), S_OK);
  const auto regs = board_.Registers();
  ASSERT_EQ(regs.size(), 0x10000u);
  for (std::size_t i = 0; i < 300; ++i) {
    ASSERT_EQ(regs[0x6000 + i], static_cast<std::uint8_t>(i * 7 + 1)) << i;
    ASSERT_EQ(big.lastKnown()[i], big.data()[i]) << i;
  }
  const auto writes = Requests("write");
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(std::make_pair(writes[0].addr, writes[0].count), std::make_pair(0x6000, 245));
  EXPECT_EQ(std::make_pair(writes[1].addr, writes[1].count), std::make_pair(0x60F5, 55));
  const auto reads = Requests("read");
  ASSERT_EQ(reads.size(), 2u);
  EXPECT_EQ(std::make_pair(reads[0].addr, reads[0].count), std::make_pair(0x6004, 245));
  EXPECT_EQ(std::make_pair(reads[1].addr, reads[1].count), std::make_pair(0x60F9, 1));
  EXPECT_EQ(big.ReadRange(250, 51), E_FAIL);  // past the block: nothing sent
  EXPECT_EQ(Requests("read").size(), 2u);
  EXPECT_EQ(link_.resets, 0);
}

TEST_F(BoardLink, ABadStatusIsRefusedWithoutAResetAndABrokenReplyResetsThePort) {
  const struct {
    const char* fault;
    bool ok;
    int resets;
  } cases[] = {
      {"fault status 0x1000 count=1", true, 0},  {"fault status 1 count=1", false, 0},
      {"fault badlen count=1", false, 1},        {"fault badlen -3 count=1", false, 1},
      {"fault badsum count=1", false, 1},        {"fault truncate 5 count=1", false, 1},
      {"fault noreply count=1", false, 1},
  };
  board::RegisterBlock view(&link_, 0x505C, 1);
  for (const auto& c : cases) {
    link_.resets = 0;
    ASSERT_EQ(board_.Command(c.fault), S_OK);
    view.data()[0] = 0x04;
    const HRESULT hr = view.Write();
    EXPECT_EQ(SUCCEEDED(hr), c.ok) << c.fault;
    EXPECT_EQ(link_.resets, c.resets) << c.fault;
    EXPECT_EQ(view.Read(), S_OK) << c.fault << ": the link works again";
  }
}

TEST_F(BoardLink, AFailedWriteKeepsTheLastKnownValuesWhateverTheBoardStored) {
  board::RegisterBlock crop(&link_, 0x5034, 8);
  ASSERT_EQ(crop.Read(), S_OK);
  const std::vector<std::uint8_t> before(crop.data(), crop.data() + 8);
  for (const char* storing : {"refused-writes drop", "refused-writes store", "lost-writes drop", "lost-writes store"}) {
    ASSERT_EQ(board_.Command(storing), S_OK);
    const bool refused = std::string(storing).find("refused") == 0;
    ASSERT_EQ(board_.Command(refused ? "fault status 2 count=1" : "fault noreply count=1"), S_OK);
    for (int i = 0; i < 8; ++i) crop.data()[i] = static_cast<std::uint8_t>(0xC0 + i);
    EXPECT_TRUE(FAILED(crop.Write())) << storing;
    EXPECT_EQ(std::vector<std::uint8_t>(crop.data(), crop.data() + 8), before) << storing;
    EXPECT_EQ(std::vector<std::uint8_t>(crop.lastKnown(), crop.lastKnown() + 8), before) << storing;
    ASSERT_EQ(board_.Command("poke 0x5034 5A5A5A5A5A5A5A5A"), S_OK);
  }
}

TEST_F(BoardLink, AReplyForAnotherAddressIsRefused) {
  board::RegisterBlock panel(&link_, 0x5062, 1);
  ASSERT_EQ(board_.Command("fault shift -1 count=1"), S_OK);
  EXPECT_EQ(panel.Read(), E_UNEXPECTED);
  ASSERT_EQ(board_.Command("fault shift 1 count=1"), S_OK);
  EXPECT_EQ(panel.Read(), E_FAIL);
  EXPECT_EQ(link_.resets, 0);
  ASSERT_EQ(panel.Read(), S_OK);
  EXPECT_EQ(panel.data()[0], 7);
}

TEST_F(BoardLink, ResetBoardWaitsAndReadsBackOnlyWhenAsked) {
  board::RegisterBlock a(&link_, 0x5000, 16), b(&link_, 0x5160, 4);
  const std::vector<board::RegisterBlock*> readBack = {&a, &b};
  ULONGLONG t0 = GetTickCount64();
  ASSERT_EQ(board::ResetBoard(link_, 0, readBack), S_OK);
  EXPECT_LT(GetTickCount64() - t0, 400u);
  EXPECT_TRUE(Requests("read").empty());

  ASSERT_EQ(board_.Command("clear-log"), S_OK);
  ASSERT_EQ(board::ResetBoard(link_, 1, readBack), S_OK);
  double ackAt = -1, firstRead = -1;
  for (const auto& f : board_.Frames()) {
    if (f.direction == "TX" && f.op == "reset-reply" && ackAt < 0) ackAt = f.ms;
    if (f.direction == "RX" && f.op == "read" && firstRead < 0) firstRead = f.ms;
  }
  ASSERT_GE(ackAt, 0);
  EXPECT_GE(firstRead - ackAt, 480.0);
  EXPECT_EQ(Requests("read").size(), 2u);

  // A malformed acknowledgement is a failed reset; a silent read-back fails after three passes.
  ASSERT_EQ(board_.Command("fault badsum op=reset count=1"), S_OK);
  EXPECT_EQ(board::ResetBoard(link_, 0, readBack), E_FAIL);
  EXPECT_EQ(link_.resets, 1);
  ASSERT_EQ(board_.Command("clear-log"), S_OK);
  ASSERT_EQ(board_.Command("fault status 3 op=read"), S_OK);
  EXPECT_EQ(board::ResetBoard(link_, 1, readBack), E_FAIL);
  EXPECT_EQ(Requests("read").size(), 3u);  // the first block of each pass
}

TEST_F(BoardLink, RequestsAfterTheThreadStoppedAreNotDelivered) {
  thread_.Stop();
  std::uint8_t reply[8];
  const std::uint8_t frame[6] = {0xAA, 0x00, 0x06, 0xF0, 0x00, 0xA0};
  EXPECT_EQ(thread_.OpenPort(), 0);
  EXPECT_EQ(thread_.ClosePort(), 0);
  EXPECT_EQ(thread_.ResetPort(), 0);
  EXPECT_EQ(thread_.IsPortOpen(), 0);
  EXPECT_EQ(thread_.Transfer(frame, sizeof(frame), reply, sizeof(reply)), -1);
  EXPECT_EQ(thread_.LastResult(), E_FAIL);
}

// An open in the last moments of the idle server's stay, as it revokes its class object and
// leaves, reaches a new server. The pauses are the subject here: each open comes a few
// milliseconds before the stay ends (where it would meet the server leaving), at another
// offset each time.
TEST_F(BoardLink, AnOpenWhileTheIdleServerLeavesReachesANewServer) {
  board::RegisterBlock panel(&link_, 0x5062, 1);
  for (const DWORD early : {35u, 30u, 25u, 20u, 15u, 10u, 5u, 0u}) {
    SCOPED_TRACE(FormatA("%lu ms before the server's stay ends", static_cast<unsigned long>(early)));
    ASSERT_EQ(thread_.ClosePort(), 1);  // the server's only object goes: its stay starts
    Sleep(timeouts::kServerLinger - early);
    ASSERT_EQ(thread_.OpenPort(), 1) << FormatA("0x%08lX", static_cast<unsigned long>(thread_.LastResult()));
    EXPECT_EQ(panel.Read(), S_OK);
  }
}
