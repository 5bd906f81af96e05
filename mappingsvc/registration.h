// Registration of the class, its ProgIDs, the application identifier and the type library, and
// installation of the service. Every function returns S_OK or the first failure it met.
#pragma once

#include <windows.h>

namespace mappingsvc {

// "RegServer" (asService false): the registrations, with the AppID's "LocalService" removed.
// "Service" (asService true): the same with "LocalService" naming the service, which is
// installed when it is not yet.
HRESULT RegisterServer(bool asService);
// "UnregServer": stops and deletes the service, then removes every registration.
HRESULT UnregisterServer();

HRESULT InstallService();
// Stops the service (a failure to stop is only a warning) and deletes it; S_OK when it is not
// installed.
HRESULT UninstallService();

// True when the AppID has a "LocalService" value: the program then runs as that service.
bool AppIdNamesService();

}  // namespace mappingsvc
