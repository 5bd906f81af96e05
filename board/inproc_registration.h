// The HKEY_CLASSES_ROOT entries of an in-process COM class of the board modules (class key,
// AppID, both ProgIDs, the type library in the module's resources) and their removal.
#pragma once

#include <windows.h>

#include <string>

namespace board {

struct InprocClass {
  CLSID clsid;
  GUID typeLib;
  const wchar_t* appId;      // braced GUID text
  const wchar_t* appName;    // default value of AppID\<appId>
  const wchar_t* progId;     // "Lib.Class.1"
  const wchar_t* currentProgId;
  const wchar_t* className;
};

// Writes the entries for this module (ThreadingModel "Both") and registers its type library.
HRESULT RegisterInprocClass(const InprocClass& c);
// Deletes each key while it names this class and module (the class key by its InprocServer32,
// the ProgIDs by their CLSID, the AppID by its name) and unregisters the type library; the
// first failure is kept, and nothing left to remove is S_OK.
HRESULT UnregisterInprocClass(const InprocClass& c);

}  // namespace board
