#include "devices/tuner2/streaming_device_control.h"

#include <algorithm>

#include "common/hresult.h"

using driver_packets::CommandPacket;
using driver_packets::HandleToWord;
using driver_packets::kCommandPacketSize;
using driver_packets::kGet;
using driver_packets::kSet;
using driver_packets::kTunePacketSize;
using driver_packets::MakeCommandPacket;

namespace {

template <class T>
T* Required(T* out) {
  if (!out) ThrowHr(E_POINTER);
  return out;
}

}  // namespace

StreamingDeviceControl::StreamingDeviceControl(DeviceIdentity identity, HRESULT* result) {
  if (!result) ThrowHr(E_POINTER);
  // A throw from here on leaves nothing open: the base closes the handle as it unwinds.
  *result = Open(identity, kDeviceSuffix);
  ThrowIfFailed(*result);
  if (!ioMutex_.Open(identity)) {
    *result = E_FAIL;
    ThrowHr(E_FAIL);
  }
  *result = S_OK;
}

// Members go first: the mutex is closed before the base closes the device handle.
StreamingDeviceControl::~StreamingDeviceControl() = default;

void StreamingDeviceControl::Exchange(DWORD code, void* packet, DWORD size) {
  ioMutex_.Serialise([&] {
    DWORD returned = 0;  // the count the driver returns is not looked at
    ThrowIfFailed(IoControl(code, packet, size, packet, size, &returned, nullptr));
  });
}

void StreamingDeviceControl::Set(const GUID& set, std::uint32_t id, std::uint32_t key, std::uint32_t value) {
  CommandPacket packet = MakeCommandPacket(set, id, kSet, key, value);
  Exchange(kPropertyCode, &packet, kCommandPacketSize);
}

std::uint32_t StreamingDeviceControl::Get(const GUID& set, std::uint32_t id, std::uint32_t key) {
  CommandPacket packet = MakeCommandPacket(set, id, kGet, key);
  Exchange(kPropertyCode, &packet, kCommandPacketSize);
  return packet.value2;
}

void StreamingDeviceControl::GetHardwareInfo(HardwareInfo* info) {
  Required(info);
  HardwareInfo buffer{};
  Exchange(kHardwareInfoCode, buffer.data(), sizeof(buffer));
  *info = buffer;
}

void StreamingDeviceControl::GetTunerInfo(TunerInfo* info) {
  Required(info);
  TunerInfo buffer{};
  Exchange(kTunerInfoCode, buffer.data(), sizeof(buffer));
  *info = buffer;
}

void StreamingDeviceControl::SetTunerEvent(std::uint32_t tuner, HANDLE event) {
  Set(StreamTunerPropertySet, 0, tuner, HandleToWord(event));
}

void StreamingDeviceControl::SetScanMode(std::uint32_t tuner, std::uint32_t mode) {
  Set(StreamTunerPropertySet, 1, tuner, mode);
}

void StreamingDeviceControl::Tune(std::uint32_t tuner, std::uint32_t frequency, std::uint32_t mode) {
  CommandPacket packet = MakeCommandPacket(StreamTunerPropertySet, 2, kSet, tuner, frequency, mode);
  Exchange(kPropertyCode, &packet, kTunePacketSize);
}

void StreamingDeviceControl::GetTunedFrequency(FrequencyRecord* record) {
  Required(record);
  CommandPacket packet = MakeCommandPacket(StreamTunerPropertySet, 2, kGet, (*record)[0], 0, (*record)[2]);
  Exchange(kPropertyCode, &packet, kTunePacketSize);
  (*record)[1] = packet.value2;
}

void StreamingDeviceControl::GetSignalLevel(ValueRecord* record) {
  Required(record);
  (*record)[1] = Get(StreamTunerPropertySet, 3, (*record)[0]);
}

void StreamingDeviceControl::GetCaptureSwitch1(ValueRecord* record) {
  Required(record);
  (*record)[1] = Get(StreamSwitchPropertySet, 1, (*record)[0]);
}

void StreamingDeviceControl::SetCaptureSwitch1(std::uint32_t tuner, std::uint32_t value) {
  Set(StreamSwitchPropertySet, 1, tuner, value);
}

void StreamingDeviceControl::GetCaptureSwitch0(ValueRecord* record) {
  Required(record);
  (*record)[1] = Get(StreamSwitchPropertySet, 2, (*record)[0]);
}

void StreamingDeviceControl::SetCaptureSwitch0(std::uint32_t tuner, std::uint32_t value) {
  Set(StreamSwitchPropertySet, 2, tuner, value);
}

void StreamingDeviceControl::SetRecordEvent0(std::uint32_t tuner, HANDLE event) {
  Set(StreamRecordPropertySet, 0, tuner, HandleToWord(event));
}

void StreamingDeviceControl::SetRecordEvent1(std::uint32_t tuner, HANDLE event) {
  Set(StreamRecordPropertySet, 1, tuner, HandleToWord(event));
}

driver_packets::EncoderParameterPacket StreamingDeviceControl::EncoderPacket(std::uint32_t direction,
                                                                            const EncoderParameters& record) {
  driver_packets::EncoderParameterPacket packet{};
  packet.set = StreamRecordPropertySet;
  packet.id = 2;
  packet.direction = direction;
  packet.record = driver_packets::AlignEncoderRecord(record);
  return packet;
}

void StreamingDeviceControl::SetEncoderParameters(const EncoderParameters& record) {
  auto packet = EncoderPacket(kSet, record);
  Exchange(kPropertyCode, &packet, sizeof(packet));
}

void StreamingDeviceControl::GetEncoderParameters(EncoderParameters* record) {
  Required(record);
  // Only the key goes out; the rest of the record is the driver's answer.
  EncoderParameters key{};
  std::copy(record->begin(), record->begin() + 4, key.begin());
  auto packet = EncoderPacket(kGet, key);
  Exchange(kPropertyCode, &packet, sizeof(packet));
  const EncoderParameters answer = driver_packets::PackEncoderRecord(packet.record);
  std::copy(answer.begin() + 4, answer.end(), record->begin() + 4);
}
