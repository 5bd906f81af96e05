// VornPort.exe out of process: registration, one object shared by client processes, the
// watchdog for a killed client, full-size replies through the proxy, and the server's exit.
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <psapi.h>

#include <gtest/gtest.h>
#include <wrl/client.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/errors.h"
#include "common/format.h"
#include "common/handles.h"
#include "common/hresult.h"
#include "common/local_server.h"
#include "common/locks.h"
#include "common/module.h"
#include "common/testing/child.h"
#include "common/testing/paths.h"
#include "common/timeouts.h"
#include "portserver/VornPort.h"
#include "portserver/testing/server_processes.h"
#include "sim/board/board_sim_client.h"

namespace {

using board_sim::BoardSim;
using port_testing::ServerProcesses;
using Microsoft::WRL::ComPtr;
using testing_support::BinPath;
using testing_support::ChildProcess;

DWORD RunProgram(const std::wstring& path, const std::wstring& args, DWORD timeoutMs = 30000) {
  std::wstring command = L"\"" + path + L"\" " + args;
  STARTUPINFOW si{};
  si.cb = sizeof(si);
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(path.c_str(), command.data(), nullptr, nullptr, FALSE, DETACHED_PROCESS,
                      nullptr, nullptr, &si, &pi))
    return GetLastError();
  UniqueHandle process(pi.hProcess), thread(pi.hThread);
  DWORD code = STILL_ACTIVE;
  if (WaitForSingleObject(pi.hProcess, timeoutMs) != WAIT_OBJECT_0) {
    TerminateProcess(pi.hProcess, 1);
    WaitForSingleObject(pi.hProcess, 5000);
    return STILL_ACTIVE;
  }
  GetExitCodeProcess(pi.hProcess, &code);
  return code;
}

// Waits (bounded) until no server process is left; false when one stays.
bool WaitForNoServer(DWORD timeoutMs) {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  while (!ServerProcesses().empty()) {
    if (GetTickCount64() >= deadline) return false;
    Sleep(100);
  }
  return true;
}

using board_sim::MakeFrame;

std::vector<BYTE> ReadFrame(WORD addr, BYTE count) { return board_sim::ReadRequest(addr, count); }

// As the board control activates the server: made again when it meets a server leaving.
HRESULT CreatePort(IKelvPortEx** port) {
  return local_server::CreateInstance(CLSID_LumacrestPort, IID_IKelvPortEx, reinterpret_cast<void**>(port));
}

// Reads the panel identifier through the server; S_OK only with the full, right reply.
HRESULT ReadPanel(IKelvPort* port) {
  std::vector<BYTE> request = ReadFrame(0x5062, 1);
  BYTE reply[11] = {};
  unsigned long size = 11;
  const HRESULT hr = port->SendCommand(static_cast<unsigned long>(request.size()), request.data(), &size, reply);
  if (hr != S_OK) return FAILED(hr) ? hr : E_FAIL;
  return size == 11 && reply[9] == 7 ? S_OK : E_FAIL;
}

struct ComScope {
  ComScope() { hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED); }
  ~ComScope() {
    if (SUCCEEDED(hr)) CoUninitialize();
  }
  HRESULT hr;
};

// Children: each a client process of its own.
VORN_CHILD(SendWithoutOpen) {
  ComScope com;
  ComPtr<IKelvPortEx> port;
  HRESULT hr = CreatePort(&port);
  return static_cast<int>(FAILED(hr) ? hr : ReadPanel(port.Get()));
}

VORN_CHILD(OpenSendClose) {
  ComScope com;
  ComPtr<IKelvPortEx> port;
  RETURN_IF_FAILED(CreatePort(&port));
  RETURN_IF_FAILED(port->OpenPort(GetCurrentProcessId()));
  RETURN_IF_FAILED(ReadPanel(port.Get()));
  return static_cast<int>(port->ClosePort(GetCurrentProcessId()));
}

// Opens the port and lets its reference go, then waits to be killed: its open stays on the
// server's client list. (A reference held by a killed client is never released under Wine,
// which does not ping clients, and would keep the server alive.)
VORN_CHILD(OpenAndWait) {
  ComScope com;
  ComPtr<IKelvPortEx> port;
  RETURN_IF_FAILED(CreatePort(&port));
  RETURN_IF_FAILED(port->OpenPort(GetCurrentProcessId()));
  port.Reset();
  NamedEvent ready;
  if (args.empty() || FAILED(ready.Open(args[0].c_str()))) return 2;
  ready.Set();
  Sleep(30000);  // killed by the test long before
  return 0;
}

// Opens the port, says so, then sends requests until it is killed: the test kills it while the
// server waits on its behalf for a reply the board does not give.
VORN_CHILD(SendsUntilKilled) {
  ComScope com;
  ComPtr<IKelvPortEx> port;
  RETURN_IF_FAILED(CreatePort(&port));
  RETURN_IF_FAILED(port->OpenPort(GetCurrentProcessId()));
  NamedEvent ready;
  if (args.empty() || FAILED(ready.Open(args[0].c_str()))) return 2;
  ready.Set();
  const ULONGLONG end = GetTickCount64() + 30000;  // killed by the test long before
  while (GetTickCount64() < end) ReadPanel(port.Get());
  return 0;
}

// Makes, opens, reads through, closes and lets go of the port object again and again until it
// is killed: the test kills it wherever it is in those calls.
VORN_CHILD(ChurnsUntilKilled) {
  ComScope com;
  NamedEvent ready;
  if (args.empty() || FAILED(ready.Open(args[0].c_str()))) return 2;
  ready.Set();
  const ULONGLONG end = GetTickCount64() + 30000;  // killed by the test long before
  while (GetTickCount64() < end) {
    ComPtr<IKelvPortEx> port;
    if (FAILED(CreatePort(&port)) || FAILED(port->OpenPort(GetCurrentProcessId()))) continue;
    ReadPanel(port.Get());
    port->ClosePort(GetCurrentProcessId());
  }
  return 0;
}

class PortServer : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!BoardSim::Available()) return;
    registered_ = RunProgram(BinPath(L"VornPort.exe"), L"/RegServer") == 0;
  }
  static void TearDownTestSuite() {
    if (registered_) RunProgram(BinPath(L"VornPort.exe"), L"/UnregServer");
    registered_ = false;
    EXPECT_TRUE(port_testing::EndServers()) << "a port server did not leave when asked";
  }
  void SetUp() override {
    if (!BoardSim::Available()) GTEST_SKIP() << "no Wine session with the simulated board";
    ASSERT_TRUE(registered_) << "VornPort.exe /RegServer failed";
    ASSERT_EQ(board_.ResetAll(), S_OK);
    ASSERT_TRUE(SUCCEEDED(com_.hr));
  }

  static bool registered_;
  BoardSim board_;
  ComScope com_;
};
bool PortServer::registered_ = false;

// Whether two paths name one file, whatever form of the path each uses.
bool NamesSameFile(const std::wstring& a, const std::wstring& b) {
  wchar_t fullA[1024] = {}, fullB[1024] = {};
  return GetFullPathNameW(a.c_str(), 1024, fullA, nullptr) && GetFullPathNameW(b.c_str(), 1024, fullB, nullptr) &&
         _wcsicmp(fullA, fullB) == 0;
}

std::wstring ReadClassesValue(const std::wstring& key, const wchar_t* name) {
  wchar_t value[512] = {};
  DWORD size = sizeof(value);
  if (RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), name, RRF_RT_REG_SZ, nullptr, value, &size) != ERROR_SUCCESS)
    return L"<missing>";
  return value;
}

TEST_F(PortServer, RegistrationWritesAndRemovesItsKeys) {
  const std::wstring clsid = L"CLSID\\{D698A0B5-10FB-4C5A-9A18-EB665876631A}";
  EXPECT_NE(ReadClassesValue(clsid + L"\\LocalServer32", nullptr).find(L"VornPort.exe"), std::wstring::npos);
  EXPECT_EQ(ReadClassesValue(clsid, nullptr), L"LumacrestPort Class");
  EXPECT_EQ(ReadClassesValue(clsid, L"AppID"), L"{4D2B43B4-8965-45AF-8D42-2FA51FC1ECB9}");
  EXPECT_EQ(ReadClassesValue(L"AppID\\{4D2B43B4-8965-45AF-8D42-2FA51FC1ECB9}", nullptr), L"VornPort");
  EXPECT_EQ(ReadClassesValue(L"AppID\\VornPort.exe", L"AppID"), L"{4D2B43B4-8965-45AF-8D42-2FA51FC1ECB9}");
  EXPECT_EQ(ReadClassesValue(L"VornPort.LumacrestPort\\CurVer", nullptr), L"VornPort.LumacrestPort.1");
  EXPECT_EQ(ReadClassesValue(L"VornPort.LumacrestPort.1\\CLSID", nullptr), L"{D698A0B5-10FB-4C5A-9A18-EB665876631A}");
  EXPECT_NE(ReadClassesValue(L"Interface\\{80ADEB46-F8A4-4964-BE5A-0710D5EBB1FE}\\ProxyStubClsid32", nullptr), L"<missing>");
  ITypeLib* lib = nullptr;
  ASSERT_EQ(LoadRegTypeLib(LIBID_VornPortLib, 1, 0, LOCALE_NEUTRAL, &lib), S_OK);
  lib->Release();

  ASSERT_EQ(RunProgram(BinPath(L"VornPort.exe"), L"/UnregServer"), 0u);
  EXPECT_EQ(ReadClassesValue(clsid, nullptr), L"<missing>");
  EXPECT_EQ(ReadClassesValue(L"VornPort.LumacrestPort\\CurVer", nullptr), L"<missing>");
  EXPECT_EQ(ReadClassesValue(L"Interface\\{80ADEB46-F8A4-4964-BE5A-0710D5EBB1FE}\\ProxyStubClsid32", nullptr), L"<missing>");
  ComPtr<IKelvPortEx> port;
  EXPECT_EQ(CreatePort(&port), REGDB_E_CLASSNOTREG);
  registered_ = RunProgram(BinPath(L"VornPort.exe"), L"/RegServer") == 0;
  ASSERT_TRUE(registered_);
}

// The proxy/stub module's own registration entry points.
HRESULT CallProxyModule(const char* entry) {
  UniqueModule module(LoadLibraryW(BinPath(L"VornPortPS.dll").c_str()));
  if (!module) return HResultFromLastError();
  auto fn = GetProcAs<HRESULT(STDAPICALLTYPE*)()>(module.get(), entry);
  return fn ? fn() : HResultFromLastError();
}

// The proxies can be loaded: the interfaces name a proxy class whose factory comes up.
HRESULT ProxiesWork() {
  CLSID ps{};
  RETURN_IF_FAILED(CoGetPSClsid(IID_IKelvPortEx, &ps));
  ComPtr<IPSFactoryBuffer> factory;
  return CoGetClassObject(ps, CLSCTX_INPROC_SERVER, nullptr, IID_IPSFactoryBuffer,
                          reinterpret_cast<void**>(factory.GetAddressOf()));
}

// The server answers through its proxies: a call reaches the object (the port is closed).
HRESULT ServerWorks() {
  ComPtr<IKelvPortEx> port;
  RETURN_IF_FAILED(CreatePort(&port));
  ComPtr<IKelvPort> plain;
  RETURN_IF_FAILED(port->QueryInterface(IID_IKelvPort, reinterpret_cast<void**>(plain.GetAddressOf())));
  const HRESULT hr = plain->ResetPort();
  return hr == errors::kPortNotOpen ? S_OK : E_FAIL;
}

TEST_F(PortServer, ServerAndProxyModuleKeepEachOthersRegistration) {
  const HRESULT kUnregServerOk = S_OK;
  struct Case {
    bool proxyModuleFirst;
    bool unregisterServer;
  };
  for (const Case c : {Case{true, true}, Case{true, false}, Case{false, true}, Case{false, false}}) {
    SCOPED_TRACE(FormatA("proxy module first %d, server unregistered %d", c.proxyModuleFirst, c.unregisterServer));
    ASSERT_EQ(RunProgram(BinPath(L"VornPort.exe"), L"/UnregServer"), 0u);
    ASSERT_EQ(CallProxyModule("DllUnregisterServer"), S_OK);
    // A clean state unregisters as well.
    EXPECT_EQ(RunProgram(BinPath(L"VornPort.exe"), L"/UnregServer"), static_cast<DWORD>(kUnregServerOk));
    EXPECT_EQ(CallProxyModule("DllUnregisterServer"), S_OK);
    EXPECT_EQ(ReadClassesValue(L"Interface\\{80ADEB46-F8A4-4964-BE5A-0710D5EBB1FE}", nullptr), L"<missing>");
    EXPECT_EQ(ReadClassesValue(L"CLSID\\{80ADEB46-F8A4-4964-BE5A-0710D5EBB1FE}", nullptr), L"<missing>");

    const auto registerProxyModule = [] { return CallProxyModule("DllRegisterServer"); };
    const auto registerServer = [] { return static_cast<HRESULT>(RunProgram(BinPath(L"VornPort.exe"), L"/RegServer")); };
    ASSERT_EQ(c.proxyModuleFirst ? registerProxyModule() : registerServer(), S_OK);
    ASSERT_EQ(c.proxyModuleFirst ? registerServer() : registerProxyModule(), S_OK);

    if (c.unregisterServer) {
      ASSERT_EQ(RunProgram(BinPath(L"VornPort.exe"), L"/UnregServer"), 0u);
      EXPECT_EQ(ProxiesWork(), S_OK);
      EXPECT_EQ(ReadClassesValue(L"CLSID\\{D698A0B5-10FB-4C5A-9A18-EB665876631A}", nullptr), L"<missing>");
      ASSERT_EQ(CallProxyModule("DllUnregisterServer"), S_OK);
    } else {
      ASSERT_EQ(CallProxyModule("DllUnregisterServer"), S_OK);
      EXPECT_EQ(ProxiesWork(), S_OK);
      EXPECT_EQ(ServerWorks(), S_OK);
      ASSERT_EQ(RunProgram(BinPath(L"VornPort.exe"), L"/UnregServer"), 0u);
    }
    // The last one out takes every key with it.
    for (const wchar_t* key : {L"Interface\\{80ADEB46-F8A4-4964-BE5A-0710D5EBB1FE}",
                               L"Interface\\{855950FA-BEF8-480C-A660-0A33A24C551A}",
                               L"CLSID\\{80ADEB46-F8A4-4964-BE5A-0710D5EBB1FE}",
                               L"CLSID\\{D698A0B5-10FB-4C5A-9A18-EB665876631A}", L"AppID\\VornPort.exe"}) {
      EXPECT_EQ(ReadClassesValue(key, nullptr), L"<missing>") << std::string(key, key + wcslen(key));
    }
  }
  registered_ = RunProgram(BinPath(L"VornPort.exe"), L"/RegServer") == 0;
  ASSERT_TRUE(registered_);
}

TEST_F(PortServer, RegistrationQuotesTheServerAndNamesThePlainTypeLibraryPath) {
  const std::wstring command =
      ReadClassesValue(L"CLSID\\{D698A0B5-10FB-4C5A-9A18-EB665876631A}\\LocalServer32", nullptr);
  ASSERT_GE(command.size(), 2u);
  EXPECT_EQ(command.front(), L'"');
  EXPECT_EQ(command.back(), L'"');
  EXPECT_TRUE(NamesSameFile(command.substr(1, command.size() - 2), BinPath(L"VornPort.exe")));
  const std::wstring library = ReadClassesValue(L"TypeLib\\{B022D283-6740-4A62-B0BF-39B46B408D70}\\1.0\\0\\" +
                                                    std::wstring(sizeof(void*) == 8 ? L"win64" : L"win32"),
                                                nullptr);
  EXPECT_EQ(library.rfind(L"\\\\?\\", 0), std::wstring::npos) << std::string(library.begin(), library.end());
  EXPECT_TRUE(NamesSameFile(library, BinPath(L"VornPort.exe")));
}

// Sequential clients, each creating, calling and releasing: every activation reaches a live
// server, also the ones that come while a server is leaving.
TEST_F(PortServer, SequentialActivationsAllSucceed) {
  constexpr int kActivations = 500;
  // The activations run under a bound of their own: past ctest's time-out a hung call would
  // have the server killed with this program, and Wine would keep the dead server's class
  // registered, failing every later activation in the session.
  constexpr DWORD kBound = 300000;
  struct Run {  // shared with the thread, which a hung call keeps
    std::atomic<int> done{0}, failures{0};
    std::atomic<HRESULT> firstFailure{S_OK};
    UniqueHandle finished{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  };
  auto run = std::make_shared<Run>();
  ASSERT_TRUE(run->finished);
  std::thread([run] {
    ComScope com;
    for (int i = 0; i < kActivations; ++i, ++run->done) {
      const HRESULT hr = ServerWorks();
      if (hr != S_OK && run->failures++ == 0) run->firstFailure = hr;
    }
    SetEvent(run->finished.get());
  }).detach();
  ASSERT_EQ(WaitForSingleObject(run->finished.get(), kBound), WAIT_OBJECT_0)
      << FormatA("hung after %d activations", run->done.load());
  EXPECT_EQ(run->failures, 0) << FormatA("first failure 0x%08lX", static_cast<unsigned long>(run->firstFailure.load()));
}

TEST_F(PortServer, ClientProcessesShareOneObjectAndPort) {
  ComPtr<IKelvPortEx> port;
  ASSERT_EQ(CreatePort(&port), S_OK);
  const DWORD self = GetCurrentProcessId();
  ASSERT_EQ(port->OpenPort(self), S_OK);
  // Another process reaches the port this process opened: the same object behind both.
  EXPECT_EQ(static_cast<HRESULT>(testing_support::RunChild("SendWithoutOpen")), S_OK);
  // A second client's open and close leave this client's open in place.
  EXPECT_EQ(static_cast<HRESULT>(testing_support::RunChild("OpenSendClose")), S_OK);
  EXPECT_EQ(ReadPanel(port.Get()), S_OK);
  ASSERT_EQ(port->ClosePort(self), S_OK);
  EXPECT_EQ(ReadPanel(port.Get()), errors::kPortNotOpen);
  EXPECT_EQ(static_cast<HRESULT>(testing_support::RunChild("SendWithoutOpen")), errors::kPortNotOpen);
}

TEST_F(PortServer, FullSizeReplyAndPointerChecksThroughTheProxy) {
  std::string hex;
  for (int i = 0; i < 245; ++i) hex += FormatA("%02X", (i * 7 + 3) & 0xFF);
  ASSERT_EQ(board_.Command("poke 0x4000 " + hex), S_OK);
  ComPtr<IKelvPortEx> port;
  ASSERT_EQ(CreatePort(&port), S_OK);
  ASSERT_EQ(port->OpenPort(GetCurrentProcessId()), S_OK);
  std::vector<BYTE> request = ReadFrame(0x4000, 245);
  std::vector<BYTE> reply(255, 0xCC);
  unsigned long size = 255;
  ASSERT_EQ(port->SendCommand(static_cast<unsigned long>(request.size()), request.data(), &size, reply.data()), S_OK);
  ASSERT_EQ(size, 255u);
  std::vector<BYTE> body = {0x00, 0x80, 0x00, 0x00, 0x40, 0x00};
  for (int i = 0; i < 245; ++i) body.push_back(static_cast<BYTE>((i * 7 + 3) & 0xFF));
  EXPECT_EQ(reply, MakeFrame(body));

  EXPECT_EQ(port->SetState(0, nullptr), E_POINTER);
  KELVPORT_STATE state{};
  ASSERT_EQ(port->GetState(&state), S_OK);
  EXPECT_EQ(state.baudrate, 57600u);
  EXPECT_EQ(state.byteSize, 8);
  // More than a reply can be is refused by the stub before it makes room for the reply: the
  // server's peak memory does not grow by what was asked.
  std::vector<DWORD> servers = ServerProcesses();
  ASSERT_EQ(servers.size(), 1u);
  UniqueHandle server(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, servers[0]));
  ASSERT_TRUE(server);
  PROCESS_MEMORY_COUNTERS before{}, after{};
  ASSERT_TRUE(GetProcessMemoryInfo(server.get(), &before, sizeof(before)));
  constexpr unsigned long kHuge = 64u << 20;
  std::vector<BYTE> big(kHuge);  // room for what a stub that took the size would send back
  for (unsigned long asked : {4097ul, kHuge}) {
    size = asked;
    EXPECT_EQ(port->SendCommand(static_cast<unsigned long>(request.size()), request.data(), &size, big.data()),
              HRESULT_FROM_WIN32(RPC_X_INVALID_BOUND)) << asked;
  }
  ASSERT_TRUE(GetProcessMemoryInfo(server.get(), &after, sizeof(after)));
  EXPECT_LT(after.PeakWorkingSetSize - before.PeakWorkingSetSize, SIZE_T{kHuge / 2});
  EXPECT_LT(after.PeakPagefileUsage - before.PeakPagefileUsage, SIZE_T{kHuge / 2});
  // A silent board: a short reply, reported as such through the proxy.
  ASSERT_EQ(board_.Command("fault noreply count=1"), S_OK);
  size = 11;
  std::vector<BYTE> panel = ReadFrame(0x5062, 1);
  EXPECT_EQ(port->SendCommand(static_cast<unsigned long>(panel.size()), panel.data(), &size, reply.data()), S_FALSE);
  EXPECT_EQ(size, 0u);
  EXPECT_EQ(port->ClosePort(GetCurrentProcessId()), S_OK);
}

TEST_F(PortServer, KilledClientIsDroppedByTheWatchdog) {
  ComPtr<IKelvPortEx> port;
  ASSERT_EQ(CreatePort(&port), S_OK);
  const std::wstring name = testing_support::UniqueName(L"VornPortTestReady");
  NamedEvent ready;
  ASSERT_TRUE(SUCCEEDED(ready.Create(name.c_str())));
  ChildProcess child = ChildProcess::Start("OpenAndWait", {name});
  ASSERT_TRUE(child.valid());
  ASSERT_EQ(WaitForSingleObject(ready.handle(), 20000), WAIT_OBJECT_0);
  EXPECT_EQ(ReadPanel(port.Get()), S_OK) << "open through the child's record";
  ASSERT_TRUE(TerminateProcess(child.handle(), 1));
  const ULONGLONG killed = GetTickCount64();
  HRESULT hr = S_OK;
  while ((hr = ReadPanel(port.Get())) == S_OK && GetTickCount64() - killed < 4000) Sleep(50);
  EXPECT_EQ(hr, errors::kPortNotOpen);
  EXPECT_LT(GetTickCount64() - killed, 3000u);
  EXPECT_EQ(port.Reset(), 0u);
}

// Opens, reads through and closes the port as a new client, under a bound of its own (a hung
// call keeps the thread, not the test): the read's answer, E_PENDING when not served in time.
HRESULT NextClientWithin(DWORD boundMs) {
  struct Run {  // shared with the thread
    std::atomic<HRESULT> result{E_PENDING};
    UniqueHandle finished{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  };
  auto run = std::make_shared<Run>();
  if (!run->finished) return HResultFromLastError();
  std::thread([run] {
    ComScope com;
    run->result = [] {
      ComPtr<IKelvPortEx> port;
      RETURN_IF_FAILED(CreatePort(&port));
      RETURN_IF_FAILED(port->OpenPort(GetCurrentProcessId()));
      const HRESULT read = ReadPanel(port.Get());
      RETURN_IF_FAILED(port->ClosePort(GetCurrentProcessId()));
      return read;
    }();
    SetEvent(run->finished.get());
  }).detach();
  return WaitForSingleObject(run->finished.get(), boundMs) == WAIT_OBJECT_0 ? run->result.load() : E_PENDING;
}

// Starts `child` (a client of its own), waits until the board has seen `reads` read requests
// since its log was cleared, and kills it there.
testing::AssertionResult KilledAfterReads(const BoardSim& board, const char* child, size_t reads) {
  const std::wstring name = testing_support::UniqueName(L"VornPortTestReady");
  NamedEvent ready;
  if (FAILED(ready.Create(name.c_str()))) return testing::AssertionFailure() << "no ready event";
  ChildProcess process = ChildProcess::Start(child, {name});
  if (!process.valid()) return testing::AssertionFailure() << child << " did not start";
  if (WaitForSingleObject(ready.handle(), 20000) != WAIT_OBJECT_0) return testing::AssertionFailure() << child << " never opened";
  if (!board.WaitForFrames("RX", "read", reads, 10000))
    return testing::AssertionFailure() << child << "'s requests never reached the board";
  if (!TerminateProcess(process.handle(), 1) || WaitForSingleObject(process.handle(), 5000) != WAIT_OBJECT_0)
    return testing::AssertionFailure() << child << " could not be killed";
  return testing::AssertionSuccess();
}

// Waits (bounded) until the port is closed: every open of a killed client dropped.
HRESULT PortClosesWithin(DWORD boundMs) {
  ComPtr<IKelvPortEx> port;
  RETURN_IF_FAILED(CreatePort(&port));
  const ULONGLONG start = GetTickCount64();
  HRESULT hr = S_OK;
  while ((hr = ReadPanel(port.Get())) == S_OK && GetTickCount64() - start < boundMs) Sleep(50);
  return hr;
}

TEST_F(PortServer, AClientKilledInsideACallLeavesTheServerToTheNextClient) {
  // The board answers nothing: each send of the child waits out the port's read time-out in the
  // server.
  ASSERT_EQ(board_.Command("fault noreply op=read"), S_OK);
  ASSERT_TRUE(KilledAfterReads(board_, "SendsUntilKilled", 1));
  const ULONGLONG killed = GetTickCount64();
  ASSERT_EQ(board_.Command("clear-faults"), S_OK);

  // The next client: the rest of the child's read, then the server is free; the child's open
  // went with it, so with the next client's closed the port is closed.
  EXPECT_EQ(NextClientWithin(10000), S_OK) << "the next client was not served";
  EXPECT_EQ(PortClosesWithin(6000), errors::kPortNotOpen);
  EXPECT_LT(GetTickCount64() - killed, 12000u);
  // Under Wine the killed child's reference keeps this server for good.
  EXPECT_TRUE(port_testing::EndServers());
}

TEST_F(PortServer, ClientsKilledAnywhereInTheirCallsLeaveTheServerToTheNextClient) {
  // Each child is killed once the board has seen a few more requests: somewhere in its
  // activation, open, send, close or release.
  for (size_t frames : {1u, 2u, 4u, 7u, 11u}) {
    SCOPED_TRACE(FormatA("killed after %zu more requests", frames));
    ASSERT_EQ(board_.Command("clear-log"), S_OK);
    ASSERT_TRUE(KilledAfterReads(board_, "ChurnsUntilKilled", frames));
    EXPECT_EQ(NextClientWithin(10000), S_OK) << "the next client was not served";
  }
  EXPECT_EQ(PortClosesWithin(6000), errors::kPortNotOpen);
  // Under Wine a killed child's reference keeps this server for good.
  EXPECT_TRUE(port_testing::EndServers());
}

TEST_F(PortServer, ServerLeavesAfterItsLastObjectAndANewOneStarts) {
  // How long a server may take to leave once its linger is over: revoking, COM's shut-down and
  // the process's end, which a loaded machine stretches to seconds.
  constexpr DWORD kLeaveBound = 25000;
  // A server left by an earlier case ends first.
  ASSERT_TRUE(WaitForNoServer(timeouts::kServerLinger + kLeaveBound));
  ComPtr<IKelvPortEx> port;
  ASSERT_EQ(CreatePort(&port), S_OK);
  std::vector<DWORD> servers = ServerProcesses();
  ASSERT_EQ(servers.size(), 1u);
  UniqueHandle first(OpenProcess(SYNCHRONIZE, FALSE, servers[0]));
  ASSERT_TRUE(first);
  ASSERT_EQ(port.Reset(), 0u);
  // The server fell idle inside that Release call, so the stay measured from its return is at
  // most the server's own: a short stay is seen however slow the machine is. The stay's end is
  // waited for with room for the machine's load.
  const ULONGLONG released = GetTickCount64();
  ASSERT_EQ(WaitForSingleObject(first.get(), timeouts::kServerLinger + kLeaveBound), WAIT_OBJECT_0)
      << "the server stays";
  const ULONGLONG stayed = GetTickCount64() - released;
  EXPECT_GE(stayed, timeouts::kServerLinger - 1000);  // the tick count's granularity aside
  ASSERT_EQ(CreatePort(&port), S_OK);
  servers = ServerProcesses();
  ASSERT_EQ(servers.size(), 1u);
  EXPECT_NE(WaitForSingleObject(first.get(), 0), WAIT_TIMEOUT);
  EXPECT_EQ(ReadPanel(port.Get()), errors::kPortNotOpen) << "a new server starts with the port closed";
}

}  // namespace
