// Test support: an output pin taken by a null renderer in the pin's own graph, so that whatever
// tries to connect the pin next is refused, until Free lets it go again.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>
#include <dshow.h>

#include <functional>

#include <wrl/client.h>

class PinTaker {
 public:
  PinTaker(IGraphBuilder* graph, IPin* pin) : graph_(graph), pin_(pin) {}
  PinTaker(const PinTaker&) = delete;
  PinTaker& operator=(const PinTaker&) = delete;
  ~PinTaker() { Free(); }

  void Take() {
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_NullRenderer, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&taker_)));
    ASSERT_EQ(S_OK, graph_->AddFilter(taker_.Get(), L"taker"));
    Microsoft::WRL::ComPtr<IEnumPins> pins;
    ASSERT_EQ(S_OK, taker_->EnumPins(&pins));
    ASSERT_EQ(S_OK, pins->Next(1, &input_, nullptr));
    ASSERT_EQ(S_OK, graph_->ConnectDirect(pin_, input_.Get(), nullptr));
  }
  void Free() {
    if (!taker_) return;
    EXPECT_EQ(S_OK, graph_->Disconnect(pin_));
    EXPECT_EQ(S_OK, graph_->Disconnect(input_.Get()));
    EXPECT_EQ(S_OK, graph_->RemoveFilter(taker_.Get()));
    input_.Reset();
    taker_.Reset();
  }

 private:
  IGraphBuilder* const graph_;
  IPin* const pin_;
  Microsoft::WRL::ComPtr<IBaseFilter> taker_;
  Microsoft::WRL::ComPtr<IPin> input_;
};

// `connect` refused (VFW_E_ALREADY_CONNECTED) while `taker` holds the pin, twice - a pin kept by
// the first refusal would answer otherwise the second time - then S_OK once the pin is free;
// `connected` says whether the owner counts itself connected after each attempt.
inline void ExpectRefusedWhileTakenThenConnects(PinTaker& taker, const std::function<HRESULT()>& connect,
                                                const std::function<bool()>& connected) {
  struct Attempt {
    bool taken;
    HRESULT expected;
  };
  for (const Attempt& a : {Attempt{true, VFW_E_ALREADY_CONNECTED}, Attempt{true, VFW_E_ALREADY_CONNECTED},
                           Attempt{false, S_OK}}) {
    if (a.taken) {
      ASSERT_NO_FATAL_FAILURE(taker.Take());
    }
    EXPECT_EQ(a.expected, connect());
    EXPECT_EQ(a.expected == S_OK, connected());
    taker.Free();
  }
}
