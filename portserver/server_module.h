// Lifetime of the serial port server process: a count of live objects and server locks, kept
// with COM's own server-process count (CoAddRefServerProcess/CoReleaseServerProcess: reaching
// zero suspends the class objects, so that a new activation starts a new server), and the
// message loop that ends once the count has stayed at zero for the linger time.
#pragma once

#include <windows.h>

class ServerModule {
 public:
  static ServerModule& Instance();

  void Lock();
  void Unlock();
  LONG count() const;

  // Runs the calling thread's message loop until the count has been zero for lingerMs (counted
  // from the start too, so a server that nobody uses does not stay). Returns when it is time to
  // revoke the class objects and leave; from then on the server is stopping.
  void Run(DWORD lingerMs);
  // True once Run has let go: a client that still holds a class object may call it until the
  // process has left, and it must not get a new object (which would outlive the server's state).
  bool stopping() const;

 private:
  volatile LONG count_ = 0;
  volatile LONGLONG idleSince_ = 0;  // GetTickCount64 when the count last fell to zero
  volatile DWORD loopThread_ = 0;
  volatile LONG stopping_ = 0;
};
