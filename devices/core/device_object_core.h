// What the device objects of the families share, each family a layer on it: the device-state
// table, the device pipe, the exclusive-use set, the bound device item and identity, the
// device-information answers, the notify events, the channel stamp and interval, the channel
// item and the kept picture-control ranges, and the six interface states. It answers the
// operations whose body is the same for every family that derives from it (IDevice, the
// device-information lists, the one audio function and sound mode, the auto-scan settings) and,
// through GraphForwards, the forwards to its preview and output-data graphs.
//
// Pointer arguments are checked here (E_POINTER): the facades of these families check none.
// Not locked: the facade holds the device lock over every operation.
#pragma once

#include <windows.h>

#include <wrl/client.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <utility>

#include "common/device/device_identity.h"
#include "common/device/device_state_table.h"
#include "common/device/named_pipe.h"
#include "common/errors.h"
#include "common/hresult.h"
#include "devices/core/device_info.h"
#include "devices/core/device_objects.h"
#include "devices/core/host_arrays.h"
#include "devices/core/not_implemented_operations.h"
#include "devices/core/output_session.h"
#include "devices/core/preview_window.h"
#include "devices/core/tuning/proc_amp.h"

// Where the families' answers differ in the shared operations.
struct DeviceObjectRules {
  HRESULT unbound;            // TakeExclusiveUse before SetDeviceInfo
  HRESULT unknownBand;        // GetAvailableTunerFunction for a band the device does not list
  bool switch0ForTunerOnly;   // function 1 (switch 0) is not offered for an external band
};

class DeviceObjectCore : public NotImplementedOperations {
 public:
  static constexpr ULONG kDefaultInterval = 100;  // ms a channel settles after a change

  // The device-state table opened (FinalConstruct's step after the device lock).
  HRESULT Initialize() override { return stateTable_.Open(); }

  // --- IDevice -------------------------------------------------------------------------------
  HRESULT GetAvailableInterface(long* count, GUID** iids) override;
  HRESULT CanUseInterface(REFIID iid, long* can) override;
  HRESULT GetInfo(long type, VARIANT* value) override;

  // --- IDeviceInfoDetail (region and format are not looked at) -------------------------------
  HRESULT GetAvailableCountryCode(ULONG* count, ULONG** regions) override;
  HRESULT GetAvailableTVFormat(ULONG region, ULONG* count, ULONG** formats) override;
  HRESULT GetAvailableBaseChannel(ULONG region, ULONG tvfmt, ULONG* count, _SHAL_BASECH** channels) override;
  // The device's functions for a listed band (compared in its low 20 bits).
  HRESULT GetAvailableTunerFunction(_SHAL_BASECH* baseCh, ULONG* functions) override;
  // Band bit 0 the first channel range, bit 1 the second; the outputs untouched for another.
  HRESULT GetAvailableChannelInfo(_SHAL_BASECH* baseCh, ULONG* minCh, ULONG* maxCh) override;
  HRESULT GetAvailableFrequencyInfo(ULONG* minFreq, ULONG* maxFreq, ULONG* step) override;
  HRESULT GetInputAudioModeVariety(ULONG* count, _SHAL_INPUT_AUDIOMODE** modes) override;
  HRESULT GetOutputAudioModeVariety(ULONG* count, _SHAL_OUTPUT_AUDIOMODE** modes) override;

  // --- IPreview's lists of the window and sound interfaces ------------------------------------
  HRESULT GetAvailableVideoModeInterface(long* count, GUID** iids) override;
  HRESULT GetAvailableSoundModeInterface(long* count, GUID** iids) override;

  // --- The window interfaces' Initialize forms (the family's InitializeWindow, with the host's
  // filter or without one) and their clipping window (0x80072306 until a window is initialised)
  HRESULT InitializePreviewWindow(ULONG overlayMode) override { return InitializeWindow(overlayMode, nullptr, nullptr); }
  HRESULT InitializeCustomPreviewWindow(ULONG overlayMode, REFCLSID clsid, BSTR module) override {
    return InitializeWindow(overlayMode, &clsid, module);
  }
  HRESULT InitializeCustomPreviewWindow2(ULONG overlayMode, REFCLSID clsid, BSTR module) override {
    return InitializeWindow(overlayMode, &clsid, module);
  }
  HRESULT SetVideoClippingWindow(HWND window) override {
    if (!windowInitialized_) return errors::kWindowNotInit;
    return windowSide().SetClippingWindow(window);
  }

  // --- The input switch's one audio function (1) and the one sound mode (0) -------------------
  HRESULT GetAvailableAudioFunction(long* count, ULONG** functions) override;
  HRESULT GetAudioFunction(ULONG* function) override;
  HRESULT SetAudioFunction(ULONG function) override;
  HRESULT GetAvailableSoundMode(long* count, ULONG** modes) override;
  HRESULT GetSoundMode(ULONG* mode) override;
  HRESULT SetSoundMode(ULONG mode) override;

  // --- IAutoScan2: the scan steps of the settings file (the out-pointer cleared first) --------
  HRESULT GetAutoScanSetting(IHalItem** item) override;

  // --- What tests and the object's parts read -------------------------------------------------
  bool bound() const noexcept { return deviceItem_ != nullptr; }
  const DeviceIdentity& identity() const noexcept { return identity_; }
  NotifyEventSet& notifyEvents() noexcept { return events_; }
  const NamedPipe& pipe() const noexcept { return pipe_; }
  ULONG channelInterval() const noexcept { return interval_; }

 protected:
  static constexpr SingleChoice kAudioFunction{1, E_INVALIDARG};
  static constexpr SingleChoice kSoundMode{0, E_FAIL};

  // The system's device-state table, or one under other names (tests keep theirs apart).
  DeviceObjectCore(const DeviceInfoTable& table, const DeviceObjectRules& rules);
  DeviceObjectCore(const wchar_t* stateSection, const wchar_t* stateMutex, const DeviceInfoTable& table,
                   const DeviceObjectRules& rules);

  // Writes a slot of the device's state entry; nothing without an entry name.
  void WriteSlot(int slot, std::int32_t value);
  // An interface's owner slots (its process slot and the object slot after it): this process
  // and this object while `owned`, else 0 and 0.
  void WriteOwnerSlots(int processSlot, bool owned);
  // The four status words the MPEG analyzer is told (all 0 before setup): A from the capability
  // bits, B the version of `driverFile` in the system's "drivers" folder, C this module's
  // version, D from the entry's band and switch slots (0 when they cannot be read).
  output_data::OutputStatus StatusWords(const wchar_t* driverFile);
  // Takes the exclusive use of an interface: S_OK held, `inUse` when it is held elsewhere.
  HRESULT TakeExclusiveUse(ExclusiveInterface which, HRESULT inUse);
  void ReleaseExclusiveUse(ExclusiveInterface which) { exclusive_.mutex(which).Close(); }
  // An interface's Initialize around its exclusive-use object: takes it (`inUse` when another
  // holder has it), runs `steps` (a thrown failure gives its code, else E_FAIL) and, when they
  // fail, `undo` before the object is let go again; success sets `initialized`.
  template <class Steps, class Undo>
  HRESULT InitializeHeld(ExclusiveInterface which, HRESULT inUse, bool& initialized, Steps&& steps, Undo&& undo) {
    // This object's own use counts too: a second Initialize neither builds again nor takes the
    // exclusive object anew.
    if (initialized) return inUse;
    RETURN_IF_FAILED(TakeExclusiveUse(which, inUse));
    const HRESULT hr = GuardHr(E_FAIL, std::forward<Steps>(steps));
    if (FAILED(hr)) {
      undo();
      ReleaseExclusiveUse(which);
      return hr;
    }
    initialized = true;
    return S_OK;
  }
  // The family's window side, between the window interfaces and its preview's video chain.
  virtual PreviewWindowSide& windowSide() noexcept = 0;
  // A window interface's Initialize: the chain for the overlay mode, with the host's filter
  // (class and module file) when `custom` is not null. E_NOTIMPL where the family has none.
  virtual HRESULT InitializeWindow(ULONG /*overlayMode*/, const CLSID* /*custom*/, BSTR /*module*/) {
    return E_NOTIMPL;
  }
  // ExternalInput set while an external input is routed, reset while the tuner is.
  void SetExternalInputEvent(bool external);
  // Makes the channel item IInputSwitch::Initialize keeps: values 0 to 5 the integer 0, value 6
  // an empty string.
  HRESULT MakeChannelItem();
  // Refills the kept picture-control ranges with those the tuner control answers for `types`.
  template <class Tuner, class Type>
  void KeepProcAmpRanges(Tuner& tuner, std::initializer_list<Type> types) {
    procAmpRanges_.Clear();
    for (const Type type : types) {
      long minimum = 0, maximum = 0, step = 0, def = 0, automatic = 0;
      if (SUCCEEDED(tuner.GetProcAmpRange(type, &minimum, &maximum, &step, &def, &automatic)))
        procAmpRanges_.Insert(static_cast<std::uint32_t>(type), minimum, maximum);
    }
  }
  // The channel-settle interval from the module's settings file.
  void ReadChannelInterval();
  // Lets go of what SetDeviceInfo bound: the pipe server first (no request runs on what follows),
  // the notify events, the exclusive-use objects, the device facts, the device item, the
  // identity with the state entry's name, the channel stamp. The state table stays open.
  void ReleaseBinding() noexcept;

  DeviceStateTable stateTable_;
  NamedPipe pipe_;
  ExclusiveUseSet exclusive_;
  Microsoft::WRL::ComPtr<IHalItem> deviceItem_;  // a clone of the host's item; null until bound
  DeviceIdentity identity_;
  DeviceInfoAnswers info_;
  NotifyEventSet events_;
  std::wstring stateEntry_;  // the device's entry in the state table; empty: none
  ULONG interval_ = kDefaultInterval;
  InstanceStamp stamp_;
  Microsoft::WRL::ComPtr<IHalItem> channelItem_;  // made by IInputSwitch::Initialize
  StateMap procAmpRanges_;
  bool inputSwitchInitialized_ = false;
  bool autoScanInitialized_ = false;
  bool previewInitialized_ = false;
  bool windowInitialized_ = false;
  bool soundInitialized_ = false;
  bool outputInitialized_ = false;

 private:
  const DeviceObjectRules rules_;
};

// What a family's device object hands straight to its preview graph and its output-data graph:
// the notify events and audio modes of each (0x80072305 / 0x80072307 until initialised), the
// sound controls (0x8007231F until ISound::Initialize) and the window forwards (0x80072306 until
// a window is initialised), which go through the family's window side. The out-values are
// cleared first.
template <class PreviewGraphT, class OutputGraphT>
class GraphForwards : public DeviceObjectCore {
 public:
  HRESULT GetPreviewNotifyEvent(long type, ULONG* handle) override {
    return NotifyEventOf(previewInitialized_, errors::kPreviewNotInit, forwardedPreview(), type, handle);
  }
  HRESULT GetPreviewInputAudioMode(_SHAL_INPUT_AUDIOMODE* mode) override {
    return AudioModeOf(previewInitialized_, errors::kPreviewNotInit, mode,
                       [&] { return forwardedPreview().GetCurrentInputAudioMode(mode); });
  }
  HRESULT GetPreviewOutputAudioMode(_SHAL_OUTPUT_AUDIOMODE* mode) override {
    return AudioModeOf(previewInitialized_, errors::kPreviewNotInit, mode,
                       [&] { return forwardedPreview().GetCurrentOutputAudioMode(mode); });
  }
  HRESULT GetOutputNotifyEvent(long type, ULONG* handle) override {
    return NotifyEventOf(outputInitialized_, errors::kOutputDataNotInit, forwardedOutput(), type, handle);
  }
  HRESULT GetOutputInputAudioMode(_SHAL_INPUT_AUDIOMODE* mode) override {
    return AudioModeOf(outputInitialized_, errors::kOutputDataNotInit, mode,
                       [&] { return forwardedOutput().GetCurrentInputAudioMode(mode); });
  }
  HRESULT GetOutputOutputAudioMode(_SHAL_OUTPUT_AUDIOMODE* mode) override {
    return AudioModeOf(outputInitialized_, errors::kOutputDataNotInit, mode,
                       [&] { return forwardedOutput().GetCurrentOutputAudioMode(mode); });
  }

  HRESULT GetMix(_SHAL_AUDIOMIX* mix) override {
    if (!soundInitialized_) return errors::kSoundNotInit;
    if (!mix) return E_POINTER;
    return forwardedPreview().soundControls().GetMix(&mix->fL, &mix->fR);
  }
  HRESULT SetMix(_SHAL_AUDIOMIX* mix) override {
    if (!soundInitialized_) return errors::kSoundNotInit;
    if (!mix) return E_POINTER;
    return forwardedPreview().soundControls().SetMix(mix->fL, mix->fR);
  }
  HRESULT GetBalance(long* balance) override {
    if (!soundInitialized_) return errors::kSoundNotInit;
    return forwardedPreview().soundControls().GetBalance(balance);
  }
  HRESULT SetBalance(long balance) override {
    if (!soundInitialized_) return errors::kSoundNotInit;
    return forwardedPreview().soundControls().SetBalance(balance);
  }
  HRESULT GetVolume(long* volume) override {
    if (!soundInitialized_) return errors::kSoundNotInit;
    return forwardedPreview().soundControls().GetVolume(volume);
  }
  HRESULT SetVolume(long volume) override {
    if (!soundInitialized_) return errors::kSoundNotInit;
    return forwardedPreview().soundControls().SetVolume(volume);
  }

  HRESULT GetColorKey(ULONG* keyType, ULONG* paletteIndex, ULONG* low, ULONG* high) override {
    if (!windowInitialized_) return errors::kWindowNotInit;
    if (!keyType || !paletteIndex || !low || !high) return E_POINTER;
    DWORD values[4] = {};
    RETURN_IF_FAILED(windowSide().GetColorKey(&values[0], &values[1], &values[2], &values[3]));
    *keyType = values[0];
    *paletteIndex = values[1];
    *low = values[2];
    *high = values[3];
    return S_OK;
  }
  HRESULT RePaint(HWND window, HDC dc) override {
    if (!windowInitialized_) return errors::kWindowNotInit;
    return windowSide().RePaint(window, dc);
  }
  HRESULT DisplayModeChanged(HWND) override {
    if (!windowInitialized_) return errors::kWindowNotInit;
    return windowSide().DisplayModeChanged();
  }
  HRESULT GetCurrentImage(ULONG* size, BYTE** image) override {
    if (size) *size = 0;
    if (image) *image = nullptr;
    if (!windowInitialized_) return errors::kWindowNotInit;
    if (!size || !image) return E_POINTER;
    DWORD bytes = 0;
    RETURN_IF_FAILED(windowSide().GetCurrentImage(&bytes, image));
    *size = bytes;
    return S_OK;
  }

 protected:
  using DeviceObjectCore::DeviceObjectCore;
  // The family's graphs, which the forwards reach.
  virtual PreviewGraphT& forwardedPreview() noexcept = 0;
  virtual OutputGraphT& forwardedOutput() noexcept = 0;

 private:
  template <class Graph>
  static HRESULT NotifyEventOf(bool initialized, HRESULT notInitialized, Graph& graph, long type, ULONG* handle) {
    if (handle) *handle = 0;
    if (!initialized) return notInitialized;
    if (!handle) return E_POINTER;
    HANDLE event = nullptr;
    RETURN_IF_FAILED(graph.GetNotifyEvent(static_cast<int>(type), &event));
    // The interface carries handles as 32-bit words (the values of a 32-bit process).
    *handle = static_cast<ULONG>(reinterpret_cast<std::uintptr_t>(event));
    return S_OK;
  }
  template <class Mode, class Ask>
  static HRESULT AudioModeOf(bool initialized, HRESULT notInitialized, Mode* mode, Ask&& ask) {
    if (mode) *mode = {};
    if (!initialized) return notInitialized;
    if (!mode) return E_POINTER;
    return ask();
  }
};
