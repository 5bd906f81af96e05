// The release trace as a host session uses it: both settings keys of the system point at one log
// file for the session, and what the modules wrote there is read back at the end.
#include <windows.h>

#include <map>
#include <string>
#include <vector>

#include "common/format.h"
#include "common/handles.h"
#include "common/hresult.h"
#include "common/trace.h"
#include "sim/demo/demo_support.h"

namespace demo {
namespace {

constexpr const wchar_t* kTraceKeys[] = {kTraceKeyLumacrest2, kTraceKeyTovrel};
constexpr DWORD kLogFileOnly = 2;  // bit 1: the log file; bit 0 (the debugger) stays off

// The modules whose records the session expects in the log, and how many of their entry
// records to print.
constexpr const char* kTracedModules[] = {"VornPort.exe", "tamDevice.dll"};
constexpr int kLinesPerModule = 4;

// One record: "text",[KIND],process,0xPID,module,0xTID,elapsed. The text may hold commas, so
// the fields are taken from the end.
struct Record {
  std::string line;
  std::string module;
  bool entry = false;  // an "IN" record
};

bool ParseRecord(const std::string& line, Record* record) {
  std::vector<size_t> commas;
  for (size_t i = line.size(); i-- > 0 && commas.size() < 6;)
    if (line[i] == ',') commas.push_back(i);
  if (commas.size() < 6) return false;
  // commas[0] before the elapsed time, [1] before the thread, [2] before the module.
  record->line = line;
  record->module = line.substr(commas[2] + 1, commas[1] - commas[2] - 1);
  record->entry = line.find("\",[IN],") != std::string::npos;
  return true;
}

}  // namespace

HRESULT TraceSwitch::SwitchOn(const std::wstring& logPath) {
  PutBack();
  for (const wchar_t* path : kTraceKeys) {
    const RegistryKeyPath key{WideString(path)};
    RETURN_IF_FAILED(journal_.SetDword(key, L"trace", kLogFileOnly));
    RETURN_IF_FAILED(journal_.SetString(key, L"log", logPath));
  }
  return S_OK;
}

HRESULT TraceSwitch::PutBack() { return journal_.Restore(); }

void PrintTraceLog(const std::wstring& path, Verdict& verdict) {
  UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, 0, nullptr));
  if (!file) {
    verdict.Check(FormatW(L"open the log %ls", path.c_str()), HResultFromLastError());
    return;
  }
  std::string text;
  char buffer[8192];
  DWORD read = 0;
  while (ReadFile(file.get(), buffer, sizeof(buffer), &read, nullptr) && read) text.append(buffer, read);

  std::vector<Record> records;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    Record record;
    if (ParseRecord(line, &record)) records.push_back(std::move(record));
    start = end + 1;
  }
  std::map<std::string, int> perModule;
  for (const Record& r : records) ++perModule[r.module];
  std::wstring counts;
  for (const auto& [module, n] : perModule)
    counts += FormatW(L"%ls%hs %d", counts.empty() ? L"" : L", ", module.c_str(), n);
  Say(FormatW(L"  %ls: %lu records (%ls)", path.c_str(), static_cast<unsigned long>(records.size()), counts.c_str()));
  for (const char* module : kTracedModules) {
    if (perModule[module] == 0) {
      verdict.Fail(FormatW(L"no records of %hs in the log", module));
      continue;
    }
    int shown = 0;
    for (const Record& r : records) {
      if (r.module != module || !r.entry) continue;
      Say(FormatW(L"    %hs", r.line.c_str()));
      if (++shown == kLinesPerModule) break;
    }
  }
}

}  // namespace demo
