#include "common/local_server.h"

#include <objbase.h>

#include "common/hresult.h"

namespace local_server {

bool MetALeavingServer(HRESULT hr) noexcept {
  switch (hr) {
    case CO_E_SERVER_STOPPING:  // the class object refused: its server is stopping
    case E_FAIL:                // the class object found registered was revoked meanwhile
    case E_UNEXPECTED:
      return true;
    default:
      return ServerWentAway(hr);
  }
}

bool ServerWentAway(HRESULT hr) noexcept {
  switch (hr) {
    case CO_E_OBJNOTCONNECTED:
    case RPC_E_DISCONNECTED:  // the object (or class object) was revoked under the call
    case RPC_E_SERVER_DIED:
    case RPC_E_SERVER_DIED_DNE:
      return true;
    default:
      break;
  }
  // The server's process went away with its endpoint and interfaces.
  return hr == HResultFromWin32(RPC_S_SERVER_UNAVAILABLE) || hr == HResultFromWin32(RPC_S_CALL_FAILED) ||
         hr == HResultFromWin32(RPC_S_CALL_FAILED_DNE) || hr == HResultFromWin32(RPC_S_UNKNOWN_IF);
}

HRESULT Activate(const std::function<HRESULT()>& create, int attempts, DWORD pauseMs) {
  HRESULT hr = E_UNEXPECTED;
  for (int attempt = 0; attempt < attempts; ++attempt) {
    if (attempt > 0) Sleep(pauseMs);
    hr = create();
    if (!MetALeavingServer(hr)) break;
  }
  return hr;
}

HRESULT CreateInstance(REFCLSID clsid, REFIID iid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  return Activate([&] { return CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, iid, object); });
}

HeldStubs::~HeldStubs() {
  for (Microsoft::WRL::ComPtr<IStream>& stream : streams_) {
    const LARGE_INTEGER start{};
    if (SUCCEEDED(stream->Seek(start, STREAM_SEEK_SET, nullptr))) CoReleaseMarshalData(stream.Get());
  }
}

void HeldStubs::Hold(REFIID iid, IUnknown* object) {
  Microsoft::WRL::ComPtr<IStream> stream;
  if (!object || FAILED(CreateStreamOnHGlobal(nullptr, TRUE, stream.GetAddressOf()))) return;
  if (SUCCEEDED(CoMarshalInterface(stream.Get(), iid, object, MSHCTX_LOCAL, nullptr, MSHLFLAGS_TABLESTRONG)))
    streams_.push_back(std::move(stream));
}

}  // namespace local_server
