// The media types a filter is offered, under the mutation driver: every pin of every filter
// module is asked QueryAccept about types whose format blocks are cut short or whose sizes lie
// (header sizes, widths, heights, bit counts, image sizes), each format block ending at a
// no-access page. No answer may fault or hang, and each is S_OK or S_FALSE. (The pins judge a
// copy of the type; the guard page stands behind the block the copy is taken from.)
#include <gtest/gtest.h>

#include "common/dshow.h"

#include <wrl/client.h>

#include <cctype>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "common/testing/fuzz_driver.h"
#include "common/testing/com_module.h"
#include "filters/base/testkit/fuzz_media_type.h"

using Microsoft::WRL::ComPtr;

namespace {

struct Module {
  const wchar_t* file;
  const wchar_t* name;
  CLSID clsid;
  bool wantsPreviewControl = false;  // made only with the preview control's class registered
};

// The filter classes of the modules, as their modules name them.
const Module kModules[] = {
    {L"deinterlace\\QfaTesk.ax", L"deinterlacer", {0xb03c30d4, 0x2ddb, 0x44ec, {0x92, 0x75, 0xac, 0xd2, 0x80, 0x02, 0x92, 0x52}}},
    {L"deinterlace\\QfaTesk.ax", L"deinterlacer rv30", {0xb59a5c61, 0x1218, 0x471e, {0x9f, 0xe1, 0x06, 0xa2, 0xf1, 0xeb, 0x0b, 0x3b}}},
    {L"QfaCfc.ax", L"colour converter", {0x733e10d7, 0x459f, 0x44ab, {0x86, 0x12, 0x53, 0x06, 0xf2, 0xbe, 0xb2, 0x6b}}},
    {L"PlanarPack.ax", L"planar packer", {0x33b30828, 0x7ad6, 0x4db1, {0xa6, 0x81, 0x02, 0xc2, 0x3c, 0x4e, 0x79, 0x0a}}},
    {L"VideoPacer.ax", L"video pacer", {0x2663bfad, 0xb808, 0x441b, {0xa4, 0x66, 0x1b, 0xb4, 0x78, 0x15, 0x49, 0xe4}}},
    {L"AudioPacer.ax", L"audio pacer", {0x6d1be6b6, 0xda87, 0x47cb, {0xb5, 0x2c, 0x16, 0xa1, 0x58, 0x44, 0xd4, 0xbb}}},
    {L"VornVRen.ax", L"renderer", {0xb1e39656, 0xabce, 0x4b23, {0xa6, 0xfb, 0x67, 0x76, 0xc7, 0x39, 0x9b, 0x1e}}, true},
    {L"CcRelay.ax", L"caption relay", {0x98e948bb, 0x8f1c, 0x4683, {0x80, 0xff, 0x78, 0xd9, 0x50, 0x48, 0x5e, 0x38}}},
    {L"VornVSrc.ax", L"source", {0x3135a373, 0x075a, 0x44a6, {0xb2, 0xef, 0x5b, 0x27, 0x63, 0x17, 0x6e, 0xcd}}},
};

void PrintTo(const Module& module, std::ostream* out) {
  for (const wchar_t* c = module.name; *c; ++c) *out << static_cast<char>(*c);
}

class MediaTypeFuzz : public ::testing::TestWithParam<Module> {};

TEST_P(MediaTypeFuzz, EveryPinAnswersWithoutAFault) {
  const Module& module = GetParam();
  // The modules want COM on the thread that creates their filters; the fuzz thread is in the MTA too.
  const HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  struct ComScope {
    HRESULT hr;
    ~ComScope() {
      if (SUCCEEDED(hr)) CoUninitialize();
    }
  } comScope{com};
  // The renderer's preview control: the double, registered for this case only.
  const testing_support::ComModule previewControl(L"previewdouble.dll");
  if (module.wantsPreviewControl) {
    ASSERT_EQ(S_OK, previewControl.Register());
  }
  struct Unregister {
    const testing_support::ComModule& module;
    bool registered;
    ~Unregister() {
      if (registered) module.Unregister();
    }
  } unregister{previewControl, module.wantsPreviewControl};
  const testing_support::ComModule library(module.file);
  ASSERT_TRUE(library.valid()) << GetLastError();
  {
    ComPtr<IBaseFilter> filter;
    ASSERT_EQ(S_OK, library.Create(module.clsid, IID_IBaseFilter, reinterpret_cast<void**>(filter.GetAddressOf())));
    std::vector<ComPtr<IPin>> pins;
    {
      ComPtr<IEnumPins> pinList;
      ASSERT_EQ(S_OK, filter->EnumPins(pinList.GetAddressOf()));
      IPin* pin = nullptr;
      while (pinList->Next(1, &pin, nullptr) == S_OK) {
        pins.emplace_back();
        pins.back().Attach(pin);
      }
    }
    ASSERT_FALSE(pins.empty());

    fuzzing::Target target;
    const std::string name = "media_type_" + std::string(module.name, module.name + wcslen(module.name));
    target.name = name.c_str();
    target.seeds = graph_testkit::FuzzTypeSeeds();
    target.sizeFields = [](const fuzzing::Bytes& input) { return graph_testkit::FuzzTypeSizeFields(input); };
    target.maxSize = 512;
    target.defaultRuns = 1500;
    target.check = [&](const std::uint8_t* data, std::size_t size) -> std::string {
      AM_MEDIA_TYPE type{};
      if (!graph_testkit::DecodeFuzzType(data, size, &type)) return {};
      for (std::size_t p = 0; p < pins.size(); ++p) {
        // S_OK or S_FALSE, or the failure to copy a type whose format pointer is missing.
        const HRESULT hr = pins[p]->QueryAccept(&type);
        if (hr != S_OK && hr != S_FALSE && !(hr == E_POINTER && !type.pbFormat) && hr != E_OUTOFMEMORY)
          return "pin " + std::to_string(p) + " answered " + std::to_string(hr);
      }
      return {};
    };
    const fuzzing::Result result = fuzzing::Run(target);
    EXPECT_TRUE(result.failure.empty()) << result.failure << "\n" << fuzzing::Hex(result.input);
  }
}

INSTANTIATE_TEST_SUITE_P(Filters, MediaTypeFuzz, ::testing::ValuesIn(kModules),
                         [](const ::testing::TestParamInfo<Module>& info) {
                           std::string name;
                           for (const wchar_t* c = info.param.name; *c; ++c) name += std::isalnum(*c) ? char(*c) : '_';
                           return name;
                         });

}  // namespace
