// The answers of a device object about what its device offers (IDevice's interface questions,
// IDeviceInfoDetail, IPreview's interface lists), shared by the families: each family gives its
// fixed lists in a DeviceInfoTable and, at setup, the facts it read from its driver in
// DeviceFacts. Every list goes to the host as a CoTaskMemAlloc array (host_arrays.h).
#pragma once

#include <windows.h>

#include <span>
#include <vector>

#include "devices/idl/device_manager.h"

// An interface the class does not implement but answers about: usable when the capability value
// (device item value 4) has `bit`, else `refusal`.
struct OptionalInterface {
  const IID* iid;
  ULONG bit;
  HRESULT refusal;
};

struct DeviceInfoTable {
  std::span<const IID* const> available;      // GetAvailableInterface's candidates, in order
  std::span<const IID* const> scanInterfaces;  // need the scan capability
  HRESULT noScanCapability;                    // CanUseInterface's answer for those without it
  std::span<const OptionalInterface> optional;
  std::span<const IID* const> videoModes;      // in order; see secondWindows
  std::span<const IID* const> secondWindows;   // listed only with one of secondWindowBits
  ULONG secondWindowBits;
  std::span<const IID* const> soundModes;
  std::span<const ULONG> countries;
  std::span<const ULONG> tvFormats;
  std::span<const _SHAL_INPUT_AUDIOMODE> inputAudioModes;
  std::span<const _SHAL_OUTPUT_AUDIOMODE> outputAudioModes;
};

// What a device offers, as the family read it at setup. Before setup all is empty and 0.
struct DeviceFacts {
  bool hasItem = false;
  ULONG capability = 0;      // device item value 4 (0 without an item)
  ULONG scanCapability = 0;  // non-zero: the device can scan
  std::vector<_SHAL_BASECH> baseChannels;
  ULONG tunerFunctions = 0;  // bit 0 function 1, bit 1 function 2
  ULONG minFrequency = 0, maxFrequency = 0, frequencyStep = 0;
  ULONG band1MinChannel = 0, band1MaxChannel = 0;  // band with bit 0
  ULONG band2MinChannel = 0, band2MaxChannel = 0;  // band with bit 1
};

class DeviceInfoAnswers {
 public:
  explicit DeviceInfoAnswers(const DeviceInfoTable& table) noexcept : table_(table) {}

  DeviceFacts& facts() noexcept { return facts_; }
  const DeviceFacts& facts() const noexcept { return facts_; }

  // IDevice
  HRESULT CanUseInterface(REFIID iid, long* can) const;
  HRESULT GetAvailableInterface(long* count, GUID** iids) const;

  // IDeviceInfoDetail
  HRESULT GetAvailableCountryCode(ULONG* count, ULONG** regions) const;
  HRESULT GetAvailableTVFormat(ULONG* count, ULONG** formats) const;
  HRESULT GetAvailableBaseChannel(ULONG* count, _SHAL_BASECH** channels) const;
  // The band is matched in its low 20 bits; no base channel, or no match: `invalidArg`.
  HRESULT GetAvailableTunerFunction(const _SHAL_BASECH& baseCh, ULONG* functions, HRESULT invalidArg) const;
  // A band that is neither band 1 nor band 2 leaves the outputs as they are.
  HRESULT GetAvailableChannelInfo(const _SHAL_BASECH& baseCh, ULONG* minCh, ULONG* maxCh) const;
  HRESULT GetAvailableFrequencyInfo(ULONG* minFreq, ULONG* maxFreq, ULONG* step) const;
  HRESULT GetInputAudioModeVariety(ULONG* count, _SHAL_INPUT_AUDIOMODE** modes) const;
  HRESULT GetOutputAudioModeVariety(ULONG* count, _SHAL_OUTPUT_AUDIOMODE** modes) const;

  // IPreview's lists
  HRESULT GetAvailableVideoModeInterface(long* count, GUID** iids) const;
  HRESULT GetAvailableSoundModeInterface(long* count, GUID** iids) const;

 private:
  const DeviceInfoTable& table_;
  DeviceFacts facts_;
};
