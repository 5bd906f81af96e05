// What the panel settings file means: its schema with the required keys, the register map
// that turns a settings section into picture and white-balance register values, and the
// ProcAmp table. Pure tables and functions over a section's values, free of file and port (the
// fuzz target builds them for the host).
#pragma once

#ifdef _WIN32
#include <windows.h>
#else
#include "board/host_hresult.h"
#endif

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace board {

// Keys to value texts of one section, compared case-sensitively; the first of a repeated key
// is kept.
using SectionValues = std::map<std::wstring, std::wstring>;
using SettingsSections = std::map<std::wstring, SectionValues>;

// Adds "key=value" entries to a section, first one of a key winning.
void AddEntries(SectionValues& section, const std::vector<std::pair<std::wstring, std::wstring>>& entries);

// A value as the wide-string conversion with base 0 reads it (decimal, 0x hexadecimal, 0
// octal, optional sign, leading blanks, trailing text ignored), clamped to the 32-bit range.
long ParseIntValue(const std::wstring& text);

struct SchemaRow {
  const wchar_t* section;
  const wchar_t* key;
  bool required;
};
// The file's 212 rows in order.
const std::vector<SchemaRow>& Schema();
// True when every required row has a value.
bool CheckSchema(const SettingsSections& sections);

struct RegisterRow {
  std::uint16_t address;
  long minimum;
  long maximum;
  int width;  // bytes, big-endian; 0: not available
  std::wstring key;
};
// The 89 register rows: PIC_* (block 0x4000) then SUBPIC_WB_* (block 0xA700).
const std::vector<RegisterRow>& RegisterMap();

struct ProcAmpRow {
  std::uint16_t address;
  long minimum;
  long maximum;
  int width;  // 0: the property is not available
  long defaultValue;
};
constexpr int kProcAmpProperties = 41;
const ProcAmpRow& ProcAmp(int property);  // 0 .. 40

// Where register values go: the shadows of the register blocks.
class RegisterShadow {
 public:
  // Stores a value of `width` bytes (big-endian) at a register address and marks its block
  // pending; false when no block holds the address.
  virtual bool Store(std::uint16_t address, int width, std::uint32_t value) = 0;
  // Writes every pending block to the board and forgets them; false when a write failed.
  virtual bool FlushPending() = 0;

 protected:
  ~RegisterShadow() = default;
};

// The register map applied from one section: each present key with a value that is not -1 and
// lies within its row's range is stored (out-of-range values are skipped, -1 leaves the
// register); then the pending blocks are written. S_OK when everything was stored and written,
// E_FAIL otherwise.
HRESULT ApplySection(const SectionValues& section, RegisterShadow& shadow);

}  // namespace board
