// Activation of a class that a local server (a program of its own that leaves once idle)
// serves.
//
// An activation can meet the server on its way out: between the class lookup and the creation
// the server revoked its class object, or ended. Windows' activation then starts a new server
// by itself. Wine's answers the failure instead: CO_E_SERVER_STOPPING from the class object,
// E_FAIL (or E_UNEXPECTED) when the class object it found registered has been revoked by the
// time it asks for it, or an RPC error from a server that has gone (the call failed, the
// interface or the server is no longer there, the object was disconnected). Such an activation
// is made again, a few times with a short pause between, which starts a new server. One that
// fails so for another reason fails the same way again, a few milliseconds later.
#pragma once

#include <windows.h>
#include <objidl.h>
#include <wrl/client.h>

#include <functional>
#include <vector>

namespace local_server {

// Attempts in all, and the pause before each further one (short: a new server is started by
// the attempt itself).
constexpr int kActivationAttempts = 4;
constexpr DWORD kActivationRetryPauseMs = 50;

// Whether a failed activation met a server that was leaving (or had gone).
bool MetALeavingServer(HRESULT hr) noexcept;
// Whether a failed call on an object of a local server met a server that had gone (the call
// or the connection failed, the object was disconnected). E_FAIL and E_UNEXPECTED are the
// object's own answers here: only an activation reads them as a class object revoked under it.
bool ServerWentAway(HRESULT hr) noexcept;

// Calls `create` until it answers anything but a leaving server, at most `attempts` times:
// its last answer.
HRESULT Activate(const std::function<HRESULT()>& create, int attempts = kActivationAttempts,
                 DWORD pauseMs = kActivationRetryPauseMs);

// CoCreateInstance of a local server's class, made again as above.
HRESULT CreateInstance(REFCLSID clsid, REFIID iid, void** object);

// The server's side: stubs of the served interfaces, held from the class object's registration
// to the end. Wine removes an interface's RPC registration with the interface's last stub in the
// process and waits there for the interface's calls to end; that wait can miss the end of the
// call that has just answered (a close, or a creation, followed at once by the client's last
// release) and then hangs the release, and the client waiting for it, for ever. Held stubs keep
// the registrations, so no release waits. Best effort: an interface that cannot be held is
// served all the same.
class HeldStubs {
 public:
  HeldStubs() = default;
  HeldStubs(const HeldStubs&) = delete;
  HeldStubs& operator=(const HeldStubs&) = delete;
  ~HeldStubs();

  // Marshals `iid` of `object` (which outlives the hold) into a table of its own.
  void Hold(REFIID iid, IUnknown* object);

 private:
  std::vector<Microsoft::WRL::ComPtr<IStream>> streams_;
};

}  // namespace local_server
