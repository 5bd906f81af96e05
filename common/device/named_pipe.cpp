#include "common/device/named_pipe.h"

#include "common/device/device_identity.h"
#include "common/format.h"
#include "common/hresult.h"
#include "common/security.h"
#include "common/thread_start.h"

// One client's connection. The record carries everything its thread needs (copies of the
// handler and context, its own duplicate of the run's stop event), so that it never touches the
// NamedPipe object.
struct NamedPipe::Connection {
  Handler handler = nullptr;
  void* context = nullptr;
  UniqueHandle stop;     // duplicate of the run's stop request
  UniqueHandle ioEvent;  // completion of the overlapped read or write
  UniqueFileHandle pipe;
  UniqueHandle thread;
  // Set by StopServer called from this connection's own handler: the list has let the record
  // go and the thread frees it when it ends.
  bool detached = false;

  void Serve();
  // One overlapped read or write that gives up when the stop request comes. True with the
  // bytes moved; false on failure or stop.
  bool Transfer(bool write, BYTE* buffer, DWORD size, DWORD* moved);
  bool StopRequested() const { return WaitForSingleObject(stop.get(), 0) == WAIT_OBJECT_0; }
};

namespace {

bool IsSignalled(HANDLE event) { return WaitForSingleObject(event, 0) == WAIT_OBJECT_0; }

HANDLE NewManualEvent() { return CreateEventW(nullptr, TRUE, FALSE, nullptr); }

HANDLE DuplicateForThisProcess(HANDLE h) {
  HANDLE copy = nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), h, GetCurrentProcess(), &copy, 0, FALSE,
                       DUPLICATE_SAME_ACCESS)) {
    return nullptr;
  }
  return copy;
}

// Waits for an overlapped operation of `file` to complete or for `stop`. On stop (or a failed
// wait) the operation is cancelled and its completion collected, so the OVERLAPPED and the
// buffer may go away. True when the operation completed successfully.
bool CompleteOrCancel(HANDLE file, OVERLAPPED* overlapped, HANDLE stop, DWORD* moved) {
  HANDLE waits[2] = {overlapped->hEvent, stop};
  const DWORD wait = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
  DWORD n = 0;
  if (wait != WAIT_OBJECT_0) {
    CancelIo(file);
    GetOverlappedResult(file, overlapped, &n, TRUE);
    return false;
  }
  if (!GetOverlappedResult(file, overlapped, &n, FALSE)) return false;
  if (moved) *moved = n;
  return true;
}

}  // namespace

NamedPipe::NamedPipe()
    : stopped_(NewManualEvent()), listening_(NewManualEvent()) {}

NamedPipe::~NamedPipe() { StopServer(); }

std::wstring NamedPipe::DevicePipeName(const DeviceIdentity& identity, DWORD processId,
                                       const void* objectAddress, int index) {
  if (identity.IsEmpty()) return {};
  // The address goes into the name as 32 bits, whatever the pointer size.
  return FormatW(L"\\\\.\\pipe\\PID%lu_PTR%x_%ls_%ls_%ls_%ls_%ls_%ls_%d",
                 static_cast<unsigned long>(processId),
                 static_cast<unsigned>(reinterpret_cast<uintptr_t>(objectAddress)),
                 identity.GetField1(), identity.GetField2(), identity.GetField3(),
                 identity.GetField4(), identity.GetField5(), identity.GetField6(), index);
}

HRESULT NamedPipe::StartDeviceServer(void* context, const DeviceIdentity& identity,
                                     DWORD processId, const void* objectAddress,
                                     Handler handler, int index) {
  if (identity.IsEmpty()) return E_INVALIDARG;
  return GuardHr(E_FAIL, [&] {
    const std::wstring name = DevicePipeName(identity, processId, objectAddress, index);
    return StartServer(context, name.c_str(), handler);
  });
}

bool NamedPipe::IsRunning() const {
  return serverThread_ && WaitForSingleObject(serverThread_.get(), 0) == WAIT_TIMEOUT;
}

HRESULT NamedPipe::StartServer(void* context, const wchar_t* name, Handler handler) {
  LockGuard guard(control_, INFINITE);
  if (serverThread_) return E_FAIL;
  if (!name || !handler) return E_INVALIDARG;
  if (wcsnlen(name, kNameCapacity + 1) > kNameCapacity) {
    return HResultFromWin32(ERROR_FILENAME_EXCED_RANGE);
  }
  if (!stopped_) stopped_.reset(NewManualEvent());
  if (!listening_) listening_.reset(NewManualEvent());
  // A new stop event per run: connections of an earlier run still hold theirs.
  stop_.reset(NewManualEvent());
  if (!stopped_ || !listening_ || !stop_) return HResultFromLastError();
  ResetEvent(stopped_.get());
  ResetEvent(listening_.get());

  const HRESULT stored = GuardHr(E_OUTOFMEMORY, [&] { name_ = name; });
  if (FAILED(stored)) return stored;
  handler_ = handler;
  context_ = context;
  serverResult_ = S_OK;

  RETURN_IF_FAILED(StartModuleThread(&NamedPipe::ServerEntry, this, serverThread_));

  HANDLE waits[3] = {listening_.get(), stopped_.get(), serverThread_.get()};
  if (WaitForMultipleObjects(3, waits, FALSE, INFINITE) == WAIT_OBJECT_0) return S_OK;

  // The server could not start: collect the thread so that a new start may follow.
  WaitForSingleObject(serverThread_.get(), INFINITE);
  serverThread_.reset();
  JoinConnections();
  const HRESULT result = serverResult_;
  return FAILED(result) ? result : E_FAIL;
}

HRESULT NamedPipe::StopServer() {
  LockGuard guard(control_, INFINITE);
  if (!serverThread_) return S_OK;
  // The server waits on the stop request together with its pending connect, so no client
  // connection is needed to wake it.
  SetEvent(stop_.get());
  if (WaitForSingleObject(serverThread_.get(), stopTimeout_) != WAIT_OBJECT_0) {
    TerminateThread(serverThread_.get(), static_cast<DWORD>(-1));
  }
  serverThread_.reset();
  JoinConnections();
  return S_OK;
}

DWORD NamedPipe::ServerEntry(void* self) {
  auto* pipe = static_cast<NamedPipe*>(self);
  GuardNoThrow([pipe] { pipe->Serve(); });
  SetEvent(pipe->stopped_.get());
  return 0;
}

void NamedPipe::Serve() {
  const HANDLE stop = stop_.get();
  OpenSecurity security = OpenSecurity::Everyone(OpenSecurity::kPipeAllAccess);
  SECURITY_ATTRIBUTES* attributes = security.get();
  if (!attributes) {
    serverResult_ = HResultFromLastError();
    return;
  }
  if (IsSignalled(stop)) return;
  UniqueHandle connectEvent(NewManualEvent());
  if (!connectEvent) {
    serverResult_ = HResultFromLastError();
    return;
  }

  for (;;) {
    UniqueFileHandle pipe(CreateNamedPipeW(
        name_.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, PIPE_UNLIMITED_INSTANCES, kBufferSize,
        kBufferSize, kDefaultClientTimeout, attributes));
    if (!pipe) {
      serverResult_ = HResultFromLastError();
      return;
    }

    OVERLAPPED overlapped{};
    overlapped.hEvent = connectEvent.get();
    ResetEvent(connectEvent.get());
    SetEvent(listening_.get());
    bool connected = false;
    if (ConnectNamedPipe(pipe.get(), &overlapped)) {
      connected = true;
    } else {
      switch (GetLastError()) {
        case ERROR_PIPE_CONNECTED:  // the client came between create and connect
          connected = true;
          break;
        case ERROR_IO_PENDING:
          connected = CompleteOrCancel(pipe.get(), &overlapped, stop, nullptr);
          break;
        default:
          break;
      }
    }
    ResetEvent(listening_.get());

    if (IsSignalled(stop)) return;  // a client that came at this moment is dropped
    if (connected) {
      ReapEndedConnections();
      StartConnection(std::move(pipe));
    } else {
      pipe.reset();
      Sleep(10);
    }
    if (IsSignalled(stop)) return;
  }
}

void NamedPipe::StartConnection(UniqueFileHandle pipe) {
  // Any failure here drops the client (its instance is closed) and the server goes on.
  GuardNoThrow([&] {
    auto connection = std::make_unique<Connection>();
    connection->handler = handler_;
    connection->context = context_;
    connection->stop.reset(DuplicateForThisProcess(stop_.get()));
    connection->ioEvent.reset(NewManualEvent());
    if (!connection->stop || !connection->ioEvent) return;
    connection->pipe = std::move(pipe);
    connections_.reserve(connections_.size() + 1);  // the push below cannot fail
    if (FAILED(StartModuleThread(&NamedPipe::ConnectionEntry, connection.get(), connection->thread))) {
      return;
    }
    connections_.push_back(std::move(connection));
  });
}

void NamedPipe::ReapEndedConnections() {
  for (auto it = connections_.begin(); it != connections_.end();) {
    if (WaitForSingleObject((*it)->thread.get(), 0) == WAIT_OBJECT_0) {
      it = connections_.erase(it);
    } else {
      ++it;
    }
  }
}

void NamedPipe::JoinConnections() {
  // Each connection thread sees the stop request in its pending read or write, cancels it and
  // disconnects; one inside the handler ends when the handler returns.
  const ULONGLONG deadline = GetTickCount64() + stopTimeout_;
  const DWORD self = GetCurrentThreadId();
  for (auto& connection : connections_) {
    const HANDLE thread = connection->thread.get();
    if (GetThreadId(thread) == self) {
      // StopServer from this connection's own handler: it cannot wait for itself.
      connection->detached = true;
      connection.release();
      continue;
    }
    const ULONGLONG now = GetTickCount64();
    const DWORD left = now < deadline ? static_cast<DWORD>(deadline - now) : 0;
    if (WaitForSingleObject(thread, left) != WAIT_OBJECT_0) {
      TerminateThread(thread, static_cast<DWORD>(-1));
      WaitForSingleObject(thread, INFINITE);  // termination completes promptly
      connection->pipe.reset();
    }
  }
  connections_.clear();
}

DWORD NamedPipe::ConnectionEntry(void* param) {
  auto* connection = static_cast<Connection*>(param);
  GuardNoThrow([connection] { connection->Serve(); });
  DisconnectNamedPipe(connection->pipe.get());
  connection->pipe.reset();
  if (connection->detached) delete connection;
  return 0;
}

bool NamedPipe::Connection::Transfer(bool write, BYTE* buffer, DWORD size, DWORD* moved) {
  OVERLAPPED overlapped{};
  overlapped.hEvent = ioEvent.get();
  ResetEvent(ioEvent.get());
  const BOOL done = write ? WriteFile(pipe.get(), buffer, size, nullptr, &overlapped)
                          : ReadFile(pipe.get(), buffer, size, nullptr, &overlapped);
  if (!done && GetLastError() != ERROR_IO_PENDING) return false;
  return CompleteOrCancel(pipe.get(), &overlapped, stop.get(), moved);
}

void NamedPipe::Connection::Serve() {
  BYTE request[kBufferSize];
  BYTE answer[kBufferSize];
  for (;;) {
    DWORD requestSize = 0;
    if (!Transfer(false, request, kBufferSize, &requestSize) || requestSize == 0) return;
    if (StopRequested()) return;

    DWORD answerSize = 0;
    bool handled = false;
    GuardNoThrow([&] {
      handler(context, pipe.get(), requestSize, request, &answerSize, answer, kBufferSize);
      handled = true;
    });
    if (!handled || StopRequested()) return;
    if (answerSize > kBufferSize) answerSize = kBufferSize;
    if (answerSize == 0) continue;  // no answer: the client may send its next request

    DWORD written = 0;
    if (!Transfer(true, answer, answerSize, &written) || written != answerSize) return;
  }
}
