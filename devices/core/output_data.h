// The output side every family shares: the answers about the data a device manager hands to the
// host (MPEG, PCM, index records), the audio modes of the recorded sound, the connection walk
// of an output-data graph and the wait for the minimum recording time.
#pragma once

#include <windows.h>
#include <dshow.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "devices/idl/device_manager.h"

namespace output_data {

// Output-data types as the host names them.
inline constexpr ULONG kTypeMpeg = 1;
inline constexpr ULONG kTypePcm = 2;
inline constexpr ULONG kTypeIndex = 3;

inline constexpr HRESULT kNotBuilt = static_cast<HRESULT>(0x8007F033);      // also: a pin is missing
inline constexpr HRESULT kNullPointer = static_cast<HRESULT>(0x8007F043);
inline constexpr HRESULT kUnknownValue = static_cast<HRESULT>(0x8007F053);  // type, subtype or mode
inline constexpr HRESULT kEncoderFailure = static_cast<HRESULT>(0x80072502);

// The values of an output-data information item (values 0, 1, ... in order): 17 for each MPEG
// subtype 0 to 2, 5 for PCM, none for index records. kUnknownValue for anything else.
HRESULT OutputDataInfo(ULONG type, ULONG subtype, std::vector<std::int32_t>* values);
// The same values written into the host's item.
HRESULT WriteOutputDataInfo(ULONG type, ULONG subtype, IHalItem* item);

// The same information as the second and third families give it: their own MPEG values for
// subtypes 0 to 2 (17 each), PCM and index records as above; kUnknownValue for anything else.
HRESULT OutputDataInfoFamily23(ULONG type, ULONG subtype, std::vector<std::int32_t>* values);

// Copies `values` into an array from CoTaskMemAlloc that the caller frees (null for none) and
// its count. kNullPointer for a null out-pointer.
template <class T>
HRESULT CopyToTaskMemory(const std::vector<T>& values, long* count, T** out) {
  if (!count || !out) return kNullPointer;
  T* array = nullptr;
  if (!values.empty()) {
    array = static_cast<T*>(CoTaskMemAlloc(values.size() * sizeof(T)));
    if (!array) return E_OUTOFMEMORY;
    for (std::size_t i = 0; i < values.size(); ++i) array[i] = values[i];
  }
  *count = static_cast<long>(values.size());
  *out = array;
  return S_OK;
}

// The subtypes of a type: {0, 1, 2} for MPEG, {0} for PCM and index records; kUnknownValue else.
HRESULT AvailableSubtypes(ULONG type, std::vector<ULONG>* subtypes);

// The recorded sound's input mode from the TV-audio mode (TVAudioMode bits): mono {1, 1, 0},
// stereo {2, 2, 0}; the second-language bits add 16 (0x20) or 32 (0x40) as the third value,
// and 0x30 gives {4, 8, 0}. An external input always records as mono.
_SHAL_INPUT_AUDIOMODE InputAudioMode(long tvAudioMode, bool externalInput);
// The output mode: {1, 1} for mono or an external input, {2, 2} for stereo, {4, 8} for 0x30.
_SHAL_OUTPUT_AUDIOMODE OutputAudioMode(long tvAudioMode, bool externalInput);

// Both modes at once from a TV-audio filter's mode, or mono for an external input (the filter is
// then not asked). Either out-pointer may be null; the filter's failure is returned.
HRESULT ReadAudioModes(IAMTVAudio* tvAudio, bool externalInput, _SHAL_INPUT_AUDIOMODE* input,
                       _SHAL_OUTPUT_AUDIOMODE* output);

// One pair of the connection table: the output pin, the input pin and whether the selection
// wants it.
struct PinPair {
  IPin* output;
  IPin* input;
  bool wanted;
};

// Connects each wanted pair directly without a media type, output pin first; the first failure
// ends the walk and is returned.
HRESULT ConnectPairs(const PinPair* pairs, std::size_t count, IFilterGraph* graph);
// Disconnects each wanted pair, ignoring the results.
void DisconnectPairs(const PinPair* pairs, std::size_t count, IFilterGraph* graph);

// The minimum recording time: after a start recorded in *startTick (0 for none), waits in
// steps of kMinimumRecStepMs until `minimumMs` have passed since it, then clears it. The
// elapsed time is an unsigned difference, safe over the tick counter's wrap.
inline constexpr DWORD kMinimumRecStepMs = 25;
void WaitMinimumRecTime(DWORD* startTick, DWORD minimumMs);
// The settings file's "REC" / "minimum REC time" beside `module` (1000 ms when missing).
DWORD ReadMinimumRecTime(HMODULE module);

}  // namespace output_data
