// The deinterlacing filter's table of named, range-clamped integer parameters.
//
// The table's memory is an interface between modules: the device managers, built separately,
// walk it through the pointer that ITeskSettings::GetParameterTable hands out (Raw()), find
// records by name and write clamped values into them. Its layout is therefore fixed to the byte:
// 1600 bytes in the product's 32-bit build; the x86_64 test build has 64-bit pointers in the two
// record-pointer arrays and is checked separately.
//
// Values are single 32-bit words written without a lock by the device managers and property
// pages; the table reads and writes them as relaxed atomics.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "filters/include/parameter_table_layout.h"

namespace deinterlace {

// ParameterRecord, TextParameterRecord and ParameterTableLayout: filters/include/parameter_table_layout.h.

// The key the table starts with and the one the filter's factory sets at once.
constexpr char kInitialParameterKey[] = "Software\\Zarn Corporation\\Qfa\\";
constexpr char kFilterParameterKey[] = "Software\\Zarn Corporation\\TunerBrdInfo\\";

class ParameterTable {
 public:
  ParameterTable();
  ParameterTable(const ParameterTable&) = delete;
  ParameterTable& operator=(const ParameterTable&) = delete;

  // Adds a parameter whose value is its default (clamped to the range) and returns its 1-based
  // index. A name already registered keeps its index: its range, default and flags are updated
  // and its value is clamped to the new range. -1 for a null, empty or too long name, a
  // minimum above the maximum, or a full table.
  int Register(const char* name, int minimum, int maximum, int defaultValue, int flags);

  // The named value; -1 when the name is not registered.
  int GetByName(const char* name) const;
  // Stores the value clamped to the parameter's range; 0, or -1 when the name is not registered.
  int SetByName(const char* name, int value);
  // The 1-based index and the range of the named parameter; -1 (and -1 in every output) when
  // absent. Null outputs are skipped.
  int Find(const char* name, int* minimum, int* maximum, int* flags) const;
  // The value at a 1-based index; -1 outside 1..count.
  int GetValueAt(int index) const;

  // Replaces the registry key path (truncated to 779 characters); null leaves it.
  void SetKey(const char* path);
  const char* Key() const { return layout_.key; }

  // Resets every value to its default, then reads each parameter's DWORD value of the same
  // name under the key and stores it clamped. Missing or unreadable values keep the default.
  void Load();

  int Count() const;
  // The shared memory handed to other modules (no reference, lives as long as the table).
  ParameterTableLayout* Raw() { return &layout_; }
  const ParameterTableLayout* Raw() const { return &layout_; }

 private:
  ParameterRecord* FindRecord(const char* name, int* index) const;

  ParameterTableLayout layout_;
  ParameterRecord storage_[kParameterCapacity];
};

// v below the minimum gives the minimum, above the maximum the maximum.
constexpr int ClampParameter(int value, int minimum, int maximum) noexcept {
  return value < minimum ? minimum : (value > maximum ? maximum : value);
}

// Parameter names of the filter, its processor and the processors' own.
namespace params {
constexpr char kDebugMessages[] = "Qfa Debug Messages";
constexpr char kFrameDrop[] = "Qfa Frame Drop";
constexpr char kFrameDropTime[] = "Qfa Frame Drop Time";
constexpr char kRunMmx[] = "Qfa run MMX";
constexpr char kAllowMcDeinterlacing[] = "Qfa Allow MC Deinterlacing";
constexpr char kShowMotionVectors[] = "Qfa Show Motion Vectors";
constexpr char kDeintermode[] = "Qfa Deintermode";
constexpr char kSingleField[] = "Qfa Deinterlace Single Field";
constexpr char kDvdBypass[] = "Qfa DVD Bypass";
constexpr char kContrast[] = "Qfa Contrast";
constexpr char kSharpness[] = "Qfa Sharpness";
constexpr char kFirstField[] = "Qfa First Field";
constexpr char kContrastFactor[] = "Qfa Contrast Factor";
constexpr char kLeftRightBorder[] = "LeftRightBorder";
constexpr char kTopBottomBorder[] = "TopBottomBorder";
constexpr char kSharpnessFactor[] = "Qfa Sharpness Factor";
constexpr char kSharpnessCoring[] = "Qfa Sharpness Coring";
}  // namespace params

// Registers and loads the filter's nine parameters. The first five are registered and loaded
// first; "Qfa run MMX" = 1 then forces the whole-frame path, otherwise the processor decides
// (`processorNeedsMmxPath`) and the decision is written into "Qfa run MMX". Only then is
// "Qfa Deintermode" registered, with the range of the path (7..9, default 9, on the whole-frame
// path; 0..4, or 0..9 with "Qfa Allow MC Deinterlacing", default 4, otherwise). The table is
// loaded again at the end. Returns true for the whole-frame path.
bool RegisterFilterParameters(ParameterTable& table, bool processorNeedsMmxPath);

}  // namespace deinterlace
