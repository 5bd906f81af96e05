#include "board/panel_settings.h"

#include "common/format.h"
#include "common/hresult.h"
#include "common/module.h"
#include "common/path.h"
#include "common/settings_file.h"

namespace board {

std::wstring PanelSettings::FileNameForPanel(unsigned panelId) {
  return FormatW(L"VornConP%02u.ini", panelId);
}

HRESULT PanelSettings::Load(const wchar_t* name, const wchar_t* directory) {
  sections_.clear();
  path_.clear();
  if (!name) return E_POINTER;
  const SettingsFile file = directory
                                ? SettingsFile(PathString::Combine(WideString(directory), WideString(name)))
                                : SettingsFile::InModuleDirectory(ThisModule(), name);
  path_ = file.path().str();
  if (!file.Exists()) return HResultFromWin32(ERROR_FILE_NOT_FOUND);
  // Read whole whatever their length: a fully written section runs past any fixed buffer.
  for (const std::wstring& section : file.ReadSectionNames())
    AddEntries(sections_[section], file.ReadSection(section.c_str()));
  return S_OK;
}

const SectionValues& PanelSettings::Section(const wchar_t* section) const {
  static const SectionValues empty;
  const auto it = section ? sections_.find(section) : sections_.end();
  return it == sections_.end() ? empty : it->second;
}

bool PanelSettings::ReadText(const wchar_t* section, const wchar_t* key, std::wstring* text) const {
  const SectionValues& values = Section(section);
  const auto it = key ? values.find(key) : values.end();
  if (it == values.end()) return false;
  if (text) *text = it->second;
  return true;
}

bool PanelSettings::ReadInt(const wchar_t* section, const wchar_t* key, long* value) const {
  std::wstring text;
  const bool present = ReadText(section, key, &text);
  if (value) *value = present ? ParseIntValue(text) : -1;
  return present;
}

}  // namespace board
