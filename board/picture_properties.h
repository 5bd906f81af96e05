// The preview control's picture properties and presets: nine properties on simple scales, each
// mapped per display panel onto board ProcAmp properties by "VornConEx<panel id>.ini" in the
// preview control's directory, and three presets read from the same file.
//
// Every operation runs under the caller's per-call mutex; the engine lock is taken inside it.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "board/preview_engine.h"
#include "common/locks.h"

namespace board {

// One board property a picture property drives: linear (value * multiplier + offset, held to
// the 32-bit range) or a table (values[value], 0 past its end).
struct PropertyMapping {
  long boardProperty = 0;
  long kind = 0;
  long multiplier = 0;
  long offset = 0;
  std::vector<long> table;
  long BoardValue(long value) const noexcept;
};

struct PictureProperty {
  long key;
  long minimum, maximum, step, defaultValue;
  const wchar_t* section;
  std::vector<PropertyMapping> mappings;
};

struct PresetPair {
  long property = 0;
  long unused = 0;
  long value = 0;
};

struct PicturePreset {
  long key;
  const wchar_t* section;
  std::vector<PresetPair> pairs;
};

// The numbers of a comma-separated value, at most 512 characters of it read; what is not a
// number reads as 0.
std::vector<long> SplitNumbers(const std::wstring& text);

class PictureProperties {
 public:
  // `directory` is the preview control's own, ending in a backslash.
  PictureProperties(BoardClient& board, std::wstring directory) : board_(board), directory_(std::move(directory)) {}

  HRESULT Initialize(long reserve);
  HRESULT Uninitialize(long reserve);
  HRESULT GetAvailableProcAmpControl(long* property);
  HRESULT GetProcAmpControlRange(long property, long* minimum, long* maximum, long* step, long* defaultValue);
  // S_FALSE (1), nothing read or written, while the board is not in YUV422: test for S_OK.
  HRESULT GetProcAmpControl(long type, long* value);
  HRESULT SetProcAmpControl(long type, long value);
  HRESULT GetAvailableProcAmpPreset(long* preset);
  HRESULT GetProcAmpPreset(long preset, long property, long* value);

 private:
  HRESULT FileFor(std::wstring* path);
  HRESULT LoadProperties();
  HRESULT LoadPresets();
  long ComputeAvailable();
  bool BoardInYuv422();
  PictureProperty* Find(long key);
  HRESULT SetLocked(long type, long value);

  BoardClient& board_;
  const std::wstring directory_;
  CriticalSection lock_;
  std::vector<PictureProperty> properties_;
  std::vector<PicturePreset> presets_;
  long available_ = 0;
  long availablePresets_ = 0;
};

}  // namespace board
