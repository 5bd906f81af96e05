// The module side of a filter DLL: the table of creatable classes that each module defines,
// its class factory, the entry points DllGetClassObject and DllCanUnloadNow (exported through
// the module's .def file), and the registration helpers its DllRegisterServer and
// DllUnregisterServer call.
//
// A module defines its class table and then writes the entry-point macro below it:
//   const CFactoryTemplate g_Templates[] = { {L"Name", &CLSID_X, &X::CreateInstance, nullptr, &sudX}, ... };
//   VORN_FILTER_MODULE_ENTRY_POINTS()   // g_cTemplates, DllMain, DllRegisterServer, DllUnregisterServer
// or, with registration of its own, VORN_FILTER_MODULE_DLLMAIN() and its own two registration
// functions. A DllMain of its own calls DllEntryPoint(instance, reason, reserved) after any work.
#pragma once

#include <vector>

#include "common/dshow.h"
#include "filters/base/unknown.h"

// --- Filter setup data, written to the filter mapper on registration --------------------------
struct AMOVIESETUP_MEDIATYPE {
  const CLSID* clsMajorType;
  const CLSID* clsMinorType;  // &MEDIASUBTYPE_NULL: any subtype
};

struct AMOVIESETUP_PIN {
  const wchar_t* strName;
  BOOL bRendered;
  BOOL bOutput;
  BOOL bZero;
  BOOL bMany;
  const CLSID* clsConnectsToFilter;
  const wchar_t* strConnectsToPin;
  UINT nMediaTypes;
  const AMOVIESETUP_MEDIATYPE* lpMediaType;
};

struct AMOVIESETUP_FILTER {
  const CLSID* clsID;
  const wchar_t* strName;
  DWORD dwMerit;
  UINT nPins;
  const AMOVIESETUP_PIN* lpPin;
};

// --- The class table -------------------------------------------------------------------------
using LPFNNewCOMObject = CUnknown* (*)(IUnknown* outer, HRESULT* phr);
// Called with TRUE when the module is loaded and FALSE when it is unloaded.
using LPFNInitRoutine = void (*)(BOOL loading, const CLSID* clsid);

struct CFactoryTemplate {
  const wchar_t* m_Name;
  const CLSID* m_ClsID;
  LPFNNewCOMObject m_lpfnNew;
  LPFNInitRoutine m_lpfnInit;
  const AMOVIESETUP_FILTER* m_pAMovieSetup_Filter;  // null: not a filter (a page, a helper)

  bool IsClassID(REFCLSID clsid) const { return IsEqualCLSID(*m_ClsID, clsid) != FALSE; }
};

extern const CFactoryTemplate g_Templates[];
extern const int g_cTemplates;

// The module's instance handle (valid from load on, whether or not DllEntryPoint ran).
HINSTANCE ModuleInstance() noexcept;

// Records the module handle and runs the table's init routines on process attach and detach.
BOOL WINAPI DllEntryPoint(HINSTANCE instance, DWORD reason, LPVOID reserved);

// Server locks taken through IClassFactory::LockServer, for DllCanUnloadNow.
long ServerLockCount() noexcept;

// Registers (TRUE) or unregisters (FALSE) every class of the table: the class key (named after
// the table's entry) with its in-process server and threading model "Both", and, for filters,
// the mapper entry in the legacy filter category with the setup record's name, merit and pins. Unregistration deletes a class key only while its server path names
// this module: a class (a shared property page) registered again by another module stays.
HRESULT AMovieDllRegisterServer2(BOOL bRegister);

// The same for one entry (used by AMovieDllRegisterServer2; modules with special rules may
// call it themselves).
HRESULT RegisterTemplate(const CFactoryTemplate& entry, const wchar_t* modulePath);
HRESULT UnregisterTemplate(const CFactoryTemplate& entry, const wchar_t* modulePath);

// The filter mapper's record (version 2) for a setup record; it points into its own vectors.
struct FilterRegistration {
  explicit FilterRegistration(const AMOVIESETUP_FILTER& setup);
  FilterRegistration(const FilterRegistration&) = delete;
  FilterRegistration& operator=(const FilterRegistration&) = delete;

  REGFILTER2 filter{};
  std::vector<REGFILTERPINS2> pins;
  std::vector<REGPINTYPES> types;
};

// --- Module entry points -----------------------------------------------------------------------
// g_cTemplates for the table g_Templates defined just above, and a DllMain that turns thread
// notifications off and calls DllEntryPoint.
#define VORN_FILTER_MODULE_DLLMAIN()                                                    \
  const int g_cTemplates = sizeof(g_Templates) / sizeof(g_Templates[0]);               \
  extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {  \
    if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(instance);             \
    return DllEntryPoint(instance, reason, reserved);                                  \
  }

// The same, and DllRegisterServer / DllUnregisterServer for every class of the table.
#define VORN_FILTER_MODULE_ENTRY_POINTS()                                       \
  VORN_FILTER_MODULE_DLLMAIN()                                                  \
  STDAPI DllRegisterServer() { return AMovieDllRegisterServer2(TRUE); }        \
  STDAPI DllUnregisterServer() { return AMovieDllRegisterServer2(FALSE); }
