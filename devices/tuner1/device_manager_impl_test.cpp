// The first family's device object against the driver stand-in and the item double: setup and
// its undo, the names of every named object, two objects of one device in two processes, the
// settings file, the device-information answers and what the release leaves behind.
#include "devices/tuner1/device_manager_impl.h"

#include <gtest/gtest.h>
#include <objbase.h>
#include <oleauto.h>
#include <wrl/client.h>

#include <string>
#include <vector>

#include "common/errors.h"
#include "common/format.h"
#include "common/handles.h"
#include "common/module.h"
#include "common/path.h"
#include "common/testing/child.h"
#include "common/testing/paths.h"
#include "devices/core/testing/sim_card_fixture.h"
#include "sim/doubles/hal_item.h"

using Microsoft::WRL::ComPtr;
using namespace driver_test;

namespace {

// An empty item of the host's class, made through the double's class object (no registration).
ComPtr<IHalItem> NewItem() {
  static UniqueModule module(LoadLibraryW(testing_support::BinPath(L"vorn_halitem.dll").c_str()));
  using GetClassObjectFn = HRESULT(WINAPI*)(REFCLSID, REFIID, void**);
  ComPtr<IClassFactory> factory;
  ComPtr<IHalItem> item;
  if (auto get = GetProcAs<GetClassObjectFn>(module.get(), "DllGetClassObject"))
    if (SUCCEEDED(get(kClsidHalItem, IID_PPV_ARGS(factory.GetAddressOf()))))
      factory->CreateInstance(nullptr, IID_IHalItem, reinterpret_cast<void**>(item.GetAddressOf()));
  return item;
}

void SetString(IHalItem* item, long type, const std::wstring& text) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_BSTR;
  v.bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  item->SetInfo(type, v);
  VariantClear(&v);
}

void SetInteger(IHalItem* item, long type, long value) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_I4;
  v.lVal = value;
  item->SetInfo(type, v);
}

// A device item as a host makes it: path (7), name (0), capability bits (4).
ComPtr<IHalItem> DeviceItem(const std::wstring& path, const std::wstring& name, long capability = 0) {
  ComPtr<IHalItem> item = NewItem();
  if (!item) return item;
  SetString(item.Get(), 7, path);
  SetString(item.Get(), 0, name);
  SetInteger(item.Get(), 2, 18);
  SetInteger(item.Get(), 4, capability);
  SetInteger(item.Get(), 5, 3);
  return item;
}

// The names of a simulated card's objects, written out independently of the code.
std::wstring Fields(const std::wstring& instance) {
  return L"_dev_7130_ven_5a52_subsys_00011a2b_subsys_00011a2b_rev_01_3&2411e6fe&0&" + instance;
}
const wchar_t* const kEventKinds[] = {L"ExternalInput",  L"LiveInputAudio", L"LiveOutputAudio", L"RecInputAudio",
                                      L"RecOutputAudio", L"LiveRunning",    L"RecRunning"};
const wchar_t* const kExclusiveKinds[] = {L"IInputSwitch", L"IPreview", L"IPreviewWindow", L"IOutputData",
                                          L"IAutoScan"};
std::wstring EventName(const wchar_t* kind, const std::wstring& instance) {
  return FormatW(L"Global\\EventName_%ls%ls_0", kind, Fields(instance).c_str());
}
std::wstring SectionName(const std::wstring& instance) {
  return L"Global\\{59680507-0B46-4771-965E-A09CE6177719}" + Fields(instance) + L"_0";
}
std::wstring IoMutexName(const std::wstring& instance) {
  return L"Global\\MutexName_IoCtrl" + Fields(instance);
}

bool EventExists(const std::wstring& name) {
  UniqueHandle h(OpenEventW(SYNCHRONIZE, FALSE, name.c_str()));
  return h.valid();
}
bool SectionExists(const std::wstring& name) {
  UniqueHandle h(OpenFileMappingW(FILE_MAP_READ, FALSE, name.c_str()));
  return h.valid();
}
// How many of the device's events and its section exist now.
int ExistingObjects(const std::wstring& instance) {
  int n = SectionExists(SectionName(instance)) ? 1 : 0;
  for (const wchar_t* kind : kEventKinds) n += EventExists(EventName(kind, instance)) ? 1 : 0;
  return n;
}

template <class T>
std::vector<T> Take(T* array, ULONG count) {
  std::vector<T> list(array, array + count);
  CoTaskMemFree(array);
  return list;
}

class DeviceObject : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_TRUE(AttachStandIn(StateName())); }

  void SetUp() override {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    instance_ = testing_support::UniqueName(L"48_");
    path_ = CardPath(instance_);
    ASSERT_EQ(S_OK, SimDriver_AddCard(path_.c_str(), &card_));
    tableSection_ = testing_support::UniqueName(L"Global\\vorn_dm_state_");
    tableMutex_ = tableSection_ + L"_mutex";
    object_ = NewObject();
    ASSERT_TRUE(object_);
  }
  void TearDown() override {
    object_.reset();
    CoUninitialize();
  }

  std::unique_ptr<DeviceManagerImpl> NewObject() {
    auto object = std::make_unique<DeviceManagerImpl>(tableSection_.c_str(), tableMutex_.c_str());
    if (FAILED(object->Initialize())) object.reset();
    return object;
  }

  void SetBlocks(std::uint32_t bands, std::uint32_t functions = 0x80, std::uint32_t scan = 1) {
    const std::uint32_t a[3] = {0, bands, functions};
    const std::uint32_t b[8] = {scan, 55250000, 801250000, 62500, 1, 62, 13, 125};
    ASSERT_EQ(S_OK, SimDriver_SetDeviceInfo(card_, a, b));
  }

  HRESULT Setup(long capability = 0) { return object_->SetDeviceInfo(DeviceItem(path_, path_, capability).Get()); }

  std::wstring instance_, path_, tableSection_, tableMutex_;
  UINT card_ = 0;
  std::unique_ptr<DeviceManagerImpl> object_;
};

// --- Setup ------------------------------------------------------------------------------------

TEST_F(DeviceObject, APathThatIsNotANonEmptyStringCreatesNothing) {
  ComPtr<IHalItem> missing = NewItem();
  ComPtr<IHalItem> integer = NewItem();
  SetInteger(integer.Get(), 7, 5);
  ComPtr<IHalItem> empty = NewItem();
  SetString(empty.Get(), 7, L"");
  const struct {
    IHalItem* item;
    HRESULT expected;
  } cases[] = {{missing.Get(), TYPE_E_ELEMENTNOTFOUND}, {integer.Get(), errors::kDmInvalidArg},
               {empty.Get(), errors::kDmInvalidArg}};
  for (const auto& c : cases) {
    EXPECT_EQ(object_->SetDeviceInfo(c.item), c.expected);
    EXPECT_FALSE(object_->bound());
  }
  EXPECT_EQ(CardState(card_).openHandles, 0u);
  EXPECT_EQ(Setup(), S_OK);  // still unbound: a good item is taken
}

TEST_F(DeviceObject, ABandlessDeviceIsUndoneAndARetryHoldsOneDriverHandle) {
  SetBlocks(0);
  EXPECT_EQ(Setup(), errors::kNoBaseChannel);
  EXPECT_FALSE(object_->bound());
  EXPECT_EQ(ExistingObjects(instance_), 0);
  EXPECT_FALSE(object_->pipe().IsRunning());
  ULONG n = 9;
  _SHAL_BASECH* channels = nullptr;
  EXPECT_EQ(object_->GetAvailableBaseChannel(0, 0, &n, &channels), errors::kNoBaseChannel);

  SetBlocks(0b111);
  EXPECT_EQ(Setup(), S_OK);
  EXPECT_EQ(CardState(card_).openHandles, 1u);  // the failed attempt's link is gone
  EXPECT_EQ(Setup(), errors::kDeviceAlreadySet);
  EXPECT_EQ(CardState(card_).openHandles, 1u);
  EXPECT_TRUE(object_->bound());
}

TEST_F(DeviceObject, DriverAndTableFailuresAreReturnedWithTheUndo) {
  ASSERT_EQ(S_OK, SimDriver_FailOpen(card_, TRUE, 0x45));
  EXPECT_EQ(Setup(), HRESULT(0x80070045));
  ASSERT_EQ(S_OK, SimDriver_FailOpen(card_, FALSE, 0));

  // A table whose twelve entries are taken.
  DeviceStateTable table(tableSection_.c_str(), tableMutex_.c_str());
  ASSERT_EQ(table.Open(), S_OK);
  for (int i = 0; i < 11; ++i) ASSERT_EQ(table.Register(FormatW(L"other%d", i).c_str(), 0, 0), S_OK);
  // A device without a name is not registered: the twelfth entry stays free.
  EXPECT_EQ(object_->SetDeviceInfo(DeviceItem(path_, L"").Get()), S_OK);
  EXPECT_TRUE(object_->stateName().empty());
  object_ = NewObject();
  ASSERT_EQ(table.Register(L"other11", 0, 0), S_OK);

  EXPECT_EQ(Setup(), errors::kDmFailure);
  EXPECT_FALSE(object_->bound());
  EXPECT_EQ(ExistingObjects(instance_), 0);
  EXPECT_FALSE(object_->pipe().IsRunning());
}

TEST_F(DeviceObject, EveryNamedObjectCarriesTheIdentityAndInstanceNumber) {
  ASSERT_EQ(Setup(), S_OK);
  for (const wchar_t* kind : kEventKinds) {
    UniqueHandle event(OpenEventW(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, EventName(kind, instance_).c_str()));
    ASSERT_TRUE(event.valid()) << kind;
    EXPECT_EQ(WaitForSingleObject(event.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT)) << kind;  // not signalled
  }
  EXPECT_EQ(object_->RecRunningEventName(), EventName(L"RecRunning", instance_));
  for (int i = 0; i < ExclusiveUseSet::kCount; ++i) {
    const std::wstring expected = L"Global\\" + Fields(instance_) + L"_0_" + kExclusiveKinds[i] + L"_is_already_used";
    EXPECT_EQ(object_->exclusiveUse().mutex(static_cast<ExclusiveInterface>(i)).name(), expected);
    UniqueHandle mutex(OpenMutexW(SYNCHRONIZE, FALSE, expected.c_str()));
    EXPECT_FALSE(mutex.valid()) << "named only: created when the interface is initialised";
  }
  UniqueHandle io(OpenMutexW(SYNCHRONIZE, FALSE, IoMutexName(instance_).c_str()));
  EXPECT_TRUE(io.valid());
  UniqueHandle section(OpenFileMappingW(FILE_MAP_READ, FALSE, SectionName(instance_).c_str()));
  ASSERT_TRUE(section.valid());
  const auto* record = static_cast<const std::uint32_t*>(MapViewOfFile(section.get(), FILE_MAP_READ, 0, 0, 8));
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record[0], 0u);
  EXPECT_EQ(record[1], 0u);
  UnmapViewOfFile(record);
  EXPECT_EQ(object_->pipe().name(),
            FormatW(L"\\\\.\\pipe\\PID%lu_PTR%x", GetCurrentProcessId(),
                    static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(object_.get()))) +
                Fields(instance_) + L"_0");
}

// Sets up an object for the parent's device and checks that it meets the parent's objects.
// args: state name, device path, table section, table mutex, parent's pipe name.
VORN_CHILD(SecondProcessDevice) {
  if (args.size() != 5 || !AttachStandIn(args[0])) return 2;
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  DeviceManagerImpl object(args[2].c_str(), args[3].c_str());
  if (FAILED(object.Initialize()) || object.SetDeviceInfo(DeviceItem(args[1], args[1]).Get()) != S_OK) return 3;
  // The parent signalled its RecRunning event and stamped its section: the same objects.
  if (WaitForSingleObject(object.notifyEvents().handle(NotifyEvent::RecRunning), 0) != WAIT_OBJECT_0) return 4;
  if (object.instanceStamp().record()->lastChangeMs != 0x1234) return 5;
  // The parent holds the IInputSwitch exclusive-use mutex of the device.
  if (object.exclusiveUse().mutex(ExclusiveInterface::InputSwitch).CreateExclusive() != S_FALSE) return 6;
  if (args[4] == object.pipe().name()) return 7;
  // The parent's pipe answers this process.
  const std::uint32_t request[2] = {1, 1};
  std::uint32_t answer[3] = {};
  DWORD written = 0, read = 0;
  UniqueFileHandle pipe(CreateFileW(args[4].c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  if (!pipe.valid() || !WriteFile(pipe.get(), request, sizeof(request), &written, nullptr) ||
      !ReadFile(pipe.get(), answer, sizeof(answer), &read, nullptr))
    return 8;
  if (read != 12 || answer[0] != 12 || answer[1] != 0 || answer[2] != 0) return 9;
  return 0;
}

TEST_F(DeviceObject, TwoProcessesShareTheDevicesObjectsButNotThePipe) {
  ASSERT_EQ(Setup(), S_OK);
  ASSERT_TRUE(object_->notifyEvents().event(NotifyEvent::RecRunning).Set());
  object_->instanceStamp().record()->lastChangeMs = 0x1234;
  ASSERT_EQ(object_->exclusiveUse().mutex(ExclusiveInterface::InputSwitch).CreateExclusive(), S_OK);
  auto child = testing_support::ChildProcess::Start(
      "SecondProcessDevice", {StateName(), path_, tableSection_, tableMutex_, object_->pipe().name()});
  ASSERT_TRUE(child.valid());
  EXPECT_EQ(child.Wait(30000), 0u);
}

TEST_F(DeviceObject, TheSettingsFileBesideTheModuleSetsTheInterval) {
  const PathString ini = ModulePath::OfModule(ThisModule()).WithExtension(L".ini");
  ASSERT_EQ(GetFileAttributesW(ini.c_str()), INVALID_FILE_ATTRIBUTES);
  ASSERT_EQ(Setup(), S_OK);
  EXPECT_EQ(object_->channelInterval(), 100u);

  ASSERT_TRUE(WritePrivateProfileStringW(L"SetChannel", L"Interval", L"250", ini.c_str()));
  object_ = NewObject();
  const HRESULT hr = Setup();
  DeleteFileW(ini.c_str());
  ASSERT_EQ(hr, S_OK);
  EXPECT_EQ(object_->channelInterval(), 250u);
}

TEST_F(DeviceObject, ReleaseLeavesNothingOpen) {
  ASSERT_EQ(Setup(), S_OK);
  const std::wstring pipe = object_->pipe().name();
  ASSERT_EQ(ExistingObjects(instance_), 8);
  object_.reset();
  EXPECT_EQ(ExistingObjects(instance_), 0);
  UniqueHandle io(OpenMutexW(SYNCHRONIZE, FALSE, IoMutexName(instance_).c_str()));
  EXPECT_FALSE(io.valid());
  EXPECT_FALSE(WaitNamedPipeW(pipe.c_str(), 0));
  EXPECT_EQ(CardState(card_).openHandles, 0u);
}

// --- Device information ------------------------------------------------------------------------

TEST_F(DeviceObject, BaseChannelsFollowTheBandBitsInTheirOrder) {
  const struct {
    std::uint32_t bits;
    std::vector<ULONG> bands;
  } cases[] = {{0b111, {1, 2, 0x20000020, 0x10100020}}, {0b100, {0x20000020}}, {0b010, {0x10100020}},
               {0b001, {1, 2}}};
  for (const auto& c : cases) {
    SetBlocks(c.bits);
    object_ = NewObject();
    ASSERT_EQ(Setup(), S_OK);
    ULONG n = 0;
    _SHAL_BASECH* array = nullptr;
    ASSERT_EQ(object_->GetAvailableBaseChannel(7, 7, &n, &array), S_OK);
    std::vector<ULONG> bands;
    for (const _SHAL_BASECH& ch : Take(array, n)) {
      EXPECT_EQ(ch.region, 81u);
      EXPECT_EQ(ch.tvfmt, 2u);
      bands.push_back(ch.band);
    }
    EXPECT_EQ(bands, c.bands) << c.bits;
  }
}

TEST_F(DeviceObject, TunerFunctionsChannelRangesAndFrequencies) {
  SetBlocks(0b011, 0xC0);
  ASSERT_EQ(Setup(), S_OK);
  ULONG functions = 0;
  _SHAL_BASECH band1High{81, 2, 1 | 0x300000};  // bits 20 and up carry no band
  EXPECT_EQ(object_->GetAvailableTunerFunction(&band1High, &functions), S_OK);
  EXPECT_EQ(functions, 2u);  // function 1 is reported but not applied by this family
  _SHAL_BASECH external{81, 2, 0x20000020};  // the same low 20 bits as this device's 0x10100020
  EXPECT_EQ(object_->GetAvailableTunerFunction(&external, &functions), S_OK);
  _SHAL_BASECH unknown{81, 2, 4};
  EXPECT_EQ(object_->GetAvailableTunerFunction(&unknown, &functions), errors::kDmInvalidArg);

  ULONG lo = 77, hi = 77;
  EXPECT_EQ(object_->GetAvailableChannelInfo(&band1High, &lo, &hi), S_OK);
  EXPECT_EQ(lo, 1u);
  EXPECT_EQ(hi, 62u);
  _SHAL_BASECH band2{81, 2, 2};
  EXPECT_EQ(object_->GetAvailableChannelInfo(&band2, &lo, &hi), S_OK);
  EXPECT_EQ(lo, 13u);
  EXPECT_EQ(hi, 125u);
  lo = hi = 77;
  EXPECT_EQ(object_->GetAvailableChannelInfo(&external, &lo, &hi), S_OK);
  EXPECT_EQ(lo, 77u);
  EXPECT_EQ(hi, 77u);

  ULONG minF = 0, maxF = 0, step = 0;
  EXPECT_EQ(object_->GetAvailableFrequencyInfo(&minF, &maxF, &step), S_OK);
  EXPECT_EQ(minF, 55250000u);
  EXPECT_EQ(maxF, 801250000u);
  EXPECT_EQ(step, 62500u);

  ULONG n = 0;
  _SHAL_INPUT_AUDIOMODE* in = nullptr;
  ASSERT_EQ(object_->GetInputAudioModeVariety(&n, &in), S_OK);
  const auto inputs = Take(in, n);
  ASSERT_EQ(inputs.size(), 3u);
  EXPECT_EQ(inputs[2].mainL, 4u);
  EXPECT_EQ(inputs[2].mainR, 8u);
  _SHAL_OUTPUT_AUDIOMODE* out = nullptr;
  ASSERT_EQ(object_->GetOutputAudioModeVariety(&n, &out), S_OK);
  const auto outputs = Take(out, n);
  ASSERT_EQ(outputs.size(), 5u);
  EXPECT_EQ(outputs[4].lineL, 4u);
  EXPECT_EQ(outputs[4].lineR, 8u);
  ULONG* codes = nullptr;
  ASSERT_EQ(object_->GetAvailableCountryCode(&n, &codes), S_OK);
  EXPECT_EQ(Take(codes, n), std::vector<ULONG>{81});
  ASSERT_EQ(object_->GetAvailableTVFormat(5, &n, &codes), S_OK);
  EXPECT_EQ(Take(codes, n), std::vector<ULONG>{2});
}

std::vector<GUID> Interfaces(HRESULT (DeviceManagerImpl::*list)(long*, GUID**), DeviceManagerImpl& object) {
  long n = -1;
  GUID* array = nullptr;
  EXPECT_EQ((object.*list)(&n, &array), S_OK);
  return Take(array, static_cast<ULONG>(n));
}

// {990DDD00-99D8-45F2-A363-DD40FFFC052E} and {07B3E6C6-B3A4-4C0F-A878-2F5FB7025C83}
constexpr IID kOptional08 = {0x990ddd00, 0x99d8, 0x45f2, {0xa3, 0x63, 0xdd, 0x40, 0xff, 0xfc, 0x05, 0x2e}};
constexpr IID kOptional20 = {0x07b3e6c6, 0xb3a4, 0x4c0f, {0xa8, 0x78, 0x2f, 0x5f, 0xb7, 0x02, 0x5c, 0x83}};

TEST_F(DeviceObject, InterfaceAnswersFollowScanCapabilityAndItemBits) {
  // Before setup: no item, no capability, no scan capability; nothing is read through the item.
  long can = 9;
  EXPECT_EQ(object_->CanUseInterface(kOptional20, &can), S_OK);
  EXPECT_EQ(can, 0);
  EXPECT_EQ(Interfaces(&DeviceManagerImpl::GetAvailableVideoModeInterface, *object_),
            (std::vector<GUID>{IID_IPreviewWindow, IID_ICustomPreviewWindow}));
  VARIANT v;
  VariantInit(&v);
  EXPECT_EQ(object_->GetInfo(7, &v), errors::kDeviceNotSet);

  SetBlocks(0b001, 0x80, 0);  // cannot scan
  ASSERT_EQ(object_->SetDeviceInfo(DeviceItem(path_, path_, 0x20 | 0x200).Get()), S_OK);
  EXPECT_EQ(Interfaces(&DeviceManagerImpl::GetAvailableInterface, *object_),
            (std::vector<GUID>{IID_IDeviceInfoDetail, IID_IInputSwitch, IID_IOutputData, IID_IPreview, IID_IPreview2}));
  const struct {
    const IID* iid;
    HRESULT result;
    long can;
  } cases[] = {{&IID_IAutoScan, errors::kNoScanCapability, 0}, {&IID_IAutoScan2, errors::kNoScanCapability, 0},
               {&kOptional20, S_OK, 1},  {&kOptional08, errors::kNoCapability08, 0},
               {&IID_IPreview2, S_OK, 1}, {&IID_ISound, S_OK, 0},
               {&IID_IPreviewWindow, S_OK, 0}};
  for (const auto& c : cases) {
    can = 9;
    EXPECT_EQ(object_->CanUseInterface(*c.iid, &can), c.result);
    EXPECT_EQ(can, c.can);
  }
  EXPECT_EQ(Interfaces(&DeviceManagerImpl::GetAvailableVideoModeInterface, *object_),
            (std::vector<GUID>{IID_IPreviewWindow, IID_IPreviewWindow2, IID_ICustomPreviewWindow,
                               IID_ICustomPreviewWindow2}));
  EXPECT_EQ(Interfaces(&DeviceManagerImpl::GetAvailableSoundModeInterface, *object_), std::vector<GUID>{IID_ISound});
  EXPECT_EQ(object_->GetInfo(7, &v), S_OK);
  ASSERT_EQ(v.vt, VT_BSTR);
  EXPECT_EQ(std::wstring(v.bstrVal), path_);
  VariantClear(&v);
  IHalItem* item = reinterpret_cast<IHalItem*>(1);
  EXPECT_EQ(object_->GetVideoDataInfo(&item), errors::kPreviewNotInit);
  EXPECT_EQ(item, nullptr);
}

}  // namespace
