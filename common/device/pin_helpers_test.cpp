#include "common/device/pin_helpers.h"

#include <gtest/gtest.h>
#include <wrl/client.h>

#include <string>

#include "common/device/testing/mock_filter.h"

using Microsoft::WRL::ComPtr;
using namespace device_testing;

namespace {

class PinHelpersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    MockFilterPlan plan;
    plan.inputs = {L"In1", L"In2"};
    plan.outputs = {L"Out"};
    filter_ = new MockFilter(plan);
  }
  void TearDown() override {
    filter_->Release();
    EXPECT_EQ(LiveMockFilters(), 0);
    CoUninitialize();
  }

  static std::wstring NameOf(IPin* pin) {
    PIN_INFO info{};
    if (!pin || FAILED(pin->QueryPinInfo(&info))) return L"<none>";
    if (info.pFilter) info.pFilter->Release();
    return info.achName;
  }

  MockFilter* filter_ = nullptr;
};

}  // namespace

TEST_F(PinHelpersTest, FindsPinsByPositionWithinTheirDirection) {
  ComPtr<IPin> pin;
  ASSERT_EQ(PinHelpers::FindPinByIndex(pin.GetAddressOf(), filter_, PINDIR_INPUT, 2), S_OK);
  EXPECT_EQ(NameOf(pin.Get()), L"In2");
  ASSERT_EQ(PinHelpers::FindPinByIndex(pin.ReleaseAndGetAddressOf(), filter_, PINDIR_INPUT, 0), S_OK);
  EXPECT_EQ(NameOf(pin.Get()), L"In1");
  ASSERT_EQ(PinHelpers::FindPinByIndex(pin.ReleaseAndGetAddressOf(), filter_, PINDIR_INPUT, 1), S_OK);
  EXPECT_EQ(NameOf(pin.Get()), L"In1");
  // The output is the third pin of the filter but the first of its direction.
  ASSERT_EQ(PinHelpers::FindPinByIndex(pin.ReleaseAndGetAddressOf(), filter_, PINDIR_OUTPUT, 1), S_OK);
  EXPECT_EQ(NameOf(pin.Get()), L"Out");

  EXPECT_EQ(PinHelpers::FindPinByIndex(pin.ReleaseAndGetAddressOf(), filter_, PINDIR_INPUT, 3), VFW_E_NOT_FOUND);
  EXPECT_EQ(pin.Get(), nullptr);
  EXPECT_EQ(PinHelpers::FindPinByIndex(pin.GetAddressOf(), filter_, PINDIR_OUTPUT, 2), VFW_E_NOT_FOUND);
  EXPECT_EQ(PinHelpers::FindPinByIndex(pin.GetAddressOf(), filter_, PINDIR_INPUT, -1), E_INVALIDARG);
  EXPECT_EQ(PinHelpers::FindPinByIndex(nullptr, filter_, PINDIR_INPUT, 1), E_INVALIDARG);
  EXPECT_EQ(PinHelpers::FindPinByIndex(pin.GetAddressOf(), nullptr, PINDIR_INPUT, 1), E_INVALIDARG);
}

TEST_F(PinHelpersTest, FindsPinsByExactName) {
  ComPtr<IPin> pin;
  ASSERT_EQ(PinHelpers::FindPinByName(pin.GetAddressOf(), filter_, PINDIR_INPUT, L"In2"), S_OK);
  EXPECT_EQ(pin.Get(), filter_->pin(1));
  EXPECT_EQ(PinHelpers::FindPinByName(pin.ReleaseAndGetAddressOf(), filter_, PINDIR_INPUT, L"in2"), VFW_E_NOT_FOUND);
  EXPECT_EQ(PinHelpers::FindPinByName(pin.GetAddressOf(), filter_, PINDIR_INPUT, L"Out"), VFW_E_NOT_FOUND);
  EXPECT_EQ(PinHelpers::FindPinByName(pin.GetAddressOf(), filter_, PINDIR_INPUT, L"In"), VFW_E_NOT_FOUND);

  // A filter whose pins cannot be enumerated gives that error.
  MockFilterPlan broken;
  broken.enumPinsResult = E_UNEXPECTED;
  auto* other = new MockFilter(broken);
  EXPECT_EQ(PinHelpers::FindPinByName(pin.GetAddressOf(), other, PINDIR_INPUT, L"In"), E_UNEXPECTED);
  other->Release();
}

TEST_F(PinHelpersTest, ConnectsAndDisconnectsThroughTheGraph) {
  ComPtr<IGraphBuilder> graph;
  ASSERT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                             reinterpret_cast<void**>(graph.GetAddressOf())), S_OK);
  auto* downstream = new MockFilter(MockFilterPlan{});
  ASSERT_EQ(graph->AddFilter(filter_, L"Up"), S_OK);
  ASSERT_EQ(graph->AddFilter(downstream, L"Down"), S_OK);
  ComPtr<IPin> out, in, peer;
  ASSERT_EQ(PinHelpers::FindPinByIndex(out.GetAddressOf(), filter_, PINDIR_OUTPUT, 1), S_OK);
  ASSERT_EQ(PinHelpers::FindPinByIndex(in.GetAddressOf(), downstream, PINDIR_INPUT, 1), S_OK);

  EXPECT_EQ(PinHelpers::Connect(out.Get(), in.Get(), nullptr), E_INVALIDARG);
  EXPECT_EQ(PinHelpers::Connect(out.Get(), nullptr, graph.Get()), E_POINTER);
  ASSERT_EQ(PinHelpers::Connect(out.Get(), in.Get(), graph.Get()), S_OK);
  ASSERT_EQ(in->ConnectedTo(peer.GetAddressOf()), S_OK);
  EXPECT_EQ(peer.Get(), out.Get());
  peer.Reset();

  EXPECT_EQ(PinHelpers::Disconnect(out.Get(), in.Get(), nullptr), E_INVALIDARG);
  EXPECT_EQ(PinHelpers::Disconnect(out.Get(), in.Get(), graph.Get()), S_OK);
  EXPECT_EQ(out->ConnectedTo(peer.GetAddressOf()), VFW_E_NOT_CONNECTED);
  EXPECT_EQ(in->ConnectedTo(peer.GetAddressOf()), VFW_E_NOT_CONNECTED);

  out.Reset();
  in.Reset();
  graph->RemoveFilter(filter_);
  graph->RemoveFilter(downstream);
  graph.Reset();
  downstream->Release();
}
