// The device object behind a device-manager facade: the operations that the facade forwards to,
// one per interface method (methods of one meaning on several interfaces share one operation;
// clashing names carry the interface: InitializePreview, StopOutputData). Each family's
// DeviceManagerImpl implements them. Operations report failures by returning or throwing an
// HRESULT (HResultError); the facade turns anything that escapes into its failure code.
//
// The facade holds the object's device lock over every operation it forwards (see
// device_lock.h); an operation that must wait for something else takes that lock again freely.
#pragma once

#include <windows.h>

#include "devices/core/device_lock.h"
#include "devices/idl/device_manager.h"

class DeviceManagerOperations {
 public:
  DeviceManagerOperations() = default;
  DeviceManagerOperations(const DeviceManagerOperations&) = delete;
  DeviceManagerOperations& operator=(const DeviceManagerOperations&) = delete;
  virtual ~DeviceManagerOperations() = default;

  // The lock the facade holds over each operation. Created by CreateDeviceLock (called before
  // Initialize).
  DeviceLock& deviceLock() noexcept { return deviceLock_; }
  HRESULT CreateDeviceLock() { return deviceLock_.Create(); }

  // --- Lifetime (FinalConstruct / FinalRelease) ---------------------------------------------
  virtual HRESULT Initialize() = 0;
  // Undoes everything the object did; its result is not reported.
  virtual HRESULT Shutdown() = 0;

  // --- IDeviceSetup / IDevice ---------------------------------------------------------------
  virtual HRESULT SetDeviceInfo(IHalItem* item) = 0;
  virtual HRESULT GetAvailableInterface(long* count, GUID** iids) = 0;
  // *can: 0 when the interface cannot be used with this device, non-zero when it can.
  virtual HRESULT CanUseInterface(REFIID iid, long* can) = 0;
  virtual HRESULT GetInfo(long type, VARIANT* value) = 0;

  // --- IDeviceInfoDetail --------------------------------------------------------------------
  virtual HRESULT GetAvailableCountryCode(ULONG* count, ULONG** regions) = 0;
  virtual HRESULT GetAvailableTVFormat(ULONG region, ULONG* count, ULONG** formats) = 0;
  virtual HRESULT GetAvailableBaseChannel(ULONG region, ULONG tvfmt, ULONG* count,
                                          _SHAL_BASECH** channels) = 0;
  virtual HRESULT GetAvailableTunerFunction(_SHAL_BASECH* baseCh, ULONG* functions) = 0;
  virtual HRESULT GetAvailableChannelInfo(_SHAL_BASECH* baseCh, ULONG* minCh, ULONG* maxCh) = 0;
  virtual HRESULT GetAvailableFrequencyInfo(ULONG* minFreq, ULONG* maxFreq, ULONG* step) = 0;
  virtual HRESULT GetInputAudioModeVariety(ULONG* count, _SHAL_INPUT_AUDIOMODE** modes) = 0;
  virtual HRESULT GetOutputAudioModeVariety(ULONG* count, _SHAL_OUTPUT_AUDIOMODE** modes) = 0;

  // --- IInputSwitch -------------------------------------------------------------------------
  virtual HRESULT InitializeInputSwitch(ULONG reserve) = 0;
  virtual HRESULT GetChannel(IHalItem** channel) = 0;
  virtual HRESULT SetChannel(IHalItem* channel) = 0;
  virtual HRESULT GetAvailableAudioFunction(long* count, ULONG** functions) = 0;
  virtual HRESULT GetAudioFunction(ULONG* function) = 0;
  virtual HRESULT SetAudioFunction(ULONG function) = 0;
  virtual HRESULT UninitializeInputSwitch(ULONG reserve) = 0;

  // --- IInputQualityControl -----------------------------------------------------------------
  virtual HRESULT GetAvailableVidProcAmp(ULONG* bits) = 0;
  virtual HRESULT GetVidProcAmpRange(long type, long* min, long* max, long* step, long* def,
                                     long* automatic) = 0;
  virtual HRESULT GetVidProcAmpParam(long type, long* value) = 0;
  virtual HRESULT SetVidProcAmpParam(long type, long value) = 0;

  // --- IPreview / IPreview2 -----------------------------------------------------------------
  virtual HRESULT InitializePreview(ULONG reserve) = 0;
  virtual HRESULT GetPreviewNotifyEvent(long type, ULONG* handle) = 0;
  virtual HRESULT GetPreviewLastError(HRESULT* error, ULONG* reserve) = 0;
  virtual HRESULT GetPreviewInputAudioMode(_SHAL_INPUT_AUDIOMODE* mode) = 0;
  virtual HRESULT GetPreviewOutputAudioMode(_SHAL_OUTPUT_AUDIOMODE* mode) = 0;
  virtual HRESULT GetAvailableVideoModeInterface(long* count, GUID** iids) = 0;
  virtual HRESULT GetVideoDataInfo(IHalItem** item) = 0;
  virtual HRESULT GetAvailableSoundModeInterface(long* count, GUID** iids) = 0;
  virtual HRESULT GetSoundDataInfo(IHalItem** item) = 0;
  virtual HRESULT RunPreview(ULONG reserve) = 0;
  virtual HRESULT PausePreview(ULONG reserve) = 0;
  virtual HRESULT StopPreview(ULONG reserve) = 0;
  virtual HRESULT GetPreviewState(ULONG* state) = 0;
  virtual HRESULT UninitializePreview(ULONG reserve) = 0;
  virtual HRESULT GetMuteStatus(long* muteOn) = 0;

  // --- The four window interfaces (one state, shared operations) ----------------------------
  // Completes the overlay mode that a window Initialize was given, before it is forwarded
  // (families whose traits ask for it).
  virtual ULONG CompleteOverlayMode(ULONG overlayMode) { return overlayMode; }
  virtual HRESULT InitializePreviewWindow(ULONG overlayMode) = 0;
  virtual HRESULT InitializeCustomPreviewWindow(ULONG overlayMode, REFCLSID clsid, BSTR module) = 0;
  virtual HRESULT InitializeCustomPreviewWindow2(ULONG overlayMode, REFCLSID clsid, BSTR module) = 0;
  virtual HRESULT QueryInterfaceFromCustomFilter(REFIID iid, void** out) = 0;
  virtual HRESULT SetVideoClippingWindow(HWND window) = 0;
  // source may be null: the whole source.
  virtual HRESULT SetVideoPosition(RECT* source, RECT* destination) = 0;
  virtual HRESULT GetColorKey(ULONG* keyType, ULONG* paletteIndex, ULONG* low, ULONG* high) = 0;
  virtual HRESULT RePaint(HWND window, HDC dc) = 0;
  virtual HRESULT DisplayModeChanged(HWND window) = 0;
  virtual HRESULT GetCurrentImage(ULONG* size, BYTE** image) = 0;
  virtual HRESULT SetZoomMode(ULONG zoomMode) = 0;
  virtual HRESULT GetZoomMode(ULONG* zoomMode) = 0;
  virtual HRESULT UninitializePreviewWindow(ULONG reserve) = 0;

  // --- ISound -------------------------------------------------------------------------------
  virtual HRESULT InitializeSound(ULONG reserve) = 0;
  virtual HRESULT GetAvailableSoundMode(long* count, ULONG** modes) = 0;
  virtual HRESULT GetSoundMode(ULONG* mode) = 0;
  virtual HRESULT SetSoundMode(ULONG mode) = 0;
  virtual HRESULT GetMix(_SHAL_AUDIOMIX* mix) = 0;
  virtual HRESULT SetMix(_SHAL_AUDIOMIX* mix) = 0;
  virtual HRESULT GetBalance(long* balance) = 0;
  virtual HRESULT SetBalance(long balance) = 0;
  virtual HRESULT GetVolume(long* volume) = 0;
  virtual HRESULT SetVolume(long volume) = 0;
  virtual HRESULT UninitializeSound(ULONG reserve) = 0;

  // --- IOutputData --------------------------------------------------------------------------
  virtual HRESULT InitializeOutputData(ULONG reserve) = 0;
  virtual HRESULT GetOutputNotifyEvent(long type, ULONG* handle) = 0;
  virtual HRESULT GetOutputLastError(HRESULT* error, ULONG* reserve) = 0;
  virtual HRESULT StartOutputData(ULONG reserve) = 0;
  virtual HRESULT StopOutputData(ULONG stopMode) = 0;
  virtual HRESULT GetOutputInputAudioMode(_SHAL_INPUT_AUDIOMODE* mode) = 0;
  virtual HRESULT GetOutputOutputAudioMode(_SHAL_OUTPUT_AUDIOMODE* mode) = 0;
  virtual HRESULT GetAvailableOutputDataType(long* count, ULONG** types) = 0;
  virtual HRESULT GetAvailableOutputDataSubType(long type, long* count, ULONG** subTypes) = 0;
  // callback may be null.
  virtual HRESULT SetOutputDataType(_SHAL_OUTPUTDTATA_TYPE* type, IOutputDataCB* callback) = 0;
  virtual HRESULT GetOutputDataType(long* count, _SHAL_OUTPUTDTATA_TYPE** types) = 0;
  virtual HRESULT GetOutputDataInfo(long type, long subType, IHalItem** item) = 0;
  virtual HRESULT UninitializeOutputData(ULONG reserve) = 0;

  // --- IAutoScan / IAutoScan2 ---------------------------------------------------------------
  virtual HRESULT InitializeAutoScan(ULONG reserve) = 0;
  virtual HRESULT GetChannelFreqLevel(_SHAL_BASECH* baseCh, ULONG freq, long* level,
                                      ULONG* tvfmt) = 0;
  virtual HRESULT UninitializeAutoScan(ULONG reserve) = 0;
  virtual HRESULT GetAutoScanSetting(IHalItem** item) = 0;

 private:
  DeviceLock deviceLock_;
};
