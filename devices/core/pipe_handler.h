// The handler of the device pipe that every device object serves (see the pipe server of the
// device support library). It touches no state of the device object, so it may run on any
// connection thread at any time. It has the pipe server's handler type: the device object hands
// it to NamedPipe::StartDeviceServer as it is.
#pragma once

#include <windows.h>

#include <type_traits>

#include "common/device/named_pipe.h"

// The answer buffer the pipe server hands over holds this many bytes.
constexpr DWORD kDevicePipeAnswerCapacity = NamedPipe::kBufferSize;

// A request of at least 8 bytes whose second 32-bit word is non-zero is answered with the 12
// bytes {12, 0, 0} (three 32-bit words); any other request, or an answer buffer of fewer than
// 12 bytes, gets no answer (*answerSize 0).
void HandleDevicePipeRequest(void* context, HANDLE pipe, DWORD requestSize, const BYTE* request,
                             DWORD* answerSize, BYTE* answer, DWORD answerCapacity);
static_assert(std::is_same_v<decltype(&HandleDevicePipeRequest), NamedPipe::Handler>);
