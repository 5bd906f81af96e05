// Running MappingSvc.exe: as the Windows service (through the service control dispatcher) or as
// a plain local server started by COM. Both host the class object of CZarnMMFSupport over the
// process's one MappingRegistry.
#pragma once

#include <windows.h>

namespace mappingsvc {

class MappingRegistry;

// Runs the service until the service control manager stops it. The kept mappings are released
// before the stopped state is reported.
HRESULT RunService(MappingRegistry& registry);

// Runs as a plain local server: revokes its class object when no object or server lock has been
// alive for a short linger time since the last release (a client that comes back at once finds
// it running), or when no client arrived within the linger time after start; then serves what
// the activations under way still create and leaves once that has been idle a moment too.
HRESULT RunLocalServer(MappingRegistry& registry, DWORD lingerMs);

}  // namespace mappingsvc
