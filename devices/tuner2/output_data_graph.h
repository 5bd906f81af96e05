// The second family's recording graph: the tuner's numbered TV audio, capture and encoder
// filters ("DORU TvAudio n", "DORU Capture n", "DORU Encode n", n = tuner index + 1) joined with
// the callback filter, which hands the data to the host's IOutputDataCB::OnData, the MPEG
// analyzer, which splits the encoder's stream into MPEG data and index records, and two null
// renderers. The data types the host switched on (MPEG, PCM, index) choose the connections.
// The encoder is configured through the tuner's streaming device control with an encoder
// parameter record: a built-in preset or one stored in the registry.
//
// Build, SetDeviceItem, ApplyEncoderPreset and Stop throw HResultError; the other operations
// return their HRESULT. Not locked: the device manager's instance lock serialises the calls.
// The watch thread touches only the graph's events, the error event and the last error.
#pragma once

#include <windows.h>
#include <dshow.h>

#include <wrl/client.h>

#include <atomic>
#include <cstdint>
#include <memory>

#include "common/handles.h"
#include "common/locks.h"
#include "common/timeouts.h"
#include "devices/core/output_data.h"
#include "devices/idl/device_manager.h"
#include "devices/tuner2/streaming_device_control.h"
#include "devices/tuner2/tuner_graph.h"

namespace rul {

class OutputDataGraph : public TunerGraph {
 public:
  // How long Stop waits for the driver's "stream stopped" after the pause (tests shorten it).
  static constexpr DWORD kStreamStoppedWaitMs = 10000;

  // `module`: the device manager's module; the callback filter and the MPEG analyzer are loaded
  // from its directory, the minimum recording time is read from its settings file.
  explicit OutputDataGraph(HMODULE module);
  ~OutputDataGraph() override;

  // Disconnects, stops the watch thread, closes the events, removes and releases the filters
  // and the graph; the tuner index goes back to -1.
  void Teardown() noexcept override;

  // Connects the pins the selected types need (E_POINTER unbuilt, S_OK when connected); a
  // failure disconnects what was connected and is returned.
  HRESULT Connect();
  // Stops a running graph, disconnects, marks the graph not connected.
  HRESULT Disconnect();
  // E_POINTER unbuilt, VFW_E_NOT_CONNECTED unconnected. Runs the graph; a failed run is undone
  // and returned.
  HRESULT Start();
  // Waits out the minimum recording time, lets the encoder drain (pause, then the driver's
  // "stream stopped" for at most the stream-stopped wait) and stops the graph; throws.
  HRESULT Stop() override;

  // Writes the encoder record of output-data subtype `subtype` of MPEG (0 to 2 built in, 100 to
  // 200 from the registry) to the driver; throws E_INVALIDARG for any other subtype or a preset
  // that cannot be read, errors::kNoStreamingControl without the driver link.
  void ApplyEncoderPreset(ULONG subtype);

  // The information words of a type and subtype in a host array (CoTaskMemAlloc).
  HRESULT GetOutputDataInfo(ULONG type, ULONG subtype, ULONG* count, DWORD** words);
  HRESULT GetAvailableSubTypes(ULONG type, ULONG* count, ULONG** subtypes);
  // Switches a data type on with the host's callback of that type, or off with null (only while
  // stopped), and tells the callback filter.
  HRESULT SetOutputDataType(const _SHAL_OUTPUTDTATA_TYPE* type, IOutputDataCB* callback);
  // The analyzer's four values (only while stopped).
  HRESULT SetAnalyzerParameters(LONG a, LONG b, LONG c, LONG d);
  // Ends the callback filter's delivery (connected and not stopped only).
  HRESULT EndOfData(LONG stopMode);
  // Returns once the minimum recording time has passed since the start (at once when stopped).
  void WaitMinimumRecTime() { output_data::WaitMinimumRecTime(&startTick_, minimumRecMs_); }

  // Kinds 0 to 3: the graph error event, "RecInputAudio", "RecOutputAudio", an unnamed event.
  HRESULT GetNotifyEvent(long kind, HANDLE* event);
  HRESULT GetCurrentInputAudioMode(_SHAL_INPUT_AUDIOMODE* mode);
  HRESULT GetCurrentOutputAudioMode(_SHAL_OUTPUT_AUDIOMODE* mode);

  // Test seams.
  void SetStreamStoppedWait(DWORD ms) noexcept { streamStoppedWaitMs_ = ms; }
  void SetMinimumRecTime(DWORD ms) noexcept { minimumRecMs_ = ms; }
  DWORD minimumRecTime() const noexcept { return minimumRecMs_; }
  HANDLE externalInputEvent() const noexcept { return externalInput_.handle(); }
  HANDLE recordingEvent() const noexcept { return recording_.handle(); }
  HANDLE streamStoppedEvent() const noexcept { return streamStopped_.handle(); }

  // The 17 information words of MPEG subtypes 0 to 2.
  static const output_data::MpegInfoTable& MpegInfo();

 private:
  enum Pin { kEncoderMpeg, kCaptureVideo, kCapturePcm, kPinCount };

  void BuildSteps(const DeviceIdentity& identity) override;
  void CreateEvents(const DeviceIdentity& identity);
  template <std::size_t N>
  void ConnectionTable(output_data::PinPair (&pairs)[N]) const;
  // The record for the information words of a registry preset.
  void ReadRegistryRecord(ULONG subtype, StreamingDeviceControl::EncoderParameters* record);

  const HMODULE module_;
  IBaseFilter* tvAudio_ = nullptr;
  IBaseFilter* capture_ = nullptr;
  IBaseFilter* encoder_ = nullptr;
  IAMTVAudio* tvAudioControl_ = nullptr;
  IPin* pins_[kPinCount] = {};
  output_data::OutsideFilters outside_;

  bool selected_[3] = {true, true, true};  // MPEG, PCM, index
  DWORD startTick_ = 0;
  DWORD minimumRecMs_ = 1000;
  DWORD streamStoppedWaitMs_ = kStreamStoppedWaitMs;

  // The ten event slots, in order: 1 and 3 are the base's stop and error events (kind 0).
  NamedEvent audioMode_;      // 2: "AudioMode", handed to the driver
  NamedEvent inputAudio_;     // 4: "RecInputAudio", kind 1
  NamedEvent outputAudio_;    // 5: "RecOutputAudio", kind 2
  NamedEvent kind3_;          // 6: kind 3
  NamedEvent externalInput_;  // 7: "ExternalInput"
  NamedEvent recordEvent0_;   // 8: handed to the driver
  NamedEvent streamStopped_;  // 9: handed to the driver, "stream stopped" after a pause
  NamedEvent recording_;      // 10: "Recording", tuner index 1 only
  std::unique_ptr<StreamingDeviceControl> link_;
};

}  // namespace rul
