// The second family's link to the tuner card's driver: one handle on the card's streaming
// device "<device path>\Zarn Quessa Device" and one small request per driver property.
//
// The device manager, the tuner control and the two graphs each hold a link of their own; the
// card-wide I/O mutex orders the requests of all links in all processes. Every operation
// either succeeds or throws HResultError with the failing code: the driver's error folded into
// 0x8007xxxx (0x8007F030 when the failure carried no code), 0x80070102 when the mutex was not
// obtained in time, E_POINTER for a missing out-pointer (before any request).
#pragma once

#include <windows.h>

#include <array>
#include <cstdint>

#include "common/device/device_identity.h"
#include "devices/core/driver/device_handle.h"
#include "devices/core/link/io_mutex.h"
#include "devices/core/link/packet_codecs.h"

// The driver's property sets.
// {C4C98696-07BC-4EF4-91C3-DE5E36CBC306}: tuner events, scan mode, tuning, signal level.
constexpr GUID StreamTunerPropertySet = {0xC4C98696, 0x07BC, 0x4EF4, {0x91, 0xC3, 0xDE, 0x5E, 0x36, 0xCB, 0xC3, 0x06}};
// {2D272B91-18CD-426E-A5E6-193AE5F371A8}: the two capture switches.
constexpr GUID StreamSwitchPropertySet = {0x2D272B91, 0x18CD, 0x426E, {0xA5, 0xE6, 0x19, 0x3A, 0xE5, 0xF3, 0x71, 0xA8}};
// {46548DF9-F55C-4DE5-9316-AEF9BFC524D1}: record events and encoder parameters.
constexpr GUID StreamRecordPropertySet = {0x46548DF9, 0xF55C, 0x4DE5, {0x93, 0x16, 0xAE, 0xF9, 0xBF, 0xC5, 0x24, 0xD1}};

class StreamingDeviceControl : public DeviceHandle {
 public:
  static constexpr wchar_t kDeviceSuffix[] = L"\\Zarn Quessa Device";
  static constexpr DWORD kPropertyCode = 0x220000;
  static constexpr DWORD kHardwareInfoCode = 0x220190;
  static constexpr DWORD kTunerInfoCode = 0x220194;

  // Records as the callers hold them: word 0 carries the key (the tuner index); a get fills the
  // words its comment names and leaves the others.
  using HardwareInfo = std::array<std::uint32_t, 3>;
  using TunerInfo = std::array<std::uint32_t, 8>;
  using ValueRecord = std::array<std::uint32_t, 2>;      // {key, value}
  using FrequencyRecord = std::array<std::uint32_t, 3>;  // {key, frequency, word sent as value 3}
  using EncoderParameters = driver_packets::EncoderParameterRecord;

  // Opens the streaming device and creates the card's I/O mutex; throws the open's code, E_FAIL
  // for the mutex, E_POINTER for a null `result` (which receives S_OK, or the code thrown).
  // Nothing stays open when it throws.
  StreamingDeviceControl(DeviceIdentity identity, HRESULT* result);
  ~StreamingDeviceControl() override;

  static std::wstring IoMutexName(const DeviceIdentity& identity) { return DeviceIoMutex::NameFor(identity); }

  // Fixed-size requests; both send a zeroed buffer.
  void GetHardwareInfo(HardwareInfo* info);
  void GetTunerInfo(TunerInfo* info);

  // {C4C98696-...}
  void SetTunerEvent(std::uint32_t tuner, HANDLE event);                                     // id 0
  void SetScanMode(std::uint32_t tuner, std::uint32_t mode);                                 // id 1
  void Tune(std::uint32_t tuner, std::uint32_t frequency, std::uint32_t mode);               // id 2, 36 bytes
  void GetTunedFrequency(FrequencyRecord* record);  // id 2 get, 36 bytes: fills word 1
  void GetSignalLevel(ValueRecord* record);         // id 3: fills word 1 with the code
  // {2D272B91-...}: switch 1 is id 1, switch 0 id 2.
  void GetCaptureSwitch1(ValueRecord* record);
  void SetCaptureSwitch1(std::uint32_t tuner, std::uint32_t value);
  void GetCaptureSwitch0(ValueRecord* record);
  void SetCaptureSwitch0(std::uint32_t tuner, std::uint32_t value);
  // {46548DF9-...}
  void SetRecordEvent0(std::uint32_t tuner, HANDLE event);  // id 0
  void SetRecordEvent1(std::uint32_t tuner, HANDLE event);  // id 1
  void SetEncoderParameters(const EncoderParameters& record);  // id 2, 108 bytes
  void GetEncoderParameters(EncoderParameters* record);        // fills bytes 4-77

  // How long a request waits for the I/O mutex (30 s unless a test shortens it).
  void SetIoTimeout(DWORD ms) noexcept { ioMutex_.SetTimeout(ms); }

 private:
  // Sends `packet` as input and output under the I/O mutex; throws on failure.
  void Exchange(DWORD code, void* packet, DWORD size);
  void Set(const GUID& set, std::uint32_t id, std::uint32_t key, std::uint32_t value);
  // A 32-byte get: the driver's value 2.
  std::uint32_t Get(const GUID& set, std::uint32_t id, std::uint32_t key);
  static driver_packets::EncoderParameterPacket EncoderPacket(std::uint32_t direction, const EncoderParameters& record);

  DeviceIoMutex ioMutex_;
};
