// The renderer's link to the preview control (against its double), the VMR-7 style
// configuration, field order and zoom interfaces, the display-change rebuild and the property
// pages.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "common/errors.h"
#include "common/window/window_subclass.h"
#include "filters/base/testkit/video_types.h"
#include "filters/renderer/property_pages.h"
#include "filters/renderer/renderer_resources.h"
#include "filters/renderer/testing/renderer_testing.h"
#include "filters/renderer/video_window.h"

using namespace vren;
using doubles::Journal;
using Microsoft::WRL::ComPtr;

namespace {

[[maybe_unused]] const ::testing::Environment* const kPreviewDouble = ::testing::AddGlobalTestEnvironment(new PreviewDoubleRegistration);

template <class Interface>
ComPtr<Interface> Query(IUnknown* object, const IID& iid) {
  ComPtr<Interface> out;
  object->QueryInterface(iid, reinterpret_cast<void**>(out.GetAddressOf()));
  return out;
}

// A renderer of the test's own (released at the end of the scope).
struct Renderer {
  Renderer() {
    renderer = NewRenderer(&hr);
    if (renderer) renderer->NonDelegatingQueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown));
    if (renderer) renderer->NonDelegatingRelease();
  }
  ~Renderer() {
    if (unknown) {
      EXPECT_EQ(unknown->Release(), 0u);
    }
  }
  HRESULT hr = S_OK;
  VideoRenderer* renderer = nullptr;
  IUnknown* unknown = nullptr;
};

// A visible top-level window with a child: the host's clipping window.
struct HostWindow {
  HostWindow()
      : top(CreateWindowExW(0, L"STATIC", L"host", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 320, 240, nullptr, nullptr,
                            nullptr, nullptr)),
        child(CreateWindowExW(0, L"STATIC", L"video", WS_CHILD | WS_VISIBLE, 0, 0, 320, 240, top, nullptr, nullptr,
                              nullptr)) {}
  ~HostWindow() { DestroyWindow(top); }
  HWND top;
  HWND child;
};

// Another kind of subclass on the same top-level window (as the preview engine's move hook).
class CountingHook final : public WindowSubclassOf<CountingHook> {
 public:
  static constexpr wchar_t kPropertyName[] = L"{renderer-test-counting-hook}";
  ~CountingHook() override { Detach(); }
  int displayChanges = 0;

 protected:
  LRESULT WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) override {
    if (message == WM_DISPLAYCHANGE) ++displayChanges;
    return CallPrevious(hwnd, message, wParam, lParam);
  }
};

void PumpMessages() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

}  // namespace

// --- The preview control client -------------------------------------------------------------------

TEST(PreviewControlClient, InitializeInUseIsSFalseAndTheNextInitializeCallsAgain) {
  Journal::Instance().Reset();
  PreviewControlClient client;
  ASSERT_EQ(client.Connect(), S_OK);
  EXPECT_EQ(client.Uninitialize(0), S_OK);  // never initialised: the control is not called
  EXPECT_TRUE(PreviewCalls("Uninitialize").empty());
  Journal::Instance().InjectFailure(doubles::kPreviewControlObject, "Initialize", errors::kPreviewHeldElsewhere, 1);
  EXPECT_EQ(client.Initialize(0), S_FALSE);
  EXPECT_FALSE(client.IsInitialized());
  EXPECT_EQ(client.Initialize(0), S_OK);
  EXPECT_TRUE(client.IsInitialized());
  EXPECT_EQ(client.Initialize(0), S_OK);  // once initialised, no further call
  EXPECT_EQ(PreviewCalls("Initialize").size(), 2u);
  EXPECT_EQ(client.Disconnect(), S_OK);
  EXPECT_EQ(PreviewCalls("Uninitialize").size(), 1u);
  EXPECT_FALSE(client.IsInitialized());
  EXPECT_EQ(PreviewDoubleRegistration::CallEntry("DllCanUnloadNow"), S_OK);  // nothing of the control kept
}

TEST(PreviewControlClient, ForwardersNeedTheControlAndReportAnySuccessAsSOk) {
  Journal::Instance().Reset();
  PreviewControlClient client;
  LONG zoom = 0;
  ULONG key = 0;
  SIZE minimum{}, maximum{};
  const auto calls = [&] {
    return std::vector<HRESULT>{client.Initialize(0), client.SetZoomMode(1), client.GetZoomMode(&zoom),
                                client.SetColorKey(7), client.GetColorKey(&key), client.SetMuteTimer(500),
                                client.GetAvailableDestSize(&minimum, &maximum), client.SetColorFormat(1)};
  };
  for (HRESULT hr : calls()) EXPECT_EQ(hr, E_POINTER);
  EXPECT_TRUE(Journal::Instance().Calls(doubles::kPreviewControlObject).empty());

  ASSERT_EQ(client.Connect(), S_OK);
  struct Case {
    const char* method;
    HRESULT answer;
    HRESULT expected;
  } cases[] = {{"SetZoomMode", S_FALSE, S_OK}, {"SetColorKey", E_FAIL, E_FAIL},
               {"SetMuteTimer", static_cast<HRESULT>(0x00040002), S_OK}, {"SetColorFormat", E_ACCESSDENIED, E_ACCESSDENIED}};
  for (const Case& c : cases) Journal::Instance().InjectFailure(doubles::kPreviewControlObject, c.method, c.answer, 1);
  EXPECT_EQ(client.SetZoomMode(1), S_OK);
  EXPECT_EQ(client.SetColorKey(7), E_FAIL);
  EXPECT_EQ(client.SetMuteTimer(500), S_OK);
  EXPECT_EQ(client.SetColorFormat(1), E_ACCESSDENIED);
  EXPECT_EQ(client.GetZoomMode(&zoom), S_OK);
  EXPECT_EQ(zoom, 1);  // the S_FALSE call still reached the control
  for (const Case& c : cases) EXPECT_EQ(PreviewCalls(c.method).size(), 1u) << c.method;
  EXPECT_EQ(client.GetAvailableDestSize(&minimum, &maximum), S_OK);
  EXPECT_EQ(maximum.cx, 640);
  EXPECT_EQ(client.Disconnect(), S_OK);
  for (HRESULT hr : calls()) EXPECT_EQ(hr, E_POINTER);
}

// --- Rendering mode and the windowless control -----------------------------------------------------

TEST(RendererModes, RenderingModeChangesOnceWhileWindowedAndUnconnected) {
  struct Step {
    DWORD mode;
    HRESULT expected;
  };
  const struct Case {
    bool askForVideoWindow;  // first: a QueryInterface for IVideoWindow fixes the mode
    std::vector<Step> steps;
    DWORD finalMode;
  } cases[] = {
      {false, {{4, E_NOTIMPL}, {2, S_OK}, {2, VFW_E_WRONG_STATE}, {1, VFW_E_WRONG_STATE}, {4, E_NOTIMPL}}, 2},
      {false, {{1, S_OK}, {2, VFW_E_WRONG_STATE}}, 1},
      {true, {{2, VFW_E_WRONG_STATE}, {4, E_NOTIMPL}}, 1},
  };
  for (const Case& c : cases) {
    Renderer r;
    ASSERT_NE(r.renderer, nullptr) << std::hex << r.hr;
    ComPtr<IVMRFilterConfig> config = Query<IVMRFilterConfig>(r.unknown, IID_IVMRFilterConfig);
    ASSERT_NE(config, nullptr);
    EXPECT_EQ(Query<IVMRWindowlessControl>(r.unknown, IID_IVMRWindowlessControl), nullptr);  // windowed
    if (c.askForVideoWindow) {
      EXPECT_NE(Query<IBasicVideo>(r.unknown, IID_IBasicVideo), nullptr);
    }
    for (const Step& s : c.steps) EXPECT_EQ(config->SetRenderingMode(s.mode), s.expected) << s.mode;
    DWORD mode = 0;
    EXPECT_EQ(config->GetRenderingMode(&mode), S_OK);
    EXPECT_EQ(mode, c.finalMode);
    const bool windowless = c.finalMode == kWindowless;
    EXPECT_EQ(Query<IVMRWindowlessControl>(r.unknown, IID_IVMRWindowlessControl) != nullptr, windowless);
    EXPECT_EQ(Query<IVideoWindow>(r.unknown, IID_IVideoWindow) == nullptr, windowless);
    EXPECT_EQ(r.renderer->Window() == nullptr, windowless);  // windowless mode deletes the window
  }
}

TEST(RendererModes, WindowlessControlStoresAndForwardsOnlyToAnInitialisedControl) {
  for (const bool controlInUse : {false, true}) {
    Journal::Instance().Reset();
    if (controlInUse) Journal::Instance().InjectFailure(doubles::kPreviewControlObject, "Initialize", errors::kPreviewHeldElsewhere, 1);
    HostWindow host;  // outlives the renderer, whose display-change hook goes on it
    Renderer r;
    ASSERT_NE(r.renderer, nullptr) << std::hex << r.hr;  // an in-use control leaves the renderer working
    ASSERT_EQ(Query<IVMRFilterConfig>(r.unknown, IID_IVMRFilterConfig)->SetRenderingMode(kWindowless), S_OK);
    ComPtr<IVMRWindowlessControl> windowless = Query<IVMRWindowlessControl>(r.unknown, IID_IVMRWindowlessControl);
    ASSERT_NE(windowless, nullptr);
    RECT destination = {10, 20, 330, 260};
    EXPECT_EQ(windowless->SetVideoPosition(nullptr, nullptr), E_POINTER);
    EXPECT_EQ(windowless->SetVideoPosition(nullptr, &destination), S_OK);
    RECT source = {1, 1, 1, 1}, back = {};
    EXPECT_EQ(windowless->GetVideoPosition(&source, &back), S_OK);
    EXPECT_EQ(source.right, 0);  // no size before a connection
    EXPECT_EQ(back.right, 330);
    EXPECT_EQ(PreviewCalls("SetVideoPosition").size(), controlInUse ? 0u : 1u);
    EXPECT_EQ(windowless->SetVideoClippingWindow(host.child), S_OK);
    EXPECT_EQ(PreviewCalls("SetVideoClippingWindow").size(), controlInUse ? 0u : 1u);
    COLORREF key = 0;
    EXPECT_EQ(windowless->GetColorKey(&key), S_OK);
    EXPECT_EQ(key, 0x00100010u);
    LONG w = 0, h = 0, ax = 0, ay = 0;
    EXPECT_EQ(windowless->GetNativeVideoSize(&w, &h, &ax, &ay), S_OK);
    EXPECT_EQ(w + h + ax + ay, 0);  // zeros while unconnected
    EXPECT_EQ(windowless->GetCurrentImage(nullptr), E_NOTIMPL);
  }
}

class WindowlessRenderer : public RendererGraph {
 protected:
  void BuildWindowless(const CMediaType& type, HWND clip, const RECT* destination) {
    Build(type, [&](VideoRenderer* renderer) {
      IUnknown* filter = static_cast<IBaseFilter*>(renderer);
      ASSERT_EQ(Query<IVMRFilterConfig>(filter, IID_IVMRFilterConfig)->SetRenderingMode(kWindowless), S_OK);
      windowless_ = Query<IVMRWindowlessControl>(filter, IID_IVMRWindowlessControl);
      ASSERT_NE(windowless_, nullptr);
      const HRESULT clipped = clip ? windowless_->SetVideoClippingWindow(clip) : S_OK;
      EXPECT_EQ(clipped, S_OK);
      RECT* const placed = const_cast<RECT*>(destination);
      const HRESULT positioned = placed ? windowless_->SetVideoPosition(nullptr, placed) : S_OK;
      EXPECT_EQ(positioned, S_OK);
    });
  }
  void TearDown() override {
    windowless_.Reset();
    RendererGraph::TearDown();
  }
  ComPtr<IVMRWindowlessControl> windowless_;
  // Host windows outlive the renderer, whose display-change hook may sit on one of them.
  HostWindow first_, second_;
};

TEST_F(WindowlessRenderer, NativeSizeAndAspectFollowTheConnectedFormat) {
  struct Case {
    GUID format;
    DWORD controlFlags;
    DWORD pictX, pictY;
    RECT source;
    LONG width, height, aspectX, aspectY;
  } cases[] = {
      {FORMAT_VideoInfo, 0, 0, 0, {}, 720, 480, 4, 3},
      {FORMAT_VideoInfo2, AMCONTROL_USED | AMCONTROL_PAD_TO_16x9, 4, 3, {}, 720, 480, 16, 9},
      {FORMAT_VideoInfo2, AMCONTROL_USED | AMCONTROL_PAD_TO_4x3, 16, 9, {}, 720, 480, 4, 3},
      {FORMAT_VideoInfo2, 0, 5, 4, {0, 0, 704, 480}, 704, 480, 5, 4},
  };
  for (const Case& c : cases) {
    CMediaType type = MakeVideoType(720, 480, MEDIASUBTYPE_YUY2, c.format, 0);
    if (c.format == FORMAT_VideoInfo2) {
      auto* info = reinterpret_cast<VIDEOINFOHEADER2*>(type.Format());
      info->dwControlFlags = c.controlFlags;
      info->dwPictAspectRatioX = c.pictX;
      info->dwPictAspectRatioY = c.pictY;
      info->rcSource = c.source;
    }
    BuildWindowless(type, nullptr, nullptr);
    LONG w = 0, h = 0, ax = 0, ay = 0;
    EXPECT_EQ(windowless_->GetNativeVideoSize(&w, &h, &ax, &ay), S_OK);
    EXPECT_EQ(std::vector<LONG>({w, h, ax, ay}), std::vector<LONG>({c.width, c.height, c.aspectX, c.aspectY}))
        << c.controlFlags << " " << c.pictX;
    // Connected: the mode is fixed.
    EXPECT_EQ(Query<IVMRFilterConfig>(static_cast<IBaseFilter*>(renderer_), IID_IVMRFilterConfig)->SetRenderingMode(kWindowless),
              VFW_E_WRONG_STATE);
    TearDown();
  }
}

TEST_F(WindowlessRenderer, ConnectionPlacesTheVideoAndDisplayChangeRebuildsTheMixer) {
  HostWindow& first = first_;
  HostWindow& second = second_;
  const RECT destination = {0, 0, 0, 0};  // empty: the whole picture
  Journal::Instance().Reset();
  BuildWindowless(MakeVideoType(720, 480, MEDIASUBTYPE_YUY2, FORMAT_VideoInfo2, 0), first.child, &destination);
  auto last = [](const char* method) {
    auto calls = PreviewCalls(method);
    return calls.empty() ? doubles::JournalEntry{} : calls.back();
  };
  EXPECT_EQ(last("SetMuteTimer").args[0], 500);
  EXPECT_EQ(last("SetVideoSize").args[0], 720);
  EXPECT_EQ(last("SetVideoSize").args[1], 480);
  EXPECT_EQ(last("SetVideoClippingWindow").args[0], static_cast<std::int64_t>(reinterpret_cast<uintptr_t>(first.child)));
  EXPECT_EQ(last("SetVideoPosition").args[3], (480LL << 32) | 720);  // destination (720, 480)
  EXPECT_EQ(renderer_->Preview().HookedWindow(), first.top);
  Run();
  ASSERT_EQ(source_->Push(SamplePlan{}), S_OK);
  GraphWorker& worker = renderer_->Worker();
  ComPtr<IBaseFilter> mixer = worker.Mixer();
  ASSERT_NE(mixer, nullptr);

  // The engine's hook stacked on the same window keeps working when ours moves away.
  CountingHook other;
  ASSERT_EQ(other.Attach(first.top), S_OK);
  ASSERT_EQ(windowless_->SetVideoClippingWindow(second.child), S_OK);
  EXPECT_EQ(renderer_->Preview().HookedWindow(), second.top);
  const size_t mutes = PreviewCalls("SetMuteTimer").size();
  SendMessageW(first.top, WM_DISPLAYCHANGE, 32, MAKELPARAM(1024, 768));
  EXPECT_EQ(other.displayChanges, 1);
  EXPECT_EQ(worker.Mixer().Get(), mixer.Get());
  SendMessageW(second.top, WM_DISPLAYCHANGE, 32, MAKELPARAM(1024, 768));
  EXPECT_NE(worker.Mixer().Get(), mixer.Get());
  EXPECT_TRUE(worker.IsRunning());
  ASSERT_EQ(PreviewCalls("SetMuteTimer").size(), mutes + 1);
  EXPECT_EQ(last("SetMuteTimer").args[0], 500);
  other.Detach();
}

// --- Field order and zoom ---------------------------------------------------------------------------

TEST(RendererFieldOrderSettings, KivraNtsc2AcceptsOnlyKnownOrdersWhileVideoConfigKeepsAny) {
  Renderer r;
  ASSERT_NE(r.renderer, nullptr) << std::hex << r.hr;
  ComPtr<IVideoConfig> config = Query<IVideoConfig>(r.unknown, IID_IVideoConfig);
  ComPtr<KivraNtsc2> ntsc2 = Query<KivraNtsc2>(r.unknown, IID_KivraNtsc2);
  ASSERT_NE(config, nullptr);
  ASSERT_NE(ntsc2, nullptr);
  struct Case {
    bool throughNtsc2;
    LONG order;
    HRESULT setResult;
    LONG stored;
    HRESULT ntsc2Read;
  } cases[] = {
      {true, 2, S_OK, 2, S_OK},          {true, 3, E_INVALIDARG, 2, S_OK},  {true, -1, E_INVALIDARG, 2, S_OK},
      {false, 3, S_OK, 3, E_UNEXPECTED}, {true, 1, S_OK, 1, S_OK},          {false, 0, S_OK, 0, S_OK},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.throughNtsc2 ? ntsc2->SetFieldOrder(c.order) : config->SetFieldOrder(c.order), c.setResult) << c.order;
    LONG stored = -7, read = -7;
    EXPECT_EQ(config->GetFieldOrder(&stored), S_OK);
    EXPECT_EQ(stored, c.stored);
    EXPECT_EQ(ntsc2->GetFieldOrder(&read), c.ntsc2Read);
    EXPECT_EQ(read, c.ntsc2Read == S_OK ? c.stored : -7);  // nothing written on failure
  }
  // The older interface's eight slots (3 to 10) through the raw table, as its callers see it.
  ComPtr<KivraNtsc> ntsc = Query<KivraNtsc>(r.unknown, IID_KivraNtsc);
  ASSERT_NE(ntsc, nullptr);
  using Slot = HRESULT(STDMETHODCALLTYPE*)(void*);
  Slot* table = *reinterpret_cast<Slot**>(ntsc.Get());
  for (int slot = 3; slot <= 10; ++slot) EXPECT_EQ(table[slot](ntsc.Get()), E_NOTIMPL) << slot;
}

TEST(RendererFieldOrderSettings, ZoomAndWideZoomGoToThePreviewControl) {
  Journal::Instance().Reset();
  Renderer r;
  ASSERT_NE(r.renderer, nullptr) << std::hex << r.hr;
  ComPtr<KivraNtscZoom> zoom = Query<KivraNtscZoom>(r.unknown, IID_KivraNtscZoom);
  ComPtr<IKelvUtil> util = Query<IKelvUtil>(r.unknown, IID_IKelvUtil);
  ASSERT_NE(zoom, nullptr);
  ASSERT_NE(util, nullptr);
  LONG mode = 0;
  EXPECT_EQ(zoom->SetZoomMode(1), S_OK);
  EXPECT_EQ(zoom->GetZoomMode(&mode), S_OK);
  EXPECT_EQ(mode, 1);
  Journal::Instance().InjectFailure(doubles::kPreviewControlObject, "SetZoomMode", E_ACCESSDENIED, 1);
  EXPECT_EQ(zoom->SetZoomMode(0), E_ACCESSDENIED);

  RECT linear = {0, 0, 640, 480}, result = {};
  EXPECT_EQ(util->GetWideZoomRect(&linear, &result), S_OK);
  EXPECT_EQ(result.right, 640);
  ASSERT_EQ(PreviewCalls("GetWideZoomRect").size(), 1u);
  Journal::Instance().InjectFailure(doubles::kPreviewControlObject, "GetVideoSize", E_FAIL, 1);
  EXPECT_EQ(util->GetWideZoomRect(&linear, &result), E_FAIL);  // the first failure ends it
  EXPECT_EQ(PreviewCalls("GetWideZoomRect").size(), 1u);
}

TEST_F(RendererGraph, FieldOrderSettingMarksEachFrame) {
  Build(MakeVideoType(720, 480, MEDIASUBTYPE_YUY2, FORMAT_VideoInfo2, 0));
  Run();
  ComPtr<IVideoConfig> config = Query<IVideoConfig>(static_cast<IBaseFilter*>(renderer_), IID_IVideoConfig);
  ComPtr<IMemAllocator> allocator;
  ASSERT_EQ(renderer_->Input()->GetAllocator(allocator.GetAddressOf()), S_OK);
  const struct Case {
    LONG order;
    DWORD sampleFlags;
    bool topFirst;
  } cases[] = {{0, 0, false}, {0, AM_VIDEO_FLAG_FIELD1FIRST, true}, {1, 0, true}, {2, AM_VIDEO_FLAG_FIELD1FIRST, false}, {3, 0, true}};
  for (const Case& c : cases) {
    ASSERT_EQ(config->SetFieldOrder(c.order), S_OK);
    ComPtr<IMediaSample> sample;
    ASSERT_EQ(allocator->GetBuffer(sample.GetAddressOf(), nullptr, nullptr, 0), S_OK);
    ComPtr<IMediaSample2> sample2;
    ASSERT_EQ(sample.As(&sample2), S_OK);
    AM_SAMPLE2_PROPERTIES props{};
    ASSERT_EQ(sample2->GetProperties(sizeof(props), reinterpret_cast<BYTE*>(&props)), S_OK);
    props.dwTypeSpecificFlags = c.sampleFlags;
    props.dwSampleFlags &= ~static_cast<DWORD>(AM_SAMPLE_TYPECHANGED);
    props.pMediaType = nullptr;
    ASSERT_EQ(sample2->SetProperties(sizeof(props), reinterpret_cast<BYTE*>(&props)), S_OK);
    ASSERT_EQ(sample->SetActualDataLength(kBufferBytes), S_OK);
    ASSERT_EQ(renderer_->DoRenderSample(sample.Get()), S_OK);
    ASSERT_EQ(sample2->GetProperties(sizeof(props), reinterpret_cast<BYTE*>(&props)), S_OK);
    EXPECT_EQ((props.dwTypeSpecificFlags & AM_VIDEO_FLAG_FIELD1FIRST) != 0, c.topFirst) << c.order << " " << c.sampleFlags;
  }
}

// --- Property pages --------------------------------------------------------------------------------

TEST(RendererPropertyPages, ListedInOrder) {
  Renderer r;
  ASSERT_NE(r.renderer, nullptr) << std::hex << r.hr;
  CAUUID pages{};
  ASSERT_EQ(Query<ISpecifyPropertyPages>(r.unknown, IID_ISpecifyPropertyPages)->GetPages(&pages), S_OK);
  ASSERT_EQ(pages.cElems, 3u);
  EXPECT_EQ(pages.pElems[0], CLSID_QualityPage);
  EXPECT_EQ(pages.pElems[1], CLSID_FieldOrderPage);
  EXPECT_EQ(pages.pElems[2], CLSID_ZoomModePage);
  CoTaskMemFree(pages.pElems);
}

namespace {

// A page made in the test program, shown on a host window for one object.
template <class Page>
struct ShownPage {
  explicit ShownPage(IUnknown* object) : page(new Page(nullptr)) {
    page->NonDelegatingAddRef();
    EXPECT_EQ(page->SetObjects(1, &object), S_OK);
  }
  HRESULT Activate() {
    const RECT rect = {0, 0, 300, 200};
    return page->Activate(host.top, &rect, FALSE);
  }
  ~ShownPage() {
    if (page->Window()) page->Deactivate();
    page->SetObjects(0, nullptr);
    page->NonDelegatingRelease();
  }
  bool Checked(int id) const { return IsDlgButtonChecked(page->Window(), id) == BST_CHECKED; }
  void Click(int id) { SendDlgItemMessageW(page->Window(), id, BM_CLICK, 0, 0); }
  std::wstring Text(int id) const {
    wchar_t text[64] = {};
    GetDlgItemTextW(page->Window(), id, text, 64);
    return text;
  }
  HostWindow host;
  Page* page;
};

// IQualProp with values of the test's choosing.
class QualityValues final : public IQualProp {
 public:
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    if (iid != IID_IUnknown && iid != IID_IQualProp) return E_NOINTERFACE;
    *out = static_cast<IQualProp*>(this);
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return 2; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }
  STDMETHODIMP get_FramesDroppedInRenderer(int* v) override { return *v = dropped, S_OK; }
  STDMETHODIMP get_FramesDrawn(int* v) override { return *v = drawn, S_OK; }
  STDMETHODIMP get_AvgFrameRate(int* v) override { return *v = rate, S_OK; }
  STDMETHODIMP get_Jitter(int* v) override { return *v = 4, S_OK; }
  STDMETHODIMP get_AvgSyncOffset(int* v) override { return *v = -5, S_OK; }
  STDMETHODIMP get_DevSyncOffset(int* v) override { return *v = 6, S_OK; }
  int dropped = 2, drawn = 100, rate = 2997;
};

}  // namespace

TEST(RendererPropertyPages, FieldOrderAndZoomPagesShowAndApplyTheSetting) {
  Journal::Instance().Reset();
  Renderer r;
  ASSERT_NE(r.renderer, nullptr) << std::hex << r.hr;
  ComPtr<IVideoConfig> config = Query<IVideoConfig>(r.unknown, IID_IVideoConfig);
  ASSERT_EQ(config->SetFieldOrder(3), S_OK);
  {
    ShownPage<FieldOrderPage> shown(r.unknown);
    ASSERT_EQ(shown.Activate(), S_OK);
    EXPECT_TRUE(shown.Checked(IDC_FIELD_AUTO));  // 3 shows as automatic
    const std::pair<int, LONG> clicks[] = {{IDC_FIELD_BOTTOM_FIRST, 2}, {IDC_FIELD_TOP_FIRST, 1}, {IDC_FIELD_AUTO, 0}};
    for (const auto& [id, order] : clicks) {
      shown.Click(id);
      LONG stored = -1;
      config->GetFieldOrder(&stored);
      EXPECT_EQ(stored, order) << id;
    }
  }
  ASSERT_EQ(Query<KivraNtscZoom>(r.unknown, IID_KivraNtscZoom)->SetZoomMode(1), S_OK);
  ShownPage<ZoomModePage> shown(r.unknown);
  ASSERT_EQ(shown.Activate(), S_OK);
  EXPECT_TRUE(shown.Checked(IDC_ZOOM_WIDE));
  shown.Click(IDC_ZOOM_NORMAL);
  ASSERT_FALSE(PreviewCalls("SetZoomMode").empty());
  EXPECT_EQ(PreviewCalls("SetZoomMode").back().args[0], 0);
}

TEST(RendererPropertyPages, QualityPageRefreshesOnItsTimerUntilDestroyed) {
  QualityValues values;
  ShownPage<QualityPage> shown(&values);
  for (int round = 0; round < 2; ++round) {
    ASSERT_EQ(shown.Activate(), S_OK);
    EXPECT_TRUE(shown.page->Refreshing());
    EXPECT_EQ(shown.Text(IDC_FRAME_RATE), L"29.97");
    EXPECT_EQ(shown.Text(IDC_SYNC_AVERAGE), L"-5");
    values.drawn += 1;
    const std::wstring expected = std::to_wstring(values.drawn);
    const DWORD start = GetTickCount();
    while (shown.Text(IDC_FRAMES_PLAYED) != expected && GetTickCount() - start < kWaitMs) {
      MsgWaitForMultipleObjects(0, nullptr, FALSE, 100, QS_ALLINPUT);
      PumpMessages();
    }
    EXPECT_EQ(shown.Text(IDC_FRAMES_PLAYED), expected);
    ASSERT_EQ(shown.page->Deactivate(), S_OK);
    EXPECT_FALSE(shown.page->Refreshing());  // and a new activation starts it again
  }
}

// --- The video window ------------------------------------------------------------------------------

TEST(RendererVideoWindow, SizingKeepsTheDraggedEdgesOppositeAndTheLimits) {
  Renderer r;
  ASSERT_NE(r.renderer, nullptr) << std::hex << r.hr;
  VideoWindow* window = r.renderer->Window();
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(window->MinimumSize().cx, 320);  // from the preview control
  EXPECT_EQ(window->MaximumSize().cy, 480);
  const SIZE f = window->FrameSize();
  EXPECT_GT(f.cx, 0);
  EXPECT_GT(f.cy, 0);
  struct Case {
    WPARAM edge;
    RECT proposed;
    RECT expected;
  } cases[] = {
      {WMSZ_LEFT, {900, 100, 1000, 400}, {1000 - 320 - f.cx, 100, 1000, 400}},
      {WMSZ_RIGHT, {100, 100, 200, 400}, {100, 100, 100 + 320 + f.cx, 400}},
      {WMSZ_TOPLEFT, {0, 0, 500, 1000}, {0, 1000 - 480 - f.cy, 500, 1000}},
      {WMSZ_BOTTOM, {10, 10, 1000, 20}, {10, 10, 10 + 640 + f.cx, 10 + 240 + f.cy}},
  };
  for (const Case& c : cases) {
    RECT rect = c.proposed;
    SendMessageW(window->GetWindowHWND(), WM_SIZING, c.edge, reinterpret_cast<LPARAM>(&rect));
    EXPECT_EQ(std::vector<LONG>({rect.left, rect.top, rect.right, rect.bottom}),
              std::vector<LONG>({c.expected.left, c.expected.top, c.expected.right, c.expected.bottom}))
        << c.edge;
  }
}

TEST(RendererVideoWindow, TargetWithinTheLimitsSizesTheWindowAndTellsTheControl) {
  Journal::Instance().Reset();
  HostWindow host;
  Renderer r;
  ASSERT_NE(r.renderer, nullptr) << std::hex << r.hr;
  ComPtr<IBasicVideo> video = Query<IBasicVideo>(r.unknown, IID_IBasicVideo);
  ComPtr<IVideoWindow> window = Query<IVideoWindow>(r.unknown, IID_IVideoWindow);
  ASSERT_NE(video, nullptr);
  ASSERT_NE(window, nullptr);
  const HWND hwnd = r.renderer->Window()->GetWindowHWND();
  wchar_t title[64] = {};
  GetWindowTextW(hwnd, title, 64);
  EXPECT_STREQ(title, kVideoWindowName);
  EXPECT_EQ(GetWindowLongPtrW(hwnd, GWL_STYLE) & 0x02CF0000, 0x02CF0000);
  EXPECT_EQ(video->SetDestinationPosition(0, 0, 641, 480), E_INVALIDARG);
  EXPECT_EQ(video->SetDestinationPosition(0, 0, 640, 239), E_INVALIDARG);
  EXPECT_EQ(video->SetDestinationPosition(0, 0, 640, 480), S_OK);
  RECT client = {};
  GetClientRect(hwnd, &client);
  EXPECT_EQ(client.right, 640);
  EXPECT_EQ(client.bottom, 480);
  auto calls = PreviewCalls("SetVideoPosition");  // OnSize: the whole client area
  ASSERT_FALSE(calls.empty());
  EXPECT_EQ(calls.back().args[3], (480LL << 32) | 640);
  EXPECT_EQ(video->IsUsingDefaultDestination(), S_FALSE);
  EXPECT_EQ(video->SetDefaultDestinationPosition(), S_OK);
  EXPECT_EQ(video->IsUsingDefaultDestination(), S_OK);

  ASSERT_EQ(window->put_Owner(reinterpret_cast<OAHWND>(host.top)), S_OK);
  calls = PreviewCalls("SetVideoClippingWindow");
  ASSERT_FALSE(calls.empty());
  EXPECT_EQ(calls.back().args[0], static_cast<std::int64_t>(reinterpret_cast<uintptr_t>(hwnd)));
  EXPECT_EQ(window->put_Owner(0), S_OK);
  // Maximising beyond what the panel shows switches the colour format.
  SendMessageW(hwnd, WM_SYSCOMMAND, SC_MAXIMIZE, 0);
  calls = PreviewCalls("SetColorFormat");
  ASSERT_FALSE(calls.empty());
  EXPECT_EQ(calls.front().args[0], 0);
}

TEST(RendererVideoWindow, BackgroundIsTheColourKeyOrBlack) {
  Renderer r;
  ASSERT_NE(r.renderer, nullptr) << std::hex << r.hr;
  const HWND hwnd = r.renderer->Window()->GetWindowHWND();
  ASSERT_EQ(Query<IVideoWindow>(r.unknown, IID_IVideoWindow)->put_Visible(-1), S_OK);
  struct Case {
    bool keyFails;
    COLORREF expected;
  } cases[] = {{false, RGB(0x12, 0x34, 0x56)}, {true, RGB(0, 0, 0)}, {false, RGB(0x12, 0x34, 0x56)}};
  for (const Case& c : cases) {
    Journal::Instance().Reset();
    Journal::Instance().SetValue(doubles::kPreviewColorKey, RGB(0x12, 0x34, 0x56));
    if (c.keyFails) Journal::Instance().InjectFailure(doubles::kPreviewControlObject, "GetColorKey", E_FAIL, 1000);
    RedrawWindow(hwnd, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ERASENOW | RDW_UPDATENOW);
    COLORREF pixel = CLR_INVALID;
    for (DWORD start = GetTickCount(); GetTickCount() - start < kWaitMs;) {
      HDC dc = GetDC(hwnd);
      pixel = GetPixel(dc, 20, 20);
      ReleaseDC(hwnd, dc);
      if (pixel == c.expected) break;
      MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
    }
    EXPECT_EQ(pixel, c.expected) << c.keyFails;
  }
  Journal::Instance().Reset();
}

TEST(RendererVideoWindow, PropertiesMoveOneEdgeAndReleaseWhileOwnedDoesNotWait) {
  HostWindow host;
  auto r = std::make_unique<Renderer>();
  ASSERT_NE(r->renderer, nullptr) << std::hex << r->hr;
  ComPtr<IVideoWindow> window = Query<IVideoWindow>(r->unknown, IID_IVideoWindow);
  ComPtr<IBasicVideo> video = Query<IBasicVideo>(r->unknown, IID_IBasicVideo);
  ASSERT_EQ(window->SetWindowPosition(10, 20, 500, 400), S_OK);
  ASSERT_EQ(video->SetSourcePosition(0, 0, 720, 480), S_OK);
  struct Case {
    HRESULT (*put)(IVideoWindow*, IBasicVideo*);
    HRESULT (*get)(IVideoWindow*, IBasicVideo*, long*, long*, long*, long*);
    long expected[4];
  } cases[] = {
      {[](IVideoWindow* w, IBasicVideo*) { return w->put_Left(30); },
       [](IVideoWindow* w, IBasicVideo*, long* a, long* b, long* c, long* d) { return w->GetWindowPosition(a, b, c, d); },
       {30, 20, 500, 400}},
      {[](IVideoWindow* w, IBasicVideo*) { return w->put_Height(300); },
       [](IVideoWindow* w, IBasicVideo*, long* a, long* b, long* c, long* d) { return w->GetWindowPosition(a, b, c, d); },
       {30, 20, 500, 300}},
      {[](IVideoWindow*, IBasicVideo* v) { return v->put_SourceLeft(8); },
       [](IVideoWindow*, IBasicVideo* v, long* a, long* b, long* c, long* d) { return v->GetSourcePosition(a, b, c, d); },
       {8, 0, 720, 480}},
      {[](IVideoWindow*, IBasicVideo* v) { return v->put_SourceWidth(704); },
       [](IVideoWindow*, IBasicVideo* v, long* a, long* b, long* c, long* d) { return v->GetSourcePosition(a, b, c, d); },
       {8, 0, 704, 480}},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(c.put(window.Get(), video.Get()), S_OK);
    long got[4] = {};
    ASSERT_EQ(c.get(window.Get(), video.Get(), &got[0], &got[1], &got[2], &got[3]), S_OK);
    EXPECT_EQ(std::vector<long>(got, got + 4), std::vector<long>(c.expected, c.expected + 4));
  }
  // A host that lets go of the renderer while its window is still a child of the host's.
  ASSERT_EQ(window->put_Owner(reinterpret_cast<OAHWND>(host.top)), S_OK);
  window.Reset();
  video.Reset();
  const DWORD start = GetTickCount();
  r.reset();
  EXPECT_LT(GetTickCount() - start, 5000u);
}
