#include "sim/card/sim_card_fixture.h"
#include "sim/card/picture_testing.h"

#include <cstring>

#include "common/handles.h"
#include "common/testing/paths.h"
#include "filters/base/testkit/manual_clock.h"

namespace {

using namespace simcard_testing;

TEST_F(SimCardTest, EnumeratorFindsEveryRoleByNameAndTheFilterKnowsItsPath) {
  const struct {
    UINT role;
    const GUID* category;
    const wchar_t* name;
  } roles[] = {{kSimRoleTuner, &kCategoryTvTuner, SIM_CARD_TUNER_NAME},
               {kSimRoleCrossbar, &kCategoryCrossbar, SIM_CARD_CROSSBAR_NAME},
               {kSimRoleTvAudio, &kCategoryTvAudio, SIM_CARD_TVAUDIO_NAME},
               {kSimRoleCapture, &kCategoryVideoInput, SIM_CARD_CAPTURE_NAME},
               {kSimRoleEncoder, &kCategoryEncoder, SIM_CARD_ENCODER_NAME}};
  for (const auto& r : roles) {
    SCOPED_TRACE(r.role);
    std::vector<Device> devices = FindDevices(*r.category, r.name);
    ASSERT_EQ(2u, devices.size());
    // Two cards of one friendly name: told apart by their paths, which the filters learnt.
    EXPECT_NE(devices[0].registeredPath, devices[1].registeredPath);
    for (Device& device : devices) {
      ASSERT_TRUE(device.filter);
      EXPECT_EQ(device.registeredPath, DevicePathOf(device.filter.Get()));
    }
  }
  // Card 1 differs from card 0 only in the instance segment.
  EXPECT_NE(std::wstring::npos, PathOf(0, kSimRoleCapture).find(L"#3&2411e6fe&0&48#"));
  EXPECT_NE(std::wstring::npos, PathOf(1, kSimRoleCapture).find(L"#3&2411e6fe&0&50#"));
}

TEST_F(SimCardTest, RemovedCardIsNoLongerFound) {
  ASSERT_EQ(S_OK, SimCard_RegisterCard(1, FALSE));
  EXPECT_EQ(1u, FindDevices(kCategoryCrossbar, SIM_CARD_CROSSBAR_NAME).size());
  EXPECT_EQ(E_INVALIDARG, SimCard_RegisterCard(16, TRUE));
}

TEST_F(SimCardTest, UnregisteringLeavesNoEmptyCategoryKey) {
  auto unreg = GetProcAs<HRESULT(STDAPICALLTYPE*)()>(module_, "DllUnregisterServer");
  ASSERT_TRUE(unreg);
  ASSERT_EQ(S_OK, unreg());
  EXPECT_EQ(S_OK, unreg()) << "a clean state";
  for (const GUID* category : {&kCategoryTvTuner, &kCategoryCrossbar, &kCategoryTvAudio, &kCategoryVideoInput,
                               &kCategoryEncoder}) {
    wchar_t text[40] = {};
    StringFromGUID2(*category, text, 40);
    for (const std::wstring& key : {std::wstring(L"CLSID\\") + text + L"\\Instance", std::wstring(L"CLSID\\") + text}) {
      UniqueRegKey handle;
      if (RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, handle.put()) != ERROR_SUCCESS) continue;
      DWORD subkeys = 0, values = 0;
      ASSERT_EQ(ERROR_SUCCESS, RegQueryInfoKeyW(handle.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr,
                                                &values, nullptr, nullptr, nullptr, nullptr));
      EXPECT_GT(subkeys + values, 0u) << "empty key " << std::string(key.begin(), key.end());
    }
  }
}

TEST_F(SimCardTest, ClassesExposeOnlyTheirInterfaces) {
  const struct {
    CLSID clsid;
    std::vector<IID> must;
  } classes[] = {
      {kClsidSimTuner, {IID_IAMTVTuner, IID_IAMTuner, IID_IKsPropertySet}},
      {kClsidSimCrossbar, {IID_IAMCrossbar}},
      {kClsidSimTvAudio, {IID_IAMTVAudio}},
      {kClsidSimCapture, {IID_IAMVideoProcAmp, IID_IAMAnalogVideoDecoder, IID_IKsPropertySet}},
      {kClsidSimEncoder, {}},
  };
  const IID all[] = {IID_IAMTVTuner, IID_IAMCrossbar, IID_IAMTVAudio, IID_IAMVideoProcAmp, IID_IAMAnalogVideoDecoder,
                     IID_IKsPropertySet, IID_IAMStreamConfig, IID_IDispatch, IID_ISpecifyPropertyPages};
  for (const auto& c : classes) {
    IBaseFilter* filter = nullptr;
    ASSERT_EQ(S_OK, CoCreateInstance(c.clsid, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&filter)));
    for (const IID& iid : {IID_IUnknown, IID_IPersist, IID_IMediaFilter, IID_IBaseFilter, IID_IPersistPropertyBag}) {
      ComPtr<IUnknown> p;
      EXPECT_EQ(S_OK, filter->QueryInterface(iid, reinterpret_cast<void**>(p.GetAddressOf())));
    }
    for (const IID& iid : all) {
      bool expected = false;
      for (const IID& m : c.must) expected = expected || m == iid;
      void* p = reinterpret_cast<void*>(1);
      const HRESULT hr = filter->QueryInterface(iid, &p);
      EXPECT_EQ(expected ? S_OK : E_NOINTERFACE, hr);
      if (SUCCEEDED(hr)) {
        static_cast<IUnknown*>(p)->Release();
      } else {
        EXPECT_EQ(nullptr, p);
      }
    }
    // Unbound, the card's methods refuse; a bag without a path is refused.
    ComPtr<IPersistPropertyBag> persist;
    ASSERT_EQ(S_OK, filter->QueryInterface(IID_PPV_ARGS(&persist)));
    PathBag empty;
    EXPECT_EQ(E_INVALIDARG, persist->Load(&empty, nullptr));
    EXPECT_EQ(E_UNEXPECTED, persist->Save(&empty, FALSE, TRUE));
    persist.Reset();
    EXPECT_EQ(0u, filter->Release());
  }
}

TEST_F(SimCardTest, CaptureAndEncoderPinsComeInTheExpectedOrder) {
  auto capture = Bind(0, kSimRoleCapture, kCategoryVideoInput, SIM_CARD_CAPTURE_NAME);
  auto encoder = Bind(0, kSimRoleEncoder, kCategoryEncoder, SIM_CARD_ENCODER_NAME);
  ASSERT_TRUE(capture && encoder);
  auto names = [](IBaseFilter* f) {
    std::vector<std::wstring> out;
    ComPtr<IEnumPins> pins;
    f->EnumPins(&pins);
    ComPtr<IPin> pin;
    while (pins->Next(1, &pin, nullptr) == S_OK) {
      PIN_INFO info{};
      pin->QueryPinInfo(&info);
      if (info.pFilter) info.pFilter->Release();
      out.push_back(std::wstring(info.dir == PINDIR_INPUT ? L"in:" : L"out:") + info.achName);
      pin.Reset();
    }
    return out;
  };
  EXPECT_EQ((std::vector<std::wstring>{L"out:Virtual Video Out", L"out:Virtual Audio Out", L"out:Capture", L"out:VBI",
                                       L"out:AUDIO Out"}),
            names(capture.Get()));
  EXPECT_EQ((std::vector<std::wstring>{L"in:Virtual Video In", L"in:Virtual Audio In", L"out:MPEG Out"}),
            names(encoder.Get()));
}

TEST_F(SimCardTest, CrossbarRoutingIsSharedByAllInstancesOfACard) {
  auto a = Bind(0, kSimRoleCrossbar, kCategoryCrossbar, SIM_CARD_CROSSBAR_NAME);
  auto b = Bind(0, kSimRoleCrossbar, kCategoryCrossbar, SIM_CARD_CROSSBAR_NAME);
  auto other = Bind(1, kSimRoleCrossbar, kCategoryCrossbar, SIM_CARD_CROSSBAR_NAME);
  ASSERT_TRUE(a && b && other);
  ComPtr<IAMCrossbar> xa, xb, xo;
  ASSERT_EQ(S_OK, a.As(&xa));
  ASSERT_EQ(S_OK, b.As(&xb));
  ASSERT_EQ(S_OK, other.As(&xo));

  long outs = 0, ins = 0;
  ASSERT_EQ(S_OK, xa->get_PinCounts(&outs, &ins));
  EXPECT_EQ(2, outs);
  EXPECT_EQ(6, ins);
  long related = 0, type = 0;
  const long expectInputs[6][2] = {{1, 3}, {2, 4}, {2, 5}, {0x1000, 0}, {0x1002, 1}, {0x1002, 2}};
  for (long i = 0; i < 6; ++i) {
    ASSERT_EQ(S_OK, xa->get_CrossbarPinInfo(TRUE, i, &related, &type));
    EXPECT_EQ(expectInputs[i][0], type);
    EXPECT_EQ(expectInputs[i][1], related);
  }
  ASSERT_EQ(S_OK, xa->get_CrossbarPinInfo(FALSE, 0, &related, &type));
  EXPECT_EQ(12, type);
  EXPECT_EQ(1, related);
  EXPECT_EQ(E_INVALIDARG, xa->get_CrossbarPinInfo(TRUE, 6, &related, &type));

  long routed = -1;
  ASSERT_EQ(S_OK, xb->get_IsRoutedTo(0, &routed));
  EXPECT_EQ(0, routed);
  EXPECT_EQ(S_OK, xa->CanRoute(0, 2));
  EXPECT_EQ(S_FALSE, xa->CanRoute(0, 4));  // audio to the video decoder
  ASSERT_EQ(S_OK, xa->Route(0, 2));
  ASSERT_EQ(S_OK, xa->Route(1, 5));
  ASSERT_EQ(S_OK, xb->get_IsRoutedTo(0, &routed));
  EXPECT_EQ(2, routed);
  ASSERT_EQ(S_OK, xb->get_IsRoutedTo(1, &routed));
  EXPECT_EQ(5, routed);
  ASSERT_EQ(S_OK, xo->get_IsRoutedTo(0, &routed));
  EXPECT_EQ(0, routed);  // the other card is untouched

  SimCardRoute log[8];
  UINT count = 0;
  ASSERT_EQ(S_OK, SimCard_GetRouteLog(capturePath_.c_str(), log, 8, &count));
  ASSERT_EQ(2u, count);
  EXPECT_EQ(0, log[0].output);
  EXPECT_EQ(2, log[0].input);
  EXPECT_EQ(5, log[1].input);
}

TEST_F(SimCardTest, CrossbarVariantsAndInjectedFailures) {
  auto bar = Bind(0, kSimRoleCrossbar, kCategoryCrossbar, SIM_CARD_CROSSBAR_NAME);
  ASSERT_TRUE(bar);
  ComPtr<IAMCrossbar> x;
  ASSERT_EQ(S_OK, bar.As(&x));
  long related = 0, type = 0, routed = 0;

  ASSERT_EQ(S_OK, SimCard_SetCrossbarVariant(capturePath_.c_str(), kSimCrossbarSVideo));
  ASSERT_EQ(S_OK, x->get_CrossbarPinInfo(TRUE, 2, &related, &type));
  EXPECT_EQ(3, type);
  ASSERT_EQ(S_OK, x->get_IsRoutedTo(0, &routed));
  EXPECT_EQ(2, routed);

  ASSERT_EQ(S_OK, SimCard_SetCrossbarVariant(capturePath_.c_str(), kSimCrossbarNoRelated));
  ASSERT_EQ(S_OK, x->get_CrossbarPinInfo(TRUE, 2, &related, &type));
  EXPECT_EQ(-1, related);

  ASSERT_EQ(S_OK, SimCard_SetCrossbarVariant(capturePath_.c_str(), kSimCrossbarNoDecoderOut));
  ASSERT_EQ(S_OK, x->get_CrossbarPinInfo(FALSE, 0, &related, &type));
  EXPECT_NE(12, type);

  ASSERT_EQ(S_OK, SimCard_InjectFailure(capturePath_.c_str(), "Route", E_ACCESSDENIED, 1));
  EXPECT_EQ(E_ACCESSDENIED, x->Route(0, 1));
  EXPECT_EQ(S_OK, x->Route(0, 1));  // once only
  EXPECT_EQ(E_INVALIDARG, SimCard_InjectFailure(capturePath_.c_str(), "Route", S_OK, 1));
}

TEST_F(SimCardTest, TunerTvAudioAndPictureControlsFollowTheCard) {
  auto tunerFilter = Bind(0, kSimRoleTuner, kCategoryTvTuner, SIM_CARD_TUNER_NAME);
  auto audioFilter = Bind(0, kSimRoleTvAudio, kCategoryTvAudio, SIM_CARD_TVAUDIO_NAME);
  auto capture = Bind(0, kSimRoleCapture, kCategoryVideoInput, SIM_CARD_CAPTURE_NAME);
  ASSERT_TRUE(tunerFilter && audioFilter && capture);
  ComPtr<IAMTVTuner> tuner;
  ComPtr<IAMTVAudio> audio;
  ComPtr<IAMVideoProcAmp> procAmp;
  ASSERT_EQ(S_OK, tunerFilter.As(&tuner));
  ASSERT_EQ(S_OK, audioFilter->QueryInterface(IID_IAMTVAudio, reinterpret_cast<void**>(audio.GetAddressOf())));
  ASSERT_EQ(S_OK, capture.As(&procAmp));

  TunerInputType input = TunerInputCable;
  ASSERT_EQ(S_OK, tuner->get_InputType(0, &input));
  EXPECT_EQ(TunerInputAntenna, input);
  ASSERT_EQ(S_OK, SimCard_SetTunerInputType(capturePath_.c_str(), TunerInputCable));
  ASSERT_EQ(S_OK, tuner->get_InputType(0, &input));
  EXPECT_EQ(TunerInputCable, input);
  ASSERT_EQ(S_OK, tuner->put_InputType(0, TunerInputAntenna));
  ASSERT_EQ(S_OK, tuner->get_InputType(0, &input));
  EXPECT_EQ(TunerInputAntenna, input);
  ASSERT_EQ(S_OK, tuner->put_Channel(7, -1, -1));
  long channel = 0, video = 0, audioChannel = 0;
  ASSERT_EQ(S_OK, tuner->get_Channel(&channel, &video, &audioChannel));
  EXPECT_EQ(7, channel);

  ASSERT_EQ(S_OK, SimCard_SetTvAudioMode(capturePath_.c_str(), 0x32));
  long mode = 0;
  ASSERT_EQ(S_OK, audio->get_TVAudioMode(&mode));
  EXPECT_EQ(0x32, mode);
  ASSERT_EQ(S_OK, audio->put_TVAudioMode(0x1));
  ASSERT_EQ(S_OK, audio->get_TVAudioMode(&mode));
  EXPECT_EQ(0x1, mode);

  ASSERT_EQ(S_OK, SimCard_SetProcAmpRange(capturePath_.c_str(), 3, -50, 50, 5, 10, 1));
  long mn = 0, mx = 0, step = 0, def = 0, flags = 0, value = 0;
  ASSERT_EQ(S_OK, procAmp->GetRange(3, &mn, &mx, &step, &def, &flags));
  EXPECT_EQ(-50, mn);
  EXPECT_EQ(50, mx);
  EXPECT_EQ(5, step);
  EXPECT_EQ(10, def);
  EXPECT_EQ(1, flags);
  EXPECT_EQ(E_INVALIDARG, procAmp->Set(3, 51, 1));
  EXPECT_EQ(E_INVALIDARG, procAmp->Set(3, 20, 2));  // manual is not offered for this one
  ASSERT_EQ(S_OK, procAmp->Set(3, 20, 1));
  ASSERT_EQ(S_OK, procAmp->Get(3, &value, &flags));
  EXPECT_EQ(20, value);
  EXPECT_NE(S_OK, procAmp->GetRange(10, &mn, &mx, &step, &def, &flags));
}

TEST_F(SimCardGraphTest, CapturePinFeedsTheNullRendererAtTheFrameRate) {
  ComPtr<IBaseFilter> null;
  ASSERT_EQ(S_OK, CoCreateInstance(CLSID_NullRenderer, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&null)));
  ASSERT_EQ(S_OK, graph_->AddFilter(null.Get(), L"null"));
  auto in = PinNamed(null.Get(), L"In");
  ASSERT_TRUE(in);
  ASSERT_EQ(S_OK, graph_->ConnectDirect(PinNamed(capture_.Get(), L"Capture").Get(), in.Get(), nullptr));
  AM_MEDIA_TYPE mt{};
  ASSERT_EQ(S_OK, in->ConnectionMediaType(&mt));
  EXPECT_EQ(MEDIASUBTYPE_YUY2, mt.subtype);
  ASSERT_EQ(FORMAT_VideoInfo, mt.formattype);
  const auto* vih = reinterpret_cast<const VIDEOINFOHEADER*>(mt.pbFormat);
  EXPECT_EQ(720, vih->bmiHeader.biWidth);
  EXPECT_EQ(480, vih->bmiHeader.biHeight);
  EXPECT_EQ(333667, vih->AvgTimePerFrame);
  CoTaskMemFree(mt.pbFormat);

  ASSERT_TRUE(SUCCEEDED(Run()));
  // Frames come at the frame rate: ten take a third of a second, never much less.
  const ULONGLONG t0 = GetTickCount64();
  SimCardCounters counters{};
  do {
    ASSERT_EQ(S_OK, SimCard_GetCounters(capturePath_.c_str(), &counters));
    if (counters.videoFrames >= 10) break;
    Sleep(10);
  } while (GetTickCount64() - t0 < 10000);
  const ULONGLONG elapsed = GetTickCount64() - t0;
  EXPECT_GE(counters.videoFrames, 10u);
  EXPECT_GE(elapsed, 150u) << counters.videoFrames << " frames";
}

// The card captures from the moment its pin runs, on its own time: a graph whose start time lies
// ahead of its clock (the platform's graph starts 200 ms ahead of it) and whose clock holds still
// (an audio pacer's clock does while it is pulled back to the audio) still gets frames at once,
// stamped from the stream time the pin ran at: before the start time, so negative.
TEST_F(SimCardGraphTest, CaptureStartsWhenThePinRunsAndKeepsTheCardsOwnTime) {
  auto* sink = AddSink(L"sink");
  ASSERT_EQ(S_OK, graph_->ConnectDirect(PinNamed(capture_.Get(), L"Capture").Get(), sink->InputPin(), nullptr));
  constexpr REFERENCE_TIME kClock = 50000000;
  constexpr REFERENCE_TIME kAhead = 20000000;
  ComPtr<graph_testkit::ManualClock> clock;
  clock.Attach(graph_testkit::ManualClock::Create(kClock));
  ComPtr<IMediaFilter> graph;
  ASSERT_EQ(S_OK, graph_.As(&graph));
  ASSERT_EQ(S_OK, graph->SetSyncSource(clock.Get()));
  ASSERT_TRUE(SUCCEEDED(graph->Run(kClock + kAhead)));
  ASSERT_TRUE(sink->WaitForSamples(4, 5000)) << "the card waited for the start time, or for the held clock";

  const auto samples = sink->Samples();
  EXPECT_TRUE(samples[0].discontinuity);
  EXPECT_LE(-kAhead, samples[0].start);
  EXPECT_LT(samples[0].start, -kAhead / 2);
  for (size_t i = 1; i < samples.size(); ++i) {
    EXPECT_EQ(333667, samples[i].stop - samples[i].start);
    EXPECT_EQ(samples[i - 1].stop, samples[i].start) << "sample " << i;
  }
  graph->Stop();
}

TEST_F(SimCardGraphTest, FramesCarryConsecutiveTimesAndShowTheTunedChannel) {
  HMODULE probe = LoadLibraryW(testing_support::BinPath(L"driverprobe.dll").c_str());
  ASSERT_TRUE(probe);
  ASSERT_EQ(S_OK, SimDriver_Attach(probe, nullptr));
  auto tune = GetProcAs<HRESULT (*)(const wchar_t*, std::uint32_t, std::uint32_t*)>(probe, "Probe_TuneAndRead");
  ASSERT_TRUE(tune);
  std::uint32_t readBack = 0;
  ASSERT_EQ(S_OK, tune(capturePath_.c_str(), 91250000, &readBack));

  auto* sink = AddSink(L"sink");
  ASSERT_EQ(S_OK, graph_->ConnectDirect(PinNamed(capture_.Get(), L"Capture").Get(), sink->InputPin(), nullptr));
  ASSERT_TRUE(SUCCEEDED(Run()));
  ASSERT_TRUE(sink->WaitForSamples(5, 5000));
  SimCardPicture before{};
  ASSERT_EQ(S_OK, SimCard_GetPicture(capturePath_.c_str(), &before));
  const BYTE firstBefore = sink->Samples().back().firstByte;

  // Another channel: the picture's colour follows the driver's frequency.
  ASSERT_EQ(S_OK, tune(capturePath_.c_str(), 97250000, &readBack));
  SimCardPicture after{};
  ASSERT_EQ(S_OK, SimCard_GetPicture(capturePath_.c_str(), &after));
  EXPECT_NE(0, memcmp(before.top, after.top, 3));
  sink->ClearRecords();
  ASSERT_TRUE(sink->WaitForSamples(5, 5000));
  EXPECT_NE(firstBefore, sink->Samples().back().firstByte);

  const auto samples = sink->Samples();
  for (size_t i = 1; i < samples.size(); ++i) {
    ASSERT_EQ(S_OK, samples[i].timeResult);
    EXPECT_EQ(333667, samples[i].stop - samples[i].start);
    if (!samples[i].discontinuity) {
      EXPECT_EQ(samples[i - 1].stop, samples[i].start);
    }
    EXPECT_EQ(720 * 480 * 2, samples[i].actualLength);
  }
  ComPtr<IMediaControl> control;
  graph_.As(&control);
  control->Stop();
  SimDriver_Detach(probe);
}

// Releases the sink once the filter's Stop is under way: Stop holds the filter lock while it
// deactivates the pins, and the output pin's deactivation decommits the allocator before it waits
// for the streaming thread.
struct ReleaseOnDecommit {
  graph_testkit::RecordingSink* sink = nullptr;
  Microsoft::WRL::ComPtr<IMemAllocator> allocator;
  bool sawDecommit = false;

  static DWORD WINAPI Run(void* p) {
    auto* self = static_cast<ReleaseOnDecommit*>(p);
    const ULONGLONG deadline = GetTickCount64() + 10000;
    while (GetTickCount64() < deadline) {
      IMediaSample* spare = nullptr;
      const HRESULT hr = self->allocator->GetBuffer(&spare, nullptr, nullptr, AM_GBF_NOWAIT);
      if (spare) spare->Release();
      if (hr == VFW_E_NOT_COMMITTED) {
        self->sawDecommit = true;
        break;
      }
      Sleep(1);
    }
    self->sink->Unblock();
    return 0;
  }
};

// The filter's Stop holds the filter lock while it waits for the streaming thread: a thread
// inside a delivery must finish that frame and end by itself, not wait for the filter lock until
// it is cut off at its stop time-out.
TEST_F(SimCardGraphTest, StopWhileAFrameIsInDeliveryLetsTheStreamingThreadFinish) {
  auto* sink = AddSink(L"sink");
  sink->SetBlocking(true);
  ASSERT_EQ(S_OK, graph_->ConnectDirect(PinNamed(capture_.Get(), L"Capture").Get(), sink->InputPin(), nullptr));
  ASSERT_TRUE(SUCCEEDED(Run()));
  ASSERT_TRUE(sink->WaitForSamples(1, 5000));  // the streaming thread now waits in the sink
  SimCardCounters counters{};
  ASSERT_EQ(S_OK, SimCard_GetCounters(capturePath_.c_str(), &counters));
  const std::uint32_t before = counters.videoFrames;

  ReleaseOnDecommit release;
  release.sink = sink;
  ASSERT_EQ(S_OK, sink->Input()->GetAllocator(&release.allocator));
  UniqueHandle releaser(CreateThread(nullptr, 0, &ReleaseOnDecommit::Run, &release, 0, nullptr));
  ASSERT_TRUE(releaser);
  const ULONGLONG start = GetTickCount64();
  EXPECT_EQ(S_OK, capture_->Stop());
  const ULONGLONG took = GetTickCount64() - start;
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(releaser.get(), 10000));
  EXPECT_TRUE(release.sawDecommit);  // the frame was released while Stop held the filter lock
  ASSERT_EQ(S_OK, SimCard_GetCounters(capturePath_.c_str(), &counters));
  EXPECT_EQ(before + 1, counters.videoFrames);  // the frame in delivery was completed
  EXPECT_LT(took, 9000u);                       // not the thread's 10 s stop time-out
}

TEST_F(SimCardGraphTest, AudioPinDeliversPcmIn20MsBuffers) {
  auto* sink = AddSink(L"sink");
  auto pin = PinNamed(capture_.Get(), L"AUDIO Out");
  ASSERT_EQ(S_OK, graph_->ConnectDirect(pin.Get(), sink->InputPin(), nullptr));
  AM_MEDIA_TYPE mt{};
  ASSERT_EQ(S_OK, pin->ConnectionMediaType(&mt));
  ASSERT_EQ(FORMAT_WaveFormatEx, mt.formattype);
  const auto* wave = reinterpret_cast<const WAVEFORMATEX*>(mt.pbFormat);
  EXPECT_EQ(48000u, wave->nSamplesPerSec);
  EXPECT_EQ(2, wave->nChannels);
  EXPECT_EQ(16, wave->wBitsPerSample);
  CoTaskMemFree(mt.pbFormat);

  ASSERT_TRUE(SUCCEEDED(Run()));
  ASSERT_TRUE(sink->WaitForSamples(20, 5000));
  const auto samples = sink->Samples();
  for (size_t i = 1; i < samples.size(); ++i) {
    EXPECT_EQ(3840, samples[i].actualLength);
    EXPECT_EQ(200000, samples[i].stop - samples[i].start);
  }
  // 20 buffers of 20 ms arrive in real time, not at once.
  EXPECT_GE(samples[19].arrivalMs - samples[0].arrivalMs, 250u);
}

TEST_F(SimCardGraphTest, EncoderDeliversPacksWhileRunningAndReportsTheStop) {
  auto encoder = Bind(0, kSimRoleEncoder, kCategoryEncoder, SIM_CARD_ENCODER_NAME);
  ASSERT_TRUE(encoder);
  ASSERT_EQ(S_OK, graph_->AddFilter(encoder.Get(), L"encoder"));
  ASSERT_EQ(S_OK, graph_->ConnectDirect(PinNamed(capture_.Get(), L"Virtual Video Out").Get(),
                                        PinNamed(encoder.Get(), L"Virtual Video In").Get(), nullptr));
  ASSERT_EQ(S_OK, graph_->ConnectDirect(PinNamed(capture_.Get(), L"Virtual Audio Out").Get(),
                                        PinNamed(encoder.Get(), L"Virtual Audio In").Get(), nullptr));
  // Only the capture filter's private types reach the encoder.
  EXPECT_NE(S_OK, graph_->ConnectDirect(PinNamed(capture_.Get(), L"AUDIO Out").Get(),
                                        PinNamed(encoder.Get(), L"Virtual Audio In").Get(), nullptr));
  auto* sink = AddSink(L"sink");
  ASSERT_EQ(S_OK, graph_->ConnectDirect(PinNamed(encoder.Get(), L"MPEG Out").Get(), sink->InputPin(), nullptr));

  ASSERT_TRUE(SUCCEEDED(Run()));
  ASSERT_TRUE(sink->WaitForSamples(10, 5000));
  for (const auto& s : sink->Samples()) {
    EXPECT_EQ(2048, s.actualLength);
    EXPECT_EQ(0x00, s.firstByte);
  }
  SimCardCounters counters{};
  ASSERT_EQ(S_OK, SimCard_GetCounters(capturePath_.c_str(), &counters));
  EXPECT_EQ(0u, counters.encoderStopsSignalled);
  ASSERT_TRUE(SUCCEEDED(Pause()));
  ASSERT_EQ(S_OK, SimCard_GetCounters(capturePath_.c_str(), &counters));
  EXPECT_EQ(1u, counters.encoderStopsSignalled);
  // Paused, a live encoder delivers nothing more (one delivery may have been under way).
  sink->WaitForSamples(sink->SampleCount() + 1, 50);
  const size_t paused = sink->SampleCount();
  EXPECT_FALSE(sink->WaitForSamples(paused + 1, 100));

  // "Never": no stop is reported.
  ASSERT_EQ(S_OK, SimCard_SetEncoderStopMode(capturePath_.c_str(), kSimEncoderStopNever, 0));
  ASSERT_TRUE(SUCCEEDED(Run()));
  ASSERT_TRUE(SUCCEEDED(Pause()));
  ASSERT_EQ(S_OK, SimCard_GetCounters(capturePath_.c_str(), &counters));
  EXPECT_EQ(1u, counters.encoderStopsSignalled);
}

TEST_F(SimCardGraphTest, CapturePostsGraphEventsOnRequest) {
  ComPtr<IMediaEvent> events;
  ASSERT_EQ(S_OK, graph_->QueryInterface(IID_IMediaEvent, reinterpret_cast<void**>(events.GetAddressOf())));
  ASSERT_EQ(S_OK, SimCard_PostCaptureEvent(capturePath_.c_str(), EC_ERROR_STILLPLAYING, 0x1234, 0));
  long code = 0;
  LONG_PTR p1 = 0, p2 = 0;
  ASSERT_EQ(S_OK, events->GetEvent(&code, &p1, &p2, 2000));
  EXPECT_EQ(EC_ERROR_STILLPLAYING, code);
  EXPECT_EQ(0x1234, p1);
  events->FreeEventParams(code, p1, p2);
  // Card 1 has no capture filter in a graph.
  EXPECT_EQ(S_FALSE, SimCard_PostCaptureEvent(PathOf(1, kSimRoleCapture).c_str(), EC_ERROR_STILLPLAYING, 0, 0));
}

TEST_F(SimCardGraphTest, CaptureFormatVariants) {
  auto* sink = AddSink(L"sink");
  auto pin = PinNamed(capture_.Get(), L"Capture");
  for (UINT format : {static_cast<UINT>(kSimCaptureNarrow), static_cast<UINT>(kSimCaptureInterlaced)}) {
    ASSERT_EQ(S_OK, SimCard_SetCaptureFormat(capturePath_.c_str(), format));
    ASSERT_EQ(S_OK, graph_->ConnectDirect(pin.Get(), sink->InputPin(), nullptr));
    AM_MEDIA_TYPE mt{};
    ASSERT_EQ(S_OK, pin->ConnectionMediaType(&mt));
    if (format == kSimCaptureNarrow) {
      ASSERT_EQ(FORMAT_VideoInfo, mt.formattype);
      EXPECT_EQ(352, reinterpret_cast<const VIDEOINFOHEADER*>(mt.pbFormat)->bmiHeader.biWidth);
    } else {
      ASSERT_EQ(FORMAT_VideoInfo2, mt.formattype);
      EXPECT_EQ(static_cast<DWORD>(AMINTERLACE_IsInterlaced),
                reinterpret_cast<const VIDEOINFOHEADER2*>(mt.pbFormat)->dwInterlaceFlags & AMINTERLACE_IsInterlaced);
    }
    CoTaskMemFree(mt.pbFormat);
    ASSERT_EQ(S_OK, graph_->Disconnect(pin.Get()));
    ASSERT_EQ(S_OK, graph_->Disconnect(sink->InputPin()));
  }
}

// The other two families' filters are the same card under their own names: bound by name and
// card path, the capture filter feeds Wine's null renderer in a running graph and the TV audio
// filter reports the broadcast's audio mode.
TEST_F(SimCardTest, FamilyFiltersFeedTheNullRendererAndReportTheAudioMode) {
  struct Case {
    UINT family;
    UINT tuners;
    const wchar_t* name;
    const wchar_t* audioName;
    long audioMode;
    const wchar_t* videoPin;
  };
  const Case cases[] = {{kSimFamilyRul, 2, L"DORU Capture 2", L"DORU TvAudio 2", 0x22, L"Video"},
                        {kSimFamilyPex, 0, SIM_CARD_PEX_CAPTURE_NAME, SIM_CARD_PEX_TVAUDIO_NAME, 0x42, L"Capture"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "family " << c.family);
    ASSERT_EQ(S_OK, SimCard_RegisterFamilyCard(0, c.family, c.tuners, TRUE));
    ComPtr<IBaseFilter> capture = Bind(0, kSimRoleCapture, kCategoryVideoInput, c.name);
    ASSERT_TRUE(capture);
    EXPECT_FALSE(Bind(1, kSimRoleCapture, kCategoryVideoInput, c.name));  // card 1 has no such filter
    ComPtr<IGraphBuilder> graph;
    ComPtr<IBaseFilter> null;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&graph)));
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_NullRenderer, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&null)));
    ASSERT_EQ(S_OK, graph->AddFilter(capture.Get(), L"capture"));
    ASSERT_EQ(S_OK, graph->AddFilter(null.Get(), L"null"));
    ASSERT_EQ(S_OK, graph->ConnectDirect(PinNamed(capture.Get(), c.videoPin).Get(), PinNamed(null.Get(), L"In").Get(),
                                         nullptr));
    SimCardCounters before{};
    ASSERT_EQ(S_OK, SimCard_GetCounters(capturePath_.c_str(), &before));
    ComPtr<IMediaControl> control;
    ASSERT_EQ(S_OK, graph.As(&control));
    ASSERT_TRUE(SUCCEEDED(control->Run()));
    EXPECT_TRUE(WaitUntil(
        [&] {
          SimCardCounters now{};
          return SimCard_GetCounters(capturePath_.c_str(), &now) == S_OK && now.videoFrames >= before.videoFrames + 5;
        },
        10000));
    EXPECT_TRUE(SUCCEEDED(control->Stop()));

    ComPtr<IBaseFilter> audioFilter = Bind(0, kSimRoleTvAudio, kCategoryTvAudio, c.audioName);
    ASSERT_TRUE(audioFilter);
    ComPtr<IAMTVAudio> audio;
    ASSERT_EQ(S_OK, audioFilter->QueryInterface(IID_IAMTVAudio, reinterpret_cast<void**>(audio.GetAddressOf())));
    ASSERT_EQ(S_OK, SimCard_SetTvAudioMode(capturePath_.c_str(), static_cast<DWORD>(c.audioMode)));
    long mode = 0;
    ASSERT_EQ(S_OK, audio->get_TVAudioMode(&mode));
    EXPECT_EQ(c.audioMode, mode);
    ASSERT_EQ(S_OK, SimCard_RegisterFamilyCard(0, c.family, 0, FALSE));
  }
}

// A 24-bit top-down bitmap of 3 x 2 pixels (rows padded to 12 bytes), then cut short and turned
// bottom-up; outlines clipped at the copy's edges.
TEST(PictureTesting, BitmapFilesReadBackAndOutlinesStayInsideTheCopy) {
  std::vector<BYTE> file(sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER) + 2 * 12);
  BITMAPINFOHEADER info{};
  info.biSize = sizeof(info);
  info.biWidth = 3;
  info.biHeight = -2;
  info.biBitCount = 24;
  std::memcpy(file.data() + sizeof(BITMAPFILEHEADER), &info, sizeof(info));
  BYTE* rows = file.data() + sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER);
  rows[0] = 0x03, rows[1] = 0x02, rows[2] = 0x01;  // blue, green, red of the top left pixel
  rows[12 + 6] = 0xFF;                               // blue of the bottom right one
  ScreenCopy copy = FromBitmapFile(file);
  ASSERT_EQ(std::make_pair(3, 2), std::make_pair(copy.width, copy.height));
  EXPECT_EQ((std::vector<std::uint32_t>{0x010203, 0, 0, 0, 0, 0x0000FF}), copy.pixels);
  EXPECT_TRUE(FromBitmapFile(std::vector<BYTE>(file.begin(), file.end() - 1)).pixels.empty());
  info.biHeight = 2;
  std::memcpy(file.data() + sizeof(BITMAPFILEHEADER), &info, sizeof(info));
  EXPECT_TRUE(FromBitmapFile(file).pixels.empty());

  struct Case {
    RECT rect;
    std::vector<std::uint32_t> expected;  // 4 x 3, top row first
  } cases[] = {
      {{0, 0, 4, 3}, {1, 1, 1, 1, 1, 0, 0, 1, 1, 1, 1, 1}},
      {{-2, -2, 2, 2}, {0, 1, 0, 0, 1, 1, 0, 0, 0, 0, 0, 0}},  // partly outside: only what lies inside
      {{5, 0, 9, 3}, std::vector<std::uint32_t>(12, 0)},      // wholly outside
      {{2, 1, 2, 3}, std::vector<std::uint32_t>(12, 0)},      // empty
  };
  for (const Case& c : cases) {
    ScreenCopy canvas{4, 3, std::vector<std::uint32_t>(12, 0)};
    Outline(canvas, c.rect, 1, 1);
    EXPECT_EQ(c.expected, canvas.pixels) << c.rect.left << "," << c.rect.top;
  }
}

}  // namespace
