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

#include <functional>

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

}  // namespace local_server
