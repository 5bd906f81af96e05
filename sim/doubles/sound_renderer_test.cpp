#include "filters/base/testkit/manual_clock.h"
#include "filters/base/testkit/push_source.h"
#include "sim/doubles/platform_doubles_testing.h"
#include "sim/doubles/renderer_graph_testing.h"

#include <mmreg.h>

using Microsoft::WRL::ComPtr;
using doubles::Journal;
using graph_testkit::SamplePlan;
using platform_testing::BindByName;
using platform_testing::ExpectInterfaces;
using platform_testing::PinAt;
using platform_testing::RendererGraph;

namespace {

constexpr LONG kBufferBytes = 3840;            // 20 ms of 48 kHz 16-bit stereo
constexpr REFERENCE_TIME kBufferTime = 200000;  // 20 ms

CMediaType PcmType(WORD channels = 2, WORD bits = 16, WORD tag = WAVE_FORMAT_PCM) {
  CMediaType type(&MEDIATYPE_Audio);
  type.SetSubtype(&MEDIASUBTYPE_PCM);
  type.SetFormatType(&FORMAT_WaveFormatEx);
  WAVEFORMATEX format{};
  format.wFormatTag = tag;
  format.nChannels = channels;
  format.nSamplesPerSec = 48000;
  format.wBitsPerSample = bits;
  format.nBlockAlign = static_cast<WORD>(channels * bits / 8);
  format.nAvgBytesPerSec = format.nSamplesPerSec * format.nBlockAlign;
  type.SetFormat(reinterpret_cast<const BYTE*>(&format), sizeof(format));
  type.SetSampleSize(format.nBlockAlign);
  return type;
}

std::vector<SamplePlan> Buffers(int count, REFERENCE_TIME first = 0) {
  std::vector<SamplePlan> plans(count);
  for (int i = 0; i < count; ++i) {
    plans[i].start = first + i * kBufferTime;
    plans[i].stop = first + (i + 1) * kBufferTime;
    plans[i].actualLength = kBufferBytes;
  }
  return plans;
}

// Listing the audio renderer category makes the device enumerator load the platform's sound
// system, whose device-notification thread then runs until the process ends (and once brought
// Wine down at exit). Only the case about the category lists it; the others create the renderer
// by its class and must not load the sound system at all.
class SoundRendererTest : public platform_testing::RegisteredDoublesTest {
 protected:
  void SetUp() override {
    RegisteredDoublesTest::SetUp();
    soundSystemBefore_ = GetModuleHandleW(L"mmdevapi.dll") != nullptr;
  }
  void TearDown() override {
    if (!soundSystemBefore_ && !listsTheCategory_) {
      EXPECT_EQ(nullptr, GetModuleHandleW(L"mmdevapi.dll")) << "the case loaded the platform's sound system";
    }
    RegisteredDoublesTest::TearDown();
  }
  ComPtr<IBaseFilter> BindRenderer() {
    auto found = BindByName(CLSID_AudioRendererCategory, DOUBLES_SOUND_FRIENDLY_NAME);
    EXPECT_EQ(1u, found.size());
    return found.empty() ? nullptr : found[0];
  }
  ComPtr<IBaseFilter> CreateRenderer() {
    ComPtr<IBaseFilter> renderer;
    EXPECT_EQ(S_OK, CoCreateInstance(doubles::kClsidSimSound, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&renderer)));
    return renderer;
  }
  bool listsTheCategory_ = false;

 private:
  bool soundSystemBefore_ = false;
};

// The push source feeding the renderer in Wine's filter graph manager.
struct SoundGraph : RendererGraph {
  void Build(IBaseFilter* renderer) { RendererGraph::Build(renderer, PcmType(), L"Audio Renderer", 4, kBufferBytes); }
};

TEST_F(SoundRendererTest, IsFoundByItsFriendlyNameAndGoesAwayWithUnregistration) {
  listsTheCategory_ = true;
  ComPtr<IBaseFilter> renderer = BindRenderer();
  ASSERT_TRUE(renderer);
  CLSID clsid{};
  ASSERT_EQ(S_OK, renderer->GetClassID(&clsid));
  EXPECT_EQ(doubles::kClsidSimSound, clsid);
  ExpectInterfaces(renderer.Get(),
                   {IID_IBaseFilter, IID_IMediaFilter, IID_IBasicAudio, IID_IAMAudioRendererStats, IID_IAMFilterMiscFlags},
                   {IID_IVideoWindow, IID_IBasicVideo, IID_IReferenceClock, IID_IPersistPropertyBag, IID_IAMLine21Decoder,
                    IID_IMediaSeeking, IID_IPin});
  EXPECT_EQ((std::vector<std::wstring>{L"in:Audio Input pin (rendered)"}), platform_testing::PinNames(renderer.Get()));
  ComPtr<IAMFilterMiscFlags> flags;
  ASSERT_EQ(S_OK, renderer.As(&flags));
  EXPECT_EQ(static_cast<ULONG>(AM_FILTER_MISC_FLAGS_IS_RENDERER), flags->GetMiscFlags());
  flags.Reset();
  EXPECT_EQ(0u, renderer.Reset());

  ASSERT_EQ(S_OK, platform_testing::CallEntry("DllUnregisterServer"));
  EXPECT_TRUE(BindByName(CLSID_AudioRendererCategory, DOUBLES_SOUND_FRIENDLY_NAME).empty());
  ComPtr<IBaseFilter> byClass;
  EXPECT_EQ(REGDB_E_CLASSNOTREG, CoCreateInstance(doubles::kClsidSimSound, nullptr, CLSCTX_INPROC_SERVER,
                                                  IID_PPV_ARGS(&byClass)));
  ASSERT_EQ(S_OK, platform_testing::CallEntry("DllRegisterServer"));  // for TearDown
}

TEST_F(SoundRendererTest, BasicAudioKeepsAndRecordsVolumeAndBalance) {
  ComPtr<IBaseFilter> renderer = CreateRenderer();
  ASSERT_TRUE(renderer);
  ComPtr<IBasicAudio> audio;
  ASSERT_EQ(S_OK, renderer->QueryInterface(IID_IBasicAudio, reinterpret_cast<void**>(audio.GetAddressOf())));
  long value = 1;
  ASSERT_EQ(S_OK, audio->get_Volume(&value));
  EXPECT_EQ(0, value);
  EXPECT_EQ(S_OK, audio->put_Volume(-2500));
  EXPECT_EQ(S_OK, audio->put_Balance(1200));
  EXPECT_EQ(E_INVALIDARG, audio->put_Volume(1));
  EXPECT_EQ(E_INVALIDARG, audio->put_Balance(-10001));
  ASSERT_TRUE(Journal::Instance().InjectFailure("SimSound", "put_Volume", E_ACCESSDENIED, 1));
  EXPECT_EQ(E_ACCESSDENIED, audio->put_Volume(-10000));
  ASSERT_EQ(S_OK, audio->get_Volume(&value));
  EXPECT_EQ(-2500, value);  // neither the refused nor the failed call changed it
  ASSERT_EQ(S_OK, audio->get_Balance(&value));
  EXPECT_EQ(1200, value);
  EXPECT_EQ(E_POINTER, audio->get_Volume(nullptr));

  const auto volumes = Journal::Instance().Calls("SimSound", "put_Volume");
  ASSERT_EQ(3u, volumes.size());
  EXPECT_EQ(-2500, volumes[0].args[0]);
  EXPECT_EQ(1, volumes[1].args[0]);
  EXPECT_EQ(-10000, volumes[2].args[0]);
  EXPECT_EQ(E_ACCESSDENIED, volumes[2].result);
  const auto balances = Journal::Instance().Calls("SimSound", "put_Balance");
  ASSERT_EQ(2u, balances.size());
  EXPECT_EQ(1200, balances[0].args[0]);

  // Each instance has its own settings.
  ComPtr<IBaseFilter> second = CreateRenderer();
  ComPtr<IBasicAudio> secondAudio;
  ASSERT_TRUE(second && SUCCEEDED(second->QueryInterface(IID_IBasicAudio, reinterpret_cast<void**>(secondAudio.GetAddressOf()))));
  ASSERT_EQ(S_OK, secondAudio->get_Volume(&value));
  EXPECT_EQ(0, value);
  secondAudio.Reset();
  EXPECT_EQ(0u, second.Reset());
  audio.Reset();
  EXPECT_EQ(0u, renderer.Reset());
}

TEST_F(SoundRendererTest, StatisticsReportTheFullnessTheTestSets) {
  ComPtr<IBaseFilter> renderer = CreateRenderer();
  ASSERT_TRUE(renderer);
  ComPtr<IAMAudioRendererStats> stats;
  ASSERT_EQ(S_OK, renderer->QueryInterface(IID_IAMAudioRendererStats, reinterpret_cast<void**>(stats.GetAddressOf())));
  DWORD fullness = 99, extra = 99;
  ASSERT_EQ(S_OK, stats->GetStatParam(AM_AUDREND_STAT_PARAM_BUFFERFULLNESS, &fullness, &extra));
  EXPECT_EQ(0u, fullness);
  Journal::Instance().SetValue(doubles::kValueSoundFullness, 35);
  ASSERT_EQ(S_OK, stats->GetStatParam(AM_AUDREND_STAT_PARAM_BUFFERFULLNESS, &fullness, &extra));
  EXPECT_EQ(35u, fullness);
  EXPECT_EQ(E_NOTIMPL, stats->GetStatParam(AM_AUDREND_STAT_PARAM_BREAK_COUNT, &fullness, &extra));
  EXPECT_EQ(E_POINTER, stats->GetStatParam(AM_AUDREND_STAT_PARAM_BUFFERFULLNESS, nullptr, &extra));
  ASSERT_TRUE(Journal::Instance().InjectFailure("SimSound", "GetStatParam", E_FAIL, 1));
  EXPECT_EQ(E_FAIL, stats->GetStatParam(AM_AUDREND_STAT_PARAM_BUFFERFULLNESS, &fullness, &extra));
  EXPECT_EQ(4u, Journal::Instance().Calls("SimSound", "GetStatParam").size());  // the E_POINTER call is not one
  stats.Reset();
  EXPECT_EQ(0u, renderer.Reset());
}

TEST_F(SoundRendererTest, AcceptsOnlyMonoOrStereoPcm) {
  ComPtr<IBaseFilter> renderer = CreateRenderer();
  ASSERT_TRUE(renderer);
  ComPtr<IPin> input = PinAt(renderer.Get(), PINDIR_INPUT, 0);
  ASSERT_TRUE(input);
  const CMediaType stereo = PcmType(), mono8 = PcmType(1, 8), six = PcmType(6, 16),
                   floats = PcmType(2, 32, WAVE_FORMAT_IEEE_FLOAT);
  EXPECT_EQ(S_OK, input->QueryAccept(&stereo));
  EXPECT_EQ(S_OK, input->QueryAccept(&mono8));
  EXPECT_EQ(S_FALSE, input->QueryAccept(&six));
  EXPECT_EQ(S_FALSE, input->QueryAccept(&floats));
  CMediaType noFormat(&MEDIATYPE_Audio);
  noFormat.SetSubtype(&MEDIASUBTYPE_PCM);
  EXPECT_EQ(S_FALSE, input->QueryAccept(&noFormat));
  CMediaType video(&MEDIATYPE_Video);
  video.SetSubtype(&MEDIASUBTYPE_YUY2);
  EXPECT_EQ(S_FALSE, input->QueryAccept(&video));
  input.Reset();
  EXPECT_EQ(0u, renderer.Reset());
}

// Samples are written into the device buffer up to a second ahead of their time (a live source
// stamps its sound some hundred milliseconds ahead of the clock), the end of stream completes once
// the buffer has played. The graph's clock stands still until the test moves it.
TEST_F(SoundRendererTest, TakesSamplesASecondAheadAndCompletesWhenTheyHavePlayed) {
  ComPtr<IBaseFilter> renderer = CreateRenderer();
  ASSERT_TRUE(renderer);
  ComPtr<graph_testkit::ManualClock> clock;
  clock.Attach(graph_testkit::ManualClock::Create(0));
  {
    SoundGraph g;
    ASSERT_NO_FATAL_FAILURE(g.Build(renderer.Get()));
    ComPtr<IMediaFilter> graphFilter;
    ASSERT_EQ(S_OK, g.graph.As(&graphFilter));
    ASSERT_EQ(S_OK, graphFilter->SetSyncSource(clock.Get()));
    constexpr int kCount = 15;                     // 300 ms from the stream's start
    std::vector<SamplePlan> plans = Buffers(kCount);
    plans.push_back(Buffers(1, 20000000)[0]);  // 2 s: beyond the buffer
    ASSERT_EQ(S_OK, g.source->StartPushing(plans, true));
    ASSERT_EQ(S_OK, g.control->Run());
    Journal& journal = Journal::Instance();
    for (const ULONGLONG end = GetTickCount64() + 5000;
         journal.Value(doubles::kValueSoundSamples) < kCount && GetTickCount64() < end;) {
      Sleep(10);
    }
    long code = 0;
    EXPECT_EQ(E_ABORT, g.events->WaitForCompletion(300, &code));
    EXPECT_EQ(kCount, journal.Value(doubles::kValueSoundSamples));  // the last one waits for room
    EXPECT_EQ(kCount * kBufferBytes, journal.Value(doubles::kValueSoundBytes));

    clock->SetTime(30000000);  // 3 s: past every sample
    ASSERT_EQ(S_OK, g.events->WaitForCompletion(5000, &code));
    EXPECT_EQ(EC_COMPLETE, code);
    EXPECT_EQ(kCount + 1, journal.Value(doubles::kValueSoundSamples));
    ASSERT_TRUE(g.source->WaitPushed(2000));
    for (HRESULT hr : g.source->PushResults()) EXPECT_EQ(S_OK, hr);
  }
  EXPECT_EQ(0u, renderer.Reset());
}

TEST_F(SoundRendererTest, HoldsSamplesWhilePausedAndLetsGoOnStop) {
  ComPtr<IBaseFilter> renderer = CreateRenderer();
  ASSERT_TRUE(renderer);
  {
    SoundGraph g;
    ASSERT_NO_FATAL_FAILURE(g.Build(renderer.Get()));
    ASSERT_NO_FATAL_FAILURE(platform_testing::ExpectHeldWhilePausedAndLetGoOnStop(
        g, Buffers(3), Buffers(1, 1000 * 10000000LL), doubles::kValueSoundSamples));
  }
  EXPECT_EQ(0u, renderer.Reset());
}

}  // namespace
