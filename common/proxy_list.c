/* The interfaces of the linked proxy files (common/proxy.h), read from the list that the
   module's dlldata.c builds. In C: the proxy structures need the C forms of the COM
   declarations. */
#include <windows.h>
#include <rpcproxy.h>

void RPC_ENTRY GetProxyDllInfo(const ProxyFileInfo*** info, const CLSID** clsid);

unsigned VornProxyInterfaceCount(void) {
  const ProxyFileInfo** files = NULL;
  const CLSID* clsid = NULL;
  unsigned count = 0;
  GetProxyDllInfo(&files, &clsid);
  for (; files && *files; ++files) count += (*files)->TableSize;
  return count;
}

BOOL VornProxyInterfaceAt(unsigned index, IID* iid, const char** name, unsigned long* methods) {
  const ProxyFileInfo** files = NULL;
  const CLSID* clsid = NULL;
  GetProxyDllInfo(&files, &clsid);
  for (; files && *files; ++files) {
    const ProxyFileInfo* file = *files;
    if (index < file->TableSize) {
      const CInterfaceStubVtbl* stub = file->pStubVtblList[index];
      *iid = *stub->header.piid;
      *name = file->pNamesArray[index];
      *methods = stub->header.DispatchTableCount;
      return TRUE;
    }
    index -= file->TableSize;
  }
  return FALSE;
}
