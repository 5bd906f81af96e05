#include "board/panel_settings.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "board/board_controller.h"
#include "board/panel_test_files.h"
#include "board/register_block.h"

namespace {

using board::PanelSettings;

// The folder's file as a settings store.
HRESULT Load(const board_testing::PanelFolder& folder, PanelSettings& s) {
  return s.Load(board_testing::PanelFolder::kName, folder.dir().c_str());
}

const std::string kRequired = board_testing::PanelFile();

// The register shadow over the picture and white-balance blocks, writes recorded, no board.
class Shadow final : public board::RegisterShadow {
 public:
  board::RegisterBlock picture{nullptr, 0x4000, 133};
  board::RegisterBlock whiteBalance{nullptr, 0xA700, 130};
  std::set<std::uint16_t> pending, flushed;
  bool onlyPicture = false;

  bool Store(std::uint16_t address, int width, std::uint32_t value) override {
    for (auto* block : {&picture, &whiteBalance}) {
      if (onlyPicture && block == &whiteBalance) continue;
      if (block->Store(address, width, value)) {
        pending.insert(block->start());
        return true;
      }
    }
    return false;
  }
  bool FlushPending() override {
    flushed.insert(pending.begin(), pending.end());
    pending.clear();
    return true;
  }
  std::uint32_t At(std::uint16_t address, int width) const {
    std::uint32_t v = 0;
    (picture.Load(address, width, &v) || whiteBalance.Load(address, width, &v));
    return v;
  }
};

}  // namespace

TEST(PanelSettings, SchemaNeedsEveryRequiredKeyButNoRegisterSection) {
  EXPECT_EQ(board::Schema().size(), 212u);
  EXPECT_EQ(board::RegisterMap().size(), 89u);
  EXPECT_EQ(PanelSettings::FileNameForPanel(7), L"VornConP07.ini");
  EXPECT_EQ(PanelSettings::FileNameForPanel(123), L"VornConP123.ini");

  board_testing::PanelFolder folder;
  PanelSettings s;
  EXPECT_EQ(Load(folder, s), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(s.Load(L".", folder.dir().c_str()), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));  // a folder

  folder.Write(kRequired);
  ASSERT_EQ(Load(folder, s), S_OK);
  EXPECT_TRUE(s.CheckSchema());  // no FULLSCREEN_SETTING: accepted
  long value = 0;
  EXPECT_TRUE(s.ReadInt(L"DEFALUT_VALUES", L"DEFAULT_COLORKEY", &value));
  EXPECT_EQ(value, 0x100010);
  EXPECT_FALSE(s.ReadInt(L"DEFALUT_VALUES", L"IO_MUTE_DELAY", &value));
  EXPECT_EQ(value, -1);
  EXPECT_FALSE(s.ReadInt(L"NO_SUCH_SECTION", L"PANEL_WIDTH", &value));
  EXPECT_FALSE(s.ReadInt(L"common_parameters", L"PANEL_WIDTH", &value));  // case-sensitive

  std::string missing = kRequired;
  missing.erase(missing.find("HNLS_720X412"), std::string("HNLS_720X412=1,2,3,4,5,6,7\r\n").size());
  folder.Write(missing);
  ASSERT_EQ(Load(folder, s), S_OK);
  EXPECT_FALSE(s.CheckSchema());
}

TEST(PanelSettings, AFullSectionOfAnyLengthAppliesTheRegisterMap) {
  // All 92 keys with hexadecimal values padded to make the section far longer than 2000
  // characters; a few rows then overridden below by their first occurrence.
  std::string section = "[FULLSCREEN_SETTING]\r\n";
  section += "PIC_LCK_PACK=200\r\n";          // above 128: skipped
  section += "PIC_AXIS_PACK=-1\r\n";          // -1: the register stays
  section += "PIC_LCKLUT_PACK=0x19\r\n";      // hexadecimal 25
  section += "PIC_YAGC=014\r\n";              // octal 12
  section += "PIC_DITHER=87\r\nPIC_DITHER=1\r\n";  // the first one counts
  section += "SUBPIC_WB_RED15=4095\r\n";
  for (const auto& row : board::RegisterMap())
    section += std::string(row.key.begin(), row.key.end()) + "=0x000000000" + std::to_string(row.maximum > 9 ? 9 : row.maximum) + "\r\n";
  section += "IO_SYNC_SET=1\r\nIO_SYNC_THRESH1=2\r\nIO_SYNC_THRESH2=300\r\n";
  section += "LONG_LINE=" + std::string(70000, '7') + "\r\n";
  ASSERT_GT(section.size(), 4000u);

  board_testing::PanelFolder folder;
  folder.Write(kRequired + section);
  PanelSettings s;
  ASSERT_EQ(Load(folder, s), S_OK);
  EXPECT_TRUE(s.CheckSchema());
  EXPECT_EQ(s.Section(L"FULLSCREEN_SETTING").size(), 89u + 3u + 1u);
  std::wstring longLine;
  ASSERT_TRUE(s.ReadText(L"FULLSCREEN_SETTING", L"LONG_LINE", &longLine));
  EXPECT_EQ(longLine.size(), 70000u);

  Shadow shadow;
  shadow.picture.Store(0x400E, 1, 0x77);
  shadow.picture.Store(0x4028, 1, 0x55);
  ASSERT_EQ(s.ApplySection(L"FULLSCREEN_SETTING", shadow), S_OK);
  EXPECT_EQ(shadow.At(0x4028, 1), 0x55u);   // out of range: untouched
  EXPECT_EQ(shadow.At(0x400E, 1), 0x77u);   // -1: untouched
  EXPECT_EQ(shadow.At(0x4029, 1), 25u);
  EXPECT_EQ(shadow.At(0x4078, 1), 12u);
  EXPECT_EQ(shadow.At(0x4024, 1), 87u);
  EXPECT_EQ(shadow.At(0xA77C, 2), 0x0FFFu);  // RED15, big-endian
  EXPECT_EQ(shadow.whiteBalance.data()[0xA77C - 0xA700], 0x0F);
  EXPECT_EQ(shadow.At(0xA702, 2), 9u);       // GLC00 from the padded hexadecimal value
  EXPECT_EQ(shadow.flushed, (std::set<std::uint16_t>{0x4000, 0xA700}));

  Shadow pictureOnly;  // a register outside every block ends the operation
  pictureOnly.onlyPicture = true;
  EXPECT_EQ(s.ApplySection(L"FULLSCREEN_SETTING", pictureOnly), E_FAIL);
  Shadow none;
  EXPECT_EQ(s.ApplySection(L"WINDOWMODE_SETTING", none), S_OK);  // missing section: nothing
  EXPECT_TRUE(none.flushed.empty());
}

TEST(PanelSettings, AWideZoomLineOverAPanelWiderThanItsProductRefusesTheEmptyWindow) {
  // 65535 / 1 of a 40000-column panel cuts far more than the panel from either side: nothing
  // is left to show (the product of the two once wrapped round and gave the whole panel).
  BYTE bytes[16] = {};
  EXPECT_EQ(board::BoardController::WideZoomBytes(L"65535,1,0,0,0,0,0", 0, 40000, 0, 40000, bytes), E_FAIL);
}
