// A fixture of the cases that run inside the platform's filter graph manager: a graph with its
// control and event interfaces and the test source added as "source". TearDown stops the graph,
// lets the source's pushing end, and checks that the graph's last release is 0.
#pragma once

#include <gtest/gtest.h>

#include "common/dshow.h"
#include "filters/base/testkit/push_source.h"

namespace graph_testkit {

class WineGraphTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    ASSERT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                               reinterpret_cast<void**>(&graph_)), S_OK);
    ASSERT_EQ(graph_->QueryInterface(IID_IMediaControl, reinterpret_cast<void**>(&control_)), S_OK);
    ASSERT_EQ(graph_->QueryInterface(IID_IMediaEventEx, reinterpret_cast<void**>(&events_)), S_OK);
    source_ = TestPushSource::Create();
    ASSERT_EQ(graph_->AddFilter(source_, L"source"), S_OK);
  }
  void TearDown() override {
    if (control_) control_->Stop();
    if (source_) {
      source_->WaitPushed(10000);
      source_->Release();
    }
    if (events_) events_->Release();
    if (control_) control_->Release();
    if (graph_) {
      EXPECT_EQ(graph_->Release(), 0u);
    }
    CoUninitialize();
  }
  // Runs the graph and checks (waiting at most 5 s) that it reports running.
  void RunAndWait() {
    ASSERT_TRUE(SUCCEEDED(control_->Run()));
    OAFilterState state = State_Stopped;
    control_->GetState(5000, &state);
    EXPECT_EQ(state, State_Running);
  }

  IGraphBuilder* graph_ = nullptr;
  IMediaControl* control_ = nullptr;
  IMediaEventEx* events_ = nullptr;
  TestPushSource* source_ = nullptr;
};

}  // namespace graph_testkit
