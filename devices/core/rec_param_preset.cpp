#include "devices/core/rec_param_preset.h"

#include <string>

#include "common/handles.h"

namespace rec_param {

namespace {

std::optional<DWORD> ReadDword(HKEY key, const wchar_t* name) {
  DWORD type = 0, value = 0, size = sizeof(value);
  if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) != ERROR_SUCCESS ||
      type != REG_DWORD || size != sizeof(value))
    return std::nullopt;
  return value;
}

}  // namespace

HRESULT ReadPreset(ULONG number, Preset* preset) {
  if (!preset) return E_POINTER;
  if (!IsRegistryPreset(number)) return E_INVALIDARG;
  const std::wstring path = kPresetKey + std::to_wstring(number);
  HKEY raw = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &raw) != ERROR_SUCCESS) return E_FAIL;
  UniqueRegKey key(raw);
  preset->muxBitrate = ReadDword(raw, L"MuxBitrate");
  preset->isVbr = ReadDword(raw, L"IsVBR");
  preset->videoBitrate = ReadDword(raw, L"VideoBitrate");
  preset->videoBitrateMax = ReadDword(raw, L"VideoBitrateMax");
  preset->width = ReadDword(raw, L"Width");
  preset->height = ReadDword(raw, L"Height");
  preset->gopType = ReadDword(raw, L"GopType");
  preset->audioBitrate = ReadDword(raw, L"AudioBitrate");
  return S_OK;
}

}  // namespace rec_param
