// Lockable objects shared by every module: an in-process critical section, a named mutex that
// serialises processes, a scoped guard over either, and a named manual-reset event.
// Named objects are created with open security so that other users and services can open them.
#pragma once

#include <windows.h>

#include <cstddef>

#include "common/handles.h"

// What a wait on a lock object gave. An abandoned mutex is owned by the caller all the same.
enum class LockResult { Acquired, Abandoned, TimedOut, Failed };
constexpr bool Owns(LockResult r) noexcept {
  return r == LockResult::Acquired || r == LockResult::Abandoned;
}

class SyncObject {
 public:
  SyncObject() = default;
  SyncObject(const SyncObject&) = delete;
  SyncObject& operator=(const SyncObject&) = delete;
  virtual ~SyncObject() = default;

  virtual BOOL Create() { return TRUE; }
  // Closes the handle; TRUE when CloseHandle succeeded.
  virtual BOOL Close();
  BOOL IsValid() const noexcept { return handle_.valid(); }
  // TRUE only when the lock was taken cleanly (a time-out or an abandoned mutex gives FALSE).
  virtual BOOL Lock(DWORD timeoutMs) = 0;
  virtual BOOL Unlock() = 0;
  // The wait's outcome told apart; the default maps Lock's answer.
  virtual LockResult Acquire(DWORD timeoutMs) {
    return Lock(timeoutMs) ? LockResult::Acquired : LockResult::Failed;
  }
  HANDLE handle() const noexcept { return handle_.get(); }

 protected:
  UniqueHandle handle_;
};

class CriticalSection final : public SyncObject {
 public:
  CriticalSection() { InitializeCriticalSection(&section_); }
  ~CriticalSection() override { DeleteCriticalSection(&section_); }
  // The time-out is ignored: entering always succeeds.
  BOOL Lock(DWORD) override {
    EnterCriticalSection(&section_);
    return TRUE;
  }
  BOOL Unlock() override {
    LeaveCriticalSection(&section_);
    return TRUE;
  }

 private:
  CRITICAL_SECTION section_;
};

// Scoped holder of any lock object. The owner goes on whether or not the wait succeeded (a
// time-out means "proceed anyway", as the callers of this system expect); the destructor
// releases only what the guard really owns. A time-out of INFINITE (-1) waits without limit.
class LockGuard {
 public:
  LockGuard(SyncObject& object, DWORD timeoutMs, bool lockNow = true) : object_(object) {
    if (lockNow) result_ = object_.Acquire(timeoutMs);
  }
  LockGuard(const LockGuard&) = delete;
  LockGuard& operator=(const LockGuard&) = delete;
  ~LockGuard() {
    if (Owns(result_)) object_.Unlock();
  }
  bool owns() const noexcept { return Owns(result_); }
  LockResult result() const noexcept { return result_; }

 private:
  SyncObject& object_;
  LockResult result_ = LockResult::Failed;
};

// A kernel mutex, usually named. Names are kept in a fixed buffer; a name that does not fit is
// refused (never truncated: two devices' objects would alias).
class NamedMutex final : public SyncObject {
 public:
  static constexpr std::size_t kNameCapacity = 260;  // characters, terminator included

  NamedMutex() = default;
  explicit NamedMutex(const wchar_t* name) { SetName(name); }
  ~NamedMutex() override { Close(); }

  // Stores the name (null clears it); false when the name is too long (no name is kept).
  bool SetName(const wchar_t* name);
  const wchar_t* name() const noexcept { return name_; }

  // Stores the name and creates or opens the mutex.
  BOOL Open(const wchar_t* name) {
    SetName(name);
    return Create();
  }
  // Opens the named mutex, or creates it (not owned, NULL DACL). Nothing without a name or with
  // a handle held. TRUE exactly when a handle is held afterwards.
  BOOL Create() override;
  // An unnamed kernel mutex (the device managers' device locks). TRUE when a handle is held.
  BOOL CreateUnnamed();
  // Exclusive use across processes, atomically: creates the named mutex and keeps it when it
  // did not exist. S_OK: created and held; S_FALSE: it existed already (nothing kept);
  // a failure HRESULT otherwise.
  HRESULT CreateExclusive();
  // Probe: TRUE when a mutex of the stored name exists now. Never creates one.
  BOOL AlreadyExists() const;

  BOOL Lock(DWORD timeoutMs) override { return Acquire(timeoutMs) == LockResult::Acquired; }
  LockResult Acquire(DWORD timeoutMs) override;
  BOOL Unlock() override;
  // Releases (when owned) and closes the handle.
  BOOL Close() override;

 private:
  wchar_t buffer_[kNameCapacity] = {};
  const wchar_t* name_ = nullptr;
};

// A manual-reset event (named or not) with a NULL DACL.
class NamedEvent {
 public:
  NamedEvent() = default;
  NamedEvent(const NamedEvent&) = delete;
  NamedEvent& operator=(const NamedEvent&) = delete;
  ~NamedEvent() { Close(); }

  // Creates or opens the event (manual reset). S_OK when created, S_FALSE when it existed.
  HRESULT Create(const wchar_t* name, bool initialState = false);
  // Opens an existing event for waiting and setting.
  HRESULT Open(const wchar_t* name);
  void Close();

  BOOL Set() const { return handle_ ? SetEvent(handle_.get()) : FALSE; }
  BOOL Reset() const { return handle_ ? ResetEvent(handle_.get()) : FALSE; }
  bool IsSet() const { return handle_ && WaitForSingleObject(handle_.get(), 0) == WAIT_OBJECT_0; }
  HANDLE handle() const noexcept { return handle_.get(); }

 private:
  UniqueHandle handle_;
};
