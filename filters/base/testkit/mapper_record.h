// The filter mapper's record of a registered filter, read back from the registry: the instance
// key of the legacy filter category, its "FriendlyName" and its binary "FilterData" (version,
// merit, and per pin its flags and media types). Describe gives one comparable line.
#pragma once

#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/format.h"

namespace graph_testkit {

struct MapperPinRecord {
  DWORD flags = 0;  // REG_PINFLAG_B_*
  std::vector<std::pair<GUID, GUID>> types;  // major, minor
};

struct MapperRecord {
  bool found = false;
  std::wstring name;
  DWORD merit = 0;
  std::vector<MapperPinRecord> pins;
};

inline std::wstring GuidText(REFGUID guid) {
  wchar_t text[40] = {};
  StringFromGUID2(guid, text, 40);
  return text;
}

// The record of `clsid` (found false without one, or when its data cannot be read).
inline MapperRecord ReadMapperRecord(REFCLSID clsid) {
  MapperRecord record;
  const std::wstring key = L"CLSID\\{083863F1-70DE-11D0-BD40-00A0C911CE86}\\Instance\\" + GuidText(clsid);
  wchar_t name[256] = {};
  DWORD bytes = sizeof(name) - sizeof(wchar_t);
  if (RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), L"FriendlyName", RRF_RT_REG_SZ, nullptr, name, &bytes) !=
      ERROR_SUCCESS) {
    return record;
  }
  std::vector<BYTE> data(4096);
  bytes = static_cast<DWORD>(data.size());
  if (RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), L"FilterData", RRF_RT_REG_BINARY, nullptr, data.data(), &bytes) !=
      ERROR_SUCCESS) {
    return record;
  }
  data.resize(bytes);
  size_t at = 0;
  bool ok = true;
  const auto word = [&]() -> DWORD {
    DWORD value = 0;
    if (at + 4 > data.size()) {
      ok = false;
      return 0;
    }
    std::memcpy(&value, &data[at], 4);
    at += 4;
    return value;
  };
  const auto guidAt = [&](DWORD offset) {
    GUID guid = GUID_NULL;
    if (offset + sizeof(GUID) <= data.size()) {
      std::memcpy(&guid, &data[offset], sizeof(GUID));
    } else {
      ok = false;
    }
    return guid;
  };
  word();  // version
  record.merit = word();
  const DWORD pins = word();
  word();
  for (DWORD p = 0; ok && p < pins && p < 64; ++p) {
    MapperPinRecord pin;
    word();  // "0pi3"
    pin.flags = word();
    word();  // instances
    const DWORD types = word();
    const DWORD mediums = word();
    if (word() != 0) word();  // the pin category's offset
    for (DWORD t = 0; ok && t < types && t < 64; ++t) {
      word();  // "0ty3"
      word();
      const DWORD major = word();
      const DWORD minor = word();
      pin.types.emplace_back(guidAt(major), guidAt(minor));
    }
    for (DWORD m = 0; ok && m < mediums; ++m) word();
    record.pins.push_back(pin);
  }
  record.found = ok;
  record.name = name;
  return record;
}

// "name" merit 0x...; per pin: flags and major/minor of each type.
inline std::wstring Describe(const MapperRecord& record) {
  if (!record.found) return L"<no record>";
  std::wstring text = L"\"" + record.name + L"\" merit " + FormatW(L"0x%06lX", record.merit);
  for (const MapperPinRecord& pin : record.pins) {
    text += FormatW(L"; pin flags %lu", pin.flags);
    for (const auto& type : pin.types) text += L" " + GuidText(type.first) + L"/" + GuidText(type.second);
  }
  return text;
}

// The same line for what a module means to register: pins given as flags and types.
inline std::wstring Describe(const std::wstring& name, DWORD merit, const std::vector<MapperPinRecord>& pins) {
  MapperRecord record;
  record.found = true;
  record.name = name;
  record.merit = merit;
  record.pins = pins;
  return Describe(record);
}

}  // namespace graph_testkit
