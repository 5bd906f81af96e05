// The panel settings file "VornConP%02d.ini" in memory: every section's "key=value" lines,
// read whole (however long), with the schema check and the value readers of the board control.
#pragma once

#include <windows.h>

#include <string>

#include "board/panel_map.h"

namespace board {

class PanelSettings {
 public:
  // "VornConP%02d.ini" for a panel id.
  static std::wstring FileNameForPanel(unsigned panelId);

  // Reads the file `name` in `directory` (the board control's own module directory when
  // null). The store is emptied first. S_OK (also with no sections), 0x80070002 when the path
  // is missing or a directory.
  HRESULT Load(const wchar_t* name, const wchar_t* directory = nullptr);

  bool CheckSchema() const { return board::CheckSchema(sections_); }
  // True and the value (base-0 conversion) when present; else false and -1.
  bool ReadInt(const wchar_t* section, const wchar_t* key, long* value) const;
  bool ReadText(const wchar_t* section, const wchar_t* key, std::wstring* text) const;
  // The section's values (empty when missing).
  const SectionValues& Section(const wchar_t* section) const;
  HRESULT ApplySection(const wchar_t* section, RegisterShadow& shadow) const {
    return board::ApplySection(Section(section), shadow);
  }

  const std::wstring& path() const noexcept { return path_; }
  const SettingsSections& sections() const noexcept { return sections_; }

 private:
  std::wstring path_;
  SettingsSections sections_;
};

}  // namespace board
