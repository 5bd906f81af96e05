#include "devices/tuner2/streaming_device_control.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <initializer_list>
#include <thread>
#include <vector>

#include "common/handles.h"
#include "common/hresult.h"
#include "common/locks.h"
#include "devices/core/testing/sim_card_fixture.h"
#include "devices/core/link/testing/link_test_support.h"

using namespace driver_test;
using link_testing::Packet;
using link_testing::Thrown;
using link_testing::HeldMutex;

namespace {

using Control = StreamingDeviceControl;

// The property sets as they lie in memory.
constexpr std::uint8_t kTunerSet[16] = {0x96, 0x86, 0xC9, 0xC4, 0xBC, 0x07, 0xF4, 0x4E,
                                        0x91, 0xC3, 0xDE, 0x5E, 0x36, 0xCB, 0xC3, 0x06};
constexpr std::uint8_t kSwitchSet[16] = {0x91, 0x2B, 0x27, 0x2D, 0xCD, 0x18, 0x6E, 0x42,
                                         0xA5, 0xE6, 0x19, 0x3A, 0xE5, 0xF3, 0x71, 0xA8};
constexpr std::uint8_t kRecordSet[16] = {0xF9, 0x8D, 0x54, 0x46, 0x5C, 0xF5, 0xE5, 0x4D,
                                         0x93, 0x16, 0xAE, 0xF9, 0xBF, 0xC5, 0x24, 0xD1};

std::uint32_t Low32(HANDLE h) { return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(h)); }

// An encoder record whose every byte differs: byte i holds i + 1, word 0 the tuner index.
Control::EncoderParameters Record(std::uint8_t tuner) {
  Control::EncoderParameters record{};
  for (size_t i = 0; i < record.size(); ++i) record[i] = static_cast<std::uint8_t>(i + 1);
  record[0] = tuner;
  record[1] = record[2] = record[3] = 0;
  return record;
}

class StreamingDeviceControlTest : public SimCardTest {
 protected:
  void SetUp() override {
    SimCardTest::SetUp();
    HRESULT hr = E_FAIL;
    control_ = std::make_unique<Control>(identity_, &hr);
    ASSERT_EQ(S_OK, hr);
  }
  std::unique_ptr<Control> control_;
};

TEST_F(StreamingDeviceControlTest, EveryRequestSendsItsExactPacket) {
  UniqueHandle tunerEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  UniqueHandle recordEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  Control& c = *control_;
  Control::HardwareInfo hardware{};
  Control::TunerInfo tuner{};
  Control::FrequencyRecord frequency = {1, 0, 0x77};
  Control::ValueRecord value = {1, 0};
  Control::EncoderParameters encoder = Record(1);

  const UINT from = LogNext();
  c.GetHardwareInfo(&hardware);
  c.GetTunerInfo(&tuner);
  c.SetTunerEvent(1, tunerEvent.get());
  c.SetScanMode(1, 3);
  c.Tune(1, 55250000, 2);
  c.GetTunedFrequency(&frequency);
  c.GetSignalLevel(&value);
  c.GetCaptureSwitch1(&value);
  c.SetCaptureSwitch1(1, 1);
  c.GetCaptureSwitch0(&value);
  c.SetCaptureSwitch0(1, 0);
  c.SetRecordEvent0(1, recordEvent.get());
  c.SetRecordEvent1(0, recordEvent.get());
  c.SetEncoderParameters(encoder);
  c.GetEncoderParameters(&encoder);

  // The aligned encoder packet: packed bytes 0-51, 52, 53-68, 69, 70-77 at 24, 76, 80, 96, 100.
  auto encoderPacket = [&](std::uint32_t dir, bool whole) {
    std::vector<std::uint8_t> bytes = Packet(kRecordSet, 2, dir, {});
    const Control::EncoderParameters r = whole ? Record(1) : Control::EncoderParameters{1};
    bytes.insert(bytes.end(), r.begin(), r.begin() + 52);
    bytes.insert(bytes.end(), {r[52], 0, 0, 0});
    bytes.insert(bytes.end(), r.begin() + 53, r.begin() + 69);
    bytes.insert(bytes.end(), {r[69], 0, 0, 0});
    bytes.insert(bytes.end(), r.begin() + 70, r.end());
    return bytes;
  };
  const struct {
    DWORD code;
    std::vector<std::uint8_t> bytes;
  } expected[] = {
      {0x220190, std::vector<std::uint8_t>(12, 0)},
      {0x220194, std::vector<std::uint8_t>(32, 0)},
      {0x220000, Packet(kTunerSet, 0, 2, {1, Low32(tunerEvent.get())})},
      {0x220000, Packet(kTunerSet, 1, 2, {1, 3})},
      {0x220000, Packet(kTunerSet, 2, 2, {1, 55250000, 2})},
      {0x220000, Packet(kTunerSet, 2, 1, {1, 0, 0x77})},
      {0x220000, Packet(kTunerSet, 3, 1, {1, 0})},
      {0x220000, Packet(kSwitchSet, 1, 1, {1, 0})},
      {0x220000, Packet(kSwitchSet, 1, 2, {1, 1})},
      {0x220000, Packet(kSwitchSet, 2, 1, {1, 0})},
      {0x220000, Packet(kSwitchSet, 2, 2, {1, 0})},
      {0x220000, Packet(kRecordSet, 0, 2, {1, Low32(recordEvent.get())})},
      {0x220000, Packet(kRecordSet, 1, 2, {0, Low32(recordEvent.get())})},
      {0x220000, encoderPacket(2, true)},
      {0x220000, encoderPacket(1, false)},
  };
  const auto log = LogSince(from);
  ASSERT_EQ(std::size(expected), log.size());
  for (size_t i = 0; i < log.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(expected[i].code, log[i].code);
    EXPECT_EQ(expected[i].bytes.size(), log[i].inSize);
    EXPECT_EQ(expected[i].bytes.size(), log[i].outSize);
    EXPECT_EQ(0u, log[i].error);
    EXPECT_EQ(expected[i].bytes, std::vector<std::uint8_t>(log[i].packet, log[i].packet + log[i].inSize));
  }
}

TEST_F(StreamingDeviceControlTest, GetsFillOnlyTheWordsTheyRead) {
  Control& c = *control_;
  ASSERT_EQ(S_OK, SimDriver_SetStation(card_, 183250000, 7));
  c.Tune(2, 183250000, 1);
  c.SetCaptureSwitch0(2, 1);
  c.SetEncoderParameters(Record(2));

  Control::FrequencyRecord frequency = {2, 0xAAAA, 0x55};
  c.GetTunedFrequency(&frequency);
  EXPECT_EQ((Control::FrequencyRecord{2, 183250000, 0x55}), frequency);
  Control::ValueRecord level = {2, 0xAAAA};
  c.GetSignalLevel(&level);
  EXPECT_EQ((Control::ValueRecord{2, 7}), level);  // codes outside 0-4 pass unchanged
  Control::ValueRecord sw = {2, 0xAAAA};
  c.GetCaptureSwitch0(&sw);
  EXPECT_EQ(1u, sw[1]);
  c.GetCaptureSwitch1(&sw);
  EXPECT_EQ(0u, sw[1]);

  // The driver keeps the record packed per tuner; the answer comes back packed, bytes 52 and 69
  // included, and the key stays as the caller sent it.
  SimDriverTunerState tuner{};
  ASSERT_EQ(S_OK, SimDriver_GetTunerState(card_, 2, &tuner));
  const Control::EncoderParameters stored = Record(2);
  EXPECT_EQ(0, std::memcmp(stored.data(), tuner.encoderRecord, stored.size()));
  EXPECT_EQ(183250000u, tuner.frequency);
  EXPECT_EQ(1u, tuner.tuneMode);
  Control::EncoderParameters read{2};
  c.GetEncoderParameters(&read);
  EXPECT_EQ(stored, read);
  Control::EncoderParameters other{3};
  c.GetEncoderParameters(&other);  // another tuner's record is its own
  EXPECT_EQ(3u, other[0]);
  EXPECT_EQ(0u, other[52]);
}

TEST_F(StreamingDeviceControlTest, NullOutPointersThrowBeforeAnyRequest) {
  Control& c = *control_;
  const UINT from = LogNext();
  const std::function<void()> calls[] = {
      [&] { c.GetHardwareInfo(nullptr); },     [&] { c.GetTunerInfo(nullptr); },
      [&] { c.GetTunedFrequency(nullptr); },   [&] { c.GetSignalLevel(nullptr); },
      [&] { c.GetCaptureSwitch0(nullptr); },   [&] { c.GetCaptureSwitch1(nullptr); },
      [&] { c.GetEncoderParameters(nullptr); },
  };
  for (const auto& call : calls) EXPECT_EQ(E_POINTER, Thrown(call));
  EXPECT_TRUE(LogSince(from).empty());
}

TEST_F(StreamingDeviceControlTest, DriverFailuresAreThrownFoldedAndLeaveTheRecord) {
  Control& c = *control_;
  const struct {
    DWORD error;
    HRESULT expected;
  } cases[] = {{ERROR_GEN_FAILURE, HRESULT(0x8007001F)},
               {0x12345, HRESULT(0x80072345)},
               {0x8007000E, HRESULT(0x8007000E)},
               {0, HRESULT(0x8007F030)}};  // a failure without a code is still a failure
  for (const auto& f : cases) {
    SCOPED_TRACE(f.error);
    const SimDriverFault fault{0x220000, StreamTunerPropertySet, 3, 1, f.error};
    ASSERT_EQ(S_OK, SimDriver_InjectFault(card_, &fault));
    Control::ValueRecord level = {0, 0xAAAA};
    EXPECT_EQ(f.expected, Thrown([&] { c.GetSignalLevel(&level); }));
    EXPECT_EQ(0xAAAAu, level[1]);
    EXPECT_EQ(S_OK, Thrown([&] { c.GetSignalLevel(&level); }));
  }
  // The driver refuses a wrong packet size, which the link never sends.
  DeviceHandle raw;
  ASSERT_EQ(S_OK, raw.Open(identity_, Control::kDeviceSuffix));
  auto tune = driver_packets::MakeCommandPacket(StreamTunerPropertySet, 2, 2, 0, 1, 1);
  EXPECT_EQ(HRESULT(0x80070057), raw.IoControl(0x220000, &tune, 32, &tune, 32, nullptr, nullptr));
  EXPECT_EQ(S_OK, raw.IoControl(0x220000, &tune, 36, &tune, 36, nullptr, nullptr));
}

TEST_F(StreamingDeviceControlTest, RegisteredEventsAreSignalledAndGoWithTheLink) {
  UniqueHandle events[3];
  for (auto& e : events) e.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  control_->SetTunerEvent(0, events[0].get());
  control_->SetRecordEvent0(0, events[1].get());
  control_->SetRecordEvent1(0, events[2].get());
  auto signalled = [&](int i) { return WaitForSingleObject(events[i].get(), 0) == WAIT_OBJECT_0; };
  ASSERT_EQ(S_OK, SimDriver_SetTvAudioMode(card_, 2));
  EXPECT_TRUE(signalled(0));
  EXPECT_FALSE(signalled(1) || signalled(2));
  ASSERT_EQ(S_OK, SimDriver_SignalEncoderStopped(card_));  // record event 1: the stream stopped
  EXPECT_TRUE(signalled(2));
  EXPECT_FALSE(signalled(1));
  ASSERT_EQ(S_OK, SimDriver_SignalEncoderError(card_));
  EXPECT_TRUE(signalled(1));

  control_.reset();
  const SimDriverCardState state = CardState(card_);
  EXPECT_EQ(0u, state.events[kSimEventAudioMode] + state.events[kSimEventEncoderError] +
                    state.events[kSimEventEncoderStopped]);
  EXPECT_EQ(0u, state.openHandles);
}

HRESULT ConstructionResult(const DeviceIdentity& identity, HRESULT* stored) {
  return Thrown([&] { Control control(identity, stored); });
}

TEST_F(StreamingDeviceControlTest, ConstructionThrowsAndLeavesNothingOpen) {
  control_.reset();
  HRESULT stored = S_OK;
  EXPECT_EQ(E_POINTER, ConstructionResult(identity_, nullptr));
  EXPECT_EQ(HRESULT(0x80070002), ConstructionResult(DeviceIdentity(CardPath(testing_support::UniqueName(L"99_")).c_str()), &stored));
  EXPECT_EQ(HRESULT(0x80070002), stored);
  // Another kind of object under the mutex's name: the mutex cannot be made, the device closes.
  UniqueHandle squatter(CreateEventW(nullptr, TRUE, FALSE, Control::IoMutexName(identity_).c_str()));
  ASSERT_TRUE(squatter);
  EXPECT_EQ(E_FAIL, ConstructionResult(identity_, &stored));
  EXPECT_EQ(0u, CardState(card_).openHandles);
}

TEST_F(StreamingDeviceControlTest, TimedOutMutexFailsTheRequest) {
  control_->SetIoTimeout(50);
  HeldMutex held(Control::IoMutexName(identity_));
  ASSERT_TRUE(held.Taken());
  const UINT from = LogNext();
  EXPECT_EQ(HRESULT(0x80070102), Thrown([&] { control_->SetScanMode(0, 1); }));
  EXPECT_TRUE(LogSince(from).empty());
  held.Release();
  EXPECT_EQ(S_OK, Thrown([&] { control_->SetScanMode(0, 1); }));
}

// Requests through the link, or (the negative control) through a bare handle without the mutex.
constexpr int kRequests = 60;
void IssueRequests(const DeviceIdentity& identity, bool locked) {
  if (locked) {
    HRESULT hr = E_FAIL;
    Control control(identity, &hr);
    for (int i = 0; i < kRequests; ++i) control.SetScanMode(0, i & 1);
    return;
  }
  DeviceHandle raw;
  ThrowIfFailed(raw.Open(identity, Control::kDeviceSuffix));
  for (int i = 0; i < kRequests; ++i) {
    auto packet = driver_packets::MakeCommandPacket(StreamTunerPropertySet, 1, 2, 0, i & 1);
    raw.IoControl(0x220000, &packet, 32, &packet, 32, nullptr, nullptr);
  }
}

VORN_CHILD(StreamingPeer) {
  // args: state name, device path, ready event, go event, "locked" or "raw"
  if (args.size() != 5 || !AttachStandIn(args[0])) return 2;
  UniqueHandle ready(OpenEventW(EVENT_MODIFY_STATE, FALSE, args[2].c_str()));
  UniqueHandle go(OpenEventW(SYNCHRONIZE, FALSE, args[3].c_str()));
  if (!ready || !go) return 3;
  SetEvent(ready.get());
  if (WaitForSingleObject(go.get(), 30000) != WAIT_OBJECT_0) return 4;
  return GuardHr(E_FAIL, [&] { IssueRequests(DeviceIdentity(args[1].c_str()), args[4] == L"locked"); }) == S_OK ? 0 : 5;
}

TEST_F(StreamingDeviceControlTest, TwoProcessesNeverOverlapAndWithoutTheMutexTheyDo) {
  control_.reset();
  ASSERT_EQ(S_OK, SimDriver_SetDelay(card_, 2));
  for (const bool locked : {true, false}) {
    SCOPED_TRACE(locked);
    ASSERT_EQ(S_OK, SimDriver_ResetCounters(card_));
    const std::wstring readyName = testing_support::UniqueName(L"Global\\VornStreamPeerReady_");
    const std::wstring goName = testing_support::UniqueName(L"Global\\VornStreamPeerGo_");
    UniqueHandle ready(CreateEventW(nullptr, TRUE, FALSE, readyName.c_str()));
    UniqueHandle go(CreateEventW(nullptr, TRUE, FALSE, goName.c_str()));
    auto peer = testing_support::ChildProcess::Start(
        "StreamingPeer", {StateName(), path_, readyName, goName, locked ? L"locked" : L"raw"});
    ASSERT_TRUE(peer.valid());
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(ready.get(), 30000));
    SetEvent(go.get());
    EXPECT_EQ(S_OK, GuardHr(E_FAIL, [&] { IssueRequests(identity_, locked); }));
    EXPECT_EQ(0u, peer.Wait(30000));
    const SimDriverCardState state = CardState(card_);
    EXPECT_EQ(2u * kRequests, state.requests);
    if (locked) {
      EXPECT_EQ(0u, state.overlaps);
    } else {
      EXPECT_GT(state.overlaps, 0u);
    }
  }
}

}  // namespace
