// The third family's device-manager class: what the shared facade needs to know of it.
#pragma once

#include <windows.h>

#include <memory>

#include "devices/core/facade.h"
#include "devices/core/operations.h"
#include "devices/core/preview_window.h"
#include "devices/core/registrar.h"

// {ABB1B82E-1C49-4213-A0EF-60A37AADF05C}
inline constexpr CLSID kClsidPexDeviceManager = {
    0xabb1b82e, 0x1c49, 0x4213, {0xa0, 0xef, 0x60, 0xa3, 0x7a, 0xad, 0xf0, 0x5c}};
// {B789DBEA-CB8E-466E-BB03-26557F82BB70}
inline constexpr GUID kLibIdPexDevice = {
    0xb789dbea, 0xcb8e, 0x466e, {0xbb, 0x03, 0x26, 0x55, 0x7f, 0x82, 0xbb, 0x70}};

struct PexTraits {
  static constexpr const wchar_t* kClassName = L"CPexDeviceManager";

  // Twelve entries, eleven tables: IAutoScan2 answers with IAutoScan's. No second window
  // interfaces and no IPreview2.
  static constexpr DmInterface kInterfaceMap[] = {
      DmInterface::DeviceSetup,         DmInterface::Device,        DmInterface::DeviceInfoDetail,
      DmInterface::InputSwitch,         DmInterface::InputQualityControl, DmInterface::Preview,
      DmInterface::PreviewWindow,       DmInterface::CustomPreviewWindow, DmInterface::Sound,
      DmInterface::OutputData,          DmInterface::AutoScan,      DmInterface::AutoScan2,
  };

  // Only the device object's presence is checked (E_POINTER without it); pointer arguments go
  // to the device object as they are. The instance lock is waited for without a limit.
  static constexpr bool kCheckPointers = false;
  static constexpr HRESULT kNoImplementation = E_POINTER;
  static constexpr HRESULT kFailure = E_FAIL;
  static constexpr HRESULT kOutOfMemory = E_OUTOFMEMORY;
  static constexpr DWORD kLockTimeout = INFINITE;

  // The window side: E_UNEXPECTED without a video chain; the chain's answers pass as they are,
  // the preview control's "not initialised" too; Run gives the position again, not the clipping
  // window (the renderer keeps the one it was given).
  static constexpr PreviewWindowRules kPreviewWindow = {E_UNEXPECTED, false, ClipReapply::None, false};

  static constexpr ServerRegistration kRegistration = {
      kClsidPexDeviceManager,
      L"pexDeviceManager Class",
      L"pexDevice.pexDeviceManager.1",
      L"pexDevice.pexDeviceManager",
      L"Both",
      kLibIdPexDevice,
      1,
      0,
  };

  // The module's device object.
  static std::unique_ptr<DeviceManagerOperations> CreateImplementation();
};
