// Every method of the device-manager facades, with the name its trace scope carries: the method
// name, or the interface and the method joined by an underscore where two interfaces of the
// class have a method of that name (and for every window and ISound method). The scope text is
// the class name, "::", this name and "()".
#pragma once

#include <cstddef>

#define VORN_FACADE_METHODS(X) \
  /* IDeviceSetup */ \
  X(SetDeviceInfo) \
  /* IDevice */ \
  X(GetAvailableInterface) \
  X(GetInterface) \
  X(CanUseInterface) \
  X(GetInfo) \
  /* IDeviceInfoDetail */ \
  X(GetAvailableCountryCode) \
  X(GetAvailableTVFormat) \
  X(GetAvailableBaseChannel) \
  X(GetAvailableTunerFunction) \
  X(GetAvailableChannelInfo) \
  X(GetAvailableFrequencyInfo) \
  X(GetInputAudioModeVariety) \
  X(GetOutputAudioModeVariety) \
  /* IInputSwitch */ \
  X(IInputSwitch_Initialize) \
  X(GetChannel) \
  X(SetChannel) \
  X(GetAvailableAudioFunction) \
  X(GetAudioFunction) \
  X(SetAudioFunction) \
  X(GetInputQualityControl) \
  X(IInputSwitch_Uninitialize) \
  /* IInputQualityControl */ \
  X(GetAvailableVidProcAmp) \
  X(GetVidProcAmpRange) \
  X(GetVidProcAmpParam) \
  X(SetVidProcAmpParam) \
  /* IPreview */ \
  X(IPreview_Initialize) \
  X(IPreview_GetNotifyEvent) \
  X(IPreview_GetLastError) \
  X(IPreview_GetCurrentInputAudioMode) \
  X(IPreview_GetCurrentOutputAudioMode) \
  X(GetAvailableVideoModeInterface) \
  X(GetVideoModeInterface) \
  X(GetVideoDataInfo) \
  X(GetAvailableSoundModeInterface) \
  X(GetSoundModeInterface) \
  X(GetSoundDataInfo) \
  X(IPreview_Run) \
  X(IPreview_Pause) \
  X(IPreview_Stop) \
  X(IPreview_GetState) \
  X(IPreview_Uninitialize) \
  /* IPreview2 */ \
  X(IPreview2_GetMuteStatus) \
  /* IPreviewWindow */ \
  X(IPreviewWindow_Initialize) \
  X(IPreviewWindow_SetVideoClippingWindow) \
  X(IPreviewWindow_SetVideoPosition) \
  X(IPreviewWindow_GetColorKey) \
  X(IPreviewWindow_RePaint) \
  X(IPreviewWindow_DisplayModeChanged) \
  X(IPreviewWindow_GetCurrentImage) \
  X(IPreviewWindow_Uninitialize) \
  /* IPreviewWindow2 */ \
  X(IPreviewWindow2_Initialize) \
  X(IPreviewWindow2_SetVideoClippingWindow) \
  X(IPreviewWindow2_SetVideoPosition) \
  X(IPreviewWindow2_GetColorKey) \
  X(IPreviewWindow2_RePaint) \
  X(IPreviewWindow2_DisplayModeChanged) \
  X(IPreviewWindow2_GetCurrentImage) \
  X(IPreviewWindow2_SetZoomMode) \
  X(IPreviewWindow2_GetZoomMode) \
  X(IPreviewWindow2_Uninitialize) \
  /* ICustomPreviewWindow */ \
  X(ICustomPreviewWindow_Initialize) \
  X(ICustomPreviewWindow_QueryInterfaceFromCustomFilter) \
  X(ICustomPreviewWindow_SetVideoClippingWindow) \
  X(ICustomPreviewWindow_SetVideoPosition) \
  X(ICustomPreviewWindow_GetColorKey) \
  X(ICustomPreviewWindow_RePaint) \
  X(ICustomPreviewWindow_DisplayModeChanged) \
  X(ICustomPreviewWindow_GetCurrentImage) \
  X(ICustomPreviewWindow_Uninitialize) \
  /* ICustomPreviewWindow2 */ \
  X(ICustomPreviewWindow2_Initialize) \
  X(ICustomPreviewWindow2_QueryInterfaceFromCustomFilter) \
  X(ICustomPreviewWindow2_SetVideoClippingWindow) \
  X(ICustomPreviewWindow2_SetVideoPosition) \
  X(ICustomPreviewWindow2_GetColorKey) \
  X(ICustomPreviewWindow2_RePaint) \
  X(ICustomPreviewWindow2_DisplayModeChanged) \
  X(ICustomPreviewWindow2_GetCurrentImage) \
  X(ICustomPreviewWindow2_SetZoomMode) \
  X(ICustomPreviewWindow2_GetZoomMode) \
  X(ICustomPreviewWindow2_Uninitialize) \
  /* ISound */ \
  X(ISound_Initialize) \
  X(ISound_GetAvailableSoundMode) \
  X(ISound_GetSoundMode) \
  X(ISound_SetSoundMode) \
  X(ISound_GetMix) \
  X(ISound_SetMix) \
  X(ISound_GetBalance) \
  X(ISound_SetBalance) \
  X(ISound_GetVolume) \
  X(ISound_SetVolume) \
  X(ISound_Uninitialize) \
  /* IOutputData */ \
  X(IOutputData_Initialize) \
  X(IOutputData_GetNotifyEvent) \
  X(IOutputData_GetLastError) \
  X(IOutputData_Start) \
  X(IOutputData_Stop) \
  X(IOutputData_GetCurrentInputAudioMode) \
  X(IOutputData_GetCurrentOutputAudioMode) \
  X(GetAvailableOutputDataType) \
  X(GetAvailableOutputDataSubType) \
  X(SetOutputDataType) \
  X(GetOutputDataType) \
  X(GetOutputDataInfo) \
  X(IOutputData_Uninitialize) \
  /* IAutoScan */ \
  X(IAutoScan_Initialize) \
  X(GetChannelFreqLevel) \
  X(IAutoScan_Uninitialize) \
  /* IAutoScan2 */ \
  X(IAutoScan2_GetAutoScanSetting) \
  X(FinalConstruct) \
  X(FinalRelease)

enum class FacadeMethod : std::size_t {
#define VORN_FACADE_METHOD_ENUM(name) name,
  VORN_FACADE_METHODS(VORN_FACADE_METHOD_ENUM)
#undef VORN_FACADE_METHOD_ENUM
  Count
};

static_assert(static_cast<std::size_t>(FacadeMethod::Count) == 108 + 2, "108 interface methods and the two lifetime steps");

// The trace name of a method ("IPreview_Run").
const wchar_t* FacadeMethodName(FacadeMethod method) noexcept;
