#include "devices/tuner1/encoder_control.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "common/handles.h"
#include "common/hresult.h"
#include "common/locks.h"
#include "devices/core/link/testing/link_test_support.h"
#include "devices/core/testing/sim_card_fixture.h"

using namespace driver_test;
using namespace link_testing;

namespace {

// The property-set identifiers as they lie in memory.
constexpr std::uint8_t kTunerSetBytes[16] = {0x6D, 0xCD, 0xE0, 0xDD, 0xE1, 0x21, 0x7F, 0x49,
                                             0x86, 0xDA, 0x85, 0x2E, 0xF9, 0x63, 0x7C, 0x4E};
constexpr std::uint8_t kEncodeSetBytes[16] = {0xE7, 0x40, 0xDD, 0xAD, 0x9A, 0x51, 0x56, 0x49,
                                              0x82, 0x6C, 0xA1, 0xB7, 0xDE, 0x0F, 0x68, 0xF2};
constexpr EncoderParameters kQualityOne = {4000, 6000, 2, 1, 0, 3, 15, 1, 0x050E0716, 4, 0, 256, 1};

std::uint32_t Low32(HANDLE h) { return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(h)); }

HRESULT ConstructionResult(const DeviceIdentity& identity, HRESULT* stored) {
  return Thrown([&] { EncoderControl control(identity, stored); });
}

class EncoderControlTest : public SimCardTest {};

TEST_F(EncoderControlTest, EveryRequestSendsItsExactPacket) {
  HRESULT hr = E_FAIL;
  EncoderControl control(identity_, &hr);
  ASSERT_EQ(S_OK, hr);
  UniqueHandle audio(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  UniqueHandle failure(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  UniqueHandle stopped(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  std::uint32_t a = 0, b = 0;
  DeviceInfo12 info12{};
  DeviceInfo32 info32{};

  const UINT from = LogNext();
  control.SetAudioModeEvent(audio.get());
  control.SetScanSwitch(7);
  control.SetScanSwitch(FALSE);
  control.SetFrequency(55250000, 1);
  control.SetFrequency(61250000, 3);
  control.SetFrequency(67250000, 2);
  EXPECT_EQ(S_OK, control.GetFrequency(&a, &b));
  EXPECT_EQ(S_OK, control.GetSignalLevel(&a));
  control.SetEncoderParameters(kQualityOne);
  control.SetCaptureSwitch(1);
  EXPECT_EQ(S_OK, control.GetCaptureSwitch(&a));
  control.SetEncoderErrorEvent(failure.get());
  control.SetEncoderStopEvent(stopped.get());
  EXPECT_EQ(S_OK, control.ReadDeviceInfo12(&info12));
  EXPECT_EQ(S_OK, control.ReadDeviceInfo32(&info32));

  struct Expected {
    DWORD code;
    std::vector<std::uint8_t> bytes;
  };
  const std::vector<Expected> expected = {
      {0x220000, Packet(kTunerSetBytes, 0, 2, {Low32(audio.get())})},
      {0x220000, Packet(kTunerSetBytes, 1, 2, {1})},
      {0x220000, Packet(kTunerSetBytes, 1, 2, {0})},
      {0x220000, Packet(kTunerSetBytes, 2, 2, {55250000, 1})},
      {0x220000, Packet(kTunerSetBytes, 2, 2, {61250000, 0})},
      {0x220000, Packet(kTunerSetBytes, 2, 2, {67250000, 2})},
      {0x220000, Packet(kTunerSetBytes, 2, 1, {0, 0})},
      {0x220000, Packet(kTunerSetBytes, 3, 1, {0})},
      {0x220000, Packet(kEncodeSetBytes, 0, 2, {4000, 6000, 2, 1, 0, 3, 15, 1, 0x050E0716, 4, 0, 256, 1})},
      {0x220000, Packet(kEncodeSetBytes, 1, 2, {1})},
      {0x220000, Packet(kEncodeSetBytes, 1, 1, {0})},
      {0x220000, Packet(kEncodeSetBytes, 3, 2, {Low32(failure.get())})},
      {0x220000, Packet(kEncodeSetBytes, 4, 2, {Low32(stopped.get())})},
      {0x220190, std::vector<std::uint8_t>(12, 0)},
      {0x220194, std::vector<std::uint8_t>(32, 0)},
  };
  const auto log = LogSince(from);
  ASSERT_EQ(expected.size(), log.size());
  for (size_t i = 0; i < log.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(expected[i].code, log[i].code);
    EXPECT_EQ(expected[i].bytes.size(), log[i].inSize);
    EXPECT_EQ(expected[i].bytes.size(), log[i].outSize);
    EXPECT_EQ(0u, log[i].error);
    EXPECT_EQ(GetCurrentThreadId(), log[i].threadId);
    EXPECT_EQ(expected[i].bytes, std::vector<std::uint8_t>(log[i].packet, log[i].packet + log[i].inSize));
  }
  EXPECT_EQ(1, CardState(card_).encoderPreset);
}

TEST_F(EncoderControlTest, ReadsReturnWhatTheDriverAnswers) {
  HRESULT hr = E_FAIL;
  EncoderControl control(identity_, &hr);
  DeviceInfo12 info12{};
  DeviceInfo32 info32{};
  ASSERT_EQ(S_OK, control.ReadDeviceInfo12(&info12));
  ASSERT_EQ(S_OK, control.ReadDeviceInfo32(&info32));
  EXPECT_EQ((DeviceInfo12{0, 7, 0x80}), info12);
  EXPECT_EQ((DeviceInfo32{1, 55250000, 801250000, 62500, 1, 62, 1, 125}), info32);

  control.SetFrequency(183250000, 2);
  std::uint32_t frequency = 0, mode = 0, value = 0;
  ASSERT_EQ(S_OK, control.GetFrequency(&frequency, &mode));
  EXPECT_EQ(183250000u, frequency);
  EXPECT_EQ(2u, mode);
  ASSERT_EQ(S_OK, control.GetFrequency(&frequency, nullptr));
  control.SetCaptureSwitch(1);
  ASSERT_EQ(S_OK, control.GetCaptureSwitch(&value));
  EXPECT_EQ(1u, value);
}

TEST_F(EncoderControlTest, SignalLevelsOutsideOneToFourReadAsZero) {
  HRESULT hr = E_FAIL;
  EncoderControl control(identity_, &hr);
  const struct {
    std::uint32_t driverLevel;
    std::uint32_t expected;
  } cases[] = {{4, 4}, {3, 3}, {0, 0}, {5, 0}, {0x80000001u, 0}};
  std::uint32_t frequency = 100000000;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.driverLevel);
    ASSERT_EQ(S_OK, SimDriver_SetStation(card_, frequency, c.driverLevel));
    control.SetFrequency(frequency, 1);
    std::uint32_t level = 99;
    ASSERT_EQ(S_OK, control.GetSignalLevel(&level));
    EXPECT_EQ(c.expected, level);
    frequency += 6000000;
  }
  control.SetFrequency(frequency, 1);  // off station
  std::uint32_t level = 99;
  ASSERT_EQ(S_OK, control.GetSignalLevel(&level));
  EXPECT_EQ(1u, level);
}

TEST_F(EncoderControlTest, NullOutPointersAreRefusedWithoutARequest) {
  HRESULT hr = E_FAIL;
  EncoderControl control(identity_, &hr);
  const UINT from = LogNext();
  EXPECT_EQ(HRESULT(0x8007F040), control.GetFrequency(nullptr, nullptr));
  EXPECT_EQ(HRESULT(0x8007F040), control.GetSignalLevel(nullptr));
  EXPECT_EQ(HRESULT(0x8007F040), control.GetCaptureSwitch(nullptr));
  EXPECT_EQ(HRESULT(0x8007F040), control.ReadDeviceInfo12(nullptr));
  EXPECT_EQ(HRESULT(0x8007F040), control.ReadDeviceInfo32(nullptr));
  EXPECT_TRUE(LogSince(from).empty());
}

TEST_F(EncoderControlTest, DriverFailuresBecomeHResults) {
  HRESULT hr = E_FAIL;
  EncoderControl control(identity_, &hr);
  // Only the matching request fails: the tune before it goes through.
  SimDriverFault fault{0x220000, TunerPropertySet, 3, 1, ERROR_GEN_FAILURE};
  ASSERT_EQ(S_OK, SimDriver_InjectFault(card_, &fault));
  control.SetFrequency(55250000, 1);
  std::uint32_t level = 77;
  EXPECT_EQ(HRESULT(0x8007001F), control.GetSignalLevel(&level));
  EXPECT_EQ(77u, level);  // untouched on failure
  EXPECT_EQ(S_OK, control.GetSignalLevel(&level));

  // Set requests throw; a large error keeps its low 16 bits; an HRESULT passes unchanged; a
  // failure without an error code is the link's own failure code.
  const struct {
    DWORD error;
    HRESULT expected;
  } cases[] = {{ERROR_GEN_FAILURE, HRESULT(0x8007001F)},
               {0x12345, HRESULT(0x80072345)},
               {0x8007000E, HRESULT(0x8007000E)},
               {0, HRESULT(0x8007F030)}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.error);
    SimDriverFault any{0, {}, 0xFFFFFFFFu, 0, c.error};
    ASSERT_EQ(S_OK, SimDriver_InjectFault(card_, &any));
    EXPECT_EQ(c.expected, Thrown([&] { control.SetCaptureSwitch(1); }));
    ASSERT_EQ(S_OK, SimDriver_InjectFault(card_, &any));
    std::uint32_t value = 0;
    EXPECT_EQ(c.expected, control.GetCaptureSwitch(&value));
  }
}

TEST_F(EncoderControlTest, ConstructionReportsOpenAndMutexFailures) {
  HRESULT stored = S_OK;
  DeviceIdentity unknown(CardPath(testing_support::UniqueName(L"99_")).c_str());
  EXPECT_EQ(HRESULT(0x80070002), ConstructionResult(unknown, &stored));
  EXPECT_EQ(HRESULT(0x80070002), stored);

  ASSERT_EQ(S_OK, SimDriver_FailOpen(card_, TRUE, ERROR_ACCESS_DENIED));
  EXPECT_EQ(HRESULT(0x80070005), ConstructionResult(identity_, &stored));
  EXPECT_EQ(HRESULT(0x80070005), stored);
  ASSERT_EQ(S_OK, SimDriver_FailOpen(card_, FALSE, 0));

  // An object of another type under the mutex's name: the mutex cannot be created.
  UniqueHandle squatter(CreateEventW(nullptr, TRUE, FALSE, EncoderControl::IoMutexName(identity_).c_str()));
  ASSERT_TRUE(squatter);
  EXPECT_EQ(HRESULT(0x8007F030), ConstructionResult(identity_, &stored));
  EXPECT_EQ(HRESULT(0x8007F060), stored);
  EXPECT_EQ(0u, CardState(card_).openHandles);  // nothing left open
}

TEST_F(EncoderControlTest, MutexIsNamedAfterTheSixIdentityFields) {
  DeviceIdentity card0(L"\\\\?\\sim#ven_5a52&dev_7130&subsys_00011a2b&rev_01#3&2411e6fe&0&48"
                       L"#{65e8773d-8f56-11d0-a3b9-00a0c9223196}\\capture");
  EXPECT_EQ(L"Global\\MutexName_IoCtrl_dev_7130_ven_5a52_subsys_00011a2b_subsys_00011a2b_rev_01_3&2411e6fe&0&48",
            EncoderControl::IoMutexName(card0));
  HRESULT hr = E_FAIL;
  EncoderControl control(identity_, &hr);
  NamedMutex probe(EncoderControl::IoMutexName(identity_).c_str());
  EXPECT_TRUE(probe.AlreadyExists());
}

TEST_F(EncoderControlTest, TimedOutMutexFailsTheRequestInsteadOfRunningUnlocked) {
  HRESULT hr = E_FAIL;
  EncoderControl control(identity_, &hr);
  control.SetIoTimeout(50);
  HeldMutex held(EncoderControl::IoMutexName(identity_));
  ASSERT_TRUE(held.Taken());
  const UINT from = LogNext();
  EXPECT_EQ(HRESULT(0x80070102), Thrown([&] { control.SetFrequency(1, 1); }));
  std::uint32_t level = 0;
  EXPECT_EQ(HRESULT(0x80070102), control.GetSignalLevel(&level));
  EXPECT_TRUE(LogSince(from).empty());
  held.Release();
  EXPECT_EQ(S_OK, control.GetSignalLevel(&level));
}

constexpr int kRequestsPerUser = 4;

void IssueRequests(EncoderControl& control) {
  std::uint32_t value = 0;
  for (int i = 0; i < kRequestsPerUser / 2; ++i) {
    control.SetFrequency(55250000 + i * 6000000, 1);
    control.GetSignalLevel(&value);
  }
}

VORN_CHILD(DriverLinkPeer) {
  // args: state name, device path, ready event name
  if (args.size() != 3 || !AttachStandIn(args[0])) return 2;
  HRESULT hr = E_FAIL;
  return GuardHr(E_FAIL, [&] {
           EncoderControl control(DeviceIdentity(args[1].c_str()), &hr);
           UniqueHandle ready(OpenEventW(EVENT_MODIFY_STATE, FALSE, args[2].c_str()));
           if (ready) SetEvent(ready.get());
           IssueRequests(control);
         }) == S_OK
             ? 0
             : 3;
}

TEST_F(EncoderControlTest, RequestsOfThreadsAndProcessesNeverOverlap) {
  ASSERT_EQ(S_OK, SimDriver_SetDelay(card_, 50));
  const std::wstring readyName = testing_support::UniqueName(L"Global\\VornDriverPeerReady_");
  UniqueHandle ready(CreateEventW(nullptr, TRUE, FALSE, readyName.c_str()));
  auto peer = testing_support::ChildProcess::Start("DriverLinkPeer", {StateName(), path_, readyName});
  ASSERT_TRUE(peer.valid());
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(ready.get(), 30000));

  std::vector<std::thread> users;
  for (int i = 0; i < 3; ++i) {
    users.emplace_back([this] {
      GuardNoThrow([this] {
        HRESULT hr = E_FAIL;
        EncoderControl control(identity_, &hr);
        IssueRequests(control);
      });
    });
  }
  for (auto& user : users) user.join();
  EXPECT_EQ(0u, peer.Wait(30000));
  const SimDriverCardState state = CardState(card_);
  EXPECT_EQ(4u * kRequestsPerUser, state.requests);
  EXPECT_EQ(0u, state.overlaps);
}

TEST_F(EncoderControlTest, OverlapCounterSeesUnserialisedRequests) {
  // The counter the test above relies on: two links without the I/O mutex do overlap.
  ASSERT_EQ(S_OK, SimDriver_SetDelay(card_, 50));
  auto raw = [this] {
    DeviceHandle link;
    if (FAILED(link.Open(identity_, EncoderControl::kDeviceSuffix))) return;
    for (int i = 0; i < 3; ++i) {
      DeviceInfo12 words{};
      link.IoControl(EncoderControl::kDeviceInfo12Code, words.data(), 12, words.data(), 12, nullptr, nullptr);
    }
  };
  std::thread first(raw), second(raw);
  first.join();
  second.join();
  EXPECT_GT(CardState(card_).overlaps, 0u);
}

TEST_F(EncoderControlTest, RegisteredEventsAreSignalledByTheDriver) {
  HRESULT hr = E_FAIL;
  auto control = std::make_unique<EncoderControl>(identity_, &hr);
  HANDLE events[3] = {};
  UniqueHandle watchers[3];
  for (int i = 0; i < 3; ++i) {
    events[i] = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), events[i], GetCurrentProcess(), watchers[i].put(), 0,
                                FALSE, DUPLICATE_SAME_ACCESS));
  }
  control->SetAudioModeEvent(events[0]);
  control->SetEncoderErrorEvent(events[1]);
  control->SetEncoderStopEvent(events[2]);
  // The driver keeps its own reference: the caller may close its handles.
  for (HANDLE e : events) CloseHandle(e);

  auto signalled = [&](int i) { return WaitForSingleObject(watchers[i].get(), 0) == WAIT_OBJECT_0; };
  ASSERT_EQ(S_OK, SimDriver_SetTvAudioMode(card_, 0x32));
  EXPECT_TRUE(signalled(0));
  EXPECT_FALSE(signalled(1) || signalled(2));
  ASSERT_EQ(S_OK, SimDriver_SignalEncoderError(card_));
  EXPECT_TRUE(signalled(1));
  EXPECT_FALSE(signalled(2));
  ASSERT_EQ(S_OK, SimDriver_SignalEncoderStopped(card_));
  EXPECT_TRUE(signalled(2));

  // Closing the link drops its registrations.
  EXPECT_EQ(1u, CardState(card_).events[kSimEventAudioMode]);
  control.reset();
  const SimDriverCardState state = CardState(card_);
  EXPECT_EQ(0u, state.events[kSimEventAudioMode] + state.events[kSimEventEncoderError] +
                    state.events[kSimEventEncoderStopped]);
  EXPECT_EQ(0u, state.openHandles);
}

}  // namespace
