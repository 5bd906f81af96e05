// The two modules as the device managers and the platform see them: loaded without
// registration through DllGetClassObject, registered and unregistered (the shared page class
// included), and the audio pacer's clock made the sync source of Wine's filter graph.
#include <gtest/gtest.h>
#include <windows.h>
#include <mmreg.h>

#include <cstring>
#include <string>

#include "common/handles.h"
#include "common/module.h"
#include "common/testing/paths.h"
#include "common/testing/com_module.h"
#include "common/testing/registry_fixture.h"
#include "filters/base/testkit/mapper_record.h"
#include "filters/base/testkit/push_source.h"
#include "filters/base/testkit/recording_sink.h"
#include "filters/base/testkit/video_types.h"
#include "filters/include/field_video.h"
#include "filters/include/filter_interfaces.h"
#include "filters/pacers/pacer_ids.h"

using namespace graph_testkit;
using testing_support::BinPath;
using testing_support::ClassKey;
using testing_support::KeyExists;
using testing_support::ReadString;

namespace {

using Module = testing_support::ComModule;

// The first pin of a direction (as the device managers find them).
IPin* FirstPin(IBaseFilter* filter, PIN_DIRECTION wanted) {
  IEnumPins* pins = nullptr;
  if (FAILED(filter->EnumPins(&pins))) return nullptr;
  IPin* pin = nullptr;
  IPin* found = nullptr;
  while (!found && pins->Next(1, &pin, nullptr) == S_OK) {
    PIN_DIRECTION direction = PINDIR_INPUT;
    pin->QueryDirection(&direction);
    if (direction == wanted) {
      found = pin;
    } else {
      pin->Release();
    }
  }
  pins->Release();
  return found;
}

CMediaType PcmType() {
  CMediaType type;
  type.SetType(&MEDIATYPE_Audio);
  type.SetSubtype(&MEDIASUBTYPE_PCM);
  type.SetFormatType(&FORMAT_WaveFormatEx);
  type.SetSampleSize(4);
  WAVEFORMATEX wfx{WAVE_FORMAT_PCM, 2, 48000, 192000, 4, 16, 0};
  std::memcpy(type.AllocFormatBuffer(sizeof(wfx)), &wfx, sizeof(wfx));
  return type;
}

class PacerModules : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))); }
  void TearDown() override { CoUninitialize(); }
};

}  // namespace

TEST_F(PacerModules, BothLoadWithoutRegistrationThroughTheirClassFactories) {
  struct Case {
    const wchar_t* file;
    const CLSID* filter;
    bool clock;
  };
  for (const Case& c : {Case{L"AudioPacer.ax", &CLSID_AudioPacer, true}, Case{L"VideoPacer.ax", &CLSID_VideoPacer, false}}) {
    SCOPED_TRACE(testing::Message() << static_cast<const void*>(c.file));
    Module module(c.file);
    ASSERT_TRUE(module.valid());
    EXPECT_FALSE(KeyExists(ClassKey(*c.filter)));  // not registered

    IBaseFilter* filter = nullptr;
    ASSERT_EQ(module.Create(*c.filter, IID_IBaseFilter, reinterpret_cast<void**>(&filter)), S_OK);
    IPacerSettings* settings = nullptr;
    ASSERT_EQ(filter->QueryInterface(IID_IPacerSettings, reinterpret_cast<void**>(&settings)), S_OK);
    settings->SetAllocatorBuffers(3);  // what the device managers do right after creation
    settings->SetDelay(20);
    settings->SetHwTimeStamp(0);
    EXPECT_EQ(settings->GetDelay(), 20);
    settings->Release();
    IReferenceClock* clock = nullptr;
    EXPECT_EQ(filter->QueryInterface(IID_IReferenceClock, reinterpret_cast<void**>(&clock)),
              c.clock ? S_OK : E_NOINTERFACE);
    if (clock) clock->Release();
    IPin* in = FirstPin(filter, PINDIR_INPUT);
    IPin* out = FirstPin(filter, PINDIR_OUTPUT);
    EXPECT_NE(in, nullptr);
    EXPECT_NE(out, nullptr);
    if (in) in->Release();
    if (out) out->Release();
    EXPECT_EQ(module.CanUnloadNow(), S_FALSE);

    IPropertyPage* page = nullptr;
    ASSERT_EQ(module.Create(CLSID_LiveSyncPage, IID_IPropertyPage, reinterpret_cast<void**>(&page)), S_OK);
    PROPPAGEINFO info{};
    ASSERT_EQ(page->GetPageInfo(&info), S_OK);
    EXPECT_STREQ(info.pszTitle, L"Live Sync");  // the module's own resources
    CoTaskMemFree(info.pszTitle);
    EXPECT_EQ(page->Release(), 0u);

    EXPECT_EQ(filter->Release(), 0u);
    EXPECT_EQ(module.CanUnloadNow(), S_OK);
    void* none = nullptr;
    EXPECT_EQ(module.GetClassObject(CLSID_NULL, IID_IClassFactory, &none), CLASS_E_CLASSNOTAVAILABLE);
  }
}

TEST_F(PacerModules, RegistrationAndTheSharedPageClass) {
  Module audio(L"AudioPacer.ax");
  Module video(L"VideoPacer.ax");
  ASSERT_TRUE(audio.valid() && video.valid());
  const std::wstring page = ClassKey(CLSID_LiveSyncPage) + L"\\InprocServer32";

  ASSERT_EQ(audio.Register(), S_OK);
  ASSERT_EQ(video.Register(), S_OK);
  EXPECT_EQ(ReadString(ClassKey(CLSID_AudioPacer), nullptr), L"Zarn Live Audio Sync Filter");
  EXPECT_EQ(ReadString(ClassKey(CLSID_VideoPacer), nullptr), L"Zarn Live Video Sync Filter");
  EXPECT_EQ(ReadString(ClassKey(CLSID_LiveSyncPage), nullptr), L"Zarn Live Sync Property Page");
  EXPECT_EQ(ReadString(ClassKey(CLSID_AudioPacer) + L"\\InprocServer32", L"ThreadingModel"), L"Both");
  EXPECT_EQ(_wcsicmp(ReadString(page, nullptr).c_str(), video.path().c_str()), 0);  // the last to register
  const std::pair<GUID, GUID> pcm{MEDIATYPE_Audio, MEDIASUBTYPE_PCM};
  const std::pair<GUID, GUID> yuy2{MEDIATYPE_Video, MEDIASUBTYPE_YUY2}, tiled{MEDIATYPE_Video, MEDIASUBTYPE_Tiled420};
  EXPECT_EQ(Describe(ReadMapperRecord(CLSID_AudioPacer)),
            Describe(L"Zarn Live Audio Sync Filter", 0x200000, {{0, {pcm}}, {REG_PINFLAG_B_OUTPUT, {pcm}}}));
  EXPECT_EQ(Describe(ReadMapperRecord(CLSID_VideoPacer)),
            Describe(L"Zarn Live Video Sync Filter", 0x200000,
                     {{0, {yuy2, tiled}}, {REG_PINFLAG_B_OUTPUT, {yuy2, tiled}}}));

  // Registered, both are made by COM itself.
  for (const CLSID* clsid : {&CLSID_AudioPacer, &CLSID_VideoPacer}) {
    IBaseFilter* filter = nullptr;
    ASSERT_EQ(CoCreateInstance(*clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                               reinterpret_cast<void**>(&filter)), S_OK);
    EXPECT_EQ(filter->Release(), 0u);
  }

  // Unregistering the audio pacer leaves the page, which names the video pacer's module.
  ASSERT_EQ(audio.Unregister(), S_OK);
  EXPECT_FALSE(KeyExists(ClassKey(CLSID_AudioPacer)));
  EXPECT_TRUE(KeyExists(page));
  IPropertyPage* p = nullptr;
  ASSERT_EQ(CoCreateInstance(CLSID_LiveSyncPage, nullptr, CLSCTX_INPROC_SERVER, IID_IPropertyPage,
                             reinterpret_cast<void**>(&p)), S_OK);
  EXPECT_EQ(p->Release(), 0u);
  ASSERT_EQ(video.Unregister(), S_OK);
  EXPECT_FALSE(KeyExists(ClassKey(CLSID_VideoPacer)));
  EXPECT_FALSE(KeyExists(ClassKey(CLSID_LiveSyncPage)));
  EXPECT_EQ(video.Unregister(), S_OK);  // twice is harmless
}

TEST_F(PacerModules, TheAudioClockDrivesWinesGraphAndTheFiltersOutliveIt) {
  Module audio(L"AudioPacer.ax");
  Module video(L"VideoPacer.ax");
  IGraphBuilder* graph = nullptr;
  ASSERT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                             reinterpret_cast<void**>(&graph)), S_OK);
  IBaseFilter* audioPacer = nullptr;
  IBaseFilter* videoPacer = nullptr;
  ASSERT_EQ(audio.Create(CLSID_AudioPacer, IID_IBaseFilter, reinterpret_cast<void**>(&audioPacer)), S_OK);
  ASSERT_EQ(video.Create(CLSID_VideoPacer, IID_IBaseFilter, reinterpret_cast<void**>(&videoPacer)), S_OK);
  TestPushSource* sound = TestPushSource::Create({PcmType()});
  sound->SetBufferRequest(4, 4800);
  TestPushSource* picture = TestPushSource::Create({MakeVideoType(16, 16)});
  RecordingSink* speaker = RecordingSink::Create();
  RecordingSink* screen = RecordingSink::Create();
  ASSERT_EQ(graph->AddFilter(sound, L"sound"), S_OK);
  ASSERT_EQ(graph->AddFilter(picture, L"picture"), S_OK);
  ASSERT_EQ(graph->AddFilter(audioPacer, L"Zarn Live Audio Sync Filter"), S_OK);
  ASSERT_EQ(graph->AddFilter(videoPacer, L"Zarn Live Video Sync Filter"), S_OK);
  ASSERT_EQ(graph->AddFilter(speaker, L"speaker"), S_OK);
  ASSERT_EQ(graph->AddFilter(screen, L"screen"), S_OK);
  IPin* aIn = FirstPin(audioPacer, PINDIR_INPUT);
  IPin* aOut = FirstPin(audioPacer, PINDIR_OUTPUT);
  IPin* vIn = FirstPin(videoPacer, PINDIR_INPUT);
  IPin* vOut = FirstPin(videoPacer, PINDIR_OUTPUT);
  ASSERT_EQ(graph->ConnectDirect(sound->OutputPin(), aIn, nullptr), S_OK);
  ASSERT_EQ(graph->ConnectDirect(aOut, speaker->InputPin(), nullptr), S_OK);
  ASSERT_EQ(graph->ConnectDirect(picture->OutputPin(), vIn, nullptr), S_OK);
  ASSERT_EQ(graph->ConnectDirect(vOut, screen->InputPin(), nullptr), S_OK);
  for (IPin* pin : {aIn, aOut, vIn, vOut}) pin->Release();

  // The device managers' step: the pacer's clock becomes the graph's.
  IReferenceClock* clock = nullptr;
  ASSERT_EQ(audioPacer->QueryInterface(IID_IReferenceClock, reinterpret_cast<void**>(&clock)), S_OK);
  IMediaFilter* graphFilter = nullptr;
  ASSERT_EQ(graph->QueryInterface(IID_IMediaFilter, reinterpret_cast<void**>(&graphFilter)), S_OK);
  ASSERT_EQ(graphFilter->SetSyncSource(clock), S_OK);
  graphFilter->Release();
  IReferenceClock* used = nullptr;
  ASSERT_EQ(videoPacer->GetSyncSource(&used), S_OK);
  EXPECT_EQ(used, clock);  // propagated to every filter
  if (used) used->Release();
  clock->Release();

  IMediaControl* control = nullptr;
  ASSERT_EQ(graph->QueryInterface(IID_IMediaControl, reinterpret_cast<void**>(&control)), S_OK);
  ASSERT_TRUE(SUCCEEDED(control->Run()));
  OAFilterState state = State_Stopped;
  control->GetState(5000, &state);
  EXPECT_EQ(state, State_Running);
  std::vector<SamplePlan> sounds(8);
  for (auto& s : sounds) s.actualLength = 4800;  // 25 ms each
  std::vector<SamplePlan> pictures(8);
  ASSERT_EQ(sound->StartPushing(sounds, true), S_OK);
  ASSERT_EQ(picture->StartPushing(pictures, false), S_OK);
  ASSERT_TRUE(speaker->WaitForSamples(8, 10000));
  ASSERT_TRUE(screen->WaitForSamples(1, 10000));  // late frames may be dropped, never all
  const auto got = speaker->Samples();
  for (size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].start, static_cast<REFERENCE_TIME>(i) * 250000);
    EXPECT_EQ(got[i].stop, static_cast<REFERENCE_TIME>(i + 1) * 250000);
  }
  EXPECT_TRUE(sound->WaitPushed(10000));
  EXPECT_TRUE(picture->WaitPushed(10000));
  ASSERT_TRUE(SUCCEEDED(control->Stop()));
  control->Release();

  // Released last, the graph lets go of the filters and of the clock: each filter's final
  // Release is then ours.
  EXPECT_EQ(graph->Release(), 0u);
  EXPECT_EQ(audioPacer->Release(), 0u);
  EXPECT_EQ(videoPacer->Release(), 0u);
  EXPECT_EQ(sound->Release(), 0u);
  EXPECT_EQ(picture->Release(), 0u);
  EXPECT_EQ(speaker->Release(), 0u);
  EXPECT_EQ(screen->Release(), 0u);
  EXPECT_EQ(audio.CanUnloadNow(), S_OK);
  EXPECT_EQ(video.CanUnloadNow(), S_OK);
}
