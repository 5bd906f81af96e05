// The kernel-streaming device categories of the card's filters (AM_KSCATEGORY_TVTUNER,
// AM_KSCATEGORY_CROSSBAR, ...) and CLSID_VideoInputDeviceCategory, declared by the platform's
// headers; their symbols are in its strmiids library.
#pragma once

#include <windows.h>
#include <uuids.h>

// ksuuids.h expects the entry macro that uuids.h leaves undefined.
#define OUR_GUID_ENTRY(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
  DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8);
#include <ksuuids.h>
#undef OUR_GUID_ENTRY
