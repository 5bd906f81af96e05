/* The class of the device-manager interfaces' proxy/stub factory. The same class in every
   device-manager module: the proxies are identical, so whichever module is registered serves
   them all. */
#include <windows.h>

/* {CADE5FAD-EF56-41CE-A2BF-4A7C2FAECB55} */
const CLSID CLSID_VornDeviceProxyStub = {
    0xcade5fad, 0xef56, 0x41ce, {0xa2, 0xbf, 0x4a, 0x7c, 0x2f, 0xae, 0xcb, 0x55}};
