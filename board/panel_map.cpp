#include "board/panel_map.h"

#include <climits>
#include <cwchar>

namespace board {

void AddEntries(SectionValues& section, const std::vector<std::pair<std::wstring, std::wstring>>& entries) {
  for (const auto& [key, value] : entries) section.emplace(key, value);  // emplace keeps the first
}

long ParseIntValue(const std::wstring& text) {
  const long long value = std::wcstoll(text.c_str(), nullptr, 0);
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<long>(value);
}

namespace {

std::vector<SchemaRow> BuildSchema() {
  std::vector<SchemaRow> rows;
  for (const wchar_t* key : {L"PANEL_WIDTH", L"PANEL_HEIGHT", L"AVAILABEL_DEST_MIN_WIDTH",
                             L"AVAILABEL_DEST_MIN_HEIGHT", L"AVAILABEL_DEST_MAX_WIDTH",
                             L"AVAILABEL_DEST_MAX_HEIGHT", L"MIN_VIEW_WIDTH", L"MIN_VIEW_HEIGHT",
                             L"MAX_VIEW_WIDTH", L"MAX_VIEW_HEIGHT", L"MIN_SRCACT_WIDTH",
                             L"MIN_SRCACT_HEIGHT", L"LIMIT_SRCACT_LEFT", L"LIMIT_SRCACT_TOP",
                             L"LIMIT_SRCACT_WIDTH", L"LIMIT_SRCACT_HEIGTH"})
    rows.push_back({L"COMMON_PARAMETERS", key, true});
  // The misspelt section and key names are the file format's own.
  rows.push_back({L"DEFALUT_VALUES", L"DEFAULT_COLORKEY", true});
  rows.push_back({L"DEFALUT_VALUES", L"CONTROL_COLORFORMAT", true});
  for (const wchar_t* key : {L"DEFAULT_COLORFORMAT", L"MEMORY_REALLOC_DELAY", L"IO_MUTE_DELAY", L"UTILIZE_CAL_MODE"})
    rows.push_back({L"DEFALUT_VALUES", key, false});
  for (const wchar_t* key : {L"HNLS_329X412", L"HNLS_352X412", L"HNLS_672X412", L"HNLS_720X412"})
    rows.push_back({L"HNLS_PARAMTERS", key, true});
  for (const wchar_t* section : {L"FULLSCREEN_SETTING", L"WINDOWMODE_SETTING"}) {
    for (const RegisterRow& row : RegisterMap()) rows.push_back({section, row.key.c_str(), false});
    for (const wchar_t* key : {L"IO_SYNC_SET", L"IO_SYNC_THRESH1", L"IO_SYNC_THRESH2"})
      rows.push_back({section, key, false});
  }
  rows.push_back({L"MEASURES_TO_DISTORTED_PICTUE", L"SRC_HEIGHT_LOWER_LIMITS", true});
  rows.push_back({L"MEASURES_TO_DISTORTED_PICTUE", L"PIC_LCK_PACK", false});
  return rows;
}

std::vector<RegisterRow> BuildRegisterMap() {
  std::vector<RegisterRow> rows = {
      {0x4028, 0, 128, 1, L"PIC_LCK_PACK"},      {0x400E, 0, 128, 1, L"PIC_AXIS_PACK"},
      {0x4029, 0, 25, 1, L"PIC_LCKLUT_PACK"},    {0x4078, 0, 12, 1, L"PIC_YAGC"},
      {0x4073, 0, 3, 1, L"PIC_DYNAMIC_COLOR"},   {0x4024, 0, 87, 1, L"PIC_DITHER"},
      {0x4060, 0, 1, 1, L"PIC_LEVEL_DIA"},       {0x4000, 0, 128, 1, L"PIC_CTI_UPACK"},
      {0x4002, 0, 128, 1, L"PIC_CTI_VPACK"},     {0x4004, 0, 128, 1, L"PIC_LTI_PACK1"},
      {0x4006, 0, 64, 1, L"PIC_NR_PACK"},        {0x4008, 0, 16, 1, L"PIC_SC1LTH_PACK"},
      {0x4009, 0, 16, 1, L"PIC_SC1LTV_PACK"},    {0x4010, 0, 64, 1, L"PIC_CSCO_PACK"},
      {0x400C, 0, 64, 1, L"PIC_CSCR_PACK"},      {0x402A, 0, 32, 1, L"PIC_IPX_PLD_PACK"},
      {0x402B, 0, 32, 1, L"PIC_IPX_SUDA_PACK"},  {0x402C, 0, 128, 1, L"PIC_IPX_IFI_PACK"},
      {0x402D, 0, 64, 1, L"PIC_IPX_VID_PACK"},   {0x4070, 0, 2, 1, L"PIC_ITU_MODE2"},
      {0x4083, 0, 64, 1, L"PIC_Y2R_PACK"},       {0x4082, 0, 64, 1, L"PIC_CMAS_PACK"},
      {0x4081, 0, 64, 1, L"PIC_YCMIX_PACK"},     {0xA700, 0, 2, 1, L"SUBPIC_WB_MODE"},
      {0xA701, 0, 15, 1, L"SUBPIC_WB_POINT"},
  };
  // 16 white-balance points of four 2-byte values each: GLC, RED, GREEN, BLUE.
  const struct {
    const wchar_t* name;
    std::uint16_t offset;
    long maximum;
  } kinds[] = {{L"GLC", 2, 511}, {L"RED", 4, 4095}, {L"GREEN", 6, 4095}, {L"BLUE", 8, 4095}};
  for (int point = 0; point < 16; ++point) {
    for (const auto& kind : kinds) {
      std::wstring key = std::wstring(L"SUBPIC_WB_") + kind.name;
      key += static_cast<wchar_t>(L'0' + point / 10);
      key += static_cast<wchar_t>(L'0' + point % 10);
      rows.push_back({static_cast<std::uint16_t>(0xA700 + kind.offset + 8 * point), 0, kind.maximum, 2, key});
    }
  }
  return rows;
}

ProcAmpRow ProcAmpRowOf(int property) {
  switch (property) {
    case 0: return {0x406F, 0, 255, 1, 128};
    case 1: return {0x406E, 0, 255, 1, 128};
    case 2: return {0x4072, 0, 255, 1, 128};
    case 3: return {0x4071, 0, 255, 1, 128};
    case 13: return {0x4079, 0, 255, 1, 0};
    case 14: return {0x407A, 0, 255, 1, 0};
    case 22: return {0x4074, 0, 128, 1, 0};
    case 23: return {0x4076, 0, 64, 1, 0};
    case 24: return {0x4077, 0, 64, 1, 0};
    case 31: return {0x4075, 0, 64, 1, 0};
    default: break;
  }
  if (property >= 16 && property <= 21)
    return {static_cast<std::uint16_t>(0x4062 + 2 * (property - 16)), 0, 1023, 2, 512};
  if (property >= 25 && property <= 27)
    return {static_cast<std::uint16_t>(0x4012 + 2 * (property - 25)), 0, 4095, 2, 2048};
  if (property >= 28 && property <= 30)
    return {static_cast<std::uint16_t>(0x4018 + 2 * (property - 28)), 0, 1023, 2, 1023};
  if (property >= 32 && property <= 34)
    return {static_cast<std::uint16_t>(0x407B + (property - 32)), 0, 63, 1, 0};
  if (property >= 35 && property <= 37)
    return {static_cast<std::uint16_t>(0x407E + (property - 35)), 0, 255, 1, 64};
  if (property >= 38 && property <= 40)
    return {static_cast<std::uint16_t>(0x4020 + (property - 38)), 0, 96, 1, 0};
  return {0, 0, 0, 0, 0};
}

}  // namespace

const std::vector<RegisterRow>& RegisterMap() {
  static const std::vector<RegisterRow> rows = BuildRegisterMap();
  return rows;
}

const std::vector<SchemaRow>& Schema() {
  static const std::vector<SchemaRow> rows = BuildSchema();
  return rows;
}

bool CheckSchema(const SettingsSections& sections) {
  for (const SchemaRow& row : Schema()) {
    if (!row.required) continue;
    const auto section = sections.find(row.section);
    if (section == sections.end() || section->second.find(row.key) == section->second.end()) return false;
  }
  return true;
}

const ProcAmpRow& ProcAmp(int property) {
  static const std::vector<ProcAmpRow> rows = [] {
    std::vector<ProcAmpRow> table;
    for (int p = 0; p < kProcAmpProperties; ++p) table.push_back(ProcAmpRowOf(p));
    return table;
  }();
  static const ProcAmpRow none = {0, 0, 0, 0, 0};
  return property >= 0 && property < kProcAmpProperties ? rows[property] : none;
}

HRESULT ApplySection(const SectionValues& section, RegisterShadow& shadow) {
  for (const RegisterRow& row : RegisterMap()) {
    const auto it = section.find(row.key);
    if (it == section.end()) continue;
    const long value = ParseIntValue(it->second);
    if (value == -1 || row.width <= 0 || value < row.minimum || value > row.maximum) continue;
    if (!shadow.Store(row.address, row.width, static_cast<std::uint32_t>(value))) return E_FAIL;
  }
  return shadow.FlushPending() ? S_OK : E_FAIL;
}

}  // namespace board
