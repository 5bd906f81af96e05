// The class factories of platformdoubles.dll (one source file each).
#pragma once

#include "filters/base/unknown.h"

CUnknown* CreateSimSoundRenderer(IUnknown* outer, HRESULT* phr);
CUnknown* CreateSimLine21Decoder(IUnknown* outer, HRESULT* phr);
CUnknown* CreateSimVbiCodec(IUnknown* outer, HRESULT* phr);
CUnknown* CreateSimVideoRenderer(IUnknown* outer, HRESULT* phr);
