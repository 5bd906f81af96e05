// Test support of the renderer's tests: renderers made in the test program (the internal
// source from the folder of the built modules), the renderer in a stub graph fed by the test
// kit's push source, frames from a memory allocator, and the preview control's double
// registered under the control's class for the whole program.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "common/hresult.h"
#include "common/module.h"
#include "common/testing/paths.h"
#include "filters/base/testkit/manual_clock.h"
#include "filters/base/testkit/push_source.h"
#include "filters/base/testkit/stub_graph.h"
#include "filters/renderer/video_renderer.h"
#include "sim/doubles/double_journal.h"
#include "sim/doubles/preview_control_double.h"

namespace vren {

using namespace graph_testkit;

constexpr DWORD kWaitMs = 5000;

// The preview control's double, registered for the whole test program (the renderer cannot be
// made without a preview control) with COM for the main thread.
class PreviewDoubleRegistration : public ::testing::Environment {
 public:
  static HRESULT CallEntry(const char* name) {
    HMODULE module = LoadLibraryW(testing_support::BinPath(DOUBLES_PREVIEW2_FILE).c_str());
    if (!module) return HResultFromLastError();
    auto entry = GetProcAs<HRESULT(STDAPICALLTYPE*)()>(module, name);
    return entry ? entry() : E_NOINTERFACE;
  }
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    ASSERT_EQ(CallEntry("DllRegisterServer"), S_OK);
  }
  void TearDown() override {
    EXPECT_EQ(CallEntry("DllUnregisterServer"), S_OK);
    CoUninitialize();
  }
};

// The double's recorded calls of one method.
inline std::vector<doubles::JournalEntry> PreviewCalls(const char* method) {
  return doubles::Journal::Instance().Calls(doubles::kPreviewControlObject, method);
}

// The internal source comes from the folder of the built modules.
inline HMODULE SourceModule() {
  static HMODULE module = LoadLibraryW(testing_support::BinPath(L"VornVSrc.ax").c_str());
  return module;
}

inline VideoRenderer* NewRenderer(HRESULT* hr) {
  VideoRenderer::SetSourceFolderModule(SourceModule());
  *hr = S_OK;
  CUnknown* created = VideoRenderer::CreateInstance(nullptr, hr);
  auto* renderer = static_cast<VideoRenderer*>(created);
  if (renderer) renderer->NonDelegatingAddRef();
  if (renderer && FAILED(*hr)) {
    renderer->NonDelegatingRelease();
    return nullptr;
  }
  return renderer;
}


// The renderer fed by the test kit's push source in a stub graph, on a manual clock.
class RendererGraph : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))); }
  // `beforeConnect` configures the renderer before its pin connects.
  void Build(const CMediaType& type, const std::function<void(VideoRenderer*)>& beforeConnect = {}) {
    graph_ = StubGraph::Create();
    source_ = TestPushSource::Create({type});
    clock_ = ManualClock::Create(0);
    HRESULT hr = S_OK;
    renderer_ = NewRenderer(&hr);
    ASSERT_NE(renderer_, nullptr) << std::hex << hr;
    ASSERT_EQ(graph_->AddFilter(source_, L"source"), S_OK);
    ASSERT_EQ(graph_->AddFilter(renderer_, L"renderer"), S_OK);
    if (beforeConnect) beforeConnect(renderer_);
    ASSERT_EQ(graph_->ConnectDirect(source_->OutputPin(), renderer_->Input(), nullptr), S_OK);
    renderer_->SetSyncSource(clock_);
    source_->SetSyncSource(clock_);
  }
  void Run() {
    ASSERT_EQ(renderer_->Run(0), S_OK);
    ASSERT_EQ(source_->Run(0), S_OK);
  }
  int Drawn() {
    int frames = -1;
    renderer_->get_FramesDrawn(&frames);
    return frames;
  }
  void TearDown() override {
    if (!graph_) return;
    if (!renderer_) {
      source_->Release();
      graph_->Release();
      clock_->Release();
      graph_ = nullptr;
      return;
    }
    renderer_->Stop();
    source_->Stop();
    source_->WaitPushed(kWaitMs);
    source_->OutputPin()->Disconnect();
    renderer_->Input()->Disconnect();
    renderer_->SetSyncSource(nullptr);
    source_->SetSyncSource(nullptr);
    EXPECT_EQ(source_->Release(), 1u);
    EXPECT_EQ(renderer_->Release(), 1u);
    EXPECT_EQ(graph_->Release(), 0u);
    clock_->Release();
    graph_ = nullptr;
  }
  ~RendererGraph() override { CoUninitialize(); }
  StubGraph* graph_ = nullptr;
  TestPushSource* source_ = nullptr;
  VideoRenderer* renderer_ = nullptr;
  ManualClock* clock_ = nullptr;
};

// Waits (bounded) until `done` holds.
template <class Done>
bool WaitUntil(Done done) {
  for (DWORD start = GetTickCount(); GetTickCount() - start < kWaitMs;) {
    if (done()) return true;
    SwitchToThread();
  }
  return false;
}

// Waits until the renderer waits on the clock for its sample.
inline bool WaitForAdvise(ManualClock* clock) {
  return WaitUntil([clock] { return clock->PendingAdvises() > 0; });
}


// One buffer of the full frame size from a memory allocator.
struct FrameBuffer {
  FrameBuffer() {
    HRESULT hr = S_OK;
    allocator = new CMemAllocator(L"frames", nullptr, &hr);
    allocator->NonDelegatingAddRef();
    ALLOCATOR_PROPERTIES request{2, kBufferBytes, 1, 0}, actual{};
    allocator->SetProperties(&request, &actual);
    allocator->Commit();
  }
  ~FrameBuffer() {
    allocator->Decommit();
    allocator->NonDelegatingRelease();
  }
  // A frame whose rows 240 and 241 are filled with the given bytes.
  IMediaSample* Frame(BYTE row240, BYTE row241, LONG length = kBufferBytes) {
    IMediaSample* sample = nullptr;
    allocator->GetBuffer(&sample, nullptr, nullptr, 0);
    BYTE* data = nullptr;
    sample->GetPointer(&data);
    memset(data, 0x80, kBufferBytes);
    memset(data + BitmapDump::kPulldownOffset, row240, BitmapDump::kPulldownRowBytes);
    memset(data + BitmapDump::kPulldownOffset + BitmapDump::kPulldownRowBytes, row241, BitmapDump::kPulldownRowBytes);
    sample->SetActualDataLength(length);
    return sample;
  }
  CMemAllocator* allocator = nullptr;
};


}  // namespace vren
