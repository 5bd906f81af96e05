// What other processes hand the mapping service, under the mutation driver: the scrambled names
// of CreateTunerInfo (and the plain ones of CreateTunerInfoS) with the sizes that come with them,
// and the command line the program is started with.
#include <windows.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include <string>

#include "common/testing/child.h"
#include "common/testing/fuzz_driver.h"
#include "mappingsvc/mapping_registry.h"
#include "mappingsvc/mmf_support.h"
#include "mappingsvc/switches.h"
#include "mappingsvc/test_names.h"

using mappingsvc_test::Bstr;
using mappingsvc_test::NameExists;
using mappingsvc_test::Scramble;

namespace {

// UTF-16LE characters of `data` (an odd last byte is dropped).
std::wstring Characters(const std::uint8_t* data, std::size_t size) {
  std::wstring text(size / 2, L'\0');
  for (std::size_t i = 0; i < text.size(); ++i)
    text[i] = static_cast<wchar_t>(data[2 * i] | data[2 * i + 1] << 8);
  return text;
}

fuzzing::Bytes Bytes(const std::wstring& text) {
  fuzzing::Bytes bytes;
  for (wchar_t c : text) {
    bytes.push_back(static_cast<std::uint8_t>(c));
    bytes.push_back(static_cast<std::uint8_t>(c >> 8));
  }
  return bytes;
}

// A request: the size (low, high), a byte whose bit 0 sends the name to CreateTunerInfoS as
// well, then the name's characters as the caller scrambled them.
constexpr std::size_t kHeader = 9;

fuzzing::Bytes Request(std::uint32_t low, std::uint32_t high, std::uint8_t flags, const std::wstring& name) {
  fuzzing::Bytes bytes(kHeader);
  fuzzing::WriteLe(bytes.data(), 4, low);
  fuzzing::WriteLe(bytes.data() + 4, 4, high);
  bytes[8] = flags;
  const fuzzing::Bytes text = Bytes(name);
  bytes.insert(bytes.end(), text.begin(), text.end());
  return bytes;
}

std::string CheckRequest(const std::uint8_t* data, std::size_t size) {
  if (size < kHeader) return {};
  const std::uint32_t low = fuzzing::ReadLe(data, 4), high = fuzzing::ReadLe(data + 4, 4);
  const std::wstring scrambled = Characters(data + kHeader, size - kHeader);
  std::wstring plain = scrambled;
  mappingsvc::UnscrambleName(plain);
  const bool usable = !plain.empty() && plain.size() <= 32766 && plain.find(L'\0') == std::wstring::npos;

  mappingsvc::MappingRegistry registry;
  IZarnMMFSupport* object = nullptr;
  if (mappingsvc::CZarnMMFSupport::Create(&registry, IID_IZarnMMFSupport, reinterpret_cast<void**>(&object),
                                          false) != S_OK)
    return "no object";
  struct Release {
    IZarnMMFSupport* object;
    ~Release() { object->Release(); }
  } release{object};

  std::string failure;
  {
    const Bstr name(scrambled);
    LONG first = -1;
    const HRESULT hr = object->CreateTunerInfo(name, static_cast<INT64>(static_cast<UINT64>(high) << 32 | low), &first);
    if (!usable && hr != E_INVALIDARG) failure = "a name cut or empty was not refused";
    if (hr == S_OK) {
      if (first != 0 && first != 1) failure = "IsFirst neither 0 nor 1";
      if (first == 1 && (registry.size() != 1 || !NameExists(plain))) failure = "a new section was not kept";
    } else if (registry.size() != 0) {
      failure = "a failed call kept a section";
    }
  }
  if (failure.empty() && (data[8] & 1)) {
    const Bstr name(plain);
    INT64 handle = 0;
    LONG first = -1;
    const HRESULT hr = object->CreateTunerInfoS(name, high, low, GetCurrentProcessId(), &handle, &first);
    if (hr == S_OK) {
      if (plain.compare(0, 7, L"Global\\") != 0 || !usable) failure = "a name outside the prefix or cut was taken";
      if (!CloseHandle(reinterpret_cast<HANDLE>(static_cast<INT_PTR>(handle)))) failure = "no handle handed over";
    }
  }
  registry.Clear();
  return failure;
}

TEST(MmfSupportFuzz, AnyNameAndSizeIsTakenWholeOrRefused) {
  const std::wstring local = testing_support::UniqueName(L"vorn_fuzz_mmf_");
  const std::wstring global = L"Global\\" + local;
  fuzzing::Target target;
  target.name = "mmf_names";
  target.seeds = {Request(4096, 0, 1, Scramble(global)),
                  Request(64, 0, 0, Scramble(local)),
                  Request(4096, 0, 1, Scramble(global + std::wstring(1, L'\0') + L"tail")),
                  Request(0, 0, 1, Scramble(global)),
                  Request(0x10000, 0, 1, Scramble(std::wstring(300, L'n') + local)),
                  Request(4096, 0, 0, L"")};
  target.sizeFields = [](const fuzzing::Bytes&) {
    return std::vector<fuzzing::SizeField>{{0, 4}, {4, 4}};
  };
  target.check = CheckRequest;
  target.maxSize = 4096;
  target.defaultRuns = 1500;
  const fuzzing::Result result = fuzzing::Run(target);
  EXPECT_TRUE(result.failure.empty()) << result.failure << "\n" << fuzzing::Hex(result.input);
}

// The command line as a terminated string that ends just before a no-access page.
std::string CheckCommandLine(const std::uint8_t* data, std::size_t size) {
  std::wstring text = Characters(data, size);
  const std::size_t end = text.find(L'\0');
  if (end != std::wstring::npos) text.resize(end);
  text.push_back(L'\0');
  static fuzzing::GuardedBuffer guarded;  // the fuzz thread only
  const auto* line = reinterpret_cast<const wchar_t*>(
      guarded.Place(reinterpret_cast<const std::uint8_t*>(text.data()), text.size() * sizeof(wchar_t)));
  const mappingsvc::Switch found = mappingsvc::ParseSwitch(line);
  switch (found) {
    case mappingsvc::Switch::None:
    case mappingsvc::Switch::RegServer:
    case mappingsvc::Switch::UnregServer:
    case mappingsvc::Switch::Service:
      return {};
  }
  return "no switch of the list";
}

TEST(SwitchesFuzz, AnyCommandLineIsReadToItsTerminatorOnly) {
  fuzzing::Target target;
  target.name = "mappingsvc_switches";
  target.seeds = {Bytes(L"-RegServer"), Bytes(L"/unregserver"), Bytes(L"  \t-Service  "),
                  Bytes(L"-Embedding -UnregServer"), Bytes(L"-"), Bytes(L"x-RegServer /"), {}};
  target.check = CheckCommandLine;
  target.maxSize = 1024;
  target.defaultRuns = 3000;
  const fuzzing::Result result = fuzzing::Run(target);
  EXPECT_TRUE(result.failure.empty()) << result.failure << "\n" << fuzzing::Hex(result.input);
}

}  // namespace
