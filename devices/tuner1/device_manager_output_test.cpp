// IOutputData of the first family's device object and its release while recording, against the
// simulated card, the driver stand-in and the doubles of the callback filter and the MPEG
// analyzer (copied beside this program, the device object's module here).
#include "devices/tuner1/testing/device_object_fixture.h"

#include <gtest/gtest.h>
#include <mmsystem.h>
#include <dshow.h>

#include <cstdio>
#include <memory>
#include <vector>
#include <thread>

#include "common/device/device_enum.h"
#include "common/errors.h"
#include "common/testing/paths.h"
#include "devices/core/output_data.h"
#include "devices/core/testing/process_counts.h"
#include "devices/tuner1/testing/output_sink.h"
#include "sim/doubles/double_journal.h"

using Microsoft::WRL::ComPtr;
using namespace driver_test;
using namespace tuner1_test;

namespace {

class OutputData : public DeviceObjectTest {
 protected:
  Sinks sinks_;  // outlive the device objects, released in TearDown

  // Initialises output data on `object` with the minimum recording time `minimumMs`.
  static HRESULT Initialize(DeviceManagerImpl& object, DWORD minimumMs = 0) {
    object.outputGraph().SetMinimumRecTime(minimumMs);
    return object.InitializeOutputData(0);
  }
  // Chooses every type: those of `mask` with `sink` as callback, the others without one; MPEG
  // with `mpegSubtype`.
  static void Choose(DeviceManagerImpl& object, unsigned mask, ULONG mpegSubtype, Sink* sink) {
    for (ULONG type = 1; type <= 3; ++type) {
      _SHAL_OUTPUTDTATA_TYPE choice{type, type == 1 ? mpegSubtype : 0};
      ASSERT_EQ(object.SetOutputDataType(&choice, (mask >> type) & 1 ? sink : nullptr), S_OK) << type;
    }
  }
  // Whether a named kernel object of the device still exists.
  static bool Exists(const std::wstring& name) {
    UniqueHandle mutex(OpenMutexW(SYNCHRONIZE, FALSE, name.c_str()));
    UniqueHandle event(OpenEventW(SYNCHRONIZE, FALSE, name.c_str()));
    return mutex || event;
  }
};

TEST_F(OutputData, StartRecordsTheChosenTypesInTheKeptSubtypesMode) {
  ASSERT_EQ(Initialize(*object_), S_OK);
  EXPECT_EQ(Slot(kSlotOutputProcess), static_cast<std::int32_t>(GetCurrentProcessId()));
  EXPECT_EQ(Slot(kSlotOutputObject), ObjectAddress32(object_.get()));
  struct Case {
    unsigned mask;
    ULONG mpegSubtype;
    std::int32_t mode;  // the encoder's recording-quality column while running
  };
  const Case cases[] = {
      {kMpeg, 0, 0}, {kMpeg | kPcm | kIndex, 1, 1}, {kIndex | kPcm, 2, 2}, {kMpeg, 150, 2}, {kPcm, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.mask << "/" << c.mpegSubtype);
    Sink* sink = &sinks_.Make(c.mask);
    Choose(*object_, c.mask, c.mpegSubtype, sink);
    long count = 0;
    _SHAL_OUTPUTDTATA_TYPE* kept = nullptr;
    ASSERT_EQ(object_->GetOutputDataType(&count, &kept), S_OK);
    ASSERT_EQ(count, 3);
    EXPECT_EQ(kept[0].subtype, c.mpegSubtype);
    CoTaskMemFree(kept);

    ASSERT_EQ(object_->StartOutputData(0), S_OK);
    EXPECT_TRUE(IsSet(NotifyEvent::RecRunning));
    EXPECT_EQ(Slot(kSlotOutputStarted), 1);
    EXPECT_EQ(Slot(kSlotOutputState), 2);
    EXPECT_EQ(CardState(card_).encoderPreset, c.mode);
    EXPECT_TRUE(sink->WaitAll());
    ASSERT_EQ(object_->StopOutputData(1), S_OK);
    EXPECT_FALSE(IsSet(NotifyEvent::RecRunning));
    EXPECT_EQ(Slot(kSlotOutputStarted), 0);
    EXPECT_EQ(Slot(kSlotOutputState), 0);
    EXPECT_EQ(CardState(card_).encoderPreset, 0) << "Stop leaves the encoder in mode 0";
    EXPECT_EQ(sink->seen_.load() & ~c.mask, 0u) << "a type nobody chose was delivered";
    EXPECT_FALSE(sink->bad_.load());
    if (c.mask & kMpeg) {
      EXPECT_EQ(sink->subtype_[0].load(), c.mpegSubtype);
    }
    EXPECT_GE(sink->refs_.load(), 1u) << "a kept callback is referenced";
  }
  // The analyzer is told the capability, the driver file's and this module's versions and the
  // band and functions of the device's slots.
  const auto told = doubles::Journal::Instance().Calls("MpegAnalyzer", "SetParameters");
  ASSERT_FALSE(told.empty());
  EXPECT_EQ(static_cast<DWORD>(told.back().args[0]), 0x80000000u);
  EXPECT_EQ(static_cast<DWORD>(told.back().args[1]), kSimDriverFileVersion);
  EXPECT_EQ(static_cast<DWORD>(told.back().args[3]), 0x04000000u);
  EXPECT_EQ(output_data::ReadFileVersion(testing_support::BinPath(L"tamDevice.dll").c_str()), 100000001u);

  EXPECT_EQ(object_->UninitializeOutputData(0), S_OK);
  for (const auto& sink : sinks_.all()) EXPECT_EQ(sink->refs_.load(), 0u) << "a host's callback is still held";
  EXPECT_EQ(Slot(kSlotOutputProcess), 0);
  EXPECT_EQ(Slot(kSlotOutputObject), 0);
  EXPECT_FALSE(Exists(object_->names().ExclusiveUse(ExclusiveInterface::OutputData)));
}

TEST_F(OutputData, GuardsChoicesAndRunningFailuresGiveTheirCodes) {
  ULONG handle = 0;
  HRESULT error = S_OK;
  _SHAL_OUTPUTDTATA_TYPE mpeg{1, 0};
  const HRESULT notInit = errors::kOutputDataNotInit;
  EXPECT_EQ(object_->GetOutputNotifyEvent(0, &handle), notInit);
  // Both out values are written on every answer (a host reads the second one too).
  ULONG reserve = 0xCDCDCDCD;
  error = static_cast<HRESULT>(0xCDCDCDCD);
  EXPECT_EQ(object_->GetOutputLastError(&error, &reserve), notInit);
  EXPECT_EQ(error, S_OK);
  EXPECT_EQ(reserve, 0u);
  EXPECT_EQ(object_->SetOutputDataType(&mpeg, nullptr), notInit);
  EXPECT_EQ(object_->StartOutputData(0), notInit);
  EXPECT_EQ(object_->StopOutputData(0), notInit);
  EXPECT_EQ(object_->UninitializeOutputData(0), S_OK);

  ASSERT_EQ(Initialize(*object_), S_OK);
  EXPECT_EQ(object_->InitializeOutputData(0), errors::kOutputDataInUse);
  other_ = NewObject();
  ASSERT_TRUE(other_);
  EXPECT_EQ(other_->InitializeOutputData(0), errors::kOutputDataInUse);
  EXPECT_EQ(object_->InitializeAutoScan(0), errors::kOutputDataInUse);

  struct Choice {
    ULONG type, subtype;
    HRESULT result;
  };
  const Choice choices[] = {{1, 3, errors::kDmInvalidArg}, {1, 99, errors::kDmInvalidArg},
                            {1, 100, S_OK},                {2, 1, errors::kDmInvalidArg},
                            {4, 0, errors::kOutputUnknownValue}, {3, 200, S_OK}};
  for (const Choice& c : choices) {
    _SHAL_OUTPUTDTATA_TYPE choice{c.type, c.subtype};
    EXPECT_EQ(object_->SetOutputDataType(&choice, nullptr), c.result) << c.type << "/" << c.subtype;
  }
  EXPECT_EQ(object_->SetOutputDataType(nullptr, nullptr), errors::kDmNullPointer);
  ComPtr<IHalItem> info;
  ASSERT_EQ(object_->GetOutputDataInfo(1, 2, info.GetAddressOf()), S_OK);
  EXPECT_EQ(hal_items::ReadInteger(info.Get(), 10), 352);
  EXPECT_EQ(object_->GetOutputDataInfo(2, 1, info.ReleaseAndGetAddressOf()), errors::kOutputUnknownValue);

  Sink& sink = sinks_.Make(kMpeg);
  Choose(*object_, kMpeg, 0, &sink);
  _SHAL_INPUT_AUDIOMODE mode{7, 7, 7};
  EXPECT_EQ(object_->GetOutputInputAudioMode(&mode), static_cast<HRESULT>(0x80040226));
  EXPECT_EQ(mode.mainL, 0u) << "the record is cleared first";
  ASSERT_EQ(object_->StartOutputData(0), S_OK);
  EXPECT_EQ(object_->SetOutputDataType(&mpeg, &sink), VFW_E_NOT_STOPPED);
  EXPECT_EQ(object_->GetOutputInputAudioMode(&mode), S_OK);
  ASSERT_EQ(object_->GetOutputNotifyEvent(0, &handle), S_OK);
  ASSERT_EQ(SimDriver_SignalEncoderError(card_), S_OK);
  EXPECT_EQ(WaitForSingleObject(reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(handle)), kSinkWaitMs),
            WAIT_OBJECT_0);
  reserve = 0xCDCDCDCD;
  ASSERT_EQ(object_->GetOutputLastError(&error, &reserve), S_OK);
  EXPECT_EQ(error, errors::kEncoderFailure);
  EXPECT_EQ(reserve, 0u);
  EXPECT_EQ(object_->StopOutputData(0), S_OK);
  EXPECT_EQ(object_->SetOutputDataType(&mpeg, &sink), S_OK) << "stopped again: the types can change";
  EXPECT_EQ(object_->UninitializeOutputData(0), S_OK);
  EXPECT_EQ(other_->InitializeOutputData(0), S_OK) << "free again for another object";
}

TEST_F(OutputData, StartWaitsForTheChannelToSettleAndStopForTheMinimumTime) {
  ASSERT_EQ(object_->InitializeInputSwitch(0), S_OK);
  ASSERT_EQ(object_->SetChannel(Channel(1, 91250000).Get()), S_OK);
  ASSERT_EQ(Initialize(*object_, 300), S_OK);
  Sink& sink = sinks_.Make(kMpeg);
  Choose(*object_, kMpeg, 0, &sink);
  InstanceRecord* record = object_->instanceStamp().record();
  ASSERT_NE(record, nullptr);
  ASSERT_EQ(object_->channelInterval(), 100u);
  struct Case {
    const char* what;
    std::uint32_t channelSet;
    DWORD changedAgoMs;
    DWORD atLeastMs;
  };
  const Case cases[] = {
      {"no channel change", 0, 0, 0},
      {"30 ms after the change", 1, 30, 70},
      {"in the change's millisecond", 1, 0, 100},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    record->channelSet = c.channelSet;
    const DWORD before = timeGetTime();
    record->lastChangeMs = before - c.changedAgoMs;
    ASSERT_EQ(object_->StartOutputData(0), S_OK);
    const DWORD started = timeGetTime();
    EXPECT_GE(started - before + 2, c.atLeastMs);  // timer granularity
    EXPECT_LT(started - before, c.atLeastMs + 1000);
    ASSERT_EQ(object_->StopOutputData(0), S_OK);
    EXPECT_GE(timeGetTime() - started + 20, 300u) << "stopped before the minimum recording time";
  }
  // The analyzer hears of the band and functions the channel set (tuner band 1, no function).
  const auto told = doubles::Journal::Instance().Calls("MpegAnalyzer", "SetParameters");
  ASSERT_FALSE(told.empty());
  EXPECT_EQ(static_cast<DWORD>(told.back().args[3]), output_data::StatusWordD(Slot(kSlotBand), Slot(kSlotTunerFunction)));
}

// The thread and handle counts of this process, once the threads are down to `threadsAtMost`
// (threads end a little after they are told to; bounded).
void SettledCounts(unsigned* threads, unsigned* handles, unsigned threadsAtMost = ~0u) {
  for (int i = 0; i < 100; ++i) {
    *threads = testing_support::ThreadCount();
    if (*threads <= threadsAtMost) break;
    Sleep(20);
  }
  *handles = testing_support::HandleCount();
}

unsigned PlatformHandlesPerSession(const DeviceIdentity& identity);

TEST_F(OutputData, ReleaseWhileRecordingOnAnotherThreadFreesEverything) {
  // One session first: what the process loads once stays loaded.
  unsigned platform = 0;
  for (int session = 0; session < 2; ++session) {
    SCOPED_TRACE(session);
    Sink& sink = sinks_.Make(kMpeg | kPcm | kIndex);
    if (session == 1) platform = PlatformHandlesPerSession(DeviceIdentity(path_.c_str()));
    unsigned threadsBefore = 0, handlesBefore = 0;
    SettledCounts(&threadsBefore, &handlesBefore);
    const std::wstring exclusive = object_->names().ExclusiveUse(ExclusiveInterface::OutputData);
    const std::wstring recording = object_->names().RecRunningEvent();
    std::thread recorder([&] {
      CoInitializeEx(nullptr, COINIT_MULTITHREADED);
      ASSERT_EQ(object_->InitializeInputSwitch(0), S_OK);
      ASSERT_EQ(Initialize(*object_), S_OK);
      Choose(*object_, kMpeg | kPcm | kIndex, 1, &sink);
      ASSERT_EQ(object_->StartOutputData(0), S_OK);
      CoUninitialize();
    });
    recorder.join();
    ASSERT_TRUE(sink.WaitAll());
    EXPECT_GT(testing_support::ThreadCount(), threadsBefore) << "the recording's threads are counted";
    EXPECT_TRUE(Exists(recording));
    EXPECT_GT(CardState(card_).openHandles, 0u);

    const DWORD start = GetTickCount();
    object_.reset();
    EXPECT_LT(GetTickCount() - start, 3000u);
    EXPECT_EQ(sink.refs_.load(), 0u);
    EXPECT_EQ(CardState(card_).openHandles, 0u);
    EXPECT_FALSE(Exists(exclusive));
    EXPECT_FALSE(Exists(recording));
    unsigned threadsAfter = 0, handlesAfter = 0;
    SettledCounts(&threadsAfter, &handlesAfter, threadsBefore);
    if (session == 1) {
      EXPECT_LE(threadsAfter, threadsBefore);
      EXPECT_LE(handlesAfter, handlesBefore + platform);
    }
    object_ = NewObject();
    ASSERT_TRUE(object_) << "the device can be set up again";
  }
}

// The handles the platform itself keeps for what one session does: Wine's filter graph
// manager keeps one per graph and its device enumerator some per enumeration. A session makes
// three graphs (tuner, crossbar, output) and binds seven device filters.
unsigned PlatformHandlesPerSession(const DeviceIdentity& identity) {
  const unsigned before = testing_support::HandleCount();
  for (int graphs = 0; graphs < 3; ++graphs) {
    ComPtr<IGraphBuilder> graph;
    if (FAILED(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                reinterpret_cast<void**>(graph.GetAddressOf()))))
      return 0;
    ComPtr<IMediaEventEx> events;
    OAEVENT event = 0;
    if (SUCCEEDED(graph->QueryInterface(IID_IMediaEventEx, reinterpret_cast<void**>(events.GetAddressOf()))))
      events->GetEventHandle(&event);
  }
  static constexpr GUID kTvAudio = {0xa799a802, 0xa46d, 0x11d0, {0xa1, 0x8c, 0x00, 0xa0, 0x24, 0x01, 0xdc, 0xd4}};
  static constexpr GUID kEncoder = {0x19689bf6, 0xc384, 0x48fd, {0xad, 0x51, 0x90, 0xe5, 0x8c, 0x79, 0xf7, 0x0b}};
  const struct {
    const GUID* category;
    const wchar_t* name;
  } filters[] = {{&AM_KSCATEGORY_TVTUNER, L"VEKA TV Tuner"},         {&AM_KSCATEGORY_CROSSBAR, L"VEKA Crossbar"},
                 {&CLSID_VideoInputDeviceCategory, L"VEKA Capture Device"}, {&AM_KSCATEGORY_CROSSBAR, L"VEKA Crossbar"},
                 {&kTvAudio, L"VEKA TV Audio"},                       {&CLSID_VideoInputDeviceCategory, L"VEKA Capture Device"},
                 {&kEncoder, L"VEKA Encoder/Multiplexer"}};
  for (const auto& f : filters) {
    ComPtr<IBaseFilter> filter;
    DeviceEnum::BindFilter(filter.GetAddressOf(), &identity, *f.category, f.name, 0);
  }
  return testing_support::HandleCount() - before;
}

// Slow (about a minute): fifty sessions of set-up, tuning, recording, stop and release in one
// process keep the thread count level and add no handle beyond what the platform keeps.
TEST_F(OutputData, SlowFiftySessionsKeepThreadAndHandleCountsLevel) {
  object_.reset();
  unsigned firstThreads = 0, firstHandles = 0, platform = 0;
  for (int cycle = 1; cycle <= 50; ++cycle) {
    {
      Sink sink(kMpeg | kPcm | kIndex);  // declared first: outlives the object
      auto object = NewObject();
      ASSERT_TRUE(object);
      ASSERT_EQ(object->InitializeInputSwitch(0), S_OK);
      ASSERT_EQ(object->SetChannel(Channel(1, 91250000).Get()), S_OK);
      ASSERT_EQ(Initialize(*object), S_OK);
      Choose(*object, kMpeg | kPcm | kIndex, 2, &sink);
      ASSERT_EQ(object->StartOutputData(0), S_OK);
      ASSERT_TRUE(sink.WaitAll()) << cycle;
      ASSERT_EQ(object->StopOutputData(0), S_OK);
    }
    unsigned threads = 0, handles = 0;
    SettledCounts(&threads, &handles, cycle > 2 ? firstThreads : ~0u);
    if (cycle == 2) {  // the first session loads what stays loaded
      platform = PlatformHandlesPerSession(DeviceIdentity(path_.c_str()));
      firstThreads = threads;
      firstHandles = testing_support::HandleCount();
    }
    if (cycle == 2 || cycle % 10 == 0) {
      std::printf("soak: after session %d: %u threads, %u handles\n", cycle, threads, handles);
      std::fflush(stdout);
    }
    if (cycle == 50) {
      std::printf("soak: the platform keeps %u handles per session (filter graphs, device enumerations)\n", platform);
      EXPECT_LE(threads, firstThreads);
      EXPECT_LE(handles, firstHandles + 48 * platform);
    }
  }
}

}  // namespace
