// The simulated card's answers to the device I/O control requests of the driver links.
#pragma once

#include <windows.h>

#include <cstdint>

#include "sim/driver/driver_state.h"

namespace simdriver {

constexpr DWORD kPropertyCode = 0x220000;
constexpr DWORD kDeviceInfo12Code = 0x220190;
constexpr DWORD kDeviceInfo32Code = 0x220194;

// {DDE0CD6D-21E1-497F-86DA-852EF9637C4E}
constexpr GUID kTunerPropertySet = {0xDDE0CD6D, 0x21E1, 0x497F, {0x86, 0xDA, 0x85, 0x2E, 0xF9, 0x63, 0x7C, 0x4E}};
// {ADDD40E7-519A-4956-826C-A1B7DE0F68F2}
constexpr GUID kEncodePropertySet = {0xADDD40E7, 0x519A, 0x4956, {0x82, 0x6C, 0xA1, 0xB7, 0xDE, 0x0F, 0x68, 0xF2}};

constexpr std::uint32_t kKindGet = 1;
constexpr std::uint32_t kKindSet = 2;

// The device objects a card offers. Each further driver interface of the other families gets its
// own channel, suffix and answer function.
enum class Channel : std::uint32_t { Encoder };

struct Request {
  Channel channel;
  DWORD code;
  const std::uint8_t* input;  // a private copy of the caller's input
  DWORD inSize;
  DWORD outSize;
  HANDLE driverHandle;  // the handle the request came through (registrations are tied to it)
};

// Answers one request with the state lock held: writes at most kSimDriverMaxPacket bytes to
// `answer`, their count to `answered`, and returns the Win32 error (0 for success).
DWORD AnswerRequestLocked(CardRecord& card, const Request& request, std::uint8_t* answer, DWORD* answered);

// Whether an armed fault of the card matches this request.
bool FaultMatches(const CardRecord& card, const Request& request);

// The recording-quality column (0, 1, 2) whose thirteen encoder values these are, or -1.
int EncoderPresetOf(const std::uint32_t (&values)[kSimDriverEncoderValues]);

}  // namespace simdriver
