// The request thread's open of the port client: which failures of the activation and of the
// open are met again, and which are the open's answer at once.
#include "board/board_request_thread.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "common/format.h"
#include "common/hresult.h"

namespace {

// A port client that answers its opens from a list (the last answer repeats).
class ScriptedPort final : public IKelvPort {
 public:
  explicit ScriptedPort(std::vector<HRESULT> opens, int* openCount) : opens_(std::move(opens)), count_(openCount) {}
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (iid != IID_IUnknown && iid != __uuidof(IKelvPort)) return E_NOINTERFACE;
    *out = static_cast<IKelvPort*>(this);
    AddRef();
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&refs_); }
  STDMETHODIMP_(ULONG) Release() override {
    const LONG left = InterlockedDecrement(&refs_);
    if (left == 0) delete this;
    return static_cast<ULONG>(left);
  }
  STDMETHODIMP OpenPort(unsigned long) override { return opens_[std::min<size_t>((*count_)++, opens_.size() - 1)]; }
  STDMETHODIMP ClosePort(unsigned long) override { return S_OK; }
  STDMETHODIMP ResetPort() override { return S_OK; }
  STDMETHODIMP SendCommand(unsigned long, unsigned char*, unsigned long*, unsigned char*) override { return E_NOTIMPL; }

 private:
  ~ScriptedPort() = default;
  const std::vector<HRESULT> opens_;
  int* const count_;
  LONG refs_ = 1;
};

}  // namespace

TEST(BoardRequestThreadOpen, OnlyAServerThatLeftIsMetAgainItsOwnAnswersEndTheOpen) {
  const HRESULT gone = HResultFromWin32(RPC_S_SERVER_UNAVAILABLE);
  const struct Case {
    std::vector<HRESULT> creations;  // the activation's answers in turn (the last repeats)
    std::vector<HRESULT> opens;      // the open's answers in turn
    long result;                     // of the open request
    HRESULT last;                    // the request thread's last HRESULT afterwards
    int created, opened;             // how many activations and opens were made
  } cases[] = {
      {{S_OK}, {S_OK}, 1, S_OK, 1, 1},
      // The server's own refusals: one open, its answer kept.
      {{S_OK}, {E_FAIL}, 0, E_FAIL, 1, 1},
      {{S_OK}, {E_UNEXPECTED}, 0, E_UNEXPECTED, 1, 1},
      {{S_OK}, {HResultFromWin32(ERROR_ACCESS_DENIED)}, 0, HResultFromWin32(ERROR_ACCESS_DENIED), 1, 1},
      // The server went between the activation and the open: a new server, a new open.
      {{S_OK}, {RPC_E_DISCONNECTED, S_OK}, 1, S_OK, 2, 2},
      {{S_OK}, {gone}, 0, gone, 4, 4},
      // The activation met the idle server leaving.
      {{CO_E_SERVER_STOPPING, E_FAIL, S_OK}, {S_OK}, 1, S_OK, 3, 1},
      {{REGDB_E_CLASSNOTREG}, {S_OK}, 0, REGDB_E_CLASSNOTREG, 1, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(FormatA("activation 0x%08lX, open 0x%08lX", static_cast<unsigned long>(c.creations[0]),
                         static_cast<unsigned long>(c.opens[0])));
    int created = 0, opened = 0;
    board::BoardRequestThread thread([&](IKelvPort** port) {
      const HRESULT hr = c.creations[std::min<size_t>(created++, c.creations.size() - 1)];
      *port = SUCCEEDED(hr) ? new ScriptedPort(c.opens, &opened) : nullptr;
      return hr;
    });
    ASSERT_EQ(thread.Start(), S_OK);
    EXPECT_EQ(thread.OpenPort(), c.result);
    EXPECT_EQ(thread.LastResult(), c.last);
    EXPECT_EQ(thread.IsPortOpen(), c.result);
    EXPECT_EQ(created, c.created);
    EXPECT_EQ(opened, c.opened);
    thread.Stop();
  }
}
