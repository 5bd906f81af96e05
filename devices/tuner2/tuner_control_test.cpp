#include "devices/tuner2/tuner_control.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "common/errors.h"
#include "common/hresult.h"
#include "devices/core/link/testing/link_test_support.h"
#include "devices/tuner2/testing/device_item_double.h"
#include "devices/tuner2/testing/rul_graph_fixture.h"

using namespace simcard_testing;
using link_testing::Thrown;
using rul_testing::MakeItem;

namespace {

class RulTunerControlTest : public rul_testing::RulCardTest {
 protected:
  void SetUp() override {
    RulCardTest::SetUp();
    ASSERT_EQ(S_OK, SimCard_RegisterFamilyCard(1, kSimFamilyRul, 1, TRUE));
  }
  void TearDown() override {
    control_.reset();
    RulCardTest::TearDown();  // unregisters every card
  }
  // A control for tuner `index` of `count`, built on card `card`.
  void BuildFor(UINT card, LONG index, LONG count) {
    control_ = std::make_unique<rul::TunerControl>();
    control_->SetDeviceItem(MakeItem({{8, index}, {9, count}}).Get());
    control_->Build(PathOf(card, kSimRoleCapture).c_str());
  }
  std::vector<SimCardRoute> Routes() { return RouteLog(capturePath_); }

  std::unique_ptr<rul::TunerControl> control_;
};

TEST_F(RulTunerControlTest, BindsTheNumberedFiltersOfItsOwnCard) {
  BuildFor(0, 2, 3);
  ASSERT_TRUE(control_->IsReady());
  for (const wchar_t* name : {L"DORU TvTuner 3", L"DORU Crossbar 3", L"DORU Capture 3"}) {
    ComPtr<IBaseFilter> filter;
    EXPECT_EQ(S_OK, control_->graph()->FindFilterByName(name, &filter)) << name;
  }
  // Card 1 has one tuner: its second tuner's filters are not found and nothing stays built.
  auto other = std::make_unique<rul::TunerControl>();
  other->SetDeviceItem(MakeItem({{8, 1}, {9, 2}}).Get());
  EXPECT_EQ(VFW_E_NOT_FOUND, Thrown([&] { other->Build(PathOf(1, kSimRoleCapture).c_str()); }));
  EXPECT_FALSE(other->IsReady());
  EXPECT_EQ(nullptr, other->graph());
  EXPECT_EQ(HRESULT(0x8007E102), other->SetFrequency(55250000, 0));
}

TEST_F(RulTunerControlTest, TheTunerIndexIsCheckedAgainstTheCount) {
  rul::TunerControl control;
  const struct {
    LONG index, count;
    HRESULT expected;
  } cases[] = {{0, 1, S_OK}, {2, 2, errors::kTunerIndexOutOfRange}, {-1, 2, errors::kTunerIndexOutOfRange}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.index);
    EXPECT_EQ(c.expected, Thrown([&] { control.SetDeviceItem(MakeItem({{8, c.index}, {9, c.count}}).Get()); }));
    EXPECT_EQ(SUCCEEDED(c.expected) ? c.index : -1, control.tunerIndex());
  }
  EXPECT_EQ(TYPE_E_ELEMENTNOTFOUND, Thrown([&] { control.SetDeviceItem(MakeItem({{8, 0}}).Get()); }));
  EXPECT_EQ(E_POINTER, Thrown([&] { control.SetDeviceItem(nullptr); }));
  EXPECT_EQ(errors::kNoDeviceItem, Thrown([&] { control.Build(capturePath_.c_str()); }));
}

TEST_F(RulTunerControlTest, SelectedBandsReadBackAndRouteTheirAudio) {
  ASSERT_EQ(S_OK, SimCard_SetCrossbarVariant(capturePath_.c_str(), kSimCrossbarAux));
  BuildFor(0, 0, 3);
  // Inputs 0 tuner, 1 and 2 AUX, 3-5 their audio; outputs 0 decoder, 1 audio decoder.
  const struct {
    DWORD band;
    LONG video, audio;
    DWORD readBack;
  } cases[] = {{0x10100020, 2, 5, 0x10100020}, {0x20000020, 1, 4, 0x20000020}, {2, 0, 3, 1}, {0x00300020, 2, 5, 0x10100020}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.band);
    const size_t before = Routes().size();
    ASSERT_EQ(S_OK, control_->SelectInput(c.band));
    const auto routes = Routes();
    ASSERT_EQ(before + 2, routes.size());
    EXPECT_EQ(0, routes[before].output);
    EXPECT_EQ(c.video, routes[before].input);
    EXPECT_EQ(1, routes[before + 1].output);
    EXPECT_EQ(c.audio, routes[before + 1].input);
    DWORD band = 0;
    ASSERT_EQ(S_OK, control_->GetCurrentBand(&band));
    EXPECT_EQ(c.readBack, band);
  }
  EXPECT_EQ(E_INVALIDARG, control_->SelectInput(0x40));
}

TEST_F(RulTunerControlTest, CrossbarsWithoutTheInputOrWithAnOddOne) {
  BuildFor(0, 0, 3);  // the default crossbar has composite inputs and no AUX
  EXPECT_EQ(HRESULT(0x80072405), control_->SelectInput(0x20000020));
  control_.reset();
  ASSERT_EQ(S_OK, SimCard_SetCrossbarVariant(capturePath_.c_str(), kSimCrossbarSVideo));
  BuildFor(0, 0, 3);
  DWORD band = 77;
  EXPECT_EQ(HRESULT(0x80072402), control_->GetCurrentBand(&band));
  EXPECT_EQ(0u, band);
}

TEST_F(RulTunerControlTest, DriverRequestsCarryTheTunerIndexAndMapTheirValues) {
  BuildFor(0, 1, 3);
  SimDriverTunerState tuner{};
  const struct {
    DWORD mode, sent;
  } modes[] = {{1, 2}, {0, 1}, {2, 1}};
  for (const auto& m : modes) {
    ASSERT_EQ(S_OK, control_->SetFrequency(183250000, m.mode));
    ASSERT_EQ(S_OK, SimDriver_GetTunerState(driverCard_, 1, &tuner));
    EXPECT_EQ(m.sent, tuner.tuneMode) << m.mode;
  }
  DWORD frequency = 0;
  ASSERT_EQ(S_OK, control_->GetFrequency(&frequency));
  EXPECT_EQ(183250000u, frequency);

  const struct {
    DWORD code;
    LONG level;
  } levels[] = {{0, -128}, {1, -64}, {2, 0}, {3, 63}, {4, 127}, {7, -128}};
  for (const auto& l : levels) {
    ASSERT_EQ(S_OK, SimDriver_SetStation(driverCard_, 183250000, l.code));
    LONG level = 99;
    ASSERT_EQ(S_OK, control_->GetSignalLevel(&level));
    EXPECT_EQ(l.level, level) << l.code;
  }

  // BeginAutoScan writes switch 0 only when it reads on or cannot be read, then scan mode 0.
  const SimDriverFault unreadable{0x220000, StreamSwitchPropertySet, 2, 1, ERROR_IO_DEVICE};
  const struct {
    DWORD switch0;
    bool fails;
    DWORD expectedAfter;
  } scans[] = {{1, false, 0}, {0, false, 0}, {1, true, 0}};
  for (const auto& s : scans) {
    ASSERT_EQ(S_OK, control_->SetCaptureSwitch0(s.switch0));
    if (s.fails) {
      ASSERT_EQ(S_OK, SimDriver_InjectFault(driverCard_, &unreadable));
    }
    UINT before = 0;
    SimDriver_ReadLog(0, nullptr, 0, &before, &before);
    ASSERT_EQ(S_OK, control_->BeginAutoScan());
    UINT after = 0;
    SimDriver_ReadLog(0, nullptr, 0, &after, &after);
    // A read, the write when needed, the scan mode.
    EXPECT_EQ(s.switch0 ? 3u : 2u, after - before) << s.switch0 << s.fails;
    ASSERT_EQ(S_OK, SimDriver_GetTunerState(driverCard_, 1, &tuner));
    EXPECT_EQ(0u, tuner.switch0);
    EXPECT_EQ(0u, tuner.scanMode);
  }
  ASSERT_EQ(S_OK, control_->SetAutoScanMode());
  ASSERT_EQ(S_OK, SimDriver_GetTunerState(driverCard_, 1, &tuner));
  EXPECT_EQ(1u, tuner.scanMode);
  BOOL on = TRUE;
  ASSERT_EQ(S_OK, control_->GetCaptureSwitch1(&on));
  EXPECT_FALSE(on);
  EXPECT_EQ(E_INVALIDARG, control_->GetCaptureSwitch1(nullptr));
}

}  // namespace
