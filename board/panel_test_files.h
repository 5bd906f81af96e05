// Test support: panel settings files in a folder of the test's own.
#pragma once

#include <windows.h>

#include <fstream>
#include <string>

#include "common/testing/child.h"

namespace board_testing {

// A panel file with every required key; `defaults` joins DEFALUT_VALUES, `hnls` joins
// HNLS_PARAMTERS, `sections` follows.
inline std::string PanelFile(const std::string& defaults = "", const std::string& hnls = "",
                             const std::string& sections = "") {
  return "[COMMON_PARAMETERS]\r\n"
         "PANEL_WIDTH=1366\r\nPANEL_HEIGHT=768\r\nAVAILABEL_DEST_MIN_WIDTH=160\r\n"
         "AVAILABEL_DEST_MIN_HEIGHT=120\r\nAVAILABEL_DEST_MAX_WIDTH=1366\r\nAVAILABEL_DEST_MAX_HEIGHT=768\r\n"
         "MIN_VIEW_WIDTH=160\r\nMIN_VIEW_HEIGHT=120\r\nMAX_VIEW_WIDTH=1366\r\nMAX_VIEW_HEIGHT=768\r\n"
         "MIN_SRCACT_WIDTH=160\r\nMIN_SRCACT_HEIGHT=120\r\nLIMIT_SRCACT_LEFT=0\r\nLIMIT_SRCACT_TOP=0\r\n"
         "LIMIT_SRCACT_WIDTH=720\r\nLIMIT_SRCACT_HEIGTH=480\r\n"
         "[DEFALUT_VALUES]\r\nDEFAULT_COLORKEY=0x100010\r\nCONTROL_COLORFORMAT=1\r\n" +
         defaults +
         "[HNLS_PARAMTERS]\r\nHNLS_329X412=1,2,3,4,5,6,7\r\nHNLS_352X412=1,2,3,4,5,6,7\r\n"
         "HNLS_672X412=1,2,3,4,5,6,7\r\nHNLS_720X412=1,2,3,4,5,6,7\r\n" +
         hnls + "[MEASURES_TO_DISTORTED_PICTUE]\r\nSRC_HEIGHT_LOWER_LIMITS=240\r\n" + sections;
}

// A new folder under the temporary directory, removed with the panel file in it.
class PanelFolder {
 public:
  static constexpr const wchar_t* kName = L"VornConP07.ini";  // panel 7, as the board reports

  PanelFolder() {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    dir_ = std::wstring(temp) + testing_support::UniqueName(L"vorn-panel-");
    CreateDirectoryW(dir_.c_str(), nullptr);
  }
  ~PanelFolder() {
    Remove();
    RemoveDirectoryW(dir_.c_str());
  }
  PanelFolder(const PanelFolder&) = delete;
  PanelFolder& operator=(const PanelFolder&) = delete;

  void Write(const std::string& text) const {
    std::ofstream(std::string(dir_.begin(), dir_.end()) + "\\VornConP07.ini", std::ios::binary) << text;
  }
  void Remove() const { DeleteFileW((dir_ + L"\\" + kName).c_str()); }
  const std::wstring& dir() const { return dir_; }

 private:
  std::wstring dir_;
};

}  // namespace board_testing
