// The first family's device-manager class: what the shared facade needs to know of it.
#pragma once

#include <windows.h>

#include <memory>

#include "common/errors.h"
#include "common/timeouts.h"
#include "devices/core/facade.h"
#include "devices/core/operations.h"
#include "devices/core/preview_window.h"
#include "devices/core/registrar.h"
#include "devices/tuner1/preview_graph.h"

// {DFD021C0-14CE-47DD-9792-ACE51354850D}
inline constexpr CLSID kClsidTamDeviceManager = {
    0xdfd021c0, 0x14ce, 0x47dd, {0x97, 0x92, 0xac, 0xe5, 0x13, 0x54, 0x85, 0x0d}};
// {51E87F89-0D9D-48AA-BC69-E7B1E49828B8}
inline constexpr GUID kLibIdTamDevice = {
    0x51e87f89, 0x0d9d, 0x48aa, {0xbc, 0x69, 0xe7, 0xb1, 0xe4, 0x98, 0x28, 0xb8}};

struct TamTraits {
  static constexpr const wchar_t* kClassName = L"CTamDeviceManager";

  // Fifteen entries, thirteen tables: IPreview2 answers with IPreview's, IAutoScan2 with
  // IAutoScan's.
  static constexpr DmInterface kInterfaceMap[] = {
      DmInterface::DeviceSetup,         DmInterface::Device,
      DmInterface::DeviceInfoDetail,    DmInterface::InputSwitch,
      DmInterface::InputQualityControl, DmInterface::Preview,
      DmInterface::Preview2,            DmInterface::PreviewWindow,
      DmInterface::PreviewWindow2,      DmInterface::CustomPreviewWindow,
      DmInterface::CustomPreviewWindow2, DmInterface::Sound,
      DmInterface::OutputData,          DmInterface::AutoScan,
      DmInterface::AutoScan2,
  };

  // Pointer arguments are checked at the facade; a missing one, or a missing device object,
  // gives 0x8007F044. An exception that escapes the device object gives 0x8007F034.
  static constexpr bool kCheckPointers = true;
  static constexpr HRESULT kNoImplementation = errors::kDmNullPointer;
  static constexpr HRESULT kFailure = errors::kDmFailure;
  static constexpr HRESULT kOutOfMemory = errors::kDmOutOfMemory;
  static constexpr DWORD kLockTimeout = timeouts::kDeviceLock;

  // The window side: 0x8007F042 without a video chain; the preview control's "not initialised"
  // is a clipping window taken; Run gives the clipping window again, a null one too; a chain's
  // success answers S_OK.
  static constexpr PreviewWindowRules kPreviewWindow = {errors::kPreviewNullPointer, true, ClipReapply::Any, true};

  static constexpr ServerRegistration kRegistration = {
      kClsidTamDeviceManager,
      L"tamDeviceManager Class",
      L"tamDevice.tamDeviceManager.1",
      L"tamDevice.tamDeviceManager",
      L"Both",
      kLibIdTamDevice,
      1,
      0,
  };

  // The module's device object.
  static std::unique_ptr<DeviceManagerOperations> CreateImplementation();
};
