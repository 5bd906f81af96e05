// Registration of COM classes under HKEY_CLASSES_ROOT, shared by every module of the system:
// the values of a local server's class, ProgIDs and application identifier, and the one writer
// and remover of keys. A key is removed only while it names the module being unregistered:
// two modules that register the same key (a class served by either, proxies registered by a
// server and by their own module) never take each other's registration away.
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

// The LocalServer32 command of a server program: the path in quotes, so that a path with
// blanks can never start another program.
std::wstring LocalServerCommand(const std::wstring& serverPath);

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
// Writes every value in order; stops at the first failure.
HRESULT SetClassesRootValues(const std::vector<ClassesRootValue>& values);

// The REG_SZ (or REG_EXPAND_SZ) value `name` of HKCR\<key>; empty when the key or the value is
// missing or of another type.
std::wstring ReadClassesRootValue(const std::wstring& key, const wchar_t* name);
bool ClassesRootKeyExists(const std::wstring& key);

// Whether a registered value names `owner`: the same text without regard to case, surrounding
// quotes of a command line ignored.
bool NamesOwner(const std::wstring& value, const std::wstring& owner);

// Who a key belongs to: the value `name` of HKCR\<key>\<namingSubkey> (the key itself when the
// subkey is empty) names its owner, for example a class key's InprocServer32 or a ProgID's
// CLSID.
struct OwnedKey {
  std::wstring key;
  std::wstring namingSubkey;
  const wchar_t* name;  // null: the default value
};

// Removes HKCR\<key> with its subkeys unless its naming value names someone other than
// `owner`. A missing key, or one whose naming value is missing or empty, is no one else's and
// goes. Nothing to remove is S_OK, and so is a key that stays for its other owner.
HRESULT DeleteOwnedKey(const OwnedKey& key, const std::wstring& owner);
// Removes HKCR\<key> with its subkeys; a missing key is S_OK.
HRESULT DeleteClassesRootKey(const std::wstring& key);
// Removes `path` under `root` and then each parent of it, up to `levels` of them, while the
// parent holds neither values nor subkeys (a category key that only held our instances). A
// missing key is S_OK.
HRESULT DeleteKeyAndEmptyParents(HKEY root, const std::wstring& path, int levels);

// Removes what a local server's registration wrote, each key only while it names the class:
// the class key while its LocalServer32 is `c.command`, the ProgIDs while their CLSID is the
// class, AppID\<exe> while its "AppID" is `c.appId`, AppID\<appId> while its name is
// `c.appName`. Keeps going after a failure and returns the first.
HRESULT DeleteLocalServer(const LocalServerClass& c);

// A marshalling proxy/stub class and the interfaces it serves: CLSID\<class> with its
// InprocServer32 (the module, threading model "Both"), and Interface\<iid> with the name, the
// method count and ProxyStubClsid32 naming the class.
struct ProxyInterface {
  IID iid;
  std::wstring name;
  unsigned long methods;
};
// The interfaces of a proxy list read one by index (`at` gives the IID, the narrow name and the
// method count, FALSE past the end), as a module's proxy files list them.
using ProxyInterfaceAt = BOOL (*)(unsigned index, IID* iid, const char** name, unsigned long* methods);
std::vector<ProxyInterface> ProxyInterfaces(unsigned count, ProxyInterfaceAt at);
HRESULT RegisterProxyStub(REFCLSID proxyClass, const std::wstring& modulePath,
                          const std::vector<ProxyInterface>& interfaces);
// Removes that registration while the proxy class's InprocServer32 names `modulePath` (another
// module serving the same proxies keeps it), each interface key only while it names the class.
HRESULT UnregisterProxyStub(REFCLSID proxyClass, const std::wstring& modulePath,
                            const std::vector<ProxyInterface>& interfaces);

// A registration that several registrants make (a proxy/stub module registered on its own and by
// the server that uses it): each marks itself with a value `registrant` on HKCR\<key>, and the
// registration goes only with the last mark. RemoveRegistrant answers S_OK when no other mark is
// left (the caller then removes the registration) and S_FALSE while another registrant holds it.
HRESULT AddRegistrant(const std::wstring& key, const std::wstring& registrant);
HRESULT RemoveRegistrant(const std::wstring& key, const std::wstring& registrant);

// Registers the type library that is resource 1 of the module at `path` under the plain path
// (never a "\\?\" form).
HRESULT RegisterModuleTypeLib(const std::wstring& path);
// Unregisters a type library version while its registration for this platform names
// `modulePath` (or names no file); a library that is not registered, or that another copy of
// the module registered since, is S_OK and stays.
HRESULT UnregisterModuleTypeLib(REFGUID libId, WORD major, WORD minor, const std::wstring& modulePath);
// The same for the module this code is linked into.
HRESULT UnregisterModuleTypeLib(REFGUID libId, WORD major, WORD minor);

// Keeps the first failure of a sequence of steps that all run.
inline void KeepFirstFailure(HRESULT& first, HRESULT hr) {
  if (SUCCEEDED(first) && FAILED(hr)) first = hr;
}
