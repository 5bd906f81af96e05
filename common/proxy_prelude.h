/* Forced into every generated proxy file (the device managers', the port server's): the
   IUnknown proxy entries that rpcrt4 exports but mingw's headers do not declare. */
#pragma once
/* Only the COM base declarations: rpcproxy.h itself must come after the generated file's
   USE_STUBLESS_PROXY, or the proxy headers lose their stubless layout. */
#include <objbase.h>
#ifdef __cplusplus
extern "C" {
#endif
HRESULT STDMETHODCALLTYPE IUnknown_QueryInterface_Proxy(IUnknown* This, REFIID riid, void** ppvObject);
ULONG STDMETHODCALLTYPE IUnknown_AddRef_Proxy(IUnknown* This);
ULONG STDMETHODCALLTYPE IUnknown_Release_Proxy(IUnknown* This);
#ifdef __cplusplus
}
#endif
