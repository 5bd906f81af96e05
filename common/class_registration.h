// The HKEY_CLASSES_ROOT entries of a COM class served by a local server: its class key, its two
// ProgIDs and its application identifier. The servers write them with their own failure rules
// (stop at the first, or go on and keep the first), so this gives the list and the single write.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// A GUID as registry keys name it: "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}".
std::wstring GuidKeyName(REFGUID guid);

struct LocalServerClass {
  std::wstring clsid;                     // braced GUID text
  std::wstring className;                 // default value of the class key and the ProgIDs
  std::wstring appId;                     // braced GUID text
  std::wstring appName;                   // default value of AppID\<appId>
  std::wstring exeName;                   // AppID\<exe>: its "AppID" names appId
  std::wstring command;                   // LocalServer32, quoted as the server wants it
  std::wstring progId;                    // "Lib.Class.1"
  std::wstring versionIndependentProgId;  // "Lib.Class"
  std::wstring typeLib;                   // braced GUID text of the type library
};

// One REG_SZ value under HKEY_CLASSES_ROOT (`name` null: the key's default value).
struct ClassesRootValue {
  std::wstring key;
  const wchar_t* name;
  std::wstring data;
};

// Every value of the class, in the order they are written: the class key (name, AppID,
// LocalServer32, ProgID, VersionIndependentProgID, TypeLib), the versioned ProgID (name,
// CLSID), the version-independent ProgID (name, CLSID, CurVer), AppID\<appId> and AppID\<exe>.
std::vector<ClassesRootValue> LocalServerValues(const LocalServerClass& c);

// The keys that hold those values, in the order a removal deletes them (each with its subkeys):
// CLSID\<clsid>, the two ProgIDs, AppID\<appId>, AppID\<exe>. A key whose own name is empty is
// left out (its path would name a whole branch).
std::vector<std::wstring> LocalServerKeys(const LocalServerClass& c);

// Writes one value, creating its key.
HRESULT SetClassesRootValue(const ClassesRootValue& value);
