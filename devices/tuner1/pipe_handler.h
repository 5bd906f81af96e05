// The handler of the device pipe that every device object serves (see the pipe server of the
// device support library). It touches no state of the device object, so it may run on any
// connection thread at any time.
#pragma once

#include <windows.h>

// The answer buffer the pipe server hands over holds this many bytes.
constexpr DWORD kDevicePipeAnswerCapacity = 4096;

// A request of at least 8 bytes whose second 32-bit word is non-zero is answered with the 12
// bytes {12, 0, 0} (three 32-bit words); any other request gets no answer (*answerSize 0).
void HandleDevicePipeRequest(void* context, HANDLE pipe, DWORD requestSize, const BYTE* request,
                             DWORD* answerSize, BYTE* answer);
