#include "devices/tuner3/firmware_download.h"

#include "common/hresult.h"

namespace {

constexpr wchar_t kFirmwareType[] = L"FIRMWARE";

// A locked firmware resource; empty when the module has no such image.
class FirmwareImage {
 public:
  FirmwareImage(HMODULE module, WORD id) {
    if (!id) return;
    HRSRC info = FindResourceW(module, MAKEINTRESOURCEW(id), kFirmwareType);
    if (!info) return;
    resource_ = LoadResource(module, info);
    const void* bytes = resource_ ? LockResource(resource_) : nullptr;
    if (!bytes) return;
    bytes_ = bytes;
    size_ = SizeofResource(module, info);
  }
  FirmwareImage(const FirmwareImage&) = delete;
  FirmwareImage& operator=(const FirmwareImage&) = delete;
  ~FirmwareImage() {
    if (resource_) FreeResource(resource_);
  }
  const void* bytes() const noexcept { return size_ ? bytes_ : nullptr; }
  std::uint32_t size() const noexcept { return bytes_ ? size_ : 0; }

 private:
  HGLOBAL resource_ = nullptr;
  const void* bytes_ = nullptr;
  std::uint32_t size_ = 0;
};

HRESULT RunSetup(const DeviceIdentity& identity, HMODULE module, FirmwareSetup& setup) {
  HRESULT hr = E_FAIL;
  setup.channel = std::make_unique<DeviceControlChannel>(identity, &hr);
  RETURN_IF_FAILED(hr);

  std::uint32_t version = 0;  // stays 0 when the query fails: no image then
  setup.channel->GetHardwareVersion(&version);
  const FirmwareChoice choice = ChooseFirmware(version);
  {
    // A missing image goes out as an empty block with the version's parameter.
    const FirmwareImage image(module, choice.resource);
    RETURN_IF_FAILED(setup.channel->DownloadFirmwareBlock(image.bytes(), image.size(), choice.loadParameter));
  }

  DeviceControlChannel::DescriptionA a{};
  RETURN_IF_FAILED(setup.channel->GetDescriptionA(&a));
  setup.descriptionA = a;
  DeviceControlChannel::DescriptionB b{};
  RETURN_IF_FAILED(setup.channel->GetDescriptionB(&b));
  setup.descriptionB = b;
  return S_OK;
}

}  // namespace

FirmwareChoice ChooseFirmware(std::uint32_t hardwareVersion) noexcept {
  switch (hardwareVersion >> 16) {
    case 2: return {202, 0x21105};
    case 4: return {204, 0x40001};
    default: return {0, 0};
  }
}

HRESULT DownloadFirmware(const DeviceIdentity& identity, HMODULE module, FirmwareSetup* setup) {
  if (!setup) return E_POINTER;
  const HRESULT hr = GuardHr(E_OUTOFMEMORY, [&] { return RunSetup(identity, module, *setup); });
  if (FAILED(hr)) setup->channel.reset();
  return hr;
}
