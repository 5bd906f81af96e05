// The board control's work against the simulated board: initialisation errors, the first and
// last object, the colour key, the colour-format switch with its delays, a dead board.
#include "board/board_controller.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <functional>
#include <memory>

#include "board/board_test_support.h"
#include "common/errors.h"
#include "common/testing/child.h"
#include "common/testing/registry_fixture.h"

namespace {

using board::BoardController;
using board::ControllerSetup;
using testing_support::UniqueName;

std::string PanelWithDelays() {
  return board_testing::PanelFile(
      "IO_MUTE_DELAY=120\r\nMEMORY_REALLOC_DELAY=150\r\nUTILIZE_CAL_MODE=1\r\n", "",
      "[FULLSCREEN_SETTING]\r\nPIC_YAGC=5\r\nIO_SYNC_SET=3\r\nIO_SYNC_THRESH1=2\r\nIO_SYNC_THRESH2=0x123\r\n"
      "[WINDOWMODE_SETTING]\r\nPIC_YAGC=7\r\n");
}

class Controller : public board_testing::PanelFixture {
 protected:
  std::string PanelText() const override { return PanelWithDelays(); }
  void WriteSettings(const std::string& text) const { folder_.Write(text); }
};

// args: enable key, settings folder, the five object names, the ready and go events.
ControllerSetup SetupFrom(const testing_support::ChildArgs& args) {
  ControllerSetup setup;
  setup.enableKey = args[0];
  setup.settingsDirectory = args[1];
  setup.accessMutex = args[2];
  setup.instanceMutex = args[3];
  setup.viewOwnerMutex = args[4];
  setup.viewStateSection = args[5];
  setup.registerCacheSection = args[6];
  return setup;
}

// A second object in another process: holds the view until told to let go.
VORN_CHILD(SecondObjectHoldsTheView) {
  if (args.size() < 9) return 2;
  BoardController c(SetupFrom(args));
  if (FAILED(c.Construct()) || FAILED(c.InitializeView())) return 3;
  NamedEvent ready, go;
  if (FAILED(ready.Open(args[7].c_str())) || FAILED(go.Open(args[8].c_str()))) return 4;
  ready.Set();
  WaitForSingleObject(go.handle(), 30000);
  c.UninitializeView();
  return SUCCEEDED(c.Release()) ? 0 : 5;
}

// One colour-format switch to RGB with the delays cut to args[7] ms.
VORN_CHILD(SwitchesToRgb) {
  if (args.size() < 8) return 2;
  ControllerSetup setup = SetupFrom(args);
  setup.delayLimit = static_cast<DWORD>(std::wcstoul(args[7].c_str(), nullptr, 10));
  BoardController c(setup);
  if (FAILED(c.Construct())) return 3;
  if (c.SetColorFormat(board::kRgb) != S_OK) return 4;
  return SUCCEEDED(c.Release()) ? 0 : 5;
}

struct SwitchGaps {
  double afterMute = -1;    // ms from the mute-on write to the next write
  double afterStrobe = -1;  // ms from the strobe write to the next write
};

// The waits of the first colour-format switch in the board's log of received writes.
SwitchGaps GapsOfTheSwitch(const std::vector<board_sim::LoggedFrame>& frames) {
  double muteOn = -1, afterMute = -1, strobe = -1, afterStrobe = -1;
  for (const auto& f : frames) {
    if (f.direction != "RX" || f.op != "write") continue;
    if (f.addr == 0x5136 && (f.data[0] & 4) && muteOn < 0) muteOn = f.ms;
    else if (muteOn >= 0 && afterMute < 0) afterMute = f.ms;
    if (f.addr == 0x50EE && (f.data[0] & 0x80) && strobe < 0) strobe = f.ms;
    else if (strobe >= 0 && afterStrobe < 0) afterStrobe = f.ms;
  }
  if (muteOn < 0 || afterMute < 0 || strobe < 0 || afterStrobe < 0) return {};
  return {afterMute - muteOn, afterStrobe - strobe};
}

}  // namespace

TEST_F(Controller, TwoProcessesShareOneSetUpAndOneViewOwner) {
  const auto before = board_.Registers();
  BoardController first(setup_);
  ASSERT_EQ(first.Construct(), S_OK);
  NamedEvent ready, go;
  const std::wstring readyName = UniqueName(L"vorn-ready-"), goName = UniqueName(L"vorn-go-");
  ASSERT_TRUE(SUCCEEDED(ready.Create(readyName.c_str())));
  ASSERT_TRUE(SUCCEEDED(go.Create(goName.c_str())));
  auto child = testing_support::ChildProcess::Start(
      "SecondObjectHoldsTheView", {setup_.enableKey, setup_.settingsDirectory, setup_.accessMutex, setup_.instanceMutex,
                                   setup_.viewOwnerMutex, setup_.viewStateSection, setup_.registerCacheSection,
                                   readyName, goName});
  ASSERT_TRUE(child.valid());
  const HANDLE waits[] = {ready.handle(), child.handle()};
  ASSERT_EQ(WaitForMultipleObjects(2, waits, FALSE, 30000), WAIT_OBJECT_0) << "the child did not get the view";
  EXPECT_EQ(first.InitializeView(), errors::kBoardViewHeld);
  EXPECT_EQ(WritesAt(0x5034).size(), 1u) << "the register cache is filled and the board set up once";
  go.Set();
  EXPECT_EQ(child.Wait(30000), 0u);
  EXPECT_EQ(first.InitializeView(), S_OK);
  EXPECT_EQ(first.UninitializeView(), S_OK);
  EXPECT_EQ(first.Release(), S_OK);
  const auto after = board_.Registers();
  ASSERT_EQ(after.size(), before.size());
  for (std::size_t a = 0; a < after.size(); ++a) {
    if (a == 0x50EE || a == 0x5095) continue;  // the strobe bit and the calibration sequence
    ASSERT_EQ(after[a], before[a]) << std::hex << a;
  }
}

TEST_F(Controller, InitialisationFailuresHaveTheirOwnCodes) {
  struct Case {
    const char* name;
    std::function<void()> arrange;
    HRESULT expected;
  };
  const Case cases[] = {
      {"not enabled", [&] { key_.SetDword(L"Kelv2", 0); }, errors::kBoardNotEnabled},
      {"panel id silent", [&] { board_.Command("fault noreply at=0x5062 count=1"); }, errors::kBoardPanelUnreadable},
      {"no settings file", [&] { folder_.Remove(); }, errors::kBoardNotAnswering},
      {"incomplete settings file", [&] { WriteSettings("[COMMON_PARAMETERS]\r\nPANEL_WIDTH=1\r\n"); }, errors::kBoardNotAnswering},
      {"no read-back, no reset",
       [&] {
         board_.Command("fault status 1 at=0x4000");
         board_.Command("fault status 1 op=reset");
       },
       errors::kBoardNotAnswering},
      // A wanted format that names none fails the first object's set-up, which is undone.
      {"unknown default colour format",
       [&] { WriteSettings(board_testing::PanelFile("DEFAULT_COLORFORMAT=3\r\n")); }, E_UNEXPECTED},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(key_.SetDword(L"Kelv2", 1));
    WriteSettings(PanelWithDelays());
    ASSERT_EQ(board_.Command("clear-faults"), S_OK);
    c.arrange();
    BoardController controller(setup_);
    EXPECT_EQ(controller.Construct(), c.expected) << c.name;
    controller.Release();
  }
}

TEST_F(Controller, TheFirstObjectCachesTheBoardAndTheLastPutsItBack) {
  const auto before = board_.Registers();
  ASSERT_EQ(before.size(), 0x10000u);
  {
    BoardController first(setup_), second(setup_);
    ASSERT_EQ(first.Construct(), S_OK);
    ASSERT_EQ(second.Construct(), S_OK);
    EXPECT_EQ(WritesAt(0x5034).size(), 1u) << "only the first object sets up the board";
    EXPECT_EQ(WritesAt(0x4000).size(), 1u) << "FULLSCREEN_SETTING applied once";
    EXPECT_EQ(WritesAt(0x505D), (std::vector<std::vector<std::uint8_t>>{{0x40 | (3 << 3) | 2, 0x5B, 0x23}}));
    ASSERT_EQ(first.SetColorKey(0), errors::kBoardNotInit);
    ASSERT_EQ(first.InitializeView(), S_OK);
    ASSERT_EQ(first.SetColorKey(0x00FFFFFF), S_OK);
    EXPECT_EQ(first.Release(), S_OK);
    EXPECT_EQ(second.Release(), S_OK);
  }
  const auto after = board_.Registers();
  ASSERT_EQ(after.size(), before.size());
  for (std::size_t a = 0; a < after.size(); ++a) {
    if (a == 0x50EE || a == 0x5095) continue;  // the strobe bit and the calibration sequence
    ASSERT_EQ(after[a], before[a]) << std::hex << a;
  }
  EXPECT_EQ(after[0x50E4], before[0x50E4]);
}

// The board powered up showing another source than the settings' full one: the first full
// source is written, the same one again is not.
TEST_F(Controller, TheFirstObjectTakesTheSourceTheBoardShows) {
  const auto before = board_.Registers();
  ASSERT_EQ(before.size(), 0x10000u);
  ASSERT_NE(((before[0x5002] & 0x0F) << 8) | before[0x5003], 720) << "the filler board shows the full width";
  BoardController first(setup_);
  ASSERT_EQ(first.Construct(), S_OK);
  ASSERT_EQ(first.InitializeView(), S_OK);
  const RECT full = {0, 0, 720, 480};
  ASSERT_EQ(first.SetSrcPosition(&full), S_OK);
  ASSERT_EQ(first.SetSrcPosition(&full), S_OK);
  const auto writes = WritesAt(0x5000);
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(((writes[0][2] & 0x0F) << 8) | writes[0][3], 720);
  EXPECT_EQ(((writes[0][4] & 0x07) << 8) | writes[0][5], 480);
  first.UninitializeView();
  EXPECT_EQ(first.Release(), S_OK);
}

// The measure against a distorted picture follows the part of the source the panel shows: a
// view cut by the panel edges to exactly the panel shows less of the source than it is given.
TEST_F(Controller, TheDistortionMeasureJudgesTheVisibleSourceHeight) {
  // SRC_HEIGHT_LOWER_LIMITS=240; PIC_LCK_PACK (0x4028) tells which section is in force.
  WriteSettings(board_testing::PanelFile("", "", "PIC_LCK_PACK=20\r\n[FULLSCREEN_SETTING]\r\nPIC_LCK_PACK=10\r\n"));
  BoardController c(setup_);
  ASSERT_EQ(c.Construct(), S_OK);
  ASSERT_EQ(c.InitializeView(), S_OK);
  const auto view = [&](RECT r) { return c.SetViewPosition(&r); };
  const auto source = [&](RECT r) { return c.SetSrcSize(&r); };
  const struct {
    const char* what;
    std::function<HRESULT()> step;
    int section;  // the PIC_LCK_PACK the board holds after it
  } steps[] = {
      {"a small view of 720 x 480", [&] {
         const HRESULT hr = source({0, 0, 720, 480});
         return FAILED(hr) ? hr : view({10, 10, 330, 250});
       }, 10},
      // Twice the panel's width, a little more than twice its height, centred: 237 rows of the
      // source are on the panel.
      {"a view cut to the panel, 237 rows visible", [&] { return view({-683, -400, 2049, 1168}); }, 20},
      {"a small view again", [&] { return view({10, 10, 330, 250}); }, 10},
      {"a view cut to the panel, 381 rows visible", [&] { return view({-100, -100, 1466, 868}); }, 10},
      // The same view over a source of 300 rows: 239 of them visible.
      {"a smaller source behind the cut view", [&] { return source({0, 0, 720, 300}); }, 20},
  };
  for (const auto& s : steps) {
    ASSERT_EQ(s.step(), S_OK) << s.what;
    EXPECT_EQ(static_cast<int>(board_.Registers().at(0x4028)), s.section) << s.what;
  }
  c.UninitializeView();
  c.Release();
}

TEST_F(Controller, ColourKeyWindowsForBlackAndWhite) {
  EXPECT_EQ(BoardController::ColorKeyWindow(0x000000), (std::array<BYTE, 6>{0x7F, 0x00, 0x7F, 0x81, 0x01, 0x81}));
  EXPECT_EQ(BoardController::ColorKeyWindow(0xFFFFFF), (std::array<BYTE, 6>{0x7F, 0xFE, 0x7F, 0x81, 0xFF, 0x81}));
  BoardController c(setup_);
  ASSERT_EQ(c.Construct(), S_OK);
  ASSERT_EQ(c.InitializeView(), S_OK);
  ASSERT_EQ(board_.Command("clear-log"), S_OK);
  ASSERT_EQ(c.SetColorKey(0x000000), S_OK);
  ASSERT_EQ(c.SetColorKey(0xFFFFFF), S_OK);
  EXPECT_EQ(WritesAt(0x50E5), (std::vector<std::vector<std::uint8_t>>{{0x7F, 0x00, 0x7F, 0x81, 0x01, 0x81},
                                                                       {0x7F, 0xFE, 0x7F, 0x81, 0xFF, 0x81}}));
  DWORD key = 0;
  EXPECT_EQ(c.GetColorKey(&key), S_OK);
  EXPECT_EQ(key, 0xFFFFFFu);
  // Each write inside the calibration bracket: mode 2 after it (mode 1 is the shadow's already).
  const auto modes = WritesAt(0x5095);
  ASSERT_EQ(modes.size(), 2u);
  EXPECT_EQ(modes[0][0] & 7, 2);
  // A zoom request that changes nothing writes nothing, the bracket included.
  const RECT view = {10, 10, 330, 250};
  ASSERT_EQ(c.SetViewPosition(&view), S_OK);
  ASSERT_EQ(c.SetZoomMode(0), S_OK);
  ASSERT_EQ(board_.Command("clear-log"), S_OK);
  EXPECT_EQ(c.SetZoomMode(0), S_OK);
  EXPECT_EQ(c.SetZoomMode(1), S_FALSE);  // wide only on the whole panel
  EXPECT_TRUE(Requests("write").empty());
  c.Release();
}

TEST_F(Controller, ColourFormatSwitchWaitsTheSettingsDelays) {
  BoardController c(setup_);
  ASSERT_EQ(c.Construct(), S_OK);
  EXPECT_EQ(c.SetColorFormat(3), E_INVALIDARG);
  EXPECT_EQ(c.SetColorFormat(board::kYuv422), S_OK);  // the current one: nothing sent
  for (LONG format : {board::kYuv444, board::kRgb}) {
    ASSERT_EQ(board_.Command("clear-log"), S_OK);
    ASSERT_EQ(c.SetColorFormat(format), S_OK) << format;
    LONG now = -1;
    EXPECT_EQ(c.GetColorFormat(&now), S_OK);
    EXPECT_EQ(now, format);
    const SwitchGaps gaps = GapsOfTheSwitch(board_.Frames());
    EXPECT_GE(gaps.afterMute, 115.0) << format;
    EXPECT_GE(gaps.afterStrobe, 145.0) << format;
    const auto space = WritesAt(0x5010);
    ASSERT_EQ(space.size(), 1u);
    EXPECT_EQ((space[0][1] >> 3) & 3, format == board::kRgb ? 1 : 2);
    EXPECT_EQ(space[0][1] & ~0x18, 0x5A & ~0x18) << "the bits around the field stay";
    const auto code = WritesAt(0x506A);
    ASSERT_EQ(code.size(), 1u);
    EXPECT_EQ(code[0][1], 0x50) << "code 0, filler bits kept";
  }
  c.Release();
}

// Back to YUV422 on the whole panel the stored source is set again. One the board powered up
// with that no source size admits (the filler board's 2650 x 602 at 90, 90) is left alone:
// the format has changed, and the answer says so.
TEST_F(Controller, TheReturnToYuv422AgreesWithItsAnswerWhateverSourceTheBoardPoweredUpWith) {
  WriteSettings(board_testing::PanelFile());
  const struct {
    const char* name;
    const char* profile;  // the power-on source block, or the filler's
    size_t sourceWrites;  // at 0x5000 by the return
  } cases[] = {
      {"a source no size admits", nullptr, 0},
      {"the whole 720 x 480", "profile 0x5000 5A5A52D059E05A005A005A5A5A5A5A5A", 1},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(board_.Command("profile-filler"), S_OK);
    if (c.profile) {
      ASSERT_EQ(board_.Command(c.profile), S_OK);
    }
    ASSERT_EQ(board_.Command("reload"), S_OK);
    BoardController controller(setup_);
    ASSERT_EQ(controller.Construct(), S_OK) << c.name;
    ASSERT_EQ(controller.InitializeView(), S_OK);
    const RECT size = {0, 0, 720, 480}, panel = {0, 0, 1366, 768};
    ASSERT_EQ(controller.SetSrcSize(&size), S_OK);
    ASSERT_EQ(controller.SetViewPosition(&panel), S_OK);
    ASSERT_EQ(controller.SetColorFormat(board::kYuv444), S_OK) << c.name;
    ASSERT_EQ(board_.Command("clear-log"), S_OK);
    EXPECT_EQ(controller.SetColorFormat(board::kYuv422), S_OK) << c.name;
    LONG format = -1;
    EXPECT_EQ(controller.GetColorFormat(&format), S_OK);
    EXPECT_EQ(format, board::kYuv422) << c.name;
    EXPECT_EQ(WritesAt(0x5000).size(), c.sourceWrites) << c.name;
    controller.UninitializeView();
    EXPECT_EQ(controller.Release(), S_OK) << c.name;
  }
}

// Delays past the limit are cut to it, not dropped: the switch (which holds the board-access
// mutex of every process throughout) used to sleep for weeks.
TEST_F(Controller, OverlongSettingsDelaysAreCutToTheLimit) {
  WriteSettings(board_testing::PanelFile("IO_MUTE_DELAY=0xFFFFFFFF\r\nMEMORY_REALLOC_DELAY=2147483647\r\n"));
  auto child = testing_support::ChildProcess::Start(
      "SwitchesToRgb", {setup_.enableKey, setup_.settingsDirectory, setup_.accessMutex, setup_.instanceMutex,
                        setup_.viewOwnerMutex, setup_.viewStateSection, setup_.registerCacheSection, L"300"});
  ASSERT_TRUE(child.valid());
  // About 0.6 s with the delays cut. A child killed in its sleep would leave its port server
  // running, holding the test's output pipe: the servers go first.
  if (WaitForSingleObject(child.handle(), 30000) != WAIT_OBJECT_0) {
    port_testing::EndServersStartedHere();
    FAIL() << "the colour-format switch did not end within 30 s: the delays were not cut";
  }
  ASSERT_EQ(child.Wait(0), 0u);
  const SwitchGaps gaps = GapsOfTheSwitch(board_.Frames());
  EXPECT_GE(gaps.afterMute, 295.0);
  EXPECT_GE(gaps.afterStrobe, 295.0);
}

TEST_F(Controller, TheViewHasOneOwnerAndADeadBoardFailsEveryWrite) {
  BoardController a(setup_), b(setup_);
  ASSERT_EQ(a.Construct(), S_OK);
  ASSERT_EQ(a.InitializeView(), S_OK);
  EXPECT_EQ(a.InitializeView(), errors::kBoardViewHeld) << "the holder itself is refused a second hold";
  EXPECT_EQ(b.InitializeView(), errors::kBoardViewHeld);
  ASSERT_EQ(a.InitializeProperty(), S_OK);
  LONG n = -1;
  EXPECT_EQ(BoardController::GetAvailableProcAmpControl(&n), S_OK);
  EXPECT_EQ(n, 41);
  n = 4;
  EXPECT_EQ(BoardController::GetAvailableProcAmpControl(&n), S_FALSE);
  EXPECT_EQ(a.SetProcAmpControl(0, 256, 1), E_INVALIDARG);
  ASSERT_EQ(board_.Command("clear-log"), S_OK);
  EXPECT_EQ(a.SetProcAmpControl(0, 100, 0), S_OK);
  EXPECT_TRUE(Requests("write").empty()) << "no flush, no write";
  EXPECT_EQ(a.SetProcAmpControl(16, 1000, 1), S_OK);
  ASSERT_EQ(WritesAt(0x4000).size(), 1u);
  EXPECT_EQ(WritesAt(0x4000)[0][0x6F], 100);
  EXPECT_EQ(WritesAt(0x4000)[0][0x62], 0x03);
  EXPECT_EQ(WritesAt(0x4000)[0][0x63], 0xE8);

  ASSERT_EQ(board_.Command("fault noreply"), S_OK);
  EXPECT_TRUE(FAILED(a.ShowView(1)));
  EXPECT_TRUE(FAILED(a.MuteTv(1)));
  EXPECT_TRUE(FAILED(a.SetColorKey(0x123456)));
  EXPECT_TRUE(FAILED(a.SetProcAmpControl(1, 5, 1)));
  const RECT view = {10, 10, 330, 250};
  EXPECT_TRUE(FAILED(a.SetViewPosition(&view)));
  EXPECT_TRUE(FAILED(a.SetColorFormat(board::kRgb)));
  LONG muted = 7;
  EXPECT_TRUE(FAILED(a.IsMuteTv(&muted)));
  EXPECT_EQ(muted, 7);
  ASSERT_EQ(board_.Command("clear-faults"), S_OK);
  EXPECT_EQ(a.UninitializeView(), S_OK);
  EXPECT_EQ(b.InitializeView(), S_OK);
  b.UninitializeView();
  a.Release();
}
