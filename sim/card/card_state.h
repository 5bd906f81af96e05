// The state of one simulated card in this process: crossbar layout and routing, tuner input
// type, picture controls, capture format, encoder behaviour, injected failures and counters.
// Every filter instance of one card holds the same CardState; the table of cards is
// process-wide. The tuned frequency and the broadcast audio mode belong to the driver
// stand-in and are read through DriverLink.
#pragma once

#include <windows.h>

#include <array>
#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/locks.h"
#include "sim/card/ks_properties.h"
#include "sim/card/sim_card.h"
#include "sim/driver/sim_driver.h"
#include "sim/driver/sim_driver.h"

namespace simcard {

struct CrossbarPin {
  LONG type;     // PhysicalConnectorType
  LONG related;  // index of the related pin of the same direction, -1 none
};

struct ProcAmpRange {
  LONG minimum, maximum, step, defaultValue, flags;
  LONG value;
  LONG valueFlags;
};

class CardState {
 public:
  explicit CardState(std::wstring key);

  const std::wstring& key() const { return key_; }

  // --- crossbar -----------------------------------------------------------------------------------
  void SetCrossbarVariant(UINT variant);
  std::vector<CrossbarPin> Inputs() const;
  std::vector<CrossbarPin> Outputs() const;
  // The input routed to `output`, -1 none.
  LONG RoutedTo(LONG output) const;
  // E_INVALIDARG for pins out of range; S_FALSE when the media differ (audio vs video).
  HRESULT CanRoute(LONG output, LONG input) const;
  HRESULT Route(LONG output, LONG input);
  std::vector<SimCardRoute> RouteLog() const;
  // The routed video input of the decoder output: its type and its ordinal among the inputs of
  // that type; false when nothing is routed.
  bool RoutedVideoInput(LONG* type, LONG* ordinal) const;

  // --- tuner, picture controls, capture, encoder --------------------------------------------------
  LONG tunerInputType() const { return tunerInputType_.load(); }
  void SetTunerInputType(LONG type) { tunerInputType_ = type; }
  LONG channel() const { return channel_.load(); }
  void SetChannel(LONG channel) { channel_ = channel; }
  HRESULT SetProcAmpRange(LONG property, const ProcAmpRange& range);
  HRESULT GetProcAmp(LONG property, ProcAmpRange* range) const;
  HRESULT SetProcAmpValue(LONG property, LONG value, LONG flags);
  UINT captureFormat() const { return captureFormat_.load(); }
  void SetCaptureFormat(UINT format) { captureFormat_ = format; }
  UINT previewFormat() const { return previewFormat_.load(); }
  void SetPreviewFormat(UINT format) { previewFormat_ = format; }
  void SetEncoderStop(UINT mode, DWORD delayMs);
  UINT encoderStopMode() const { return encoderStopMode_.load(); }
  DWORD encoderStopDelay() const { return encoderStopDelay_.load(); }

  // --- failures and counters ------------------------------------------------------------------------
  void InjectFailure(const std::string& method, HRESULT error, UINT times);
  // The injected failure for `method` (consumed), or S_OK.
  HRESULT TakeFailure(const char* method);
  SimCardCounters counters() const;
  void CountVideoFrame() { ++videoFrames_; }
  void CountAudioBuffer() { ++audioBuffers_; }
  void CountPack() { ++packs_; }
  void CountEncoderStop() { ++encoderStops_; }
  void CountEvent() { ++eventsPosted_; }

  // --- kernel-streaming properties (thread-safe on their own) ---------------------------------------
  KsProperties& ks() { return ks_; }

  // --- the picture ----------------------------------------------------------------------------------
  SimCardPicture Picture(DWORD frequency) const;

 private:
  const std::wstring key_;
  mutable CriticalSection lock_;  // the members below that are not atomic
  std::vector<CrossbarPin> inputs_;
  std::vector<CrossbarPin> outputs_;
  std::vector<LONG> routes_;  // per output: the routed input, -1 none
  std::vector<SimCardRoute> routeLog_;
  std::array<ProcAmpRange, kSimProcAmpProperties> procAmp_{};
  struct Failure {
    HRESULT error;
    UINT times;
  };
  std::map<std::string, Failure> failures_;
  std::atomic<LONG> tunerInputType_{1};  // TunerInputAntenna
  std::atomic<LONG> channel_{0};
  std::atomic<UINT> captureFormat_{kSimCaptureDefault};
  std::atomic<UINT> previewFormat_{kSimPreviewVideoInfo};
  std::atomic<UINT> encoderStopMode_{kSimEncoderStopAtOnce};
  std::atomic<DWORD> encoderStopDelay_{0};
  KsProperties ks_;
  std::atomic<std::uint32_t> videoFrames_{0}, audioBuffers_{0}, packs_{0}, encoderStops_{0}, eventsPosted_{0};
};

// "<hardware segment>#<instance segment>" of a device path, lower case; empty when the path has
// no such segments.
std::wstring CardKey(const wchar_t* devicePath);

// The process-wide table. Null for a path without a card key.
std::shared_ptr<CardState> FindOrCreateCard(const wchar_t* devicePath);
void ResetCards();

// The driver stand-in, found in this process (or loaded from beside this module) by name.
class DriverLink {
 public:
  static DriverLink& Instance();
  // The driver's card for a device path (added when new); false without the stand-in.
  bool Card(const wchar_t* devicePath, UINT* card);
  bool State(UINT card, SimDriverCardState* state);
  HRESULT SetTvAudioMode(UINT card, DWORD mode);
  HRESULT SignalEncoderStopped(UINT card);

 private:
  DriverLink();
  using AddCardFn = decltype(&SimDriver_AddCard);
  using GetStateFn = decltype(&SimDriver_GetCardState);
  using CardFn = decltype(&SimDriver_SignalEncoderStopped);
  using SetModeFn = decltype(&SimDriver_SetTvAudioMode);
  AddCardFn addCard_ = nullptr;
  GetStateFn getState_ = nullptr;
  SetModeFn setTvAudioMode_ = nullptr;
  CardFn signalStopped_ = nullptr;
};

}  // namespace simcard
