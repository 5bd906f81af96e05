#include "devices/core/pipe_handler.h"

#include <cstdint>
#include <cstring>

void HandleDevicePipeRequest(void* /*context*/, HANDLE /*pipe*/, DWORD requestSize,
                             const BYTE* request, DWORD* answerSize, BYTE* answer,
                             DWORD answerCapacity) {
  if (!answerSize) return;
  *answerSize = 0;
  if (!request || !answer || requestSize < 8) return;
  std::uint32_t second = 0;
  std::memcpy(&second, request + 4, sizeof(second));  // requests need not be aligned
  if (second == 0) return;
  const std::uint32_t reply[3] = {12, 0, 0};
  static_assert(sizeof(reply) == 12 && sizeof(reply) <= kDevicePipeAnswerCapacity);
  if (answerCapacity < sizeof(reply)) return;
  std::memcpy(answer, reply, sizeof(reply));
  *answerSize = sizeof(reply);
}
