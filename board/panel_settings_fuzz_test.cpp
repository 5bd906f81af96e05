// The panel settings file under the mutation driver: whatever "VornConP07.ini" holds, it loads,
// every value the board control reads comes back, the register sections
// stay inside the register blocks, and the wide zoom window of every HNLS line is refused or
// lies within the panel.
#include <gtest/gtest.h>

#include <string>

#include "board/board_controller.h"
#include "board/panel_settings.h"
#include "board/panel_test_files.h"
#include "board/register_block.h"
#include "common/testing/fuzz_driver.h"

namespace {

using board::BoardController;
using board::PanelSettings;

// The picture and white-balance blocks; a store outside them is a fault of the register map.
class Shadow final : public board::RegisterShadow {
 public:
  board::RegisterBlock picture{nullptr, 0x4000, 133};
  board::RegisterBlock whiteBalance{nullptr, 0xA700, 130};
  bool Store(std::uint16_t address, int width, std::uint32_t value) override {
    return picture.Store(address, width, value) || whiteBalance.Store(address, width, value);
  }
  bool FlushPending() override { return true; }
};

fuzzing::Bytes Text(const std::string& text) { return fuzzing::Bytes(text.begin(), text.end()); }

std::string CheckPanelFile(const std::uint8_t* data, std::size_t size) {
  const board_testing::PanelFolder folder;  // a fresh name: the profile functions keep recent files
  folder.Write(std::string(reinterpret_cast<const char*>(data), size));
  PanelSettings settings;
  if (settings.Load(board_testing::PanelFolder::kName, folder.dir().c_str()) != S_OK) return "the file did not load";
  settings.CheckSchema();
  for (const board::SchemaRow& row : board::Schema()) {
    long value = 0;
    std::wstring text;
    if (settings.ReadInt(row.section, row.key, &value) != settings.ReadText(row.section, row.key, &text))
      return "a value present as text but not as a number";
  }
  for (const wchar_t* section : {L"FULLSCREEN_SETTING", L"WINDOWMODE_SETTING", L"MEASURES_TO_DISTORTED_PICTUE"}) {
    Shadow shadow;
    if (settings.ApplySection(section, shadow) != S_OK) return "a register row outside the blocks";
  }
  // Wide zoom over the whole panel, as the board control asks for it.
  long width = 0;
  settings.ReadInt(L"COMMON_PARAMETERS", L"PANEL_WIDTH", &width);
  for (const auto& [key, hnls] : settings.Section(L"HNLS_PARAMTERS")) {
    BYTE bytes[16] = {};
    if (BoardController::WideZoomBytes(hnls, 0, width, 0, width, bytes) != S_OK || width >= 2048) continue;
    const LONG first = (bytes[2] & 7) << 8 | bytes[3], last = (bytes[4] & 7) << 8 | bytes[5];
    if (first > last || last > width) return "a wide zoom window outside the panel";
  }
  return {};
}

TEST(PanelSettingsFuzz, AnyPanelFileLoadsAndKeepsItsValuesInRange) {
  using board_testing::PanelFile;
  std::string registers = "[FULLSCREEN_SETTING]\r\n";
  for (const auto& row : board::RegisterMap())
    registers += std::string(row.key.begin(), row.key.end()) + "=0x" + std::to_string(row.maximum % 10) + "\r\n";
  fuzzing::Target target;
  target.name = "panel_settings";
  target.seeds = {
      Text(PanelFile()),
      Text(PanelFile("DEFAULT_COLORFORMAT=2\r\nIO_MUTE_DELAY=-1\r\n", "", registers)),
      Text(PanelFile("", "HNLS_704X480=1,10,-0x12345,0x11,0x22,0x33,044\r\n",
                     "[WINDOWMODE_SETTING]\r\nPIC_YAGC=014\r\nPIC_DITHER=87\r\nPIC_DITHER=1\r\nIO_SYNC_SET=1\r\n")),
      // Lines cut short, without "=", a section without its bracket, no final line end.
      Text(PanelFile("CONTROL_COLORFORMAT\r\nDEFAULT_COLORKEY=\r\n", "HNLS_329X412=1,2,3\r\n",
                     "[FULLSCREEN_SETTING\r\nPIC_LCK_PACK=99999999999999999999\r\nSUBPIC_WB_RED15=0xFFF")),
      // An overlong HNLS line and a panel far wider than any product.
      Text("[COMMON_PARAMETERS]\nPANEL_WIDTH=40000\n[HNLS_PARAMTERS]\nHNLS_720X412=65535,1,0,0,0,0,0\n"
           "HNLS_672X412=" + std::string(5000, '9') + ",1,2,3,4,5,6\n"),
  };
  target.check = CheckPanelFile;
  target.maxSize = 16384;
  target.defaultRuns = 600;
  const fuzzing::Result result = fuzzing::Run(target);
  EXPECT_TRUE(result.failure.empty()) << result.failure << "\n" << fuzzing::Hex(result.input);
}

}  // namespace
