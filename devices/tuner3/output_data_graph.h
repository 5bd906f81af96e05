// The third family's output-data graph: the card's stand-alone encoder ("MPEG Stream") through
// the MPEG analyzer, the analyzer's index records and the preview source's PCM sound, handed to
// the host by the callback filter (IOutputDataCB::OnData). It writes the encoder's recording
// parameters (three presets or a registry set), registers the capture audio-mode, encoder-error
// and encoder-end events with the drivers, and runs a worker thread that turns driver and graph
// events into the host's notify events and a last error.
//
// Not locked: the device object serialises the calls (its instance lock). The worker shares
// the last error and the encoder-error mark (atomics) and the events. Stop can hold the caller
// for up to the encoder's state wait plus its end wait (90 s + 5 s by default).
#pragma once

#include <windows.h>
#include <dshow.h>

#include <wrl/client.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "common/device/filter_graph_holder.h"
#include "common/errors.h"
#include "common/handles.h"
#include "common/locks.h"
#include "common/timeouts.h"
#include "devices/core/output_data.h"
#include "devices/idl/device_manager.h"

class DeviceIdentity;
struct ICallbackFilterControl;
struct IStreamAnalyzerControl;

namespace pex {

// The encoder's parameter record (id 2): the KSPROPERTY header, then 80 bytes whose first 19
// values are the encoder's parameters; the named ones are at these places.
struct EncoderParameterBlock {
  std::uint8_t header[24];
  std::int32_t values[20];
};
static_assert(sizeof(EncoderParameterBlock) == 104 && offsetof(EncoderParameterBlock, values) == 24);
enum EncoderParameter : int {
  kMuxRate = 0, kRateMode = 1, kVideoRate = 2, kVideoPeak = 3, kGopType = 6, kWidth = 9, kHeight = 10,
  kAudioRate = 14,
};

class OutputDataGraph : public FilterGraphHolder {
 public:
  // The waits of Stop (tests shorten them).
  static constexpr DWORD kEncoderStateWaitMs = 90000;
  static constexpr DWORD kEncoderEndWaitMs = 5000;
  // Registry presets: "Software\Zarn Corporation\Tovrel\RecParam\<preset>" in HKLM.
  static constexpr int kFirstRegistryPreset = 100;
  static constexpr int kLastRegistryPreset = 200;

  // `module`: the device manager's module; the callback filter and the MPEG analyzer are loaded
  // from its directory, the minimum recording time is read from its settings file.
  explicit OutputDataGraph(HMODULE module);
  ~OutputDataGraph() override;

  // Builds the graph for the device; S_OK at once when built. A failure undoes every step, the
  // driver registrations included.
  HRESULT Build(const DeviceIdentity& identity);
  void Teardown();

  // Connects the pairs the enabled types need; a failure disconnects what this call connected.
  HRESULT ConnectStreams();
  HRESULT DisconnectStreams();
  HRESULT Start();
  // Waits out the minimum recording time, pauses the encoder (it drains and signals its end),
  // pauses the graph, waits for the end and stops the graph (its result).
  HRESULT Stop() override;
  // Returns once the minimum recording time has passed since the start (at once when none).
  void WaitMinimumRecTime() { output_data::WaitMinimumRecTime(&startTick_, minimumRecMs_); }
  // The callback filter's stop request (it ends the delivery to the host): needs a built,
  // connected and running graph.
  HRESULT EndOfData(LONG stopMode);

  // Enables `type.type` when `callback` is not null and names it to the callback filter.
  HRESULT SetOutputDataType(const _SHAL_OUTPUTDTATA_TYPE* type, IOutputDataCB* callback);
  // Preset 0, 1, 2 or 100..200 (the registry set); E_INVALIDARG else or without the key.
  HRESULT SetRecordingParameters(int preset);
  HRESULT SetAnalyzerParameters(LONG v1, LONG v2, LONG v3, LONG v4);
  HRESULT GetNotifyEvent(int kind, HANDLE* event) const;
  HRESULT GetLastError() const noexcept { return lastError_.load(); }
  HRESULT GetAvailableTypes(long* count, ULONG** types) const;
  HRESULT GetAvailableSubTypes(long type, long* count, ULONG** subtypes) const;
  HRESULT GetOutputDataInfo(long type, long subtype, long* count, std::int32_t** values);
  HRESULT GetCurrentInputAudioMode(_SHAL_INPUT_AUDIOMODE* mode);
  HRESULT GetCurrentOutputAudioMode(_SHAL_OUTPUT_AUDIOMODE* mode);

  bool enabled(ULONG type) const noexcept { return type >= 1 && type <= 3 && enabled_[type - 1]; }
  HANDLE externalInputEvent() const noexcept { return externalInput_.handle(); }
  HANDLE encoderErrorEvent() const noexcept { return encoderError_.handle(); }
  HANDLE encoderEndEvent() const noexcept { return encoderEnd_.handle(); }
  HANDLE captureAudioModeEvent() const noexcept { return captureAudioMode_.handle(); }
  void SetMinimumRecTime(DWORD ms) noexcept { minimumRecMs_ = ms; }
  DWORD minimumRecTime() const noexcept { return minimumRecMs_; }
  void SetStopWaits(DWORD stateMs, DWORD endMs) noexcept {
    encoderStateWaitMs_ = stateMs;
    encoderEndWaitMs_ = endMs;
  }
  void SetStopTimeout(DWORD ms) noexcept { stopTimeout_ = ms; }

 private:
  enum Pin {
    kPreviewVideo, kPreviewPcm, kEncoderMpeg, kAnalyzerIn, kAnalyzerOut, kAnalyzerIndex,
    kCallbackMpeg, kCallbackIndex, kCallbackPcm, kNullMpgIn, kNullPreviewIn, kPinCount
  };

  HRESULT BuildSteps(const DeviceIdentity& identity);
  HRESULT FindPins();
  HRESULT CreateEvents(const DeviceIdentity& identity);
  static constexpr std::size_t kPairCount = 6;
  // The pairs the enable flags `types` (MPEG, PCM, index) call for.
  void Pairs(const bool (&types)[3], output_data::PinPair (&pairs)[kPairCount]) const;
  bool GraphStopped();
  // Both audio modes (zeroed first); only while the graph runs.
  HRESULT AudioModes(_SHAL_INPUT_AUDIOMODE* input, _SHAL_OUTPUT_AUDIOMODE* output);
  // The encoder's parameters as its driver reports them (after the (0, 1) pair).
  HRESULT ReadEncoderParameters(EncoderParameterBlock* block);
  static DWORD WorkerLoop(void* self);
  DWORD Work();

  const HMODULE module_;
  IBaseFilter* tvAudio_ = nullptr;
  IBaseFilter* capture_ = nullptr;
  IBaseFilter* encoder_ = nullptr;
  IBaseFilter* preview_ = nullptr;
  IBaseFilter* callback_ = nullptr;
  IBaseFilter* nullMpg_ = nullptr;
  IBaseFilter* analyzer_ = nullptr;
  IBaseFilter* nullPreview_ = nullptr;
  IAMTVAudio* tvAudioControl_ = nullptr;
  IKsPropertySet* captureProperties_ = nullptr;
  IKsPropertySet* encoderProperties_ = nullptr;
  ICallbackFilterControl* callbackControl_ = nullptr;
  IStreamAnalyzerControl* analyzerControl_ = nullptr;
  IPin* pins_[kPinCount] = {};
  Microsoft::WRL::ComPtr<IMediaEventEx> events_;  // the worker's

  bool enabled_[3] = {false, false, false};  // MPEG, PCM, index
  bool connectedTypes_[3] = {false, false, false};  // the flags the connected pairs were made for
  bool registered_[3] = {false, false, false};  // the driver event registrations made
  std::atomic<HRESULT> lastError_{S_OK};
  std::atomic<bool> encoderFailed_{false};
  DWORD startTick_ = 0;
  DWORD minimumRecMs_ = 1000;
  DWORD encoderStateWaitMs_ = kEncoderStateWaitMs;
  DWORD encoderEndWaitMs_ = kEncoderEndWaitMs;
  DWORD stopTimeout_ = timeouts::kWorkerStop;

  UniqueHandle worker_;
  NamedEvent stop_;
  NamedEvent captureAudioMode_;
  NamedEvent encoderError_;
  NamedEvent encoderEnd_;
  NamedEvent error_;
  NamedEvent recInputAudio_;
  NamedEvent recOutputAudio_;
  NamedEvent externalInput_;
};

}  // namespace pex
