// Device enumeration against devices written the way the device enumerator reads them
// (HKCR\CLSID\{category}\Instance\<name>), with the filter class registered in this process.
#include "common/device/device_enum.h"

#include <gtest/gtest.h>
#include <wrl/client.h>

#include <string>

#include "common/device/device_identity.h"
#include "common/device/filter_graph_holder.h"
#include "common/device/testing/mock_filter.h"
#include "common/testing/child.h"

using Microsoft::WRL::ComPtr;
using namespace device_testing;

namespace {

std::wstring GuidText(const GUID& guid) {
  wchar_t text[40] = {};
  StringFromGUID2(guid, text, 40);
  return text;
}

GUID NewGuid() {
  GUID guid{};
  CoCreateGuid(&guid);
  return guid;
}

// A device category of the test's own, removed with every device under it.
class DeviceCategory {
 public:
  DeviceCategory() : guid_(NewGuid()), key_(L"CLSID\\" + GuidText(guid_)) {}
  ~DeviceCategory() { RegDeleteTreeW(HKEY_CLASSES_ROOT, key_.c_str()); }
  DeviceCategory(const DeviceCategory&) = delete;
  DeviceCategory& operator=(const DeviceCategory&) = delete;

  const GUID& guid() const { return guid_; }
  // One device; an empty path writes no "DevicePath".
  bool Add(const std::wstring& instance, const std::wstring& friendlyName, const CLSID& clsid,
           const std::wstring& devicePath) const {
    const std::wstring key = key_ + L"\\Instance\\" + instance;
    return Set(key, L"FriendlyName", friendlyName) && Set(key, L"CLSID", GuidText(clsid)) &&
           (devicePath.empty() || Set(key, L"DevicePath", devicePath));
  }

 private:
  static bool Set(const std::wstring& key, const wchar_t* name, const std::wstring& value) {
    return RegSetKeyValueW(HKEY_CLASSES_ROOT, key.c_str(), name, REG_SZ, value.c_str(),
                           static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
  }
  GUID guid_;
  std::wstring key_;
};

// Two cards of one kind: same friendly name, device paths that differ in the instance segment.
const std::wstring kPathA = L"\\\\?\\pci#ven_1a2b&dev_3c4d&subsys_00011a2b&rev_01#4&1f2e3d&0&0010#"
                            L"{a799a800-a46d-11d0-a18c-00a02401dcd4}\\tuner";
const std::wstring kPathB = L"\\\\?\\pci#ven_1a2b&dev_3c4d&subsys_00011a2b&rev_01#4&1f2e3d&0&0018#"
                            L"{a799a800-a46d-11d0-a18c-00a02401dcd4}\\tuner";

class DeviceEnumTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    factory_ = new MockFilterFactory({});
    registration_ = std::make_unique<ClassRegistration>(clsid_, factory_);
    ASSERT_EQ(registration_->result(), S_OK);
  }
  void TearDown() override {
    registration_.reset();
    factory_->Release();
    EXPECT_EQ(LiveMockFilters(), 0);
    CoUninitialize();
  }

  const CLSID clsid_ = NewGuid();
  MockFilterFactory* factory_ = nullptr;
  std::unique_ptr<ClassRegistration> registration_;
};

std::wstring PathOf(IBaseFilter* filter) { return static_cast<MockFilter*>(filter)->devicePath(); }

}  // namespace

TEST_F(DeviceEnumTest, BindsTheDeviceWhosePathMatchesTheIdentity) {
  DeviceCategory category;
  ASSERT_TRUE(category.Add(L"a", L"Vorn Tuner", clsid_, kPathA));
  ASSERT_TRUE(category.Add(L"b", L"Vorn Tuner", clsid_, kPathB));

  for (const std::wstring& path : {kPathB, kPathA}) {
    const DeviceIdentity identity(path.c_str());
    ComPtr<IBaseFilter> filter;
    ASSERT_EQ(DeviceEnum::BindFilter(filter.GetAddressOf(), &identity, category.guid(), L"Vorn Tuner", 0), S_OK);
    ASSERT_NE(filter.Get(), nullptr);
    EXPECT_EQ(PathOf(filter.Get()), path);  // the bound filter loaded its own device path
  }

  // Without an identity, the first device of that name; the name compares exactly.
  ComPtr<IBaseFilter> any;
  EXPECT_EQ(DeviceEnum::BindFilterByName(any.GetAddressOf(), category.guid(), L"Vorn Tuner", 0), S_OK);
  EXPECT_NE(any.Get(), nullptr);
  ComPtr<IBaseFilter> none;
  EXPECT_EQ(DeviceEnum::BindFilterByName(none.GetAddressOf(), category.guid(), L"vorn tuner", 0), S_FALSE);
  EXPECT_EQ(none.Get(), nullptr);

  // A third card that no entry has.
  const DeviceIdentity stranger(
      L"\\\\?\\pci#ven_1a2b&dev_3c4d&subsys_00011a2b&rev_01#4&1f2e3d&0&0020#{a799a800-a46d-11d0-a18c-00a02401dcd4}");
  EXPECT_EQ(DeviceEnum::BindFilter(none.GetAddressOf(), &stranger, category.guid(), L"Vorn Tuner", 0), S_FALSE);
  EXPECT_EQ(none.Get(), nullptr);
}

TEST_F(DeviceEnumTest, ReadsTheClassOfTheMatchingDevice) {
  DeviceCategory category;
  const CLSID other = NewGuid();
  ASSERT_TRUE(category.Add(L"a", L"Crossbar", other, L""));
  ASSERT_TRUE(category.Add(L"b", L"Vorn Tuner", clsid_, kPathA));

  ComPtr<ICreateDevEnum> devices;
  ASSERT_EQ(CoCreateInstance(CLSID_SystemDeviceEnum, nullptr, CLSCTX_INPROC_SERVER, IID_ICreateDevEnum,
                             reinterpret_cast<void**>(devices.GetAddressOf())), S_OK);
  ComPtr<IEnumMoniker> monikers;
  ASSERT_EQ(devices->CreateClassEnumerator(category.guid(), monikers.GetAddressOf(), 0), S_OK);
  CLSID found{};
  EXPECT_EQ(DeviceEnum::ReadProperties(monikers.Get(), L"Crossbar", nullptr, &found, nullptr), S_OK);
  EXPECT_TRUE(IsEqualCLSID(found, other));
  monikers->Reset();
  const DeviceIdentity identity(kPathA.c_str());
  EXPECT_EQ(DeviceEnum::ReadProperties(monikers.Get(), L"Vorn Tuner", &identity, &found, nullptr), S_OK);
  EXPECT_TRUE(IsEqualCLSID(found, clsid_));
  EXPECT_EQ(factory_->created, 0);  // nothing bound without an out filter

  // A device without a path never matches an identity.
  monikers->Reset();
  EXPECT_EQ(DeviceEnum::ReadProperties(monikers.Get(), L"Crossbar", &identity, nullptr, nullptr), S_FALSE);
  EXPECT_EQ(DeviceEnum::ReadProperties(nullptr, L"Crossbar", nullptr, nullptr, nullptr), E_INVALIDARG);
}

TEST_F(DeviceEnumTest, NoDeviceGivesSFalseAndANullFilter) {
  // A category without any device.
  DeviceCategory empty;
  ComPtr<IBaseFilter> filter;
  EXPECT_EQ(DeviceEnum::BindFilterByName(filter.GetAddressOf(), empty.guid(), L"Vorn Tuner", 0), S_FALSE);
  EXPECT_EQ(filter.Get(), nullptr);

  // A category with devices, none of that name.
  DeviceCategory category;
  ASSERT_TRUE(category.Add(L"a", L"Vorn Tuner", clsid_, kPathA));
  EXPECT_EQ(DeviceEnum::BindFilterByName(filter.GetAddressOf(), category.guid(), L"Other Tuner", 0), S_FALSE);
  EXPECT_EQ(filter.Get(), nullptr);
  EXPECT_EQ(factory_->created, 0);
}

TEST_F(DeviceEnumTest, AddDeviceFiltersAddsOnlyDevicesThatWereBound) {
  DeviceCategory category;
  const CLSID unserved = NewGuid();
  ASSERT_TRUE(category.Add(L"a", L"Vorn Tuner", clsid_, kPathA));
  ASSERT_TRUE(category.Add(L"b", L"Vorn Crossbar", unserved, kPathA));  // its class cannot be made

  auto* graph = new MockGraph;
  struct Holder : FilterGraphHolder {
    explicit Holder(MockGraph* g) {
      g->AddRef();
      graph_ = g;
    }
  } holder(graph);

  const DeviceIdentity identity(kPathA.c_str());
  const GUID& cat = category.guid();
  IBaseFilter *tuner = nullptr, *crossbar = nullptr, *capture = nullptr;
  DeviceFilterEntry table[] = {{&cat, &identity, L"Vorn Tuner", &tuner},
                               {&cat, &identity, L"Vorn Crossbar", &crossbar},
                               {&cat, &identity, L"Vorn Capture", &capture}};

  // The crossbar matches but cannot be bound: a failure, and no filter-less AddFilter.
  EXPECT_EQ(holder.AddDeviceFilters(table, 3), VFW_E_NOT_FOUND);
  EXPECT_NE(tuner, nullptr);
  EXPECT_EQ(crossbar, nullptr);
  EXPECT_EQ(graph->addCalls, 1);
  EXPECT_EQ(graph->nullAdds, 0);

  // No device of that name at all: the same.
  {
    IBaseFilter* skip = nullptr;
    DeviceFilterEntry missing[] = {{&cat, &identity, L"Vorn Capture", &skip}};
    EXPECT_EQ(holder.AddDeviceFilters(missing, 1), VFW_E_NOT_FOUND);
    EXPECT_EQ(skip, nullptr);
  }
  EXPECT_EQ(graph->nullAdds, 0);

  // Once the device is there, a second pass binds only what is missing.
  ASSERT_TRUE(category.Add(L"c", L"Vorn Capture", clsid_, kPathA));
  DeviceFilterEntry again[] = {{&cat, &identity, L"Vorn Tuner", &tuner},
                               {&cat, &identity, L"Vorn Capture", &capture}};
  ASSERT_EQ(holder.AddDeviceFilters(again, 2), S_OK);
  EXPECT_NE(capture, nullptr);
  EXPECT_EQ(factory_->created, 2);
  EXPECT_EQ(static_cast<MockFilter*>(capture)->graphName(), L"Vorn Capture");
  EXPECT_EQ(graph->addCalls, 2);

  DeviceFilterEntry noCategory[] = {{nullptr, nullptr, L"x", &crossbar}};
  EXPECT_EQ(holder.AddDeviceFilters(noCategory, 1), E_INVALIDARG);

  IUnknown** owned[] = {reinterpret_cast<IUnknown**>(&tuner), reinterpret_cast<IUnknown**>(&capture)};
  ComHelpers::ReleaseAll(owned, 2);
  holder.Release();
  graph->Release();
}
