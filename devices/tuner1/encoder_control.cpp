#include "devices/tuner1/encoder_control.h"

#include <cstring>

#include "common/hresult.h"

namespace {

PropertyPacketHeader Header(const GUID& set, std::uint32_t id, std::uint32_t kind) {
  PropertyPacketHeader header;
  header.set = set;
  header.id = id;
  header.kind = kind;
  return header;
}

// The 32-bit value of a handle in a request. Kernel handles fit in 32 bits on 64-bit Windows as
// well: only their low 32 bits are significant, so that 32-bit and 64-bit code can share them.
std::uint32_t HandleValue(HANDLE handle) {
  return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(handle));
}

// A read request's result: the code it threw, errors::kLinkFailure when it carried none.
template <class F>
HRESULT ReturnCode(F&& f) {
  return GuardHr(errors::kLinkFailure, std::forward<F>(f));
}

}  // namespace

EncoderControl::EncoderControl(const DeviceIdentity& identity, HRESULT* result) {
  const HRESULT opened = Open(identity, kDeviceSuffix);
  if (result) *result = opened;
  ThrowIfFailed(opened);
  if (!ioMutex_.Open(identity)) {
    if (result) *result = errors::kLinkOutOfMemory;
    ThrowHr(errors::kLinkFailure);
  }
}

void EncoderControl::Exchange(DWORD code, void* packet, DWORD size) {
  ioMutex_.Serialise([&] {
    DWORD returned = 0;
    ThrowIfFailed(IoControl(code, packet, size, packet, size, &returned, nullptr));
  });
}

void EncoderControl::SetValue(const GUID& set, std::uint32_t id, std::uint32_t value) {
  PropertyPacket1 packet{};
  packet.header = Header(set, id, kSet);
  packet.value = value;
  Exchange(kPropertyCode, &packet, sizeof(packet));
}

void EncoderControl::SetHandleValue(const GUID& set, std::uint32_t id, HANDLE event) {
  SetValue(set, id, HandleValue(event));
}

PropertyPacket1 EncoderControl::GetValue(const GUID& set, std::uint32_t id) {
  PropertyPacket1 packet{};
  packet.header = Header(set, id, kGet);
  Exchange(kPropertyCode, &packet, sizeof(packet));
  return packet;
}

void EncoderControl::SetAudioModeEvent(HANDLE event) { SetHandleValue(TunerPropertySet, 0, event); }

void EncoderControl::SetScanSwitch(BOOL on) { SetValue(TunerPropertySet, 1, on ? 1 : 0); }

void EncoderControl::SetFrequency(std::uint32_t frequency, std::uint32_t mode) {
  PropertyPacket2 packet{};
  packet.header = Header(TunerPropertySet, 2, kSet);
  packet.value = frequency;
  packet.value2 = mode == 1 || mode == 2 ? mode : 0;
  Exchange(kPropertyCode, &packet, sizeof(packet));
}

void EncoderControl::SetEncoderParameters(const EncoderParameters& values) {
  EncoderParameterPacket packet{};
  packet.header = Header(EncodePropertySet, 0, kSet);
  std::memcpy(packet.values, values.data(), sizeof(packet.values));
  Exchange(kPropertyCode, &packet, sizeof(packet));
}

void EncoderControl::SetCaptureSwitch(std::uint32_t value) { SetValue(EncodePropertySet, 1, value); }

void EncoderControl::SetEncoderErrorEvent(HANDLE event) { SetHandleValue(EncodePropertySet, 3, event); }

void EncoderControl::SetEncoderStopEvent(HANDLE event) { SetHandleValue(EncodePropertySet, 4, event); }

HRESULT EncoderControl::GetFrequency(std::uint32_t* frequency, std::uint32_t* mode) {
  if (!frequency) return errors::kLinkNullPointer;
  return ReturnCode([&] {
    PropertyPacket2 packet{};
    packet.header = Header(TunerPropertySet, 2, kGet);
    Exchange(kPropertyCode, &packet, sizeof(packet));
    *frequency = packet.value;
    if (mode) *mode = packet.value2;
  });
}

HRESULT EncoderControl::GetSignalLevel(std::uint32_t* level) {
  if (!level) return errors::kLinkNullPointer;
  return ReturnCode([&] {
    const std::uint32_t value = GetValue(TunerPropertySet, 3).value;
    *level = value >= 1 && value <= 4 ? value : 0;
  });
}

HRESULT EncoderControl::GetCaptureSwitch(std::uint32_t* value) {
  if (!value) return errors::kLinkNullPointer;
  return ReturnCode([&] { *value = GetValue(EncodePropertySet, 1).value; });
}

HRESULT EncoderControl::ReadDeviceInfo12(DeviceInfo12* words) {
  if (!words) return errors::kLinkNullPointer;
  return ReturnCode([&] {
    DeviceInfo12 buffer{};
    static_assert(sizeof(buffer) == 12);
    Exchange(kDeviceInfo12Code, buffer.data(), sizeof(buffer));
    *words = buffer;
  });
}

HRESULT EncoderControl::ReadDeviceInfo32(DeviceInfo32* words) {
  if (!words) return errors::kLinkNullPointer;
  return ReturnCode([&] {
    DeviceInfo32 buffer{};
    static_assert(sizeof(buffer) == 32);
    Exchange(kDeviceInfo32Code, buffer.data(), sizeof(buffer));
    *words = buffer;
  });
}
