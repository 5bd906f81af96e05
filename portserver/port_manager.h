// The port manager behind LumacrestPort: when the serial port opens and closes, which client
// processes hold it, the exclusive lock with its key, and the watchdog that gives the port up
// for clients whose process has ended.
//
// Lock order: manager lock, then the client list's lock, then the port's own lock. The lock
// holder's lock is taken alone, for one short step. All are critical sections (recursive): the
// dead-client walk holds the list lock while it calls ClosePort, which takes the manager lock
// and the list lock again on the same thread.
#pragma once

#include <windows.h>

#include <memory>
#include <vector>

#include "common/handles.h"
#include "common/locks.h"
#include "common/thread.h"
#include "portserver/serial_port.h"

class PortManager;

// A client process: its identifier and a handle opened for liveness queries (null when the
// process could not be opened, which then counts as ended).
class ClientProcess {
 public:
  explicit ClientProcess(DWORD processId);
  DWORD processId() const noexcept { return processId_; }
  bool IsAlive() const;

 private:
  DWORD processId_;
  UniqueHandle process_;
};

// One record per successful open call; duplicates are allowed.
class ClientList {
 public:
  // Appends a record; returns the number of records.
  size_t Add(DWORD processId);
  // Deletes the first record of that process (none when absent); returns the records left.
  size_t Remove(DWORD processId);
  void Clear();
  size_t Count();
  size_t CountOf(DWORD processId);
  // Closes the port for the first client whose process has ended, again and again, until a
  // whole walk removes nothing.
  void CloseDeadClients(PortManager& manager);

 private:
  CriticalSection lock_;
  std::vector<std::unique_ptr<ClientProcess>> clients_;
};

class LockedPortManager;

// The exclusive lock: a key (0 = no lock) and the holder's process.
class PortLockHolder {
 public:
  // Mixed into the tick count to make the key.
  static constexpr DWORD kKeyMask = 0x5A3CE196;

  // Replaces any previous holder and draws a new key, never 0.
  DWORD Take(DWORD processId);
  void Release();
  // With no lock held the stored key is 0, so the key 0 matches.
  bool Matches(DWORD key);
  bool Held();
  // A lock whose holder has ended is closed for it.
  void CheckHolder(LockedPortManager& manager);

 private:
  CriticalSection lock_;
  DWORD key_ = 0;
  std::unique_ptr<ClientProcess> holder_;
};

class PortManager : public PeriodicThread {
 public:
  // The manager owns the port; tests hand in a double.
  explicit PortManager(std::unique_ptr<SerialPort> port = std::make_unique<SerialPort>());
  ~PortManager() override;

  // A command that asks for more than kMaxReadSize bytes is refused with E_INVALIDARG.

  virtual HRESULT OpenPort(DWORD processId);
  virtual HRESULT ClosePort(DWORD processId);
  virtual HRESULT ResetPort();
  virtual HRESULT SendCommand(DWORD writeSize, const BYTE* write, DWORD* readSize, BYTE* read);

  bool IsPortOpen();
  size_t ClientCount() { return clients_.Count(); }
  size_t ClientCountOf(DWORD processId) { return clients_.CountOf(processId); }

 protected:
  void Tick() override;

  CriticalSection lock_;
  std::unique_ptr<SerialPort> port_;
  ClientList clients_;
};

class LockedPortManager : public PortManager {
 public:
  using PortManager::PortManager;
  ~LockedPortManager() override;

  HRESULT OpenPort(DWORD processId) override;
  HRESULT ClosePort(DWORD processId) override;
  HRESULT ResetPort() override;
  HRESULT SendCommand(DWORD writeSize, const BYTE* write, DWORD* readSize, BYTE* read) override;

  virtual HRESULT OpenLockedPort(DWORD* key, DWORD processId);
  virtual HRESULT CloseLockedPort(DWORD key, DWORD processId);
  virtual HRESULT ResetLockedPort(DWORD key);
  virtual HRESULT SendCommandEx(DWORD key, DWORD writeSize, const BYTE* write, DWORD* readSize,
                                BYTE* read);
  virtual HRESULT GetState(PortState* state);
  virtual HRESULT SetState(DWORD key, const PortState* state);
  virtual HRESULT SetTimeout(DWORD key, DWORD timeoutMs);

 protected:
  void Tick() override;

 private:
  PortLockHolder holder_;
};
