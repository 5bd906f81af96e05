// The third family's device-pipe handler under the mutation driver: requests and answer buffers
// that end at a no-access page; whatever a peer sends, the handler reads within the request,
// writes within the answer buffer and answers "busy" exactly when the rule says so.
#include <gtest/gtest.h>

#include "common/testing/fuzz_driver.h"
#include "devices/tuner3/device_manager_impl.h"

namespace {

std::string CheckBusyAnswer(const std::uint8_t* data, std::size_t size) {
  // The first byte picks the answer buffer's capacity, the rest is the request.
  if (size == 0) return {};
  static const DWORD kCapacities[] = {0, 1, 11, 12, 13, 4096};
  const DWORD capacity = kCapacities[data[0] % std::size(kCapacities)];
  const std::uint8_t* request = data + 1;
  const auto length = static_cast<DWORD>(size - 1);
  fuzzing::GuardedBuffer answerPlace;
  const fuzzing::Bytes filler(capacity, 0xCC);
  BYTE* answer = answerPlace.Place(filler.data(), filler.size());
  DWORD answered = 77;
  pex::BusyAnswer(nullptr, nullptr, length, request, &answered, answer, capacity);
  const bool busy = length >= 8 && fuzzing::ReadLe(request + 4, 4) != 0 && capacity >= 12;
  if (answered != (busy ? 12u : 0u)) return "wrong answer size";
  if (busy && (fuzzing::ReadLe(answer, 4) != 12 || fuzzing::ReadLe(answer + 4, 4) != 0 ||
               fuzzing::ReadLe(answer + 8, 4) != static_cast<std::uint32_t>(E_FAIL))) {
    return "wrong answer";
  }
  for (DWORD i = answered; i < capacity; ++i)
    if (answer[i] != 0xCC) return "a byte written past the answer";
  // No request at all is no answer.
  answered = 77;
  pex::BusyAnswer(nullptr, nullptr, length, nullptr, &answered, answer, capacity);
  if (answered != 0) return "an answer to no request";
  return {};
}

TEST(PexDevicePipeFuzz, BusyIsAnsweredByTheRuleAndWithinTheBuffers) {
  fuzzing::Target target;
  target.name = "pex_device_pipe";
  target.seeds = {{3, 0, 0, 0, 0, 1, 0, 0, 0}, {5, 0, 0, 0, 0, 0, 0, 0, 0}, {2, 0, 0, 0, 0, 9, 0, 0},
                  {4, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13}};
  target.check = CheckBusyAnswer;
  target.maxSize = 64;
  target.defaultRuns = 5000;
  const fuzzing::Result result = fuzzing::Run(target);
  EXPECT_TRUE(result.failure.empty()) << result.failure << "\n" << fuzzing::Hex(result.input);
}

}  // namespace
