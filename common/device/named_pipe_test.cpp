#include "common/device/named_pipe.h"

#include <gtest/gtest.h>
#include <process.h>

#include <atomic>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "common/device/device_identity.h"
#include "common/format.h"
#include "common/hresult.h"
#include "common/testing/child.h"

using testing_support::ChildProcess;
using testing_support::UniqueName;

namespace {

constexpr DWORD kWait = 10000;  // bound of every wait in these tests

std::wstring PipeName() { return UniqueName(L"\\\\.\\pipe\\vorn_test_"); }

// The test double behind the pipe: records every call and answers by the request's first byte:
//   'E' echo, 'B' claims a 10000-byte answer, 'W' waits for `release` then answers "done",
//   'H' hangs until released, 'T' throws, 'S' stops the pipe from inside; anything else: none.
struct Recorder {
  CriticalSection lock;
  std::vector<std::vector<BYTE>> requests;
  std::vector<DWORD> capacities;
  std::set<DWORD> threads;
  UniqueHandle called{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
  UniqueHandle release{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  std::atomic<int> inside{0};
  std::atomic<int> maxInside{0};
  std::atomic<bool> waitReturned{false};
  NamedPipe* pipe = nullptr;

  size_t count() {
    LockGuard guard(lock, INFINITE);
    return requests.size();
  }
  // Waits until `n` calls were recorded.
  bool WaitForCalls(size_t n) {
    const ULONGLONG deadline = GetTickCount64() + kWait;
    while (count() < n) {
      const ULONGLONG now = GetTickCount64();
      if (now >= deadline) return false;
      WaitForSingleObject(called.get(), static_cast<DWORD>(deadline - now));
    }
    return true;
  }

  static void Handle(void* context, HANDLE, DWORD size, const BYTE* request, DWORD* answerSize,
                     BYTE* answer, DWORD capacity) {
    auto* self = static_cast<Recorder*>(context);
    const int now = ++self->inside;
    for (int seen = self->maxInside; now > seen && !self->maxInside.compare_exchange_weak(seen, now);) {
    }
    {
      LockGuard guard(self->lock, INFINITE);
      self->requests.emplace_back(request, request + size);
      self->capacities.push_back(capacity);
      self->threads.insert(GetCurrentThreadId());
    }
    SetEvent(self->called.get());
    switch (request[0]) {
      case 'E':
        std::memcpy(answer, request, size);
        *answerSize = size;
        break;
      case 'B':
        std::memset(answer, 'b', capacity);
        *answerSize = 10000;
        break;
      case 'W':
        WaitForSingleObject(self->release.get(), kWait);
        std::memcpy(answer, "done", 4);
        *answerSize = 4;
        self->waitReturned = true;
        break;
      case 'H':
        WaitForSingleObject(self->release.get(), kWait);
        break;
      case 'T':
        --self->inside;
        throw HResultError(E_FAIL);
      case 'S':
        self->pipe->StopServer();
        break;
      default:
        break;
    }
    --self->inside;
  }
};

// A pipe client whose every operation is bounded.
class Client {
 public:
  bool Open(const std::wstring& name) {
    const ULONGLONG deadline = GetTickCount64() + kWait;
    for (;;) {
      pipe_.reset(CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
      if (pipe_) return true;
      const DWORD error = GetLastError();
      if ((error != ERROR_PIPE_BUSY && error != ERROR_FILE_NOT_FOUND) ||
          GetTickCount64() >= deadline) {
        return false;
      }
      if (error == ERROR_PIPE_BUSY) WaitNamedPipeW(name.c_str(), 100);
      else Sleep(10);
    }
  }
  bool Write(const void* data, DWORD size) {
    DWORD n = 0;
    return Io(true, const_cast<void*>(data), size, &n, kWait) && n == size;
  }
  bool Write(const std::string& text) { return Write(text.data(), static_cast<DWORD>(text.size())); }
  // Reads exactly `size` bytes; false on failure, end of pipe or time-out.
  bool Read(void* data, DWORD size, DWORD timeoutMs = kWait) {
    auto* p = static_cast<BYTE*>(data);
    while (size) {
      DWORD n = 0;
      if (!Io(false, p, size, &n, timeoutMs) || n == 0) return false;
      p += n;
      size -= n;
    }
    return true;
  }
  std::string ReadText(DWORD size) {
    std::string text(size, '\0');
    return Read(text.data(), size) ? text : std::string("<no answer>");
  }
  // Why the last read or write failed (WAIT_TIMEOUT: it timed out).
  DWORD LastError() const { return lastError_; }
  DWORD Available() {
    DWORD available = 0;
    return PeekNamedPipe(pipe_.get(), nullptr, 0, nullptr, &available, nullptr) ? available : 0;
  }
  void Close() { pipe_.reset(); }

 private:
  bool Io(bool write, void* data, DWORD size, DWORD* moved, DWORD timeoutMs) {
    OVERLAPPED ov{};
    UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    ov.hEvent = event.get();
    const BOOL done = write ? WriteFile(pipe_.get(), data, size, nullptr, &ov)
                            : ReadFile(pipe_.get(), data, size, nullptr, &ov);
    lastError_ = done ? ERROR_SUCCESS : GetLastError();
    if (!done && lastError_ != ERROR_IO_PENDING) return false;
    if (WaitForSingleObject(event.get(), timeoutMs) != WAIT_OBJECT_0) {
      CancelIo(pipe_.get());
      GetOverlappedResult(pipe_.get(), &ov, moved, TRUE);
      lastError_ = WAIT_TIMEOUT;
      return false;
    }
    if (GetOverlappedResult(pipe_.get(), &ov, moved, FALSE)) return true;
    lastError_ = GetLastError();
    return false;
  }
  UniqueFileHandle pipe_;
  DWORD lastError_ = ERROR_SUCCESS;
};

DWORD MillisecondsOf(NamedPipe& pipe) {
  const ULONGLONG start = GetTickCount64();
  EXPECT_EQ(pipe.StopServer(), S_OK);
  return static_cast<DWORD>(GetTickCount64() - start);
}

// A started server with a recorder of its own on a new name and, when asked, a client
// connected to it. Taken apart in a test as
//   ServedPipe served; ASSERT_NO_FATAL_FAILURE(served.Start(...)); auto& [recorder, pipe, name, client] = served;
struct ServedPipe {
  Recorder recorder;
  NamedPipe pipe;
  std::wstring name = PipeName();
  Client client;
  // `stopTimeout` 0 keeps the pipe's own.
  void Start(DWORD stopTimeout = 0, bool connect = true) {
    if (stopTimeout) pipe.SetStopTimeout(stopTimeout);
    ASSERT_EQ(pipe.StartServer(&recorder, name.c_str(), &Recorder::Handle), S_OK);
    if (connect) {
      ASSERT_TRUE(client.Open(name));
    }
  }
};

}  // namespace

TEST(NamedPipe, RequestsArriveInPiecesOfAtMost4096Bytes) {
  ServedPipe served;
  ASSERT_NO_FATAL_FAILURE(served.Start());
  auto& [recorder, pipe, name, client] = served;
  std::vector<BYTE> sent(4096 + 6000);
  for (size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<BYTE>(0x80 + i % 127);
  ASSERT_TRUE(client.Write(sent.data(), 4096));
  ASSERT_TRUE(recorder.WaitForCalls(1));
  ASSERT_TRUE(client.Write(sent.data() + 4096, 6000));
  ASSERT_TRUE(recorder.WaitForCalls(3));
  LockGuard guard(recorder.lock, INFINITE);
  ASSERT_EQ(recorder.requests.size(), 3u);
  EXPECT_EQ(recorder.requests[0].size(), 4096u);
  EXPECT_EQ(recorder.requests[1].size(), 4096u);
  EXPECT_EQ(recorder.requests[2].size(), 1904u);
  std::vector<BYTE> received;
  for (const auto& r : recorder.requests) received.insert(received.end(), r.begin(), r.end());
  EXPECT_TRUE(received == sent);
}

TEST(NamedPipe, AnswersAreSentWhenGivenAndCutToTheBuffer) {
  ServedPipe served;
  ASSERT_NO_FATAL_FAILURE(served.Start());
  auto& [recorder, pipe, name, client] = served;

  // No answer: nothing arrives, and the next request is served.
  ASSERT_TRUE(client.Write("N1"));
  ASSERT_TRUE(recorder.WaitForCalls(1));
  EXPECT_EQ(client.Available(), 0u);
  ASSERT_TRUE(client.Write("Echo"));
  EXPECT_EQ(client.ReadText(4), "Echo");

  // A handler that claims more than the buffer holds sends exactly the buffer.
  ASSERT_TRUE(client.Write("B"));
  std::vector<char> big(4096);
  ASSERT_TRUE(client.Read(big.data(), 4096));
  EXPECT_EQ(std::string(big.begin(), big.end()), std::string(4096, 'b'));
  ASSERT_TRUE(client.Write("Eafter"));
  EXPECT_EQ(client.ReadText(6), "Eafter");  // nothing stray before the next answer
  LockGuard guard(recorder.lock, INFINITE);
  for (DWORD capacity : recorder.capacities) EXPECT_EQ(capacity, NamedPipe::kBufferSize);
}

TEST(NamedPipe, AThrowingHandlerEndsOnlyItsConnection) {
  ServedPipe served;
  ASSERT_NO_FATAL_FAILURE(served.Start(0, false));
  auto& [recorder, pipe, name, client] = served;
  Client failing, other;
  ASSERT_TRUE(failing.Open(name));
  ASSERT_TRUE(other.Open(name));
  ASSERT_TRUE(failing.Write("T"));
  char c = 0;
  EXPECT_FALSE(failing.Read(&c, 1));  // the pipe is closed, not left waiting
  ASSERT_TRUE(other.Write("Eok"));
  EXPECT_EQ(other.ReadText(3), "Eok");
}

TEST(NamedPipe, StartChecksItsArgumentsAndRefusesASecondStart) {
  Recorder recorder;
  NamedPipe pipe;
  const std::wstring name = PipeName();
  EXPECT_EQ(pipe.StartServer(&recorder, nullptr, &Recorder::Handle), E_INVALIDARG);
  EXPECT_EQ(pipe.StartServer(&recorder, name.c_str(), nullptr), E_INVALIDARG);
  const std::wstring tooLong = L"\\\\.\\pipe\\" + std::wstring(260, L'x');
  EXPECT_EQ(pipe.StartServer(&recorder, tooLong.c_str(), &Recorder::Handle),
            HResultFromWin32(ERROR_FILENAME_EXCED_RANGE));
  EXPECT_EQ(pipe.StartDeviceServer(&recorder, DeviceIdentity(), 1, &pipe, &Recorder::Handle, 0),
            E_INVALIDARG);

  // A name the system refuses: the failure is reported, and nothing is left running.
  const HRESULT bad = pipe.StartServer(&recorder, L"Z:\\not a pipe", &Recorder::Handle);
  EXPECT_TRUE(FAILED(bad)) << std::hex << bad;
  EXPECT_FALSE(pipe.IsRunning());

  ASSERT_EQ(pipe.StartServer(&recorder, name.c_str(), &Recorder::Handle), S_OK);
  EXPECT_TRUE(pipe.IsRunning());
  EXPECT_EQ(pipe.StartServer(&recorder, name.c_str(), &Recorder::Handle), E_FAIL);
  EXPECT_EQ(pipe.StartServer(&recorder, PipeName().c_str(), &Recorder::Handle), E_FAIL);
  EXPECT_STREQ(pipe.name(), name.c_str());
}

TEST(NamedPipe, StopsPromptlyAndStartsAgainOnTheSameObject) {
  Recorder recorder;
  NamedPipe pipe;
  pipe.SetStopTimeout(20000);
  const std::wstring name = PipeName();
  EXPECT_EQ(pipe.StopServer(), S_OK);  // nothing to stop
  for (int run = 0; run < 3; ++run) {
    ASSERT_EQ(pipe.StartServer(&recorder, name.c_str(), &Recorder::Handle), S_OK) << run;
    Client client;
    ASSERT_TRUE(client.Open(name));
    ASSERT_TRUE(client.Write("Erun"));
    EXPECT_EQ(client.ReadText(4), "Erun");
    client.Close();
    EXPECT_LT(MillisecondsOf(pipe), 1000u) << "run " << run;
    EXPECT_FALSE(pipe.IsRunning());
    // Every instance is closed: the name is gone.
    HANDLE late = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(late, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    if (late != INVALID_HANDLE_VALUE) CloseHandle(late);
  }
  // With no client ever connected.
  ASSERT_EQ(pipe.StartServer(&recorder, name.c_str(), &Recorder::Handle), S_OK);
  EXPECT_LT(MillisecondsOf(pipe), 1000u);
}

TEST(NamedPipe, StoppingDisconnectsIdleClientsAndNoHandlerRunsAfterwards) {
  Recorder recorder;
  NamedPipe pipe;
  pipe.SetStopTimeout(20000);
  const std::wstring name = PipeName();
  ASSERT_EQ(pipe.StartServer(&recorder, name.c_str(), &Recorder::Handle), S_OK);
  Client idle;
  ASSERT_TRUE(idle.Open(name));
  ASSERT_TRUE(idle.Write("Ehi"));
  ASSERT_EQ(idle.ReadText(3), "Ehi");
  EXPECT_LT(MillisecondsOf(pipe), 1000u);
  const size_t calls = recorder.count();
  idle.Write("Eagain");  // may fail already; either way nobody handles it
  char c = 0;
  EXPECT_FALSE(idle.Read(&c, 1, kWait));
  // The server end is gone (not merely silent), so no handler can ever get these bytes.
  const DWORD error = idle.LastError();
  EXPECT_TRUE(error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED) << error;
  EXPECT_EQ(recorder.count(), calls);
}

TEST(NamedPipe, StopWaitsForARunningHandlerAndSendsNoAnswerAfterIt) {
  ServedPipe served;
  ASSERT_NO_FATAL_FAILURE(served.Start(20000));
  auto& [recorder, pipe, name, client] = served;
  ASSERT_TRUE(client.Write("W"));
  ASSERT_TRUE(recorder.WaitForCalls(1));

  struct Stopper {
    NamedPipe* pipe;
    Recorder* recorder;
    bool handlerDoneWhenStopped = false;
    static unsigned __stdcall Run(void* p) {
      auto* self = static_cast<Stopper*>(p);
      self->pipe->StopServer();
      self->handlerDoneWhenStopped = self->recorder->waitReturned;
      return 0;
    }
  } stopper{&pipe, &recorder};
  UniqueHandle thread(reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, &Stopper::Run, &stopper, 0, nullptr)));
  ASSERT_TRUE(thread);
  EXPECT_EQ(WaitForSingleObject(thread.get(), 200), static_cast<DWORD>(WAIT_TIMEOUT));
  SetEvent(recorder.release.get());
  ASSERT_EQ(WaitForSingleObject(thread.get(), kWait), WAIT_OBJECT_0);
  EXPECT_TRUE(stopper.handlerDoneWhenStopped);
  char answer[4];
  EXPECT_FALSE(client.Read(answer, 4, 500));
}

TEST(NamedPipe, AHandlerThatNeverReturnsIsEndedAfterTheStopTimeout) {
  ServedPipe served;
  ASSERT_NO_FATAL_FAILURE(served.Start(300));
  auto& [recorder, pipe, name, client] = served;
  ASSERT_TRUE(client.Write("H"));
  ASSERT_TRUE(recorder.WaitForCalls(1));
  const DWORD ms = MillisecondsOf(pipe);
  EXPECT_GE(ms, 250u);
  EXPECT_LT(ms, 5000u);
  char c = 0;
  EXPECT_FALSE(client.Read(&c, 1, 1000));  // its instance was closed
}

TEST(NamedPipe, ServesTwoClientsAtOnce) {
  ServedPipe served;
  ASSERT_NO_FATAL_FAILURE(served.Start(0, false));
  auto& [recorder, pipe, name, client] = served;
  Client first, second;
  ASSERT_TRUE(first.Open(name));
  ASSERT_TRUE(second.Open(name));
  ASSERT_TRUE(first.Write("W"));
  ASSERT_TRUE(second.Write("W"));
  ASSERT_TRUE(recorder.WaitForCalls(2));  // both handlers entered before either was released
  EXPECT_EQ(recorder.maxInside.load(), 2);
  SetEvent(recorder.release.get());
  EXPECT_EQ(first.ReadText(4), "done");
  EXPECT_EQ(second.ReadText(4), "done");
  LockGuard guard(recorder.lock, INFINITE);
  EXPECT_EQ(recorder.threads.size(), 2u);
}

TEST(NamedPipe, StopFromInsideTheHandlerEndsTheServer) {
  Recorder recorder;
  NamedPipe pipe;
  pipe.SetStopTimeout(20000);
  recorder.pipe = &pipe;
  const std::wstring name = PipeName();
  ASSERT_EQ(pipe.StartServer(&recorder, name.c_str(), &Recorder::Handle), S_OK);
  Client other, stopping;
  ASSERT_TRUE(other.Open(name));
  ASSERT_TRUE(stopping.Open(name));
  ASSERT_TRUE(stopping.Write("S"));
  char c = 0;
  EXPECT_FALSE(stopping.Read(&c, 1));  // its connection ends after the handler
  EXPECT_FALSE(pipe.IsRunning());
  EXPECT_FALSE(other.Read(&c, 1, 500));  // the other client was disconnected
  ASSERT_EQ(pipe.StartServer(&recorder, name.c_str(), &Recorder::Handle), S_OK);
  Client again;
  ASSERT_TRUE(again.Open(name));
  ASSERT_TRUE(again.Write("Eback"));
  EXPECT_EQ(again.ReadText(5), "Eback");
}

// Builds the device pipe name from its parts as a client process would, and echoes once.
VORN_CHILD(DevicePipeClient) {
  const std::wstring name = L"\\\\.\\pipe\\PID" + args.at(0) + L"_PTR" + args.at(1) +
                            L"_dev_5678_ven_1234_subsys_00011234_subsys_00011234_rev_01_3&abc&0&48_7";
  Client client;
  if (!client.Open(name)) return 2;
  if (!client.Write("Eping")) return 3;
  return client.ReadText(5) == "Eping" ? 0 : 4;
}

TEST(NamedPipe, AClientProcessReachesTheDevicePipeByItsName) {
  Recorder recorder;
  NamedPipe pipe;
  const DeviceIdentity identity(
      L"\\\\?\\pci#ven_1234&dev_5678&subsys_00011234&rev_01#3&abc&0&48#"
      L"{65e8773d-8f56-11d0-a3b9-00a0c9223196}\\global");
  const int owner = 0;
  const DWORD pid = GetCurrentProcessId();
  ASSERT_EQ(pipe.StartDeviceServer(&recorder, identity, pid, &owner, &Recorder::Handle, 7), S_OK);
  const std::wstring address = FormatW(L"%x", static_cast<unsigned>(reinterpret_cast<uintptr_t>(&owner)));
  EXPECT_EQ(std::wstring(pipe.name()),
            NamedPipe::DevicePipeName(identity, pid, &owner, 7));
  ChildProcess child = ChildProcess::Start("DevicePipeClient", {std::to_wstring(pid), address});
  ASSERT_TRUE(child.valid());
  EXPECT_EQ(child.Wait(30000), 0u);
  EXPECT_EQ(recorder.count(), 1u);
}
