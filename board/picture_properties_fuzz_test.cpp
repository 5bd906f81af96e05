// The picture-property file "VornConEx<panel>.ini" under the mutation driver, over a board of
// its own in memory: whatever the file holds (counts past its entries, tables whose declared
// length lies, values that are not numbers, lines cut short), Initialize refuses it or every
// property stays in its range, and the board is only ever asked for properties it offers.
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <string>

#include "board/board_controller.h"
#include "board/panel_map.h"
#include "board/picture_properties.h"
#include "common/handles.h"
#include "common/testing/child.h"
#include "common/testing/fuzz_driver.h"

namespace {

using board::PictureProperties;

constexpr BYTE kPanel = 7;
constexpr long kKeys[] = {0x0001, 0x0002, 0x0004, 0x0008, 0x0010, 0x0020, 0x0400, 0x0800, 0x1000};

// The board's three interfaces the picture properties use, over the ProcAmp table. It records
// the first request for a property the board does not offer or a value out of its range.
class MemoryBoard final : public IVideoProperty, public IScreenMode, public IHardwareInfo {
 public:
  MemoryBoard() {
    for (int p = 0; p < board::kProcAmpProperties; ++p) values_[p] = board::ProcAmp(p).defaultValue;
  }
  std::string fault;

  STDMETHODIMP QueryInterface(REFIID iid, void** object) override {
    if (!object) return E_POINTER;
    if (iid == IID_IUnknown || iid == __uuidof(IVideoProperty)) *object = static_cast<IVideoProperty*>(this);
    else if (iid == __uuidof(IScreenMode)) *object = static_cast<IScreenMode*>(this);
    else if (iid == __uuidof(IHardwareInfo)) *object = static_cast<IHardwareInfo*>(this);
    else return *object = nullptr, E_NOINTERFACE;
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return 2; }  // lives on the fuzz thread's stack
  STDMETHODIMP_(ULONG) Release() override { return 1; }

  // IVideoProperty
  STDMETHODIMP Initialize(LONG) override { return S_OK; }
  STDMETHODIMP GetAvailableProcAmpControl(LONG* property) override {
    if (!property) return E_POINTER;
    if (*property == -1) return *property = board::kProcAmpProperties, S_OK;
    return Offers(*property) ? S_OK : S_FALSE;
  }
  STDMETHODIMP GetProcAmpControlRange(LONG property, LONG* minimum, LONG* maximum, LONG* defaultValue) override {
    if (!Offers(property)) return E_INVALIDARG;
    const board::ProcAmpRow& row = board::ProcAmp(property);
    *minimum = row.minimum, *maximum = row.maximum, *defaultValue = row.defaultValue;
    return S_OK;
  }
  STDMETHODIMP GetProcAmpControl(LONG property, LONG* value, LONG) override {
    if (!Asked(property)) return E_INVALIDARG;
    *value = values_[property];
    return S_OK;
  }
  STDMETHODIMP SetProcAmpControl(LONG property, LONG value, LONG) override {
    if (!Asked(property)) return E_INVALIDARG;
    const board::ProcAmpRow& row = board::ProcAmp(property);
    if (value < row.minimum || value > row.maximum) return E_INVALIDARG;  // the board refuses it
    values_[property] = value;
    return S_OK;
  }
  STDMETHODIMP Uninitialize(LONG) override { return S_OK; }

  // IScreenMode
  STDMETHODIMP SetColorFormat(LONG) override { return S_OK; }
  STDMETHODIMP GetColorFormat(LONG* format) override { return *format = board::kYuv422, S_OK; }
  STDMETHODIMP SetRegistry(LONG) override { return S_OK; }
  STDMETHODIMP GetAvailableDestSize(SIZE*, SIZE*) override { return E_NOTIMPL; }

  // IHardwareInfo
  STDMETHODIMP GetDisplayPanelId(BYTE* id) override { return *id = kPanel, S_OK; }
  STDMETHODIMP GetDisplayPanelSize(LONG*, LONG*) override { return E_NOTIMPL; }

 private:
  static bool Offers(LONG property) {
    return property >= 0 && property < board::kProcAmpProperties && board::ProcAmp(property).width > 0;
  }
  bool Asked(LONG property) {
    if (Offers(property)) return true;
    if (fault.empty()) fault = "the board was asked for property " + std::to_string(property);
    return false;
  }
  LONG values_[board::kProcAmpProperties] = {};

 public:
  LONG value(int property) const { return values_[property]; }
};

// The first byte of an input picks a lie told of every "Count" (none, one more, the largest
// taken, one past it, negative, the 32-bit maximum); the rest is the file.
std::string WithCountLie(std::string text, std::uint8_t lie) {
  static const char* const kFixed[] = {nullptr, nullptr, "1024", "1025", "-1", "2147483647"};
  if (lie % 8 == 0 || lie % 8 > 5) return text;
  static const std::regex count("Count=([0-9]*)");
  std::string out;
  auto at = text.cbegin();
  for (std::sregex_iterator m(text.begin(), text.end(), count), end; m != end; ++m) {
    out.append(at, (*m)[0].first);
    const std::string digits = (*m)[1].str();
    out += "Count=";
    out += kFixed[lie % 8] ? kFixed[lie % 8] : std::to_string(std::atol(digits.c_str()) + 1);
    at = (*m)[0].second;
  }
  out.append(at, text.cend());
  return out;
}

// A folder of its own holding "VornConEx7.ini" (a fresh name: the profile functions keep
// recent files), removed with it.
class PropertyFolder {
 public:
  explicit PropertyFolder(const std::string& text) {
    wchar_t temp[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH, temp);
    folder_ = std::wstring(temp) + testing_support::UniqueName(L"vorn-props-") + L"\\";
    path_ = folder_ + L"VornConEx7.ini";
    if (!CreateDirectoryW(folder_.c_str(), nullptr)) return;
    UniqueFileHandle file(CreateFileW(path_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD written = 0;
    ok_ = file && WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
          written == text.size();
  }
  ~PropertyFolder() {
    DeleteFileW(path_.c_str());
    RemoveDirectoryW(folder_.c_str());
  }
  PropertyFolder(const PropertyFolder&) = delete;
  PropertyFolder& operator=(const PropertyFolder&) = delete;
  bool ok() const { return ok_; }
  const std::wstring& folder() const { return folder_; }

 private:
  std::wstring folder_, path_;
  bool ok_ = false;
};

// The picture properties of a folder's file over a board in memory.
struct Rig {
  explicit Rig(const PropertyFolder& folder) : properties(Client(), folder.folder()) {}
  board::BoardClient& Client() {
    client.property = &memory;
    client.mode = &memory;
    client.hardware = &memory;
    return client;
  }
  MemoryBoard memory;
  board::BoardClient client;
  PictureProperties properties;
};

std::string CheckPropertyFile(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return {};
  const PropertyFolder folder(WithCountLie(std::string(reinterpret_cast<const char*>(data + 1), size - 1), data[0]));
  if (!folder.ok()) return "could not write the file";
  Rig rig(folder);
  MemoryBoard& memory = rig.memory;
  PictureProperties& properties = rig.properties;
  const HRESULT hr = properties.Initialize(0);
  if (hr != S_OK && hr != E_UNEXPECTED) return "Initialize gave neither S_OK nor E_UNEXPECTED";
  if (hr == S_OK) {
    long available = -1;
    properties.GetAvailableProcAmpControl(&available);
    for (long key : kKeys) {
      long minimum = 0, maximum = 0, step = 0, defaultValue = 0, value = 0;
      if (!(available & key)) {
        if (properties.GetProcAmpControl(key, &value) != E_INVALIDARG) return "a property not offered was read";
        continue;
      }
      if (properties.GetProcAmpControlRange(key, &minimum, &maximum, &step, &defaultValue) != S_OK)
        return "an offered property without a range";
      for (long wanted : {minimum, maximum, defaultValue}) {
        properties.SetProcAmpControl(key, wanted);
        const HRESULT got = properties.GetProcAmpControl(key, &value);
        if (got == S_OK && (value < minimum || value > maximum)) return "a property read outside its range";
      }
      for (long preset : {0x1L, 0x2L, 0x4L}) properties.GetProcAmpPreset(preset, key, &value);
    }
  }
  properties.Uninitialize(0);
  return memory.fault;
}

fuzzing::Bytes File(std::uint8_t lie, const std::string& text) {
  fuzzing::Bytes bytes(text.size() + 1, lie);
  std::copy(text.begin(), text.end(), bytes.begin() + 1);
  return bytes;
}

}  // namespace

TEST(PicturePropertiesFuzz, AnyPropertyFileIsRefusedOrKeepsThePropertiesInRange) {
  // The file the properties' tests use, and the sections none of its cases name.
  const std::string good =
      "[Brightness]\r\nCount=2\r\nProp0=0,0,2,28\r\nProp1=1,1,3,10,20,30\r\n"
      "[Picture]\r\nCount=1\r\nProp0=5,0,1,0\r\n"
      "[Hue]\r\nCount=1\r\nProp0=2,0,1,100\r\n"
      "[Saturation]\r\nCount=1\r\nProp0=3,1,999,10,20\r\n"
      "[Sharpness]\r\nCount=0\r\n[Gamma]\r\nCount=0\r\n[ColorTemp]\r\nCount=0\r\n[Black]\r\nCount=0\r\n"
      "[DynamicContrast]\r\nCount=0\r\n"
      "[Standard]\r\nCount=1\r\nProp0=1,2,70\r\n[Theater]\r\nCount=0\r\n[AVPro]\r\nCount=0\r\n";
  const std::string tables =
      "[Brightness]\r\nCount=1\r\nProp0=16,1,2147483647,1,2,3\r\n[Picture]\r\nCount=2\r\nProp0=-1,0,1,0\r\n"
      "Prop1=40,0,-2147483648,2147483647\r\n[Hue]\r\nCount=1\r\nProp0=2,1,0\r\n[Saturation]\r\nCount=1\r\n"
      "Prop0=3,0,x,y,\r\n[Sharpness]\r\nCount=1\r\nProp0=" + std::string(600, '1') + ",0,1,1\r\n"
      "[Gamma]\r\nCount=0\r\n[ColorTemp]\r\nCount=0\r\n[Black]\r\nCount=0\r\n[DynamicContrast]\r\nCount=0\r\n"
      "[Standard]\r\nCount=3\r\nProp0=1\r\nProp1=,,\r\n[Theater]\r\nCount=0\r\n[AVPro]\r\nCount=0";
  fuzzing::Target target;
  target.name = "picture_properties";
  target.seeds = {File(0, good), File(1, good), File(0, tables), File(4, good), File(2, tables),
                  File(0, "[Brightness]\r\nCount=1\r\nProp0=0,7,1,1\r\n"), File(0, "")};
  target.check = CheckPropertyFile;
  target.maxSize = 4096;
  // A file whose every count is the largest taken reads 12 x 1024 entries, one profile read at
  // a time: 2.5 s on one machine, past 20 s on another with the suites beside it. The bound is
  // for a read that never ends.
  target.defaultRuns = 100;
  target.timeBoundMs = 120000;
  const fuzzing::Result result = fuzzing::Run(target);
  EXPECT_TRUE(result.failure.empty()) << result.failure << "\n" << fuzzing::Hex(result.input);
}

TEST(PictureProperties, ALinearMappingPastThe32BitRangeIsLeftToTheBoardToRefuse) {
  // 50 * 85899346 is 2^32 + 4: the board value lies far past the range of board property 0,
  // which the board refuses (it once wrapped round to a valid 4).
  std::string text = "[Brightness]\r\nCount=1\r\nProp0=0,0,85899346,0\r\n";
  for (const char* section : {"Picture", "Hue", "Saturation", "Sharpness", "Gamma", "ColorTemp", "Black",
                              "DynamicContrast", "Standard", "Theater", "AVPro"})
    text += std::string("[") + section + "]\r\nCount=0\r\n";
  const PropertyFolder folder(text);
  ASSERT_TRUE(folder.ok());
  Rig rig(folder);
  ASSERT_EQ(rig.properties.Initialize(0), S_OK);
  EXPECT_EQ(rig.properties.SetProcAmpControl(0x1, 50), E_INVALIDARG);
  EXPECT_EQ(rig.memory.value(0), board::ProcAmp(0).defaultValue);
  EXPECT_EQ(rig.properties.SetProcAmpControl(0x1, 0), S_OK);  // 0 stays 0
  EXPECT_EQ(rig.memory.value(0), 0);
  rig.properties.Uninitialize(0);
}
