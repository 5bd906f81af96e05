// The simulated card's answers to the device I/O control requests of the driver links.
#pragma once

#include <windows.h>

#include <cstdint>

#include "sim/driver/driver_state.h"

namespace simdriver {

constexpr DWORD kPropertyCode = 0x220000;
constexpr DWORD kDeviceInfo12Code = 0x220190;
constexpr DWORD kDeviceInfo32Code = 0x220194;
constexpr DWORD kHardwareVersionCode = 0x223028;  // third family
constexpr DWORD kFirmwareBlockCode = 0x22302C;    // third family

// {DDE0CD6D-21E1-497F-86DA-852EF9637C4E}
constexpr GUID kTunerPropertySet = {0xDDE0CD6D, 0x21E1, 0x497F, {0x86, 0xDA, 0x85, 0x2E, 0xF9, 0x63, 0x7C, 0x4E}};
// {ADDD40E7-519A-4956-826C-A1B7DE0F68F2}
constexpr GUID kEncodePropertySet = {0xADDD40E7, 0x519A, 0x4956, {0x82, 0x6C, 0xA1, 0xB7, 0xDE, 0x0F, 0x68, 0xF2}};
// The second family's property sets: tuner, capture switches, recording.
// {C4C98696-07BC-4EF4-91C3-DE5E36CBC306}
constexpr GUID kStreamTunerSet = {0xC4C98696, 0x07BC, 0x4EF4, {0x91, 0xC3, 0xDE, 0x5E, 0x36, 0xCB, 0xC3, 0x06}};
// {2D272B91-18CD-426E-A5E6-193AE5F371A8}
constexpr GUID kStreamSwitchSet = {0x2D272B91, 0x18CD, 0x426E, {0xA5, 0xE6, 0x19, 0x3A, 0xE5, 0xF3, 0x71, 0xA8}};
// {46548DF9-F55C-4DE5-9316-AEF9BFC524D1}
constexpr GUID kStreamRecordSet = {0x46548DF9, 0xF55C, 0x4DE5, {0x93, 0x16, 0xAE, 0xF9, 0xBF, 0xC5, 0x24, 0xD1}};

constexpr std::uint32_t kKindGet = 1;
constexpr std::uint32_t kKindSet = 2;

// The device objects a card offers, one per family's driver interface.
enum class Channel : std::uint32_t { Encoder, Streaming, Control };

struct Request {
  Channel channel;
  DWORD code;
  const std::uint8_t* input;  // a private copy of the caller's whole input
  DWORD inSize;
  DWORD outSize;
  HANDLE driverHandle;  // the handle the request came through (registrations are tied to it)
};

// Answers one request with the state lock held: writes at most kSimDriverMaxPacket bytes to
// `answer`, their count to `answered`, and returns the Win32 error (0 for success).
DWORD AnswerRequestLocked(CardRecord& card, const Request& request, std::uint8_t* answer, DWORD* answered);

// Whether an armed fault of the card matches this request (its set, id and kind are read from the
// command packet of the encoder and streaming channels).
bool FaultMatches(const CardRecord& card, const Request& request);

// The recording-quality column (0, 1, 2) whose thirteen encoder values these are, or -1.
int EncoderPresetOf(const std::uint32_t (&values)[kSimDriverEncoderValues]);

}  // namespace simdriver
