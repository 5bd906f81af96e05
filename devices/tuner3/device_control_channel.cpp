#include "devices/tuner3/device_control_channel.h"

#include <cstring>
#include <vector>

#include "common/hresult.h"

DeviceControlChannel::DeviceControlChannel(DeviceIdentity identity, HRESULT* result) {
  const HRESULT opened = Open(identity, kDeviceSuffix);
  if (result) *result = opened;
}

template <size_t N>
HRESULT DeviceControlChannel::ReadRecord(DWORD code, std::array<std::uint32_t, N>* record) {
  if (!record) return E_POINTER;
  record->fill(0);
  DWORD returned = 0;
  return IoControl(code, nullptr, 0, record->data(), sizeof(*record), &returned, nullptr);
}

HRESULT DeviceControlChannel::GetDescriptionA(DescriptionA* record) { return ReadRecord(kDescriptionACode, record); }

HRESULT DeviceControlChannel::GetDescriptionB(DescriptionB* record) { return ReadRecord(kDescriptionBCode, record); }

HRESULT DeviceControlChannel::GetHardwareVersion(std::uint32_t* version) {
  if (!IsOpen()) return errors::kControlChannelClosed;
  if (!version) return E_POINTER;
  std::array<std::uint32_t, 3> reply{};
  DWORD returned = 0;
  const HRESULT hr = IoControl(kHardwareVersionCode, nullptr, 0, reply.data(), sizeof(reply), &returned, nullptr);
  if (FAILED(hr)) return hr;
  *version = reply[1] & kVersionMask;
  return S_OK;
}

HRESULT DeviceControlChannel::DownloadFirmwareBlock(const void* image, std::uint32_t length, std::uint32_t parameter) {
  if (!IsOpen()) return errors::kControlChannelClosed;
  if (image && length == 0) return E_INVALIDARG;
  if (!image && length != 0) return E_POINTER;
  if (length > MAXDWORD - kBlockOverhead) return E_INVALIDARG;
  return GuardHr(E_OUTOFMEMORY, [&] {
    // Value-initialised: the trailing bytes go out as zero, never as stale heap.
    std::vector<std::uint8_t> block(length + kBlockOverhead);
    const std::uint32_t header[3] = {0, parameter, length};
    std::memcpy(block.data(), header, sizeof(header));
    if (length) std::memcpy(block.data() + sizeof(header), image, length);
    const DWORD size = static_cast<DWORD>(block.size());
    HRESULT hr = E_FAIL;
    for (int attempt = 0; attempt < 2 && FAILED(hr); ++attempt) {
      DWORD returned = 0;
      hr = IoControl(kFirmwareBlockCode, block.data(), size, nullptr, 0, &returned, nullptr);
    }
    return SUCCEEDED(hr) ? S_OK : errors::kFirmwareDownloadFailed;
  });
}
