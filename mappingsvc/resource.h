// Resource identifiers of MappingSvc.exe.
#pragma once

#define IDR_TYPELIB 1        // the type library (resource type "TYPELIB")
#define IDS_SERVICENAME 101  // the service's name and display name
