// The device pipe server: each device-manager object serves a named pipe through which other
// processes send it requests and read its answers. A server thread accepts clients; each client
// gets a connection thread that reads a request (up to 4096 bytes), hands it to the owner's
// handler and writes the answer back.
//
// Connection threads belong to the server: StopServer ends the listening thread and every open
// connection (idle clients are disconnected) and waits for them, so that no handler runs once
// StopServer has returned. Handlers may run on several connection threads at once; they guard
// the owner's state themselves.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/handles.h"
#include "common/locks.h"
#include "common/timeouts.h"

class DeviceIdentity;

class NamedPipe {
 public:
  static constexpr DWORD kBufferSize = 4096;            // request and answer, per connection
  static constexpr std::size_t kNameCapacity = 260;     // characters, terminator excluded
  static constexpr DWORD kDefaultClientTimeout = 10000;  // the pipe's default wait for clients

  // Called on a connection thread for each request. `answerSize` comes in as 0 and receives the
  // number of answer bytes written to `answer` (0: nothing is sent and the client may send its
  // next request); `answerCapacity` is the answer buffer's size, and a larger size is cut to it.
  // `pipe` is the instance, opened for overlapped I/O; handlers answer through `answer` rather
  // than write to it. A handler that throws ends its connection.
  using Handler = void (*)(void* context, HANDLE pipe, DWORD requestSize, const BYTE* request,
                           DWORD* answerSize, BYTE* answer, DWORD answerCapacity);

  NamedPipe();
  NamedPipe(const NamedPipe&) = delete;
  NamedPipe& operator=(const NamedPipe&) = delete;
  // Stops the server (see StopServer).
  ~NamedPipe();

  // Starts serving `name` and returns once the first pipe instance waits for a client.
  // E_FAIL when a server thread exists already (also one that ended on its own: StopServer
  // first); E_INVALIDARG for a null name or handler; ERROR_FILENAME_EXCED_RANGE for a name
  // longer than 260 characters; the server's failure (for example when the pipe instance cannot
  // be created) as an HRESULT, and then nothing runs.
  HRESULT StartServer(void* context, const wchar_t* name, Handler handler);
  // Serves the device pipe of an object (see DevicePipeName). E_INVALIDARG for an empty identity.
  HRESULT StartDeviceServer(void* context, const DeviceIdentity& identity, DWORD processId,
                            const void* objectAddress, Handler handler, int index);
  // Stops the server thread and every connection, waiting up to the stop time-out for each kind
  // (the threads that do not end are terminated, the last resort). No-op without a server.
  // Called from a handler, it waits for everything but its own connection, which ends when the
  // handler returns. Always S_OK.
  HRESULT StopServer();

  // "\\.\pipe\PID<pid>_PTR<address>_<f1>_..._<f6>_<index>": the process identifier in decimal,
  // the low 32 bits of the object's address in hexadecimal, identity fields 1 to 6 and the
  // instance number. Empty for an empty identity.
  static std::wstring DevicePipeName(const DeviceIdentity& identity, DWORD processId,
                                     const void* objectAddress, int index);

  bool IsRunning() const;
  const wchar_t* name() const noexcept { return name_.c_str(); }
  // The wait for the server thread and for the connections (timeouts::kWorkerStop unless a test
  // shortens it).
  void SetStopTimeout(DWORD ms) noexcept { stopTimeout_ = ms; }

 private:
  struct Connection;

  // Both threads start through StartModuleThread (common/thread_start.h).
  static DWORD ServerEntry(void* self);
  static DWORD ConnectionEntry(void* connection);
  void Serve();
  void StartConnection(UniqueFileHandle pipe);
  void ReapEndedConnections();
  void JoinConnections();

  // Lock order: control_ only; the threads never take it.
  CriticalSection control_;  // StartServer / StopServer
  Handler handler_ = nullptr;
  void* context_ = nullptr;
  std::wstring name_;
  UniqueHandle stop_;       // stop request of the current run (connections hold duplicates)
  UniqueHandle stopped_;    // the server thread has ended or failed
  UniqueHandle listening_;  // the server thread waits for a client
  UniqueHandle serverThread_;
  HRESULT serverResult_ = S_OK;  // why the server failed; read once its thread has ended
  DWORD stopTimeout_ = timeouts::kWorkerStop;
  // Belongs to the server thread while it runs, and to StopServer once it has ended.
  std::vector<std::unique_ptr<Connection>> connections_;
};
