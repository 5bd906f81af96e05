// The output side every family shares: the answers about the data a device manager hands to the
// host (MPEG, PCM, index records), the audio modes of the recorded sound, the connection walk
// of an output-data graph and the wait for the minimum recording time.
#pragma once

#include <windows.h>
#include <dshow.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/device/filter_graph_holder.h"
#include "common/errors.h"
#include "common/locks.h"
#include "devices/idl/device_manager.h"

struct ICallbackFilterControl;
struct IAnalyzerControl;

namespace output_data {

// Output-data types as the host names them.
inline constexpr ULONG kTypeMpeg = 1;
inline constexpr ULONG kTypePcm = 2;
inline constexpr ULONG kTypeIndex = 3;

// The values of an output-data information item (values 0, 1, ... in order): 17 for each MPEG
// subtype 0 to 2, 5 for PCM, none for index records. errors::kOutputUnknownValue for anything else.
// A family's MPEG values by subtype 0, 1, 2; the first family's are the default.
inline constexpr std::size_t kMpegInfoValues = 17;
using MpegInfoTable = std::int32_t[3][kMpegInfoValues];
HRESULT OutputDataInfo(ULONG type, ULONG subtype, std::vector<std::int32_t>* values);
HRESULT OutputDataInfo(const MpegInfoTable& mpeg, ULONG type, ULONG subtype, std::vector<std::int32_t>* values);
// The PCM values: {2, 48000, 256000, 4, 16}.
const std::vector<std::int32_t>& PcmInfo();

// The same values written into the host's item.
HRESULT WriteOutputDataInfo(ULONG type, ULONG subtype, IHalItem* item);

// The same information as the second and third families give it: their own MPEG values for
// subtypes 0 to 2 (17 each), PCM and index records as above; errors::kOutputUnknownValue for anything else.
HRESULT OutputDataInfoFamily23(ULONG type, ULONG subtype, std::vector<std::int32_t>* values);

// Copies `values` into an array from CoTaskMemAlloc that the caller frees (null for none) and
// its count. `nullAnswer` for a null out-pointer (errors::kOutputNullPointer, or E_POINTER where the family
// answers so), E_OUTOFMEMORY (the outputs untouched).
template <class T, class Count>
HRESULT CopyToTaskMemory(const std::vector<T>& values, Count* count, T** out, HRESULT nullAnswer = errors::kOutputNullPointer) {
  if (!count || !out) return nullAnswer;
  T* array = nullptr;
  if (!values.empty()) {
    array = static_cast<T*>(CoTaskMemAlloc(values.size() * sizeof(T)));
    if (!array) return E_OUTOFMEMORY;
    for (std::size_t i = 0; i < values.size(); ++i) array[i] = values[i];
  }
  *count = static_cast<Count>(values.size());
  *out = array;
  return S_OK;
}

// The subtypes of a type: {0, 1, 2} for MPEG, {0} for PCM and index records; errors::kOutputUnknownValue else.
HRESULT AvailableSubtypes(ULONG type, std::vector<ULONG>* subtypes);

// The recorded sound's input mode from the TV-audio mode (TVAudioMode bits): mono {1, 1, 0},
// stereo {2, 2, 0}; the second-language bits add 16 (0x20) or 32 (0x40) as the third value,
// and 0x30 gives {4, 8, 0}. An external input always records as mono.
// `withSub` false leaves the third value 0 for the second-language bits (0x30 still maps).
_SHAL_INPUT_AUDIOMODE InputAudioMode(long tvAudioMode, bool externalInput, bool withSub = true);
// The output mode: {1, 1} for mono or an external input, {2, 2} for stereo, {4, 8} for 0x30.
_SHAL_OUTPUT_AUDIOMODE OutputAudioMode(long tvAudioMode, bool externalInput);

// The host's audio-mode answers from one reading of the graph: `read(&tvMode, &external)`
// returns the reading's failure, which is answered with the record left as it was;
// `nullPointer` answers a null record; `map(tvMode, external)` makes the record.
template <class Mode, class Read, class Map>
HRESULT AnswerAudioMode(Mode* mode, HRESULT nullPointer, Read&& read, Map&& map) {
  if (!mode) return nullPointer;
  long tvMode = 0;
  bool external = false;
  const HRESULT hr = read(&tvMode, &external);
  if (FAILED(hr)) return hr;
  *mode = map(tvMode, external);
  return S_OK;
}
template <class Read>
HRESULT AnswerInputAudioMode(_SHAL_INPUT_AUDIOMODE* mode, HRESULT nullPointer, bool withSub, Read&& read) {
  return AnswerAudioMode(mode, nullPointer, read, [withSub](long tvMode, bool external) {
    return InputAudioMode(tvMode, external, withSub);
  });
}
template <class Read>
HRESULT AnswerOutputAudioMode(_SHAL_OUTPUT_AUDIOMODE* mode, HRESULT nullPointer, Read&& read) {
  return AnswerAudioMode(mode, nullPointer, read, &OutputAudioMode);
}

// The reading of a graph whose answers need it running and take the TV audio's available
// modes: E_POINTER unbuilt, VFW_E_NOT_RUNNING unless running; an external input (its event
// set) reads as such without asking the filter.
HRESULT ReadAvailableTvAudio(FilterGraphHolder& graph, IAMTVAudio* tvAudio, const NamedEvent& externalInput,
                             long* tvMode, bool* external);

// One pin to look up: by name, or (null name) by position among the filter's pins of that
// direction, 1 the first.
struct PinWanted {
  IBaseFilter* filter;
  PIN_DIRECTION direction;
  const wchar_t* name;
  int position;
};
// Looks up each pin not held yet into `pins`; the first failed lookup returns its code, a lookup
// that finds no pin E_OUTOFMEMORY. Pins found stay held (the caller releases them).
HRESULT FindPins(const PinWanted* wanted, IPin** pins, std::size_t count);
void ReleasePins(IPin** pins, std::size_t count) noexcept;

// The outside filters of every output-data graph: the callback filter and the MPEG analyzer
// (from their module files beside the device manager) with their controls, the two null
// renderers, and their eight pins.
struct OutsideFilters {
  enum Pin {
    kCallbackMpeg, kCallbackIndex, kCallbackPcm, kAnalyzerInput, kAnalyzerOutput, kAnalyzerIndex,
    kNullMpgIn, kNullPreviewIn, kPinCount
  };
  IBaseFilter* callback = nullptr;
  IBaseFilter* analyzer = nullptr;
  IBaseFilter* nullMpg = nullptr;      // "Null Renderer (MPG)"
  IBaseFilter* nullPreview = nullptr;  // "Null Renderer (Preview)"
  ICallbackFilterControl* callbackControl = nullptr;
  IAnalyzerControl* analyzerControl = nullptr;
  IPin* pins[kPinCount] = {};

  // Adds the filters to the holder's graph in the order callback filter, analyzer, null
  // renderer (MPG), null renderer (Preview), takes the controls and finds the pins. The first
  // failure is returned; what was added stays for Remove.
  HRESULT Add(FilterGraphHolder& holder, HMODULE module);
  // Removes the filters from the holder's graph and releases everything.
  void Remove(FilterGraphHolder& holder) noexcept;
  IPin* pin(Pin which) const noexcept { return pins[which]; }
};
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
// ends the walk, the pairs it connected are disconnected again (nothing stays half connected)
// and the failure is returned.
HRESULT ConnectPairs(const PinPair* pairs, std::size_t count, IFilterGraph* graph);
// Disconnects each wanted pair whose pins are connected to each other, ignoring the results; a
// pin connected elsewhere keeps its connection.
void DisconnectPairs(const PinPair* pairs, std::size_t count, IFilterGraph* graph);

// The minimum recording time: after a start recorded in *startTick (0 for none), waits in
// steps of kMinimumRecStepMs until `minimumMs` have passed since it, then clears it. The
// elapsed time is an unsigned difference, safe over the tick counter's wrap.
inline constexpr DWORD kMinimumRecStepMs = 25;
void WaitMinimumRecTime(DWORD* startTick, DWORD minimumMs);
// The settings file's "REC" / "minimum REC time" beside `module` (1000 ms when missing).
DWORD ReadMinimumRecTime(HMODULE module);

}  // namespace output_data
