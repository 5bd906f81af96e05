// The second family's device-manager class: what the shared facade needs to know of it.
#pragma once

#include <windows.h>

#include <memory>

#include "common/timeouts.h"
#include "devices/core/facade.h"
#include "devices/core/operations.h"
#include "devices/core/preview_window.h"
#include "devices/core/registrar.h"

// {95405826-AFA1-439B-942A-039C7C3909B2}
inline constexpr CLSID kClsidRulDeviceManager = {
    0x95405826, 0xafa1, 0x439b, {0x94, 0x2a, 0x03, 0x9c, 0x7c, 0x39, 0x09, 0xb2}};
// {6FD80A8D-6448-47DA-9FD5-B34419134195}
inline constexpr GUID kLibIdRulDevice = {
    0x6fd80a8d, 0x6448, 0x47da, {0x9f, 0xd5, 0xb3, 0x44, 0x19, 0x13, 0x41, 0x95}};

struct RulTraits {
  static constexpr const wchar_t* kClassName = L"CRulDeviceManager";

  // Fourteen entries, thirteen tables: IAutoScan2 answers with IAutoScan's. No IPreview2.
  static constexpr DmInterface kInterfaceMap[] = {
      DmInterface::DeviceSetup,          DmInterface::Device,
      DmInterface::DeviceInfoDetail,     DmInterface::InputSwitch,
      DmInterface::InputQualityControl,  DmInterface::Preview,
      DmInterface::PreviewWindow,        DmInterface::PreviewWindow2,
      DmInterface::CustomPreviewWindow,  DmInterface::CustomPreviewWindow2,
      DmInterface::Sound,                DmInterface::OutputData,
      DmInterface::AutoScan,             DmInterface::AutoScan2,
  };

  // Pointer arguments are the device object's to check. Without a device object every method
  // gives E_POINTER; an exception that escapes the device object gives E_UNEXPECTED (the host
  // never sees it unwind).
  static constexpr bool kCheckPointers = false;
  static constexpr HRESULT kNoImplementation = E_POINTER;
  static constexpr HRESULT kFailure = E_UNEXPECTED;
  static constexpr HRESULT kOutOfMemory = E_OUTOFMEMORY;
  static constexpr DWORD kLockTimeout = timeouts::kDeviceLock;

  // The window side: E_UNEXPECTED without a video chain; the preview control's "not
  // initialised" is a clipping window taken, as in the first family; Run gives a clipping
  // window again, not a null one; the chain's answers pass as they are.
  static constexpr PreviewWindowRules kPreviewWindow = {E_UNEXPECTED, true, ClipReapply::NotNull, false};

  static constexpr ServerRegistration kRegistration = {
      kClsidRulDeviceManager,
      L"rulDeviceManager Class",
      L"rulDevice.rulDeviceManager.1",
      L"rulDevice.rulDeviceManager",
      L"Both",
      kLibIdRulDevice,
      1,
      0,
  };

  // The module's device object.
  static std::unique_ptr<DeviceManagerOperations> CreateImplementation();
};
