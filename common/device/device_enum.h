// Finds a device filter of a DirectShow device category by its friendly name and, when an
// identity is given, by its device path (the six identity fields, so that two cards with the
// same friendly name are told apart), and binds it.
//
// COM must be initialised on the calling thread.
#pragma once

#include "common/dshow.h"

class DeviceIdentity;

namespace DeviceEnum {

// Enumerates `category` through the system device enumerator (`flags` go to
// CreateClassEnumerator) and runs ReadProperties over it. S_OK: a device matched (*out holds
// the filter, or null when binding it failed); S_FALSE: no device matched, also for a category
// without any device; *out is left as it was. Failures of creating the enumerator are returned.
HRESULT BindFilter(IBaseFilter** out, const DeviceIdentity* identity, REFGUID category,
                   const wchar_t* friendlyName, DWORD flags);

// BindFilter without an identity: the first device of that friendly name.
HRESULT BindFilterByName(IBaseFilter** out, REFGUID category, const wchar_t* friendlyName, DWORD flags);

// Walks the monikers in their order. A moniker matches when its "FriendlyName" equals
// `friendlyName` exactly (both absent counts as equal) and, for a non-empty `identity`, its
// "DevicePath" gives an identity whose six fields all equal those of `identity`. For the first
// match: binds it into `filterOut` when given (a failed bind leaves it null) and reads its
// "CLSID" into `clsidOut` when given (left unchanged when absent); S_OK. S_FALSE when nothing
// matched; E_INVALIDARG for a null enumeration.
HRESULT ReadProperties(IEnumMoniker* monikers, const wchar_t* friendlyName, const DeviceIdentity* identity,
                       CLSID* clsidOut, IBaseFilter** filterOut);

}  // namespace DeviceEnum
