#include "board/picture_properties.h"

#include <algorithm>
#include <climits>
#include <cwchar>

#include "board/board_controller.h"
#include "common/format.h"
#include "common/hresult.h"
#include "common/settings_file.h"

namespace board {

namespace {

constexpr size_t kValueChars = 512;  // one "Prop%d" value, as the file format allows

const PictureProperty kBuiltInProperties[] = {
    {0x0001, 0, 100, 1, 50, L"Brightness", {}},     {0x0002, 0, 100, 1, 50, L"Picture", {}},
    {0x0004, 0, 50, 1, 25, L"Hue", {}},             {0x0008, 0, 100, 1, 50, L"Saturation", {}},
    {0x0010, 0, 7, 1, 4, L"Sharpness", {}},         {0x0020, 0, 3, 1, 0, L"Gamma", {}},
    {0x0400, 0, 2, 1, 0, L"ColorTemp", {}},         {0x0800, 0, 1, 1, 0, L"Black", {}},
    {0x1000, 0, 3, 1, 0, L"DynamicContrast", {}},
};
const PicturePreset kBuiltInPresets[] = {{0x1, L"Standard", {}}, {0x2, L"Theater", {}}, {0x4, L"AVPro", {}}};

long At(const std::vector<long>& numbers, size_t i) { return i < numbers.size() ? numbers[i] : 0; }

// Entries one section may declare. A mapping names one of 41 board properties and a preset pair
// one of nine picture properties, so every real file stays far below this; a larger "Count"
// (up to 2^31 - 1) would read default entries one profile read at a time for hours.
constexpr long kMaxSectionEntries = 1024;

// "Count" of a section: absent, negative or past kMaxSectionEntries is refused.
HRESULT ReadCount(const SettingsFile& file, const wchar_t* section, long* count) {
  *count = file.ReadInt(section, L"Count", -1);
  return *count < 0 || *count > kMaxSectionEntries ? E_UNEXPECTED : S_OK;
}

}  // namespace

long PropertyMapping::BoardValue(long value) const noexcept {
  if (kind == 0) {
    // In 64 bits: the file's multiplier and offset may take the value past the 32-bit range,
    // where it names no board value; it is held at the range's end for the board to refuse.
    const long long wide = static_cast<long long>(value) * multiplier + offset;
    return static_cast<long>(std::clamp<long long>(wide, LONG_MIN, LONG_MAX));
  }
  return value >= 0 && static_cast<size_t>(value) < table.size() ? table[static_cast<size_t>(value)] : 0;
}

std::vector<long> SplitNumbers(const std::wstring& text) {
  const std::wstring value = text.substr(0, kValueChars - 1);
  std::vector<long> out;
  size_t start = 0;
  while (start < value.size()) {
    size_t end = value.find(L',', start);
    if (end == std::wstring::npos) end = value.size();
    out.push_back(std::wcstol(value.substr(start, end - start).c_str(), nullptr, 0));
    start = end + 1;
  }
  return out;
}

HRESULT PictureProperties::FileFor(std::wstring* path) {
  unsigned char id = 0;
  RETURN_IF_FAILED(board_.hardware->GetDisplayPanelId(&id));
  *path = directory_ + FormatW(L"VornConEx%d.ini", static_cast<int>(id));
  return SettingsFile(PathString(WideString(path->c_str()))).Exists() ? S_OK : HResultFromWin32(ERROR_FILE_NOT_FOUND);
}

HRESULT PictureProperties::LoadProperties() {
  std::wstring path;
  RETURN_IF_FAILED(FileFor(&path));
  const SettingsFile file{PathString(WideString(path.c_str()))};
  if (properties_.empty()) properties_.assign(std::begin(kBuiltInProperties), std::end(kBuiltInProperties));
  for (PictureProperty& entry : properties_) {
    long count = 0;
    RETURN_IF_FAILED(ReadCount(file, entry.section, &count));
    entry.mappings.clear();
    for (long i = 0; i < count; ++i) {
      const std::wstring text = file.ReadString(entry.section, FormatW(L"Prop%d", static_cast<int>(i)).c_str(), L"0,0,0,0,");
      const std::vector<long> n = SplitNumbers(text);
      PropertyMapping m;
      m.boardProperty = At(n, 0);
      m.kind = At(n, 1);
      if (m.kind == 0) {
        m.multiplier = At(n, 2);
        m.offset = At(n, 3);
      } else if (m.kind == 1) {
        const long declared = At(n, 2);
        if (declared < 0) return E_UNEXPECTED;
        // Only the values actually present: the declared count may claim more.
        const size_t present = n.size() > 3 ? n.size() - 3 : 0;
        const size_t used = static_cast<size_t>(declared) < present ? static_cast<size_t>(declared) : present;
        m.table.assign(n.begin() + 3, n.begin() + 3 + static_cast<std::ptrdiff_t>(used));
      } else {
        return E_UNEXPECTED;
      }
      entry.mappings.push_back(std::move(m));
    }
  }
  return S_OK;
}

HRESULT PictureProperties::LoadPresets() {
  std::wstring path;
  RETURN_IF_FAILED(FileFor(&path));
  const SettingsFile file{PathString(WideString(path.c_str()))};
  presets_.assign(std::begin(kBuiltInPresets), std::end(kBuiltInPresets));
  for (PicturePreset& preset : presets_) {
    long count = 0;
    RETURN_IF_FAILED(ReadCount(file, preset.section, &count));
    for (long i = 0; i < count; ++i) {
      const std::vector<long> n =
          SplitNumbers(file.ReadString(preset.section, FormatW(L"Prop%d", static_cast<int>(i)).c_str(), L"0,2,0,"));
      preset.pairs.push_back({At(n, 0), At(n, 1), At(n, 2)});
    }
  }
  return S_OK;
}

long PictureProperties::ComputeAvailable() {
  long slots = -1;
  if (FAILED(board_.property->GetAvailableProcAmpControl(&slots))) return 0;
  long mask = 0;
  for (const PictureProperty& entry : properties_) {
    bool offered = !entry.mappings.empty();
    for (const PropertyMapping& m : entry.mappings) {
      long probe = m.boardProperty;
      // S_FALSE (1) means "not offered": only S_OK counts.
      offered = offered && m.boardProperty >= 0 && m.boardProperty < slots &&
                board_.property->GetAvailableProcAmpControl(&probe) == S_OK;
    }
    if (offered) mask |= entry.key;
  }
  return mask;
}

HRESULT PictureProperties::Initialize(long reserve) {
  LockGuard guard(lock_, INFINITE);
  RETURN_IF_FAILED(LoadProperties());
  available_ = ComputeAvailable();
  RETURN_IF_FAILED(board_.property->Initialize(reserve));
  RETURN_IF_FAILED(LoadPresets());
  availablePresets_ = 0x1 | 0x2 | 0x4;
  return S_OK;
}

HRESULT PictureProperties::Uninitialize(long reserve) {
  LockGuard guard(lock_, INFINITE);
  availablePresets_ = 0;
  presets_.clear();
  if (board_.property) board_.property->Uninitialize(reserve);
  available_ = 0;
  properties_.clear();
  return S_OK;
}

HRESULT PictureProperties::GetAvailableProcAmpControl(long* property) {
  if (!property) return E_POINTER;
  LockGuard guard(lock_, INFINITE);
  *property = available_;
  return S_OK;
}

PictureProperty* PictureProperties::Find(long key) {
  for (PictureProperty& entry : properties_)
    if (entry.key == key) return &entry;
  return nullptr;
}

HRESULT PictureProperties::GetProcAmpControlRange(long property, long* minimum, long* maximum, long* step,
                                                  long* defaultValue) {
  if (!minimum || !maximum || !step || !defaultValue) return E_POINTER;
  LockGuard guard(lock_, INFINITE);
  const PictureProperty* entry = (property & available_) ? Find(property) : nullptr;
  if (!entry) return E_INVALIDARG;
  *minimum = entry->minimum;
  *maximum = entry->maximum;
  *step = entry->step;
  *defaultValue = entry->defaultValue;
  return S_OK;
}

bool PictureProperties::BoardInYuv422() {
  long format = -1;
  return SUCCEEDED(board_.mode->GetColorFormat(&format)) && format == kYuv422;
}

HRESULT PictureProperties::GetProcAmpControl(long type, long* value) {
  if (!value) return E_POINTER;
  LockGuard guard(lock_, INFINITE);
  if (!(type & available_)) return E_INVALIDARG;
  if (!BoardInYuv422()) return S_FALSE;
  *value = 0;
  const PictureProperty* entry = Find(type);
  if (!entry) return E_INVALIDARG;
  std::vector<long> read(entry->mappings.size());
  for (size_t i = 0; i < read.size(); ++i)
    RETURN_IF_FAILED(board_.property->GetProcAmpControl(entry->mappings[i].boardProperty, &read[i], i == 0 ? 1 : 0));
  for (long v = entry->minimum; v <= entry->maximum; v += entry->step) {
    bool all = true;
    for (size_t i = 0; i < read.size() && all; ++i) all = entry->mappings[i].BoardValue(v) == read[i];
    if (all) {
      *value = v;
      return S_OK;
    }
    if (entry->step <= 0) break;
  }
  RETURN_IF_FAILED(SetLocked(type, entry->defaultValue));
  *value = entry->defaultValue;
  return S_OK;
}

HRESULT PictureProperties::SetProcAmpControl(long type, long value) {
  LockGuard guard(lock_, INFINITE);
  return SetLocked(type, value);
}

HRESULT PictureProperties::SetLocked(long type, long value) {
  if (!(type & available_)) return E_INVALIDARG;
  if (!BoardInYuv422()) return S_FALSE;
  const PictureProperty* entry = Find(type);
  if (!entry || value < entry->minimum || value > entry->maximum) return E_INVALIDARG;
  if (entry->mappings.empty()) return S_OK;
  long current = 0;
  RETURN_IF_FAILED(board_.property->GetProcAmpControl(entry->mappings[0].boardProperty, &current, 1));
  for (size_t i = 0; i < entry->mappings.size(); ++i) {
    const PropertyMapping& m = entry->mappings[i];
    RETURN_IF_FAILED(board_.property->SetProcAmpControl(m.boardProperty, m.BoardValue(value),
                                                         i + 1 == entry->mappings.size() ? 1 : 0));
  }
  return S_OK;
}

HRESULT PictureProperties::GetAvailableProcAmpPreset(long* preset) {
  if (!preset) return E_POINTER;
  LockGuard guard(lock_, INFINITE);
  *preset = availablePresets_;
  return S_OK;
}

HRESULT PictureProperties::GetProcAmpPreset(long preset, long property, long* value) {
  if (!value) return E_POINTER;
  *value = 0;
  LockGuard guard(lock_, INFINITE);
  if (!(preset & availablePresets_) || !(property & available_)) return E_INVALIDARG;
  for (const PicturePreset& entry : presets_) {
    if (entry.key != preset) continue;
    for (const PresetPair& pair : entry.pairs) {
      if (pair.property == property) {
        *value = pair.value;
        return S_OK;
      }
    }
  }
  return E_INVALIDARG;
}

}  // namespace board
