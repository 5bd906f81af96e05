#include "devices/tuner3/tuner_control.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <vector>

#include "common/errors.h"
#include "sim/card/sim_card_fixture.h"

using namespace simcard_testing;

namespace {

class PexTunerControlTest : public SimCardTest {
 protected:
  void SetUp() override {
    SimCardTest::SetUp();
    ASSERT_EQ(S_OK, SimCard_RegisterFamilyCard(0, kSimFamilyPex, 0, TRUE));
  }
  void TearDown() override {
    control_.reset();
    SimCardTest::TearDown();  // unregisters every card
  }
  void Build() {
    control_ = std::make_unique<pex::TunerControl>();
    ASSERT_EQ(S_OK, control_->Build(DeviceIdentity(capturePath_.c_str())));
  }
  std::vector<SimCardKsWrite> Writes() {
    std::vector<SimCardKsWrite> writes(64);
    UINT count = 0;
    EXPECT_EQ(S_OK, SimCard_GetKsLog(capturePath_.c_str(), writes.data(), 64, &count));
    writes.resize(count);
    return writes;
  }
  std::vector<SimCardRoute> Routes() { return RouteLog(capturePath_); }
  std::unique_ptr<pex::TunerControl> control_;
};

TEST_F(PexTunerControlTest, BindsOnlyItsOwnCardsFilters) {
  Build();
  for (const wchar_t* name : {L"TAVO TvTuner", L"TAVO Crossbar", L"TAVO Capture"}) {
    ComPtr<IBaseFilter> filter;
    EXPECT_EQ(S_OK, control_->graph()->FindFilterByName(name, &filter)) << name;
  }
  pex::TunerControl other;  // card 1 carries no TAVO filters
  EXPECT_EQ(VFW_E_NOT_FOUND, other.Build(DeviceIdentity(PathOf(1, kSimRoleCapture).c_str())));
  EXPECT_FALSE(other.IsReady());
  EXPECT_EQ(nullptr, other.graph());
  int value = 0;
  EXPECT_EQ(E_POINTER, other.GetFrequency(&value));
  EXPECT_EQ(E_POINTER, other.SetInput(1));
}

TEST_F(PexTunerControlTest, EachUnsupportedPropertyHasItsOwnCode) {
  Build();
  pex::TunerControl& c = *control_;
  int value = 0;
  const struct {
    const GUID* set;
    DWORD id;
    DWORD support;  // what remains supported
    std::function<HRESULT()> call;
    HRESULT expected;
  } cases[] = {
      {&kSimKsTunerSet, 0, 1, [&] { return c.SetScanMode(0); }, errors::kKsScanModeUnsupported},
      {&kSimKsTunerSet, 1, 1, [&] { return c.SetFrequency(1, 1); }, errors::kKsFrequencyUnsupported},
      {&kSimKsTunerSet, 1, 2, [&] { return c.GetFrequency(&value); }, errors::kKsFrequencyUnsupported},
      {&kSimKsTunerSet, 2, 2, [&] { return c.GetSignalLevel(&value); }, errors::kKsSignalLevelUnsupported},
      {&kSimKsSwitchingSet, 2, 0, [&] { return c.SetSwitchingFlag(1); }, errors::kKsSwitchingFlagUnsupported},
      {&kSimKsCaptureSet, 4, 1, [&] { return c.SetCaptureSwitchA(1); }, errors::kKsCaptureSwitchAUnsupported},
      {&kSimKsCaptureSet, 4, 2, [&] { return c.GetCaptureSwitchA(&value); }, errors::kKsCaptureSwitchAUnsupported},
      {&kSimKsCaptureSet, 3, 0, [&] { return c.SetCaptureSwitchB(1); }, errors::kKsCaptureSwitchBUnsupported},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.expected);
    ASSERT_EQ(S_OK, SimCard_SetKsSupport(capturePath_.c_str(), k.set, k.id, k.support));
    EXPECT_EQ(k.expected, k.call());
    ASSERT_EQ(S_OK, SimCard_SetKsSupport(capturePath_.c_str(), k.set, k.id, 3));
    EXPECT_EQ(S_OK, k.call());
  }
  // A failing QuerySupported is passed on.
  ASSERT_EQ(S_OK, SimCard_InjectFailure(capturePath_.c_str(), "QuerySupported", E_ACCESSDENIED, 1));
  EXPECT_EQ(E_ACCESSDENIED, c.SetSwitchingFlag(0));
}

// A driver's Get that returns fewer bytes than the record holds up to the value read is
// refused, and the caller's value stays as it was; a count that reaches the value (or claims
// more than the record) reads the driver's value.
TEST_F(PexTunerControlTest, AGetReplyShorterThanItsValueIsRefused) {
  Build();
  pex::TunerControl& c = *control_;
  const struct {
    const GUID* set;
    DWORD id;
    std::function<HRESULT(int*)> get;
    int value;  // as the caller reads it
  } properties[] = {
      {&kSimKsTunerSet, 1, [&](int* v) { return c.GetFrequency(v); }, 91250},
      {&kSimKsTunerSet, 2, [&](int* v) { return c.GetSignalLevel(v); }, 127},  // code 4
      {&kSimKsCaptureSet, 4, [&](int* v) { return c.GetCaptureSwitchA(v); }, 7},
      {&kSimKsCaptureSet, 3, [&](int* v) { return c.GetCaptureSwitchB(v); }, -3},
  };
  const struct {
    DWORD returned;
    bool taken;
  } counts[] = {{0, false}, {24, false}, {27, false}, {28, true}, {32, true}, {0x7FFFFFFF, true}};
  const wchar_t* path = capturePath_.c_str();
  for (const auto& p : properties) {
    const LONG driverValue = p.id == 2 && p.set == &kSimKsTunerSet ? 4 : p.value;
    ASSERT_EQ(S_OK, SimCard_SetKsValues(path, p.set, p.id, driverValue, 5));
    for (const auto& n : counts) {
      SCOPED_TRACE(::testing::Message() << "property " << p.id << ", " << n.returned << " bytes");
      ASSERT_EQ(S_OK, SimCard_SetKsReturned(path, p.set, p.id, n.returned));
      int value = 0x5A5A5A5A;
      EXPECT_EQ(n.taken ? S_OK : errors::kInvalidData, p.get(&value));
      EXPECT_EQ(n.taken ? p.value : 0x5A5A5A5A, value);
    }
    ASSERT_EQ(S_OK, SimCard_SetKsReturned(path, p.set, p.id, kSimKsReturnedWhole));
  }
}

TEST_F(PexTunerControlTest, AChannelChangeWritesItsPropertiesInOrder) {
  Build();
  const size_t before = Writes().size();
  ASSERT_EQ(S_OK, control_->SetSwitchingFlag(1));
  ASSERT_EQ(S_OK, control_->SetFrequency(55250000, 1));
  ASSERT_EQ(S_OK, control_->SetFrequency(61250000, 0));
  ASSERT_EQ(S_OK, control_->SetCaptureSwitchA(1));
  ASSERT_EQ(S_OK, control_->SetCaptureSwitchB(0));
  ASSERT_EQ(S_OK, control_->SetSwitchingFlag(0));
  const struct {
    const GUID* set;
    std::uint32_t id, size;
    std::int32_t v1, v2;
  } expected[] = {
      {&kSimKsSwitchingSet, 2, 28, 1, 0}, {&kSimKsTunerSet, 1, 32, 55250000, 2}, {&kSimKsTunerSet, 1, 32, 61250000, 1},
      {&kSimKsCaptureSet, 4, 28, 1, 0},   {&kSimKsCaptureSet, 3, 28, 0, 0},      {&kSimKsSwitchingSet, 2, 28, 0, 0},
  };
  const auto writes = Writes();
  ASSERT_EQ(before + std::size(expected), writes.size());
  for (size_t i = 0; i < std::size(expected); ++i) {
    SCOPED_TRACE(i);
    const SimCardKsWrite& w = writes[before + i];
    EXPECT_TRUE(IsEqualGUID(*expected[i].set, w.set));
    EXPECT_EQ(expected[i].id, w.id);
    EXPECT_EQ(expected[i].size, w.size);
    EXPECT_EQ(expected[i].v1, w.values[0]);
    EXPECT_EQ(expected[i].v2, w.values[1]);
  }
  int value = 0;
  ASSERT_EQ(S_OK, control_->GetFrequency(&value));
  EXPECT_EQ(61250000, value);
  ASSERT_EQ(S_OK, control_->GetCaptureSwitchA(&value));
  EXPECT_EQ(1, value);
}

TEST_F(PexTunerControlTest, SignalCodesMapToLevels) {
  Build();
  const struct {
    LONG code;
    int level;
  } cases[] = {{0, -128}, {1, -64}, {2, 0}, {3, 63}, {4, 127}, {5, -128}};
  for (const auto& c : cases) {
    ASSERT_EQ(S_OK, SimCard_SetKsValues(capturePath_.c_str(), &kSimKsTunerSet, 2, c.code, 0));
    int level = 99;
    ASSERT_EQ(S_OK, control_->GetSignalLevel(&level));
    EXPECT_EQ(c.level, level) << c.code;
  }
  EXPECT_EQ(E_POINTER, control_->GetSignalLevel(nullptr));
}

TEST_F(PexTunerControlTest, ScanModeRoutesTheTunerUnlessOff) {
  ASSERT_EQ(S_OK, SimCard_SetCrossbarVariant(capturePath_.c_str(), kSimCrossbarAux));
  Build();
  ASSERT_EQ(S_OK, control_->SetInput(0x20000020));
  const struct {
    int mode;
    bool routes;
    std::int32_t written;
  } cases[] = {{0, false, 1}, {1, true, 0}, {2, true, 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mode);
    const size_t routesBefore = Routes().size();
    ASSERT_EQ(S_OK, control_->SetScanMode(c.mode));
    const auto routes = Routes();
    ASSERT_EQ(routesBefore + (c.routes ? 2 : 0), routes.size());
    if (c.routes) {
      EXPECT_EQ(0, routes[routesBefore].input);
      EXPECT_EQ(3, routes[routesBefore + 1].input);
    }
    const SimCardKsWrite last = Writes().back();
    EXPECT_TRUE(IsEqualGUID(kSimKsTunerSet, last.set) && last.id == 0);
    EXPECT_EQ(c.written, last.values[0]);
  }
}

TEST_F(PexTunerControlTest, InputsRouteAndReadBackByAuxOrdinal) {
  const struct {
    UINT variant;
    DWORD band;
    HRESULT result;
    LONG video, audio;
    DWORD readBack;
  } cases[] = {
      {kSimCrossbarAux, 0x10100020, S_OK, 2, 5, 0x10100020},
      {kSimCrossbarAux, 0x20000020, S_OK, 1, 4, 0x20000020},
      {kSimCrossbarAux, 1, S_OK, 0, 3, 1},
      // The AUX input without a related pin is invisible: the other one is the first.
      {kSimCrossbarAuxNoRelated, 0x20000020, S_OK, 2, 5, 0x20000020},
      {kSimCrossbarAuxNoRelated, 0x10100020, errors::kNoSuchInput, 0, 0, 0},
      {kSimCrossbarDefault, 0x20000020, errors::kNoSuchInput, 0, 0, 0},  // no AUX inputs at all
      {kSimCrossbarAux, 0x80, E_INVALIDARG, 0, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.band);
    control_.reset();
    ASSERT_EQ(S_OK, SimCard_SetCrossbarVariant(capturePath_.c_str(), c.variant));
    Build();
    const size_t before = Routes().size();
    EXPECT_EQ(c.result, control_->SetInput(c.band));
    const auto routes = Routes();
    if (FAILED(c.result)) {
      EXPECT_EQ(before, routes.size());
      continue;
    }
    ASSERT_EQ(before + 2, routes.size());
    EXPECT_EQ(c.video, routes[before].input);
    EXPECT_EQ(c.audio, routes[before + 1].input);
    DWORD band = 0;
    ASSERT_EQ(S_OK, control_->GetInput(&band));
    EXPECT_EQ(c.readBack, band);
  }
}

TEST_F(PexTunerControlTest, InputTypeAndChannelGoThroughTheTuner) {
  Build();
  int value = 0;
  const struct {
    DWORD flags;
    HRESULT result;
    int type;
  } cases[] = {{3, S_OK, 1}, {2, S_OK, 2}, {1, S_OK, 1}, {0, E_INVALIDARG, 1}};
  for (const auto& c : cases) {
    EXPECT_EQ(c.result, control_->SetInputType(c.flags));
    ASSERT_EQ(S_OK, control_->GetInputType(&value));
    EXPECT_EQ(c.type, value) << c.flags;
  }
  ASSERT_EQ(S_OK, SimCard_SetTunerInputType(capturePath_.c_str(), 5));
  EXPECT_EQ(errors::kTunerInputTypeUnknown, control_->GetInputType(&value));
  ASSERT_EQ(S_OK, control_->SetChannel(27));
  ASSERT_EQ(S_OK, control_->GetChannel(&value));
  EXPECT_EQ(27, value);
}

}  // namespace
