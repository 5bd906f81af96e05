// The device-manager modules as a host meets them, one row a family: registration with regsvr32
// beside the first family's module, the exports, the interface map, the facade's own answers,
// aggregation, the unload check and the names of the release-trace records. The cases live in
// module_test_kit.cpp, built into each family's test program; the family's test file picks its
// row with
//   INSTANTIATE_TEST_SUITE_P(Family, DeviceModuleTest, ::testing::Values(&device_module_kit::kTam),
//                            device_module_kit::RowName);
#pragma once

#include <gtest/gtest.h>
#include <objbase.h>
#include <windows.h>
#include <wrl/client.h>

#include <string>
#include <utility>
#include <vector>

#include "common/testing/com_module.h"

namespace device_module_kit {

struct InterfaceAnswer {
  const IID* iid;
  HRESULT expected;
};

struct DeviceModule {
  const wchar_t* file;       // "tamDevice.dll"
  const wchar_t* clsid;      // the class identifier's text
  const wchar_t* className;  // the class key's default value
  const wchar_t* progId;
  const wchar_t* versionIndependentProgId;
  const wchar_t* typeLib;     // the type library's identifier's text
  const wchar_t* traceClass;  // the class name in the trace records
  // The device-manager interfaces its QueryInterface refuses (all others it answers).
  std::vector<const IID*> refused;
  // Pairs of interfaces that answer with one table (one pointer).
  std::vector<std::pair<const IID*, const IID*>> sharedTables;
  // IDevice::GetInterface and IPreview::GetVideoModeInterface before SetDeviceInfo.
  std::vector<InterfaceAnswer> getInterface;
  std::vector<InterfaceAnswer> videoModeInterface;
  // Methods' answers before setup, called as the trace case calls them (null pointers, zero
  // values), by their trace names.
  std::vector<std::pair<const wchar_t*, HRESULT>> answers;
};

extern const DeviceModule kTam;
extern const DeviceModule kRul;
extern const DeviceModule kPex;

// The module loaded and its class object; Create makes an object (no registration needed).
class ModuleObject {
 public:
  explicit ModuleObject(const DeviceModule& row);
  bool valid() const { return factory_ != nullptr; }
  HMODULE handle() const { return module_.handle(); }
  IClassFactory* factory() const { return factory_.Get(); }
  Microsoft::WRL::ComPtr<IUnknown> Create() const;
  HRESULT CanUnloadNow() const { return module_.CanUnloadNow(); }

 private:
  testing_support::ComModule module_;
  Microsoft::WRL::ComPtr<IClassFactory> factory_;
};

class DeviceModuleTest : public ::testing::TestWithParam<const DeviceModule*> {
 protected:
  void SetUp() override;
  void TearDown() override;
  const DeviceModule& row() const { return *GetParam(); }
};

// The cases' names end in the module's ("tamDevice"), not in the row's address.
std::string RowName(const ::testing::TestParamInfo<const DeviceModule*>& info);

}  // namespace device_module_kit
