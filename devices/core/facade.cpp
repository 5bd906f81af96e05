#include "devices/core/facade.h"

const IID& InterfaceId(DmInterface itf) noexcept {
  switch (itf) {
    case DmInterface::DeviceSetup: return IID_IDeviceSetup;
    case DmInterface::Device: return IID_IDevice;
    case DmInterface::DeviceInfoDetail: return IID_IDeviceInfoDetail;
    case DmInterface::InputSwitch: return IID_IInputSwitch;
    case DmInterface::InputQualityControl: return IID_IInputQualityControl;
    case DmInterface::Preview: return IID_IPreview;
    case DmInterface::Preview2: return IID_IPreview2;
    case DmInterface::PreviewWindow: return IID_IPreviewWindow;
    case DmInterface::PreviewWindow2: return IID_IPreviewWindow2;
    case DmInterface::CustomPreviewWindow: return IID_ICustomPreviewWindow;
    case DmInterface::CustomPreviewWindow2: return IID_ICustomPreviewWindow2;
    case DmInterface::Sound: return IID_ISound;
    case DmInterface::OutputData: return IID_IOutputData;
    case DmInterface::AutoScan: return IID_IAutoScan;
    case DmInterface::AutoScan2: return IID_IAutoScan2;
  }
  return IID_NULL;
}
