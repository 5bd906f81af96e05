// The first family's link to the driver of the card's encoder chip: tuning, signal level, scan
// switch, capture switch, encoder parameters and the driver's three events go through device
// I/O control requests on the device object "<device path>\Zarn Orvane encoder device".
//
// Each user (tuner control, preview graph, output-data graph) holds its own EncoderControl for
// the device; one named mutex per device serialises all of them, in every process.
//
// Requests that set something throw HResultError on failure; requests that read return an
// HRESULT: the failure's code (errors::kLinkFailure when it carried none) or errors::kLinkNullPointer for a
// missing out-pointer. A request that cannot take the I/O mutex in time fails with 0x80070102
// (wait time-out) instead of running unserialised.
#pragma once

#include <windows.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "common/device/device_identity.h"
#include "devices/core/driver/device_handle.h"
#include "devices/core/link/io_mutex.h"

// Property-set identifiers of the encoder link's requests.
// {DDE0CD6D-21E1-497F-86DA-852EF9637C4E}
constexpr GUID TunerPropertySet = {0xDDE0CD6D, 0x21E1, 0x497F, {0x86, 0xDA, 0x85, 0x2E, 0xF9, 0x63, 0x7C, 0x4E}};
// {ADDD40E7-519A-4956-826C-A1B7DE0F68F2}
constexpr GUID EncodePropertySet = {0xADDD40E7, 0x519A, 0x4956, {0x82, 0x6C, 0xA1, 0xB7, 0xDE, 0x0F, 0x68, 0xF2}};

// The wire format of control code 0x220000: one buffer is sent and received, little-endian.
#pragma pack(push, 4)
struct PropertyPacketHeader {
  GUID set;               // in memory order
  std::uint32_t id;
  std::uint32_t kind;     // 1 get, 2 set
};
struct PropertyPacket1 {  // one value
  PropertyPacketHeader header;
  std::uint32_t value;
};
struct PropertyPacket2 {  // two values
  PropertyPacketHeader header;
  std::uint32_t value;
  std::uint32_t value2;
};
struct EncoderParameterPacket {
  PropertyPacketHeader header;
  std::uint32_t values[13];
};
#pragma pack(pop)
static_assert(sizeof(PropertyPacketHeader) == 24);
static_assert(sizeof(PropertyPacket1) == 28 && offsetof(PropertyPacket1, value) == 24);
static_assert(sizeof(PropertyPacket2) == 32 && offsetof(PropertyPacket2, value2) == 28);
static_assert(sizeof(EncoderParameterPacket) == 76 && offsetof(EncoderParameterPacket, values) == 24);

using EncoderParameters = std::array<std::uint32_t, 13>;
using DeviceInfo12 = std::array<std::uint32_t, 3>;
using DeviceInfo32 = std::array<std::uint32_t, 8>;

class EncoderControl : public DeviceHandle {
 public:
  static constexpr wchar_t kDeviceSuffix[] = L"\\Zarn Orvane encoder device";
  static constexpr DWORD kPropertyCode = 0x220000;
  static constexpr DWORD kDeviceInfo12Code = 0x220190;
  static constexpr DWORD kDeviceInfo32Code = 0x220194;
  static constexpr std::uint32_t kGet = 1;
  static constexpr std::uint32_t kSet = 2;

  // Opens the device's encoder object and creates the device's I/O mutex. `result` (may be
  // null) receives the open's result, or errors::kLinkOutOfMemory when the mutex cannot be created;
  // a failure is then thrown (the open's code, or errors::kLinkFailure for the mutex).
  EncoderControl(const DeviceIdentity& identity, HRESULT* result);
  ~EncoderControl() override = default;

  // The I/O mutex's name for a device: "Global\MutexName_IoCtrl_" and the six identity fields.
  static std::wstring IoMutexName(const DeviceIdentity& identity) { return DeviceIoMutex::NameFor(identity); }

  // Set requests: throw on failure.
  void SetAudioModeEvent(HANDLE event);
  void SetScanSwitch(BOOL on);                             // sends exactly 1 or 0
  void SetFrequency(std::uint32_t frequency, std::uint32_t mode);  // mode 1 or 2, anything else sends 0
  void SetEncoderParameters(const EncoderParameters& values);
  void SetCaptureSwitch(std::uint32_t value);
  void SetEncoderErrorEvent(HANDLE event);
  void SetEncoderStopEvent(HANDLE event);

  // Get requests: return an HRESULT; out-values are written only on success.
  HRESULT GetFrequency(std::uint32_t* frequency, std::uint32_t* mode);  // mode may be null
  HRESULT GetSignalLevel(std::uint32_t* level);                      // 1 to 4, anything else 0
  HRESULT GetCaptureSwitch(std::uint32_t* value);
  HRESULT ReadDeviceInfo12(DeviceInfo12* words);
  HRESULT ReadDeviceInfo32(DeviceInfo32* words);

  // How long a request waits for the I/O mutex (timeouts::kDriverIo unless a test shortens it).
  void SetIoTimeout(DWORD ms) noexcept { ioMutex_.SetTimeout(ms); }

 private:
  // Sends `packet` as input and output under the I/O mutex; throws on failure.
  void Exchange(DWORD code, void* packet, DWORD size);
  void SetValue(const GUID& set, std::uint32_t id, std::uint32_t value);
  void SetHandleValue(const GUID& set, std::uint32_t id, HANDLE event);
  PropertyPacket1 GetValue(const GUID& set, std::uint32_t id);

  DeviceIoMutex ioMutex_;
};
