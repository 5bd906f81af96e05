// The first family's output-data graph: the card's encoded MPEG stream through the MPEG
// analyzer, the analyzer's index records and the capture filter's PCM sound, handed to the host
// by the callback filter (IOutputDataCB::OnData). Built by IOutputData::Initialize; the data
// types are chosen while stopped, connected and run by Start, stopped by Stop.
//
// The encoder link of its own registers three events with the driver: the audio-mode event
// (one per graph, so that no other watcher resets it), "encoder failure" and "encoder stopped".
// A worker thread watches them with the graph's events.
//
// Not locked: the device object serialises the calls (its device lock). The worker touches
// only the events, the graph's event interface and the last error (atomic).
#pragma once

#include <windows.h>
#include <dshow.h>

#include <wrl/client.h>

#include <atomic>
#include <memory>

#include "common/device/filter_graph_holder.h"
#include "common/locks.h"
#include "common/thread.h"
#include "devices/core/output_data.h"
#include "devices/idl/device_manager.h"
#include "devices/tuner1/encoder_control.h"

class DeviceIdentity;

class OutputDataGraph : public FilterGraphHolder {
 public:
  // How long Stop waits for the encoder to report "stopped" after the pause (tests shorten it).
  static constexpr DWORD kEncoderStopWaitMs = 10000;

  // `module`: the device manager's module; the callback filter and the MPEG analyzer are loaded
  // from its directory, the minimum recording time is read from its settings file.
  explicit OutputDataGraph(HMODULE module);
  ~OutputDataGraph() override;

  // Builds the graph for the device (`instance` ends the names of its events). S_OK at once
  // when built; a failing step throws its code (after undoing what it built).
  HRESULT Build(const DeviceIdentity& identity, int instance);
  HRESULT KeepDeviceItem(IHalItem* item);

  HRESULT GetAvailableOutputDataType(long* count, ULONG** types);
  HRESULT GetAvailableOutputDataSubType(long type, long* count, ULONG** subtypes);
  // Selects (on != 0) or deselects a data type; only while stopped.
  HRESULT SetOutputDataType(const _SHAL_OUTPUTDTATA_TYPE& type, LONG on);
  // Names the callback that the callback filter hands every selected type to (referenced
  // there); null lets it go.
  HRESULT SetCallback(IOutputDataCB* callback);
  HRESULT SetAnalyzerParameters(LONG a, LONG b, LONG c, LONG d);
  HRESULT GetOutputDataInfo(long type, long subtype, IHalItem* item);
  HRESULT GetNotifyEvent(long type, HANDLE* event);
  HRESULT GetLastError() const noexcept { return lastError_.load(); }
  HRESULT GetCurrentInputAudioMode(_SHAL_INPUT_AUDIOMODE* mode);
  HRESULT GetCurrentOutputAudioMode(_SHAL_OUTPUT_AUDIOMODE* mode);

  HRESULT Connect();
  HRESULT Disconnect();
  // Thirteen encoder values for mode 0, 1 or 2; throws errors::kOutputUnknownValue for another mode.
  HRESULT SetEncoderParameters(ULONG mode);
  HRESULT Run() override;
  HRESULT Stop() override;  // throws on failure
  HRESULT EndOfData(LONG stopMode);
  void WaitMinimumRecTime() { output_data::WaitMinimumRecTime(&startTick_, minimumRecMs_); }

  HRESULT Release() override;

  // The thirteen values sent for a mode (the table), or null for an unknown mode.
  static const EncoderParameters* EncoderParametersFor(ULONG mode);

  void SetEncoderStopWait(DWORD ms) noexcept { encoderStopWaitMs_ = ms; }
  void SetMinimumRecTime(DWORD ms) noexcept { minimumRecMs_ = ms; }
  DWORD minimumRecTime() const noexcept { return minimumRecMs_; }
  bool selected(ULONG type) const noexcept { return type >= 1 && type <= 3 && selected_[type - 1]; }
  EncoderControl* encoder() const noexcept { return encoder_.get(); }
  HANDLE errorEvent() const noexcept { return error_.handle(); }

 private:
  class Worker final : public StoppableThread {
   public:
    explicit Worker(OutputDataGraph* owner) : StoppableThread(ComApartment::MultiThreaded), owner_(owner) {}
    ~Worker() override { Stop(); }

   protected:
    DWORD Run() override;

   private:
    OutputDataGraph* const owner_;
  };

  enum Pin {
    kEncoderVideoIn, kEncoderAudioIn, kEncoderMpegOut,
    kCaptureVideoOut, kCaptureAudioOut, kCaptureCapture, kCaptureAudioPcm, kPinCount
  };

  void BuildSteps(const DeviceIdentity& identity, int instance);
  void FindPins();
  void CreateEvents(const DeviceIdentity& identity, int instance);
  void Teardown() noexcept;
  bool GraphRunning();  // not stopped (a failing state query counts as stopped)
  void HandleGraphEvents();
  // The TV-audio mode and whether an external input is selected; only while running.
  HRESULT ReadAudioMode(long* tvMode, bool* external);
  void ReleasePins() noexcept;
  template <std::size_t N>
  void ConnectionTable(output_data::PinPair (&pairs)[N]) const;

  const HMODULE module_;
  IBaseFilter* tvAudio_ = nullptr;
  IBaseFilter* capture_ = nullptr;
  IBaseFilter* encoderFilter_ = nullptr;
  IAMTVAudio* tvAudioControl_ = nullptr;
  IPin* pins_[kPinCount] = {};
  output_data::OutsideFilters outside_;
  Microsoft::WRL::ComPtr<IMediaEventEx> events_;
  HANDLE graphEvent_ = nullptr;  // the graph's own, valid while events_ is held

  std::atomic<HRESULT> lastError_{S_OK};
  bool selected_[3] = {false, false, false};  // MPEG, PCM, INDEX
  ULONG subtypes_[3] = {0, 0, 0};
  Microsoft::WRL::ComPtr<IOutputDataCB> callback_;
  bool built_ = false;

  NamedEvent error_;           // unnamed
  NamedEvent audioMode_;       // unnamed, registered with the driver
  NamedEvent encoderFailure_;  // unnamed, registered with the driver
  NamedEvent encoderStopped_;  // unnamed, registered with the driver
  NamedEvent recInputAudio_;
  NamedEvent recOutputAudio_;
  NamedEvent externalInput_;
  Worker worker_{this};

  DWORD startTick_ = 0;
  DWORD minimumRecMs_ = 1000;
  DWORD encoderStopWaitMs_ = kEncoderStopWaitMs;
  Microsoft::WRL::ComPtr<IHalItem> item_;
  std::unique_ptr<EncoderControl> encoder_;
};
