// Operations that answer E_NOTIMPL (the lifetime steps S_OK): the base of test and interim
// implementations, which override only what they serve.
#pragma once

#include "devices/core/operations.h"

class NotImplementedOperations : public DeviceManagerOperations {
 public:
  HRESULT Initialize() override { return S_OK; }
  HRESULT Shutdown() override { return S_OK; }
  HRESULT SetDeviceInfo(IHalItem*) override { return E_NOTIMPL; }
  HRESULT GetAvailableInterface(long*, GUID**) override { return E_NOTIMPL; }
  HRESULT CanUseInterface(REFIID, long*) override { return E_NOTIMPL; }
  HRESULT GetInfo(long, VARIANT*) override { return E_NOTIMPL; }
  HRESULT GetAvailableCountryCode(ULONG*, ULONG**) override { return E_NOTIMPL; }
  HRESULT GetAvailableTVFormat(ULONG, ULONG*, ULONG**) override { return E_NOTIMPL; }
  HRESULT GetAvailableBaseChannel(ULONG, ULONG, ULONG*, _SHAL_BASECH**) override { return E_NOTIMPL; }
  HRESULT GetAvailableTunerFunction(_SHAL_BASECH*, ULONG*) override { return E_NOTIMPL; }
  HRESULT GetAvailableChannelInfo(_SHAL_BASECH*, ULONG*, ULONG*) override { return E_NOTIMPL; }
  HRESULT GetAvailableFrequencyInfo(ULONG*, ULONG*, ULONG*) override { return E_NOTIMPL; }
  HRESULT GetInputAudioModeVariety(ULONG*, _SHAL_INPUT_AUDIOMODE**) override { return E_NOTIMPL; }
  HRESULT GetOutputAudioModeVariety(ULONG*, _SHAL_OUTPUT_AUDIOMODE**) override { return E_NOTIMPL; }
  HRESULT InitializeInputSwitch(ULONG) override { return E_NOTIMPL; }
  HRESULT GetChannel(IHalItem**) override { return E_NOTIMPL; }
  HRESULT SetChannel(IHalItem*) override { return E_NOTIMPL; }
  HRESULT GetAvailableAudioFunction(long*, ULONG**) override { return E_NOTIMPL; }
  HRESULT GetAudioFunction(ULONG*) override { return E_NOTIMPL; }
  HRESULT SetAudioFunction(ULONG) override { return E_NOTIMPL; }
  HRESULT UninitializeInputSwitch(ULONG) override { return E_NOTIMPL; }
  HRESULT GetAvailableVidProcAmp(ULONG*) override { return E_NOTIMPL; }
  HRESULT GetVidProcAmpRange(long, long*, long*, long*, long*, long*) override { return E_NOTIMPL; }
  HRESULT GetVidProcAmpParam(long, long*) override { return E_NOTIMPL; }
  HRESULT SetVidProcAmpParam(long, long) override { return E_NOTIMPL; }
  HRESULT InitializePreview(ULONG) override { return E_NOTIMPL; }
  HRESULT GetPreviewNotifyEvent(long, ULONG*) override { return E_NOTIMPL; }
  HRESULT GetPreviewLastError(HRESULT*, ULONG*) override { return E_NOTIMPL; }
  HRESULT GetPreviewInputAudioMode(_SHAL_INPUT_AUDIOMODE*) override { return E_NOTIMPL; }
  HRESULT GetPreviewOutputAudioMode(_SHAL_OUTPUT_AUDIOMODE*) override { return E_NOTIMPL; }
  HRESULT GetAvailableVideoModeInterface(long*, GUID**) override { return E_NOTIMPL; }
  HRESULT GetVideoDataInfo(IHalItem**) override { return E_NOTIMPL; }
  HRESULT GetAvailableSoundModeInterface(long*, GUID**) override { return E_NOTIMPL; }
  HRESULT GetSoundDataInfo(IHalItem**) override { return E_NOTIMPL; }
  HRESULT RunPreview(ULONG) override { return E_NOTIMPL; }
  HRESULT PausePreview(ULONG) override { return E_NOTIMPL; }
  HRESULT StopPreview(ULONG) override { return E_NOTIMPL; }
  HRESULT GetPreviewState(ULONG*) override { return E_NOTIMPL; }
  HRESULT UninitializePreview(ULONG) override { return E_NOTIMPL; }
  HRESULT GetMuteStatus(long*) override { return E_NOTIMPL; }
  HRESULT InitializePreviewWindow(ULONG) override { return E_NOTIMPL; }
  HRESULT InitializeCustomPreviewWindow(ULONG, REFCLSID, BSTR) override { return E_NOTIMPL; }
  HRESULT InitializeCustomPreviewWindow2(ULONG, REFCLSID, BSTR) override { return E_NOTIMPL; }
  HRESULT QueryInterfaceFromCustomFilter(REFIID, void**) override { return E_NOTIMPL; }
  HRESULT SetVideoClippingWindow(HWND) override { return E_NOTIMPL; }
  HRESULT SetVideoPosition(RECT*, RECT*) override { return E_NOTIMPL; }
  HRESULT GetColorKey(ULONG*, ULONG*, ULONG*, ULONG*) override { return E_NOTIMPL; }
  HRESULT RePaint(HWND, HDC) override { return E_NOTIMPL; }
  HRESULT DisplayModeChanged(HWND) override { return E_NOTIMPL; }
  HRESULT GetCurrentImage(ULONG*, BYTE**) override { return E_NOTIMPL; }
  HRESULT SetZoomMode(ULONG) override { return E_NOTIMPL; }
  HRESULT GetZoomMode(ULONG*) override { return E_NOTIMPL; }
  HRESULT UninitializePreviewWindow(ULONG) override { return E_NOTIMPL; }
  HRESULT InitializeSound(ULONG) override { return E_NOTIMPL; }
  HRESULT GetAvailableSoundMode(long*, ULONG**) override { return E_NOTIMPL; }
  HRESULT GetSoundMode(ULONG*) override { return E_NOTIMPL; }
  HRESULT SetSoundMode(ULONG) override { return E_NOTIMPL; }
  HRESULT GetMix(_SHAL_AUDIOMIX*) override { return E_NOTIMPL; }
  HRESULT SetMix(_SHAL_AUDIOMIX*) override { return E_NOTIMPL; }
  HRESULT GetBalance(long*) override { return E_NOTIMPL; }
  HRESULT SetBalance(long) override { return E_NOTIMPL; }
  HRESULT GetVolume(long*) override { return E_NOTIMPL; }
  HRESULT SetVolume(long) override { return E_NOTIMPL; }
  HRESULT UninitializeSound(ULONG) override { return E_NOTIMPL; }
  HRESULT InitializeOutputData(ULONG) override { return E_NOTIMPL; }
  HRESULT GetOutputNotifyEvent(long, ULONG*) override { return E_NOTIMPL; }
  HRESULT GetOutputLastError(HRESULT*, ULONG*) override { return E_NOTIMPL; }
  HRESULT StartOutputData(ULONG) override { return E_NOTIMPL; }
  HRESULT StopOutputData(ULONG) override { return E_NOTIMPL; }
  HRESULT GetOutputInputAudioMode(_SHAL_INPUT_AUDIOMODE*) override { return E_NOTIMPL; }
  HRESULT GetOutputOutputAudioMode(_SHAL_OUTPUT_AUDIOMODE*) override { return E_NOTIMPL; }
  HRESULT GetAvailableOutputDataType(long*, ULONG**) override { return E_NOTIMPL; }
  HRESULT GetAvailableOutputDataSubType(long, long*, ULONG**) override { return E_NOTIMPL; }
  HRESULT SetOutputDataType(_SHAL_OUTPUTDTATA_TYPE*, IOutputDataCB*) override { return E_NOTIMPL; }
  HRESULT GetOutputDataType(long*, _SHAL_OUTPUTDTATA_TYPE**) override { return E_NOTIMPL; }
  HRESULT GetOutputDataInfo(long, long, IHalItem**) override { return E_NOTIMPL; }
  HRESULT UninitializeOutputData(ULONG) override { return E_NOTIMPL; }
  HRESULT InitializeAutoScan(ULONG) override { return E_NOTIMPL; }
  HRESULT GetChannelFreqLevel(_SHAL_BASECH*, ULONG, long*, ULONG*) override { return E_NOTIMPL; }
  HRESULT UninitializeAutoScan(ULONG) override { return E_NOTIMPL; }
  HRESULT GetAutoScanSetting(IHalItem**) override { return E_NOTIMPL; }
};
