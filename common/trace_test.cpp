#include "common/trace.h"

#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "common/format.h"
#include "common/handles.h"
#include "common/module.h"
#include "common/path.h"
#include "common/strings.h"
#include "common/testing/child.h"
#include "common/testing/debug_capture.h"
#include "common/testing/paths.h"
#include "common/testing/registry_fixture.h"

VORN_MODULE_TRACE(kTraceKeyLumacrest2)

using testing_support::BinPath;
using testing_support::ChildProcess;
using testing_support::DebugOutputCapture;
using testing_support::RunChild;
using testing_support::ScratchRegistryKey;
using testing_support::UniqueName;

namespace {

struct Record {
  std::wstring text, kind, process, module;
  unsigned pid = 0, tid = 0;
  long elapsed = 0;
};

// Parses one record line (without its line end); false when it is not a whole record. The
// text may hold anything, so the six fields after it are found from the right.
bool ParseRecord(const std::wstring& line, Record* record) {
  std::size_t cut = line.size();
  for (int field = 0; field < 6; ++field) {
    cut = cut == 0 ? std::wstring::npos : line.rfind(L',', cut - 1);
    if (cut == std::wstring::npos) return false;
  }
  const std::wstring quoted = line.substr(0, cut), rest = line.substr(cut + 1);
  if (quoted.size() < 2 || quoted.front() != L'"' || quoted.back() != L'"') return false;
  static const std::wregex pattern(
      LR"re(^\[(IN|OUT|TRACE)\],([^,]+),0x([0-9A-F]{8}),([^,]+),0x([0-9A-F]{8}),(-?[0-9]{12})$)re");
  std::wsmatch m;
  if (!std::regex_match(rest, m, pattern)) return false;
  record->text = quoted.substr(1, quoted.size() - 2);
  record->kind = m[1];
  record->process = m[2];
  record->pid = static_cast<unsigned>(std::stoul(m[3].str(), nullptr, 16));
  record->module = m[4];
  record->tid = static_cast<unsigned>(std::stoul(m[5].str(), nullptr, 16));
  record->elapsed = std::stol(m[6].str());
  return true;
}

std::wstring TempFile(const wchar_t* prefix) {
  wchar_t folder[MAX_PATH + 1] = {};
  GetTempPathW(MAX_PATH, folder);
  return std::wstring(folder) + UniqueName(prefix) + L".log";
}

std::string ReadBytes(const std::wstring& path) {
  UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, 0, nullptr));
  std::string bytes;
  if (!file) return bytes;
  char buffer[65536];
  DWORD read = 0;
  while (ReadFile(file.get(), buffer, sizeof(buffer), &read, nullptr) && read) bytes.append(buffer, read);
  return bytes;
}

void WriteBytes(const std::wstring& path, const std::string& bytes) {
  UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  DWORD written = 0;
  WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

// The log's records after `skip` bytes; every line must end in "\r\n" and parse.
std::vector<Record> LogRecords(const std::wstring& path, std::size_t skip = 0) {
  const std::string bytes = ReadBytes(path).substr(skip);
  std::vector<Record> records;
  std::size_t start = 0;
  while (start < bytes.size()) {
    const std::size_t end = bytes.find("\r\n", start);
    EXPECT_NE(end, std::string::npos) << "unterminated line at " << start;
    if (end == std::string::npos) break;
    const std::string line = bytes.substr(start, end - start);
    EXPECT_EQ(line.find('\n'), std::string::npos) << line;
    Record record;
    EXPECT_TRUE(ParseRecord(WideFromAnsi(line), &record)) << line;
    records.push_back(record);
    start = end + 2;
  }
  return records;
}

std::wstring ExeName() { return ModulePath::OfProcess().GetFileNameWithExtension().str(); }

// A file removed when the test ends.
struct TempPath {
  explicit TempPath(const wchar_t* prefix) : path(TempFile(prefix)) {}
  ~TempPath() { DeleteFileW(path.c_str()); }
  std::wstring path;
};

}  // namespace

// Writes scopes from several threads into the trace of `key`: args key, threads, scopes.
VORN_CHILD(TraceWriter) {
  ReleaseTrace trace(args.at(0).c_str());
  const int threads = std::stoi(args.at(1)), scopes = std::stoi(args.at(2));
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&trace, scopes, t] {
      for (int i = 0; i < scopes; ++i) TraceScope scope(trace, L"Child::Work", L"%d, %d", t, i);
    });
  }
  for (auto& w : workers) w.join();
  return 0;
}

// Takes the trace mutex and ends without releasing it (the mutex is then abandoned).
VORN_CHILD(AbandonTraceMutex) {
  HANDLE mutex = OpenMutexW(SYNCHRONIZE, FALSE, L"Global\\RELTRACE_MUTEX");
  if (!mutex || WaitForSingleObject(mutex, 5000) != WAIT_OBJECT_0) return 2;
  ExitProcess(0);
}

TEST(ReleaseTraceOutput, DebuggerOnlyGivesWholeRecordsEndingInNewline) {
  ScratchRegistryKey key;
  ASSERT_TRUE(key.SetDword(L"trace", 1));
  ReleaseTrace trace(key.path().c_str());
  DebugOutputCapture capture;

  {
    TraceScope plain(trace, L"Probe::Plain()");
  }
  {
    TraceScope formatted(trace, L"Probe::Args", L"%d, %ls", 7, L"seven");
  }
  {
    TraceScope empty(trace, L"Probe::Empty", L"");
  }
  {
    TraceScope suffixed(trace, L"Probe::Paren()", L"%u", 3u);
  }
  trace.Printf(TraceKind::Trace, L"Probe %ls %d", L"free", 5);

  const auto texts = capture.Containing(L"Probe");
  const std::vector<std::pair<std::wstring, std::wstring>> expected = {
      {L"Probe::Plain()", L"IN"}, {L"Probe::Plain()", L"OUT"}, {L"Probe::Args(7, seven)", L"IN"},
      {L"Probe::Args", L"OUT"},   {L"Probe::Empty()", L"IN"},  {L"Probe::Empty", L"OUT"},
      {L"Probe::Paren(3)", L"IN"}, {L"Probe::Paren()", L"OUT"}, {L"Probe free 5", L"TRACE"}};
  ASSERT_EQ(texts.size(), expected.size());
  for (std::size_t i = 0; i < texts.size(); ++i) {
    ASSERT_FALSE(texts[i].empty());
    EXPECT_EQ(texts[i].back(), L'\n') << texts[i];
    Record r;
    ASSERT_TRUE(ParseRecord(texts[i].substr(0, texts[i].size() - 1), &r)) << texts[i];
    EXPECT_EQ(r.text, expected[i].first);
    EXPECT_EQ(r.kind, expected[i].second);
    EXPECT_EQ(r.process, ExeName());
    EXPECT_EQ(r.module, ExeName());
    EXPECT_EQ(r.pid, GetCurrentProcessId());
    EXPECT_EQ(r.tid, GetCurrentThreadId());
    EXPECT_GE(r.elapsed, 0);
  }
  EXPECT_TRUE(trace.enabled());
}

TEST(ReleaseTraceOutput, ScopesKeepTheCallersLastError) {
  ScratchRegistryKey key;
  const TempPath log(L"vorn_err_");
  ASSERT_TRUE(key.SetDword(L"trace", 3));
  ASSERT_TRUE(key.SetString(L"log", log.path));
  ReleaseTrace trace(key.path().c_str());
  DebugOutputCapture capture;
  SetLastError(4321);
  {
    TraceScope scope(trace, L"Probe::First", L"%d", 1);  // the first record initialises
    EXPECT_EQ(GetLastError(), 4321u);
    SetLastError(ERROR_ACCESS_DENIED);
  }
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  SetLastError(77);
  trace.WriteLine(TraceKind::Trace, L"Probe text");
  EXPECT_EQ(GetLastError(), 77u);
  EXPECT_EQ(LogRecords(log.path).size(), 3u);
}

TEST(ReleaseTraceOutput, LogOnlyAppendsAnsiLinesToAnExistingFile) {
  ScratchRegistryKey key;
  const TempPath log(L"vorn_log_");
  const std::string existing = "earlier content\r\n";
  WriteBytes(log.path, existing);
  ASSERT_TRUE(key.SetDword(L"trace", 2));
  ASSERT_TRUE(key.SetString(L"log", log.path));
  DebugOutputCapture capture;
  {
    ReleaseTrace trace(key.path().c_str());
    const std::wstring accented = L"caf\u00e9";
    const std::wstring longText(100000, L'x');  // far beyond any fixed buffer
    {
      TraceScope scope(trace, L"Probe::Log", L"%ls", accented.c_str());
    }
    {
      TraceScope scope(trace, L"Probe::Long", L"%ls", longText.c_str());
    }
  }
  EXPECT_TRUE(capture.Containing(L"Probe").empty());

  const std::string bytes = ReadBytes(log.path);
  ASSERT_EQ(bytes.compare(0, existing.size(), existing), 0);
  // The accented text is in the ANSI code page, not UTF-16 or UTF-8 of our choosing.
  EXPECT_NE(bytes.find(AnsiString(L"\"Probe::Log(caf\u00e9)\"").str()), std::string::npos);
  const auto records = LogRecords(log.path, existing.size());
  ASSERT_EQ(records.size(), 4u);
  EXPECT_EQ(records[0].elapsed, 0);  // the first record of this log sets its start
  EXPECT_EQ(records[1].text, L"Probe::Log");
  EXPECT_EQ(records[2].text, L"Probe::Long(" + std::wstring(100000, L'x') + L")");
  EXPECT_EQ(records[3].kind, L"OUT");
}

TEST(ReleaseTraceSettings, ModuleSubkeyOverridesTheCommonValues) {
  ScratchRegistryKey key;
  const TempPath common(L"vorn_common_"), own(L"vorn_own_");
  ASSERT_TRUE(key.SetDword(L"trace", 2));
  ASSERT_TRUE(key.SetString(L"log", common.path));
  ASSERT_TRUE(key.SetDword(L"trace", 0, ExeName()));                     // silences this program
  ASSERT_TRUE(key.SetString(L"log", own.path, L"vorn_trace_probe.dll"));  // the probe's own log

  UniqueModule probe(LoadLibraryW(BinPath(L"vorn_trace_probe.dll").c_str()));
  ASSERT_TRUE(probe);
  {
    ReleaseTrace exeTrace(key.path().c_str());
    ReleaseTrace dllTrace(key.path().c_str(), probe.get());
    EXPECT_FALSE(exeTrace.enabled());
    EXPECT_TRUE(dllTrace.enabled());
    TraceScope a(exeTrace, L"Exe::Silent()");
    TraceScope b(dllTrace, L"Dll::Heard()");
  }
  EXPECT_EQ(GetFileAttributesW(common.path.c_str()), INVALID_FILE_ATTRIBUTES);
  const auto records = LogRecords(own.path);
  ASSERT_EQ(records.size(), 2u);
  for (const auto& r : records) {
    EXPECT_EQ(r.text, L"Dll::Heard()");
    EXPECT_EQ(r.module, L"vorn_trace_probe.dll");
    EXPECT_EQ(r.process, ExeName());
  }
}

TEST(ReleaseTraceSettings, ShutdownStopsRecordsAndInitializeReadsTheSettingsAgain) {
  ScratchRegistryKey key;
  const TempPath first(L"vorn_first_"), second(L"vorn_second_");
  ASSERT_TRUE(key.SetDword(L"trace", 2));
  ASSERT_TRUE(key.SetString(L"log", first.path));
  ReleaseTrace trace(key.path().c_str());
  trace.WriteLine(TraceKind::Trace, L"one");
  trace.Shutdown();
  trace.WriteLine(TraceKind::Trace, L"dropped");
  EXPECT_FALSE(trace.enabled());
  ASSERT_TRUE(key.SetString(L"log", second.path));
  trace.Initialize();
  trace.WriteLine(TraceKind::Trace, L"two");
  trace.Shutdown();
  const auto a = LogRecords(first.path), b = LogRecords(second.path);
  ASSERT_EQ(a.size(), 1u);
  EXPECT_EQ(a[0].text, L"one");
  ASSERT_EQ(b.size(), 1u);
  EXPECT_EQ(b[0].text, L"two");
}

TEST(ReleaseTraceSharing, ProcessesOnOneLogCountFromTheFirstRecordOfEither) {
  ScratchRegistryKey key;
  const TempPath log(L"vorn_shared_");
  ASSERT_TRUE(key.SetDword(L"trace", 2));
  ASSERT_TRUE(key.SetString(L"log", log.path));
  {
    ReleaseTrace trace(key.path().c_str());
    trace.WriteLine(TraceKind::Trace, L"parent first");
    Sleep(400);
    ASSERT_EQ(RunChild("TraceWriter", {key.path(), L"1", L"1"}), 0u);
  }
  const auto records = LogRecords(log.path);
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].elapsed, 0);
  EXPECT_EQ(records[1].text, L"Child::Work(0, 0)");
  EXPECT_NE(records[1].pid, GetCurrentProcessId());
  EXPECT_GE(records[1].elapsed, 350);  // counted from the parent's record, not the child's own
}

TEST(ReleaseTraceSharing, ConcurrentWritersNeverSplitALine) {
  constexpr int kThreads = 4, kScopes = 500;
  ScratchRegistryKey key;
  const TempPath log(L"vorn_stress_");
  ASSERT_TRUE(key.SetDword(L"trace", 2));
  ASSERT_TRUE(key.SetString(L"log", log.path));
  {
    ReleaseTrace trace(key.path().c_str());
    ChildProcess child = ChildProcess::Start("TraceWriter", {key.path(), std::to_wstring(kThreads),
                                                             std::to_wstring(kScopes)});
    ASSERT_TRUE(child.valid());
    std::vector<std::thread> workers;
    for (int t = 0; t < kThreads; ++t) {
      workers.emplace_back([&trace, t] {
        for (int i = 0; i < kScopes; ++i) TraceScope scope(trace, L"Parent::Work", L"%d, %d", t, i);
      });
    }
    for (auto& w : workers) w.join();
    ASSERT_EQ(child.Wait(60000), 0u);
  }
  const auto records = LogRecords(log.path);
  EXPECT_EQ(records.size(), static_cast<std::size_t>(2 * kThreads * kScopes * 2));
  std::map<std::pair<unsigned, unsigned>, std::pair<int, int>> perThread;  // (pid, tid) -> IN, OUT
  for (const auto& r : records) {
    auto& counts = perThread[{r.pid, r.tid}];
    (r.kind == L"IN" ? counts.first : counts.second)++;
  }
  EXPECT_EQ(perThread.size(), static_cast<std::size_t>(2 * kThreads));
  for (const auto& [id, counts] : perThread) {
    EXPECT_EQ(counts.first, kScopes);
    EXPECT_EQ(counts.second, kScopes);
  }
}

DWORD WINAPI WriteAfter(void* context) {
  static_cast<ReleaseTrace*>(context)->WriteLine(TraceKind::Trace, L"after");
  return 0;
}

TEST(ReleaseTraceSharing, AnAbandonedTraceMutexDoesNotBlockLaterRecords) {
  ScratchRegistryKey key;
  const TempPath log(L"vorn_abandon_");
  ASSERT_TRUE(key.SetDword(L"trace", 2));
  ASSERT_TRUE(key.SetString(L"log", log.path));
  ReleaseTrace trace(key.path().c_str());
  trace.WriteLine(TraceKind::Trace, L"before");  // opens the mutex, so the child finds it
  ASSERT_EQ(RunChild("AbandonTraceMutex"), 0u);
  // Written on a thread of its own so that a hang fails the test instead of stalling it.
  UniqueHandle writer(CreateThread(nullptr, 0, &WriteAfter, &trace, 0, nullptr));
  ASSERT_TRUE(writer);
  ASSERT_EQ(WaitForSingleObject(writer.get(), 10000), WAIT_OBJECT_0);
  trace.Shutdown();
  const auto records = LogRecords(log.path);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[1].text, L"after");
}

TEST(ReleaseTraceModules, TwoModulesOfOneProcessShareTheBuildKeyAndTheLog) {
  ScratchRegistryKey key(HKEY_LOCAL_MACHINE, L"HKEY_LOCAL_MACHINE",
                         L"SOFTWARE\\Zarn Corporation\\Lumacrest2\\RELTrace");
  const TempPath log(L"vorn_modules_");
  ASSERT_TRUE(key.SetDword(L"trace", 2));
  ASSERT_TRUE(key.SetString(L"log", log.path));
  {
    UniqueModule probe(LoadLibraryW(BinPath(L"vorn_trace_probe.dll").c_str()));
    ASSERT_TRUE(probe);
    auto scope = GetProcAs<void(WINAPI*)(const wchar_t*)>(probe.get(), "TraceProbeScope");
    ASSERT_NE(scope, nullptr);
    TraceScope outer(ModuleTrace(), L"Exe::Run()");
    SetLastError(55);
    scope(L"Dll::Call()");
    EXPECT_EQ(GetLastError(), 55u);
  }  // the probe unloads and closes its context
  ModuleTrace().Shutdown();
  const auto records = LogRecords(log.path);
  ASSERT_EQ(records.size(), 4u);
  EXPECT_EQ(records[0].module, ExeName());
  EXPECT_EQ(records[1].module, L"vorn_trace_probe.dll");
  EXPECT_EQ(records[1].text, L"Dll::Call()");
  EXPECT_EQ(records[2].module, L"vorn_trace_probe.dll");
  EXPECT_EQ(records[3].text, L"Exe::Run()");
  EXPECT_EQ(records[3].kind, L"OUT");
}
