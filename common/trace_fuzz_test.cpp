// The release trace's settings under the mutation driver: whatever the settings key and the
// module's subkey hold ("trace" and "log" of any type and length, strings without terminators
// or of an odd byte count), the trace starts, writes whole lines or nothing, and keeps the
// caller's last error.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/handles.h"
#include "common/path.h"
#include "common/testing/child.h"
#include "common/testing/fuzz_driver.h"
#include "common/testing/registry_fixture.h"
#include "common/trace.h"

namespace {

// An input is a list of values, each a selector byte, a 2-byte length and that many bytes (a
// length past the end takes what is left). Selector bit 0: the module's subkey instead of the
// settings key; bits 1-2: the value's name; bits 4-6: its type.
constexpr const wchar_t* kNames[] = {L"trace", L"log", L"LOG", L"other"};
constexpr DWORD kTypes[] = {REG_DWORD, REG_SZ, REG_EXPAND_SZ, REG_BINARY,
                            REG_MULTI_SZ, REG_QWORD, REG_NONE, REG_DWORD_BIG_ENDIAN};

struct Value {
  bool own = false;
  const wchar_t* name = L"";
  DWORD type = REG_NONE;
  fuzzing::Bytes data;
};

std::vector<Value> Values(const std::uint8_t* data, std::size_t size) {
  std::vector<Value> values;
  std::size_t at = 0;
  while (at + 3 <= size && values.size() < 16) {
    const std::uint8_t selector = data[at];
    const std::size_t length = std::min<std::size_t>(fuzzing::ReadLe(data + at + 1, 2), size - at - 3);
    Value value;
    value.own = selector & 1;
    value.name = kNames[(selector >> 1) & 3];
    value.type = kTypes[(selector >> 4) & 7];
    value.data.assign(data + at + 3, data + at + 3 + length);
    values.push_back(std::move(value));
    at += 3 + length;
  }
  return values;
}

std::vector<fuzzing::SizeField> LengthFields(const fuzzing::Bytes& input) {
  std::vector<fuzzing::SizeField> fields;
  std::size_t at = 0;
  while (at + 3 <= input.size()) {
    fields.push_back({at + 1, 2});
    at += 3 + fuzzing::ReadLe(input.data() + at + 1, 2);
  }
  return fields;
}

fuzzing::Bytes Entry(std::uint8_t selector, const fuzzing::Bytes& data) {
  fuzzing::Bytes bytes = {selector, 0, 0};
  fuzzing::WriteLe(bytes.data() + 1, 2, static_cast<std::uint32_t>(data.size()));
  bytes.insert(bytes.end(), data.begin(), data.end());
  return bytes;
}

fuzzing::Bytes Utf16(const std::wstring& text, bool terminator = true) {
  fuzzing::Bytes bytes;
  for (wchar_t c : text) {
    bytes.push_back(static_cast<std::uint8_t>(c));
    bytes.push_back(static_cast<std::uint8_t>(c >> 8));
  }
  if (terminator) bytes.insert(bytes.end(), {0, 0});
  return bytes;
}

fuzzing::Bytes Dword(std::uint32_t value) {
  fuzzing::Bytes bytes(4);
  fuzzing::WriteLe(bytes.data(), 4, value);
  return bytes;
}

fuzzing::Bytes Join(std::initializer_list<fuzzing::Bytes> parts) {
  fuzzing::Bytes all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

// A string typed "log" names a file in the input's own folder: the folder comes first, and the
// input's separators and drive colons become "_" (so the name stays inside it and never names
// a device).
fuzzing::Bytes FencedLog(const std::wstring& folder, const fuzzing::Bytes& data) {
  fuzzing::Bytes bytes = Utf16(folder + L"\\vorn_fuzz_", false);
  for (std::size_t i = 0; i < data.size(); i += 2) {
    if (i + 1 == data.size()) {
      bytes.push_back(data[i]);
      break;
    }
    const wchar_t c = static_cast<wchar_t>(data[i] | data[i + 1] << 8);
    const bool separator = c == L'\\' || c == L'/' || c == L':';
    bytes.push_back(separator ? '_' : data[i]);
    bytes.push_back(separator ? 0 : data[i + 1]);
  }
  return bytes;
}

bool IsString(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

std::string ReadAll(const std::wstring& path) {
  UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, 0, nullptr));
  std::string bytes;
  char buffer[4096];
  DWORD read = 0;
  while (file && ReadFile(file.get(), buffer, sizeof(buffer), &read, nullptr) && read) bytes.append(buffer, read);
  return bytes;
}

// Checks and removes every file the trace left in `folder`, then the folder.
std::string CheckAndRemoveFolder(const std::wstring& folder) {
  std::string failure;
  WIN32_FIND_DATAW found{};
  HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
      const std::wstring path = folder + L"\\" + found.cFileName;
      const std::string text = ReadAll(path);
      if (!text.empty() && (text.size() < 2 || text.compare(text.size() - 2, 2, "\r\n") != 0))
        failure = "a log record without its line end";
      DeleteFileW(path.c_str());
    } while (FindNextFileW(search, &found));
    FindClose(search);
  }
  RemoveDirectoryW(folder.c_str());
  return failure;
}

std::string CheckSettings(const std::uint8_t* data, std::size_t size) {
  wchar_t temp[MAX_PATH + 1] = {};
  GetTempPathW(MAX_PATH, temp);
  const std::wstring folder = std::wstring(temp) + testing_support::UniqueName(L"vorn-trace-fuzz-");
  if (!CreateDirectoryW(folder.c_str(), nullptr)) return "no folder";
  const std::wstring own = ModulePath::OfProcess().GetFileNameWithExtension().str();

  std::string failure;
  {
    const testing_support::ScratchRegistryKey key;
    for (const Value& value : Values(data, size)) {
      const bool log = value.name != kNames[0] && value.name != kNames[3] && IsString(value.type);
      const fuzzing::Bytes stored = log ? FencedLog(folder, value.data) : value.data;
      key.Set(value.own ? own : L"", value.name, value.type, stored.empty() ? nullptr : stored.data(),
              static_cast<DWORD>(stored.size()));
    }
    ReleaseTrace trace(key.path().c_str(), GetModuleHandleW(nullptr));
    SetLastError(0x1234);
    trace.Initialize();
    trace.enabled();
    trace.WriteLine(TraceKind::Trace, L"fuzz record");
    { TraceScope scope(trace, L"Fuzz::Scope", L"%d", 7); }
    if (GetLastError() != 0x1234) failure = "the caller's last error was changed";
    trace.Shutdown();
  }
  const std::string files = CheckAndRemoveFolder(folder);
  return failure.empty() ? files : failure;
}

TEST(ReleaseTraceFuzz, AnySettingsStartTheTraceAndKeepItsLinesWhole) {
  fuzzing::Target target;
  target.name = "trace_settings";
  target.seeds = {
      Join({Entry(0x00, Dword(3)), Entry(0x12, Utf16(L"a.log"))}),                    // both outputs
      Join({Entry(0x00, Dword(2)), Entry(0x12, Utf16(L"common.log")),
            Entry(0x01, Dword(0)), Entry(0x13, Utf16(L"own.log"))}),                  // the subkey overrides
      Join({Entry(0x00, Dword(2)), Entry(0x12, Utf16(L"cut", false))}),               // no terminator
      Join({Entry(0x00, Dword(2)), Entry(0x12, fuzzing::Bytes{'o', 0, 'd', 0, 'd'})}),  // odd bytes
      Join({Entry(0x00, fuzzing::Bytes{2, 0}), Entry(0x32, Utf16(L"bin.log"))}),      // short DWORD, binary log
      Join({Entry(0x50, fuzzing::Bytes{2, 0, 0, 0, 0, 0, 0, 0}), Entry(0x42, Utf16(std::wstring(L"a\0b.log", 7)))}),
      Join({Entry(0x00, Dword(0xFFFFFFFF)), Entry(0x14, Utf16(std::wstring(400, L'l')))}),
      Join({Entry(0x10, Utf16(L"2")), Entry(0x22, Utf16(L"%TEMP%.log"))}),
  };
  target.sizeFields = LengthFields;
  target.check = CheckSettings;
  target.maxSize = 2048;
  target.defaultRuns = 400;
  const fuzzing::Result result = fuzzing::Run(target);
  EXPECT_TRUE(result.failure.empty()) << result.failure << "\n" << fuzzing::Hex(result.input);
}

}  // namespace
