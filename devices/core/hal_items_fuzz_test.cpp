// The host's item values as every family reads them, under the mutation driver. A careless host
// may put anything in an item: nothing, a number of another width, a string where a number is
// read (digits, words, embedded nulls), a date or currency, a huge array, a null object. The
// item (the host's item class, made through its module's class object) is filled from the
// input, and then each value is read as the device objects read them: as a number, as a string,
// as a device path. Nothing may fault; a string reads back exactly (embedded nulls included),
// anything else as empty; a number reads as itself, a value that converts to none as 0.
#include <windows.h>

#include <gtest/gtest.h>

#include <oleauto.h>
#include <wrl/client.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/device/device_identity.h"
#include "common/testing/com_module.h"
#include "common/testing/fuzz_driver.h"
#include "devices/core/hal_items.h"
#include "sim/doubles/hal_item.h"

using Microsoft::WRL::ComPtr;

namespace {

// An entry of the input: the type identifier (0-15), the kind of value, its byte count, then
// its bytes.
const VARTYPE kKinds[] = {VT_EMPTY, VT_NULL,  VT_I2,   VT_I4,   VT_R4,   VT_R8,  VT_CY,   VT_DATE,
                          VT_BSTR,  VT_ERROR, VT_BOOL, VT_I1,   VT_UI1,  VT_UI2, VT_UI4,  VT_I8,
                          VT_UI8,   VT_INT,   VT_UINT, VT_DECIMAL, VT_UNKNOWN, VT_DISPATCH,
                          VT_ARRAY | VT_I4, VT_ARRAY | VT_BSTR, VT_ARRAY | VT_VARIANT};
constexpr std::size_t kKindBstr = 8;

std::uint64_t Number(const std::uint8_t* data, std::size_t size) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < size && i < 8; ++i) value |= static_cast<std::uint64_t>(data[i]) << (8 * i);
  return value;
}

// The value of an entry (VariantClear frees it).
VARIANT MakeValue(VARTYPE kind, const std::uint8_t* data, std::size_t size) {
  VARIANT v;
  VariantInit(&v);
  const std::uint64_t n = Number(data, size);
  v.vt = kind;
  switch (kind) {
    case VT_BSTR: {
      // Two bytes a character: digits, words, nulls, whatever the input holds.
      std::wstring text;
      for (std::size_t i = 0; i + 1 < size; i += 2) text += static_cast<wchar_t>(data[i] | (data[i + 1] << 8));
      v.bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
      break;
    }
    case VT_ARRAY | VT_I4:
    case VT_ARRAY | VT_BSTR:
    case VT_ARRAY | VT_VARIANT:
      // Up to a million elements.
      v.parray = SafeArrayCreateVector(kind & VT_TYPEMASK, 0, static_cast<ULONG>(n % (1u << 20)));
      if (!v.parray) v.vt = VT_EMPTY;
      break;
    case VT_UNKNOWN: v.punkVal = nullptr; break;
    case VT_DISPATCH: v.pdispVal = nullptr; break;
    case VT_DECIMAL: {
      DECIMAL d{};
      d.Lo64 = n;
      d.scale = static_cast<BYTE>(size > 8 ? data[8] % 29 : 0);
      d.sign = static_cast<BYTE>(size > 9 && (data[9] & 1) ? DECIMAL_NEG : 0);
      v.decVal = d;
      v.vt = VT_DECIMAL;  // the DECIMAL overlays vt
      break;
    }
    case VT_R4: {
      const std::uint32_t bits = static_cast<std::uint32_t>(n);
      std::memcpy(&v.fltVal, &bits, sizeof(bits));
      break;
    }
    case VT_R8:
    case VT_DATE:
      std::memcpy(&v.dblVal, &n, sizeof(n));
      break;
    default:
      v.ullVal = kind == VT_EMPTY || kind == VT_NULL ? 0 : n;  // the integers read their own width
      break;
  }
  return v;
}

class HostItemFuzz : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    module_ = std::make_unique<testing_support::ComModule>(L"vorn_halitem.dll");
    ASSERT_TRUE(module_->valid());
  }
  void TearDown() override {
    module_.reset();
    CoUninitialize();
  }
  std::unique_ptr<testing_support::ComModule> module_;
};

TEST_F(HostItemFuzz, EveryValueReadsAsANumberAStringAndAPathWithoutAFault) {
  fuzzing::Target target;
  target.name = "host_item_values";
  // A device item as a host fills it: the path, the board type, capabilities, a tuner number...
  fuzzing::Bytes seed;
  const auto add = [&](std::uint8_t type, std::uint8_t kind, const fuzzing::Bytes& bytes) {
    seed.push_back(type);
    seed.push_back(kind);
    seed.push_back(static_cast<std::uint8_t>(bytes.size()));
    seed.insert(seed.end(), bytes.begin(), bytes.end());
  };
  fuzzing::Bytes path;
  for (const char c : std::string("\\\\?\\pci#ven_1234&dev_5678#3&2&0#{65e8773d-8f56-11d0-a3b9-00a0c9223196}\\x"))
    path.insert(path.end(), {static_cast<std::uint8_t>(c), 0});
  add(0, kKindBstr, path);
  add(2, 3, {18, 0, 0, 0});
  add(4, 3, {3, 0, 0, 0});
  add(7, kKindBstr, path);
  add(8, kKindBstr, {'1', 0, '2', 0});
  add(9, 22, {0, 0, 16, 0});
  target.seeds = {seed};
  target.maxSize = 1024;
  target.defaultRuns = 1000;
  target.check = [&](const std::uint8_t* data, std::size_t size) -> std::string {
    ComPtr<IHalItem> item;
    if (module_->Create(kClsidHalItem, IID_IHalItem, reinterpret_cast<void**>(item.GetAddressOf())) != S_OK)
      return "no item";
    // What the item holds, as the input put it (a later entry of a type replaces an earlier one).
    struct Put {
      VARTYPE kind = VT_EMPTY;
      std::wstring text;
      bool stored = false;
    } puts[16];
    for (std::size_t at = 0; at + 3 <= size;) {
      const std::uint8_t type = data[at] % 16;
      const VARTYPE kind = kKinds[data[at + 1] % std::size(kKinds)];
      const std::size_t bytes = std::min<std::size_t>(data[at + 2], size - at - 3);
      VARIANT value = MakeValue(kind, data + at + 3, bytes);
      if (item->SetInfo(type, value) == S_OK) {
        puts[type] = {value.vt, value.vt == VT_BSTR ? std::wstring(value.bstrVal, SysStringLen(value.bstrVal)) : L"",
                      true};
      }
      VariantClear(&value);
      at += 3 + bytes;
    }
    for (long type = 0; type < 16; ++type) {
      const Put& put = puts[type];
      const std::wstring text = hal_items::ReadString(item.Get(), type);
      if (text != (put.stored && put.kind == VT_BSTR ? put.text : L""))
        return "type " + std::to_string(type) + " read as another string";
      const std::int32_t number = hal_items::ReadInteger(item.Get(), type);
      if ((!put.stored || put.kind == VT_EMPTY) && number != 0)
        return "type " + std::to_string(type) + " read as " + std::to_string(number) + " without a number";
      VARIANT value;
      VariantInit(&value);
      if (SUCCEEDED(item->GetInfo(type, &value))) {
        const DeviceIdentity identity(value);
        if (value.vt != VT_BSTR && !identity.IsEmpty())
          return "type " + std::to_string(type) + " made a device path without a string";
      }
      VariantClear(&value);
    }
    return {};
  };
  const fuzzing::Result result = fuzzing::Run(target);
  EXPECT_TRUE(result.failure.empty()) << result.failure << "\n" << fuzzing::Hex(result.input);
}

}  // namespace
