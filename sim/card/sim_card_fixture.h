// The simulated card's test fixtures, shared by the test files of sim/card: the card's filters
// found through the device enumerator, this program's copy of simcard.dll registered, the driver
// stand-in connected to a state of the program's own, and a graph around the capture filter.
#pragma once

#include <gtest/gtest.h>
#include <wrl/client.h>

#include <dshow.h>

#include <string>
#include <vector>

#include "common/module.h"
#include "common/testing/child.h"
#include "filters/base/testkit/recording_sink.h"
#include "sim/card/sim_card.h"
#include "sim/driver/sim_driver.h"

namespace simcard_testing {

using Microsoft::WRL::ComPtr;

inline std::wstring PathOf(UINT card, UINT role) {
  wchar_t path[300] = {};
  EXPECT_EQ(S_OK, SimCard_GetDevicePath(card, role, path, 300));
  return path;
}

// The crossbar Route calls a card has seen, oldest first.
inline std::vector<SimCardRoute> RouteLog(const std::wstring& devicePath) {
  std::vector<SimCardRoute> routes(kSimCardMaxRoutes);
  UINT count = 0;
  EXPECT_EQ(S_OK, SimCard_GetRouteLog(devicePath.c_str(), routes.data(), kSimCardMaxRoutes, &count));
  routes.resize(count);
  return routes;
}

// A property bag that keeps one "DevicePath".
class PathBag final : public IPropertyBag {
 public:
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    if (iid == IID_IUnknown || iid == IID_IPropertyBag) {
      *out = this;
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return 2; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }
  STDMETHODIMP Read(LPCOLESTR name, VARIANT* value, IErrorLog*) override {
    if (std::wstring(name) != L"DevicePath" || path.empty()) return E_INVALIDARG;
    value->vt = VT_BSTR;
    value->bstrVal = SysAllocString(path.c_str());
    return S_OK;
  }
  STDMETHODIMP Write(LPCOLESTR name, VARIANT* value) override {
    if (std::wstring(name) != L"DevicePath" || value->vt != VT_BSTR) return E_INVALIDARG;
    path = value->bstrVal;
    return S_OK;
  }
  std::wstring path;
};

inline std::wstring DevicePathOf(IUnknown* filter) {
  ComPtr<IPersistPropertyBag> persist;
  if (FAILED(filter->QueryInterface(IID_PPV_ARGS(&persist)))) return L"";
  PathBag bag;
  persist->Save(&bag, FALSE, TRUE);
  return bag.path;
}

// Every device of `category` named `name`: its bound filter and its registered path.
struct Device {
  ComPtr<IBaseFilter> filter;
  std::wstring registeredPath;
};

inline std::vector<Device> FindDevices(REFGUID category, const wchar_t* name) {
  std::vector<Device> found;
  ComPtr<ICreateDevEnum> devEnum;
  EXPECT_EQ(S_OK, CoCreateInstance(CLSID_SystemDeviceEnum, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&devEnum)));
  if (!devEnum) return found;
  ComPtr<IEnumMoniker> monikers;
  if (devEnum->CreateClassEnumerator(category, &monikers, 0) != S_OK) return found;
  ComPtr<IMoniker> moniker;
  while (monikers->Next(1, &moniker, nullptr) == S_OK) {
    ComPtr<IPropertyBag> bag;
    if (SUCCEEDED(moniker->BindToStorage(nullptr, nullptr, IID_PPV_ARGS(&bag)))) {
      VARIANT friendly, path;
      VariantInit(&friendly);
      VariantInit(&path);
      if (SUCCEEDED(bag->Read(L"FriendlyName", &friendly, nullptr)) && friendly.vt == VT_BSTR &&
          std::wstring(friendly.bstrVal) == name && SUCCEEDED(bag->Read(L"DevicePath", &path, nullptr))) {
        Device device;
        device.registeredPath = path.bstrVal;
        EXPECT_EQ(S_OK, moniker->BindToObject(nullptr, nullptr, IID_PPV_ARGS(&device.filter)));
        found.push_back(std::move(device));
      }
      VariantClear(&friendly);
      VariantClear(&path);
    }
    moniker.Reset();
  }
  return found;
}

inline ComPtr<IBaseFilter> Bind(UINT card, UINT role, REFGUID category, const wchar_t* name) {
  const std::wstring path = PathOf(card, role);
  for (Device& device : FindDevices(category, name)) {
    if (device.registeredPath == path) return device.filter;
  }
  return nullptr;
}

inline ComPtr<IPin> PinNamed(IBaseFilter* filter, const wchar_t* name) {
  ComPtr<IEnumPins> pins;
  if (FAILED(filter->EnumPins(&pins))) return nullptr;
  ComPtr<IPin> pin;
  while (pins->Next(1, &pin, nullptr) == S_OK) {
    PIN_INFO info{};
    pin->QueryPinInfo(&info);
    if (info.pFilter) info.pFilter->Release();
    if (std::wstring(info.achName) == name) return pin;
    pin.Reset();
  }
  return nullptr;
}

inline std::wstring& StateName() {
  static std::wstring name = testing_support::UniqueName(L"Local\\VornSimCardTest_");
  return name;
}

// The classes registered for this program's copy of simcard.dll, cards 0 and 1 in the device
// categories, and the driver stand-in on a state of our own.
class SimCardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    ASSERT_EQ(S_OK, SimDriver_Connect(StateName().c_str()));
    module_ = GetModuleHandleW(L"simcard.dll");
    ASSERT_TRUE(module_);
    auto reg = GetProcAs<HRESULT(STDAPICALLTYPE*)()>(module_, "DllRegisterServer");
    ASSERT_TRUE(reg);
    ASSERT_EQ(S_OK, reg());
    ASSERT_EQ(S_OK, SimCard_RegisterCard(1, TRUE));
    SimCard_ResetAll();
    capturePath_ = PathOf(0, kSimRoleCapture);
  }
  void TearDown() override {
    auto unreg = GetProcAs<HRESULT(STDAPICALLTYPE*)()>(module_, "DllUnregisterServer");
    if (unreg) {
      EXPECT_EQ(S_OK, unreg());
    }
    CoUninitialize();
  }

  HMODULE module_ = nullptr;
  std::wstring capturePath_;
};

// A graph of the card's capture (and encoder) filters with recording sinks.
class SimCardGraphTest : public SimCardTest {
 protected:
  void SetUp() override {
    SimCardTest::SetUp();
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&graph_)));
    capture_ = Bind(0, kSimRoleCapture, kCategoryVideoInput, SIM_CARD_CAPTURE_NAME);
    ASSERT_TRUE(capture_);
    ASSERT_EQ(S_OK, graph_->AddFilter(capture_.Get(), L"capture"));
  }
  void TearDown() override {
    if (graph_) {
      ComPtr<IMediaControl> control;
      if (SUCCEEDED(graph_.As(&control))) control->Stop();
    }
    sinks_.clear();
    capture_.Reset();
    graph_.Reset();
    SimCardTest::TearDown();
  }
  graph_testkit::RecordingSink* AddSink(const wchar_t* name) {
    graph_testkit::RecordingSink* sink = graph_testkit::RecordingSink::Create();
    sinks_.emplace_back(sink);
    sink->Release();  // the ComPtr holds it
    EXPECT_EQ(S_OK, graph_->AddFilter(sink, name));
    return sink;
  }
  HRESULT Run() {
    ComPtr<IMediaControl> control;
    HRESULT hr = graph_.As(&control);
    return FAILED(hr) ? hr : control->Run();
  }
  HRESULT Pause() {
    ComPtr<IMediaControl> control;
    HRESULT hr = graph_.As(&control);
    return FAILED(hr) ? hr : control->Pause();
  }

  ComPtr<IGraphBuilder> graph_;
  ComPtr<IBaseFilter> capture_;
  std::vector<ComPtr<IBaseFilter>> sinks_;
};

}  // namespace simcard_testing
