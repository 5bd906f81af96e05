#include "common/local_server.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "common/format.h"
#include "common/hresult.h"

namespace {

// Each case: what the attempts answer in turn (the last repeats), and what the caller gets
// after how many attempts.
TEST(LocalServerActivation, OnlyAnActivationThatMetALeavingServerIsMadeAgain) {
  const HRESULT stopping = CO_E_SERVER_STOPPING, gone = HResultFromWin32(RPC_S_SERVER_UNAVAILABLE);
  const struct Case {
    std::vector<HRESULT> answers;
    HRESULT result;
    int attempts;
  } cases[] = {
      {{S_OK}, S_OK, 1},
      {{REGDB_E_CLASSNOTREG}, REGDB_E_CLASSNOTREG, 1},
      {{E_NOINTERFACE}, E_NOINTERFACE, 1},
      {{E_ACCESSDENIED}, E_ACCESSDENIED, 1},
      {{stopping, S_OK}, S_OK, 2},
      {{E_FAIL, S_OK}, S_OK, 2},
      {{RPC_E_DISCONNECTED, S_OK}, S_OK, 2},
      {{HResultFromWin32(RPC_S_CALL_FAILED), S_OK}, S_OK, 2},
      {{HResultFromWin32(RPC_S_UNKNOWN_IF), S_OK}, S_OK, 2},
      {{gone, stopping, RPC_E_SERVER_DIED, S_OK}, S_OK, 4},
      {{stopping, E_OUTOFMEMORY}, E_OUTOFMEMORY, 2},
      // A server that stays gone: the caller learns it after the last attempt.
      {{gone}, gone, local_server::kActivationAttempts},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(FormatA("first answer 0x%08lX, %zu answers", static_cast<unsigned long>(c.answers[0]),
                         c.answers.size()));
    int made = 0;
    const HRESULT hr = local_server::Activate(
        [&] { return c.answers[std::min<size_t>(made++, c.answers.size() - 1)]; },
        local_server::kActivationAttempts, 0);
    EXPECT_EQ(hr, c.result);
    EXPECT_EQ(made, c.attempts);
  }
}

}  // namespace
