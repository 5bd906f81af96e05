#include "portserver/port_manager.h"

#include "common/errors.h"
#include "common/hresult.h"

// --- ClientProcess ----------------------------------------------------------------------------

ClientProcess::ClientProcess(DWORD processId)
    // Limited query rights are granted for processes of a higher integrity too, which would
    // otherwise look dead and lose their opens every second. SYNCHRONIZE lets the watchdog ask
    // the process object itself whether it has ended.
    : processId_(processId),
      process_(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId)) {}

bool ClientProcess::IsAlive() const {
  // The process object, not the exit code: a process that ended with code 259 (STILL_ACTIVE)
  // would look alive for ever and keep the port open.
  return process_ && WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT;
}

// --- ClientList -------------------------------------------------------------------------------

size_t ClientList::Add(DWORD processId) {
  LockGuard guard(lock_, INFINITE);
  clients_.push_back(std::make_unique<ClientProcess>(processId));
  return clients_.size();
}

size_t ClientList::Remove(DWORD processId) {
  LockGuard guard(lock_, INFINITE);
  for (auto it = clients_.begin(); it != clients_.end(); ++it) {
    if ((*it)->processId() == processId) {
      clients_.erase(it);
      break;
    }
  }
  return clients_.size();
}

void ClientList::Clear() {
  LockGuard guard(lock_, INFINITE);
  clients_.clear();
}

size_t ClientList::Count() {
  LockGuard guard(lock_, INFINITE);
  return clients_.size();
}

size_t ClientList::CountOf(DWORD processId) {
  LockGuard guard(lock_, INFINITE);
  size_t n = 0;
  for (const auto& c : clients_) n += c->processId() == processId;
  return n;
}

void ClientList::CloseDeadClients(PortManager& manager) {
  LockGuard guard(lock_, INFINITE);
  for (;;) {
    const size_t before = clients_.size();
    for (size_t i = 0; i < clients_.size(); ++i) {
      if (!clients_[i]->IsAlive()) {
        // ClosePort removes a record of this process (and may close the port); the walk then
        // starts again because the list has changed under it.
        manager.ClosePort(clients_[i]->processId());
        break;
      }
    }
    if (clients_.size() == before) return;
  }
}

// --- PortLockHolder ---------------------------------------------------------------------------

DWORD PortLockHolder::Take(DWORD processId) {
  LockGuard guard(lock_, INFINITE);
  holder_.reset();
  DWORD tick = GetTickCount();
  while (tick == kKeyMask) tick = GetTickCount();  // the key would be 0, which means "no lock"
  key_ = tick ^ kKeyMask;
  holder_ = std::make_unique<ClientProcess>(processId);
  return key_;
}

void PortLockHolder::Release() {
  LockGuard guard(lock_, INFINITE);
  key_ = 0;
  holder_.reset();
}

bool PortLockHolder::Matches(DWORD key) {
  LockGuard guard(lock_, INFINITE);
  return key == key_;
}

bool PortLockHolder::Held() {
  LockGuard guard(lock_, INFINITE);
  return key_ != 0;
}

void PortLockHolder::CheckHolder(LockedPortManager& manager) {
  DWORD key = 0, pid = 0;
  {
    LockGuard guard(lock_, INFINITE);
    if (!holder_ || holder_->IsAlive()) return;
    key = key_;
    pid = holder_->processId();
  }
  manager.CloseLockedPort(key, pid);
}

// --- PortManager ------------------------------------------------------------------------------

PortManager::PortManager(std::unique_ptr<SerialPort> port) : port_(std::move(port)) {}

PortManager::~PortManager() {
  Stop();  // the watchdog calls into this object
  port_->Close();
}

bool PortManager::IsPortOpen() {
  LockGuard guard(lock_, INFINITE);
  return port_->IsOpen();
}

HRESULT PortManager::OpenPort(DWORD processId) {
  // Any identifier is taken: one whose process cannot be watched counts as ended, and the next
  // watchdog tick closes its open.
  LockGuard guard(lock_, INFINITE);
  if (!port_->IsOpen()) {
    // Records can be left only by a reset whose reopen failed: those clients still hold the
    // port, so they are kept and the port reopened for them.
    const HRESULT hr = port_->Open();
    if (FAILED(hr)) {
      port_->Close();
      return hr;
    }
  }
  clients_.Add(processId);
  return S_OK;
}

HRESULT PortManager::ClosePort(DWORD processId) {
  LockGuard guard(lock_, INFINITE);
  if (clients_.Remove(processId) == 0) {
    port_->Close();
    clients_.Clear();
  }
  return S_OK;
}

HRESULT PortManager::ResetPort() {
  LockGuard guard(lock_, INFINITE);
  if (!port_->IsOpen()) return errors::kPortNotOpen;
  port_->Close();
  // The port stays closed when the reopen fails, and the caller learns why.
  return port_->Open();
}

HRESULT PortManager::SendCommand(DWORD writeSize, const BYTE* write, DWORD* readSize, BYTE* read) {
  if (!write || !readSize || !read) return E_POINTER;
  if (*readSize > kMaxReadSize) return E_INVALIDARG;
  LockGuard guard(lock_, INFINITE);
  if (!port_->IsOpen()) return errors::kPortNotOpen;
  return port_->Transfer(writeSize, write, readSize, read);
}

void PortManager::Tick() {
  LockGuard guard(lock_, INFINITE);
  clients_.CloseDeadClients(*this);
}

// --- LockedPortManager ------------------------------------------------------------------------

LockedPortManager::~LockedPortManager() { Stop(); }

HRESULT LockedPortManager::OpenPort(DWORD processId) {
  LockGuard guard(lock_, INFINITE);
  if (holder_.Held()) return errors::kPortLocked;
  return PortManager::OpenPort(processId);
}

HRESULT LockedPortManager::ClosePort(DWORD processId) {
  LockGuard guard(lock_, INFINITE);
  if (holder_.Held()) return errors::kPortLocked;
  return PortManager::ClosePort(processId);
}

HRESULT LockedPortManager::ResetPort() {
  LockGuard guard(lock_, INFINITE);
  if (holder_.Held()) return errors::kPortLocked;
  return PortManager::ResetPort();
}

HRESULT LockedPortManager::SendCommand(DWORD writeSize, const BYTE* write, DWORD* readSize,
                                       BYTE* read) {
  LockGuard guard(lock_, INFINITE);
  if (holder_.Held()) return errors::kPortLocked;
  return PortManager::SendCommand(writeSize, write, readSize, read);
}

HRESULT LockedPortManager::OpenLockedPort(DWORD* key, DWORD processId) {
  if (!key) return E_POINTER;
  LockGuard guard(lock_, INFINITE);
  if (holder_.Held()) return errors::kPortLocked;
  if (port_->IsOpen()) return errors::kPortOpenWithoutLock;
  RETURN_IF_FAILED(PortManager::OpenPort(processId));
  *key = holder_.Take(processId);
  return S_OK;
}

HRESULT LockedPortManager::CloseLockedPort(DWORD key, DWORD processId) {
  LockGuard guard(lock_, INFINITE);
  if (!holder_.Matches(key)) return errors::kPortWrongKey;
  holder_.Release();
  return PortManager::ClosePort(processId);
}

HRESULT LockedPortManager::ResetLockedPort(DWORD key) {
  LockGuard guard(lock_, INFINITE);
  if (!holder_.Matches(key)) return errors::kPortWrongKey;
  return PortManager::ResetPort();
}

HRESULT LockedPortManager::SendCommandEx(DWORD key, DWORD writeSize, const BYTE* write,
                                         DWORD* readSize, BYTE* read) {
  if (!write || !readSize || !read) return E_POINTER;
  LockGuard guard(lock_, INFINITE);
  if (!holder_.Matches(key)) return errors::kPortWrongKey;
  return PortManager::SendCommand(writeSize, write, readSize, read);
}

HRESULT LockedPortManager::GetState(PortState* state) {
  if (!state) return E_POINTER;
  LockGuard guard(lock_, INFINITE);
  return port_->GetState(state);
}

HRESULT LockedPortManager::SetState(DWORD key, const PortState* state) {
  if (!state) return E_POINTER;
  LockGuard guard(lock_, INFINITE);
  if (!holder_.Held()) return errors::kPortNoLock;
  if (!holder_.Matches(key)) return errors::kPortWrongKey;
  // The driver judges the line state (a rate outside the name table may be one it runs at).
  return port_->SetState(*state);
}

HRESULT LockedPortManager::SetTimeout(DWORD key, DWORD timeoutMs) {
  LockGuard guard(lock_, INFINITE);
  if (!holder_.Held()) return errors::kPortNoLock;
  if (!holder_.Matches(key)) return errors::kPortWrongKey;
  return port_->SetTimeouts(timeoutMs);
}

void LockedPortManager::Tick() {
  LockGuard guard(lock_, INFINITE);
  holder_.CheckHolder(*this);
  clients_.CloseDeadClients(*this);
}
