// Registration of the serial port server: the class, its ProgIDs, the application identifier,
// the type library (a resource of the server) and the proxy/stub module beside the server.
#pragma once

#include <windows.h>

namespace port_registration {

constexpr wchar_t kProgId[] = L"VornPort.LumacrestPort.1";
constexpr wchar_t kVersionIndependentProgId[] = L"VornPort.LumacrestPort";
constexpr wchar_t kClassName[] = L"LumacrestPort Class";
constexpr wchar_t kAppName[] = L"VornPort";
constexpr wchar_t kProxyModule[] = L"VornPortPS.dll";
// {4D2B43B4-8965-45AF-8D42-2FA51FC1ECB9}
constexpr GUID kAppId = {0x4d2b43b4, 0x8965, 0x45af, {0x8d, 0x42, 0x2f, 0xa5, 0x1f, 0xc1, 0xec, 0xb9}};

// `server` is the full path of the server program.
HRESULT Register(const wchar_t* server);
// Removes what Register wrote; keys that are already gone are no failure.
HRESULT Unregister(const wchar_t* server);

}  // namespace port_registration
