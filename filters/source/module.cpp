// The module of the renderer's internal source. It never registers: the renderer loads the file
// from its own folder and asks its class object directly.
#include "common/trace.h"
#include "filters/base/factory.h"
#include "filters/source/source_filter.h"

VORN_MODULE_TRACE(kTraceKeyLumacrest2)

const CFactoryTemplate g_Templates[] = {
    {L"Zarn Lumacrest2 Source Filter", &vsrc::CLSID_VornSourceFilter, &vsrc::SourceFilter::CreateInstance, nullptr,
     nullptr},
};
VORN_FILTER_MODULE_DLLMAIN()

STDAPI DllRegisterServer() { return E_FAIL; }

STDAPI DllUnregisterServer() {
  AMovieDllRegisterServer2(FALSE);
  return E_FAIL;
}
