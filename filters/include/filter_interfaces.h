// The private COM interfaces through which the system's modules drive its filters: declared
// once here, with the exact slot order every implementation and every caller relies on.
// In-process only (no proxies exist); standard call convention throughout.
//
// Each interface gets an IID_ constant and a __uuidof binding (mingw's __CRT_UUID_DECL), so
// both `IID_ITeskControl` and `__uuidof(ITeskControl)` work.
//
// Two of these interfaces have methods of one name and one signature with different meanings:
// ITeskControl::SetFieldOrder/GetFieldOrder (forced field order 0 bottom first, 1 top first,
// 2 automatic) and IPlanarFieldOrder::SetFieldOrder/GetFieldOrder ("Qfa First Field": 1 top
// field first). A C++ class deriving from both would have one override for both slots, so a
// filter that answers both implements them on separate sub-objects. KivraNtsc2 has such a
// pair too (0 auto, 1 top first, 2 bottom first).
#pragma once

#include <windows.h>
#include <objbase.h>
#include <ocidl.h>
#include <strmif.h>

#include "filters/include/parameter_table_layout.h"

#define VORN_DECLARE_IID(type, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8)                     \
  inline constexpr IID IID_##type = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}};             \
  __CRT_UUID_DECL(type, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8)

// --- Pacers: settings ----------------------------------------------------------------------------
// Four 32-bit settings kept in memory (defaults 0, 0, 1, 0). A setter stores and returns
// nothing; a getter returns the value itself, not an HRESULT.
DECLARE_INTERFACE_(IPacerSettings, IUnknown) {
  STDMETHOD_(void, SetAllocatorBuffers)(THIS_ LONG buffers) PURE;
  STDMETHOD_(LONG, GetAllocatorBuffers)(THIS) PURE;
  STDMETHOD_(void, SetDelay)(THIS_ LONG milliseconds) PURE;
  STDMETHOD_(LONG, GetDelay)(THIS) PURE;
  STDMETHOD_(void, SetTimeStamping)(THIS_ LONG on) PURE;
  STDMETHOD_(LONG, GetTimeStamping)(THIS) PURE;
  STDMETHOD_(void, SetHwTimeStamp)(THIS_ LONG on) PURE;
  STDMETHOD_(LONG, GetHwTimeStamp)(THIS) PURE;
};
// {DEC630F8-9E50-4549-8F37-9ECA69980CEA}
VORN_DECLARE_IID(IPacerSettings, 0xdec630f8, 0x9e50, 0x4549, 0x8f, 0x37, 0x9e, 0xca, 0x69, 0x98, 0x0c, 0xea)

// --- The renderer's internal source: the output pin's feed ---------------------------------------
DECLARE_INTERFACE_(IKelvTransmit, IUnknown) {
  // The type of the samples to come (YUY2 video, VideoInfo or VideoInfo2).
  STDMETHOD(SetMediaType)(THIS_ const AM_MEDIA_TYPE* type) PURE;
  // Copies one sample downstream; S_FALSE when no output buffer is free (the frame is skipped).
  STDMETHOD(Transmit)(THIS_ IMediaSample* sample) PURE;
};
// {58F7953F-22C9-4BD3-AD7D-ECBBC0F480CA}
VORN_DECLARE_IID(IKelvTransmit, 0x58f7953f, 0x22c9, 0x4bd3, 0xad, 0x7d, 0xec, 0xbb, 0xc0, 0xf4, 0x80, 0xca)

// --- The renderer's field order and zoom ---------------------------------------------------------
// The older interface: eight methods, all answering E_NOTIMPL. Their arguments are not known, so
// they are declared without any: nobody may call them (on 32-bit stdcall the callee pops the
// arguments).
DECLARE_INTERFACE_(KivraNtsc, IUnknown) {
  STDMETHOD(Unused3)(THIS) PURE;
  STDMETHOD(Unused4)(THIS) PURE;
  STDMETHOD(Unused5)(THIS) PURE;
  STDMETHOD(Unused6)(THIS) PURE;
  STDMETHOD(Unused7)(THIS) PURE;
  STDMETHOD(Unused8)(THIS) PURE;
  STDMETHOD(Unused9)(THIS) PURE;
  STDMETHOD(Unused10)(THIS) PURE;
};
// {E32D59C4-0EFA-11D4-A57A-00400541C5CE}
VORN_DECLARE_IID(KivraNtsc, 0xe32d59c4, 0x0efa, 0x11d4, 0xa5, 0x7a, 0x00, 0x40, 0x05, 0x41, 0xc5, 0xce)

// Slots 11 and 12 after the eight of KivraNtsc. Field order 0 auto, 1 top first, 2 bottom first.
DECLARE_INTERFACE_(KivraNtsc2, KivraNtsc) {
  STDMETHOD(SetFieldOrder)(THIS_ LONG order) PURE;
  STDMETHOD(GetFieldOrder)(THIS_ LONG* order) PURE;
};
// {E32D59C8-0EFA-11D4-A57A-00400541C5CE}
VORN_DECLARE_IID(KivraNtsc2, 0xe32d59c8, 0x0efa, 0x11d4, 0xa5, 0x7a, 0x00, 0x40, 0x05, 0x41, 0xc5, 0xce)

// Zoom mode 0 normal, any other value wide.
DECLARE_INTERFACE_(KivraNtscZoom, IUnknown) {
  STDMETHOD(SetZoomMode)(THIS_ LONG mode) PURE;
  STDMETHOD(GetZoomMode)(THIS_ LONG* mode) PURE;
};
// {5475DD04-5F7A-46C1-A284-B57AC845400A}
VORN_DECLARE_IID(KivraNtscZoom, 0x5475dd04, 0x5f7a, 0x46c1, 0xa2, 0x84, 0xb5, 0x7a, 0xc8, 0x45, 0x40, 0x0a)

// --- The deinterlacing filter ----------------------------------------------------------------------
// Deinterlace mode ("Qfa Deintermode", clamped to its range) and the forced field order
// (0 bottom first, 1 top first, 2 automatic; any other value acts as 2).
DECLARE_INTERFACE_(ITeskControl, IUnknown) {
  STDMETHOD(GetDeinterlaceMode)(THIS_ LONG* mode) PURE;
  STDMETHOD(SetDeinterlaceMode)(THIS_ LONG mode) PURE;
  STDMETHOD(GetFieldOrder)(THIS_ LONG* order) PURE;
  STDMETHOD(SetFieldOrder)(THIS_ LONG order) PURE;
};
// {316C7048-AC84-4582-AF0C-D40E7B678C22}
VORN_DECLARE_IID(ITeskControl, 0x316c7048, 0xac84, 0x4582, 0xaf, 0x0c, 0xd4, 0x0e, 0x7b, 0x67, 0x8c, 0x22)
// The filter answers this identifier with the same ITeskControl.
// {077AB1B6-D8DE-418E-85C6-460575D4CCC8}
inline constexpr IID IID_ITeskControlAlias = {0x077ab1b6, 0xd8de, 0x418e, {0x85, 0xc6, 0x46, 0x05, 0x75, 0xd4, 0xcc, 0xc8}};

DECLARE_INTERFACE_(ITeskSettings, IUnknown) {
  // The filter's parameter table memory (no reference: it lives as long as the filter).
  STDMETHOD(GetParameterTable)(THIS_ deinterlace::ParameterTableLayout** table) PURE;
  // The processors take the current values of the table.
  STDMETHOD(ApplyParameters)(THIS) PURE;
  // The processor's interface inside the filter module (a C++ interface, not COM; meaningful
  // only to code of that module). The requester's identifier (four 32-bit words on the stack)
  // is not looked at.
  STDMETHOD(GetProcessor)(THIS_ GUID requester, void** processor) PURE;
  // Registers and loads the filter's parameters, then applies them.
  STDMETHOD(LoadParameters)(THIS) PURE;
  // The filter's property pages (the caller frees pElems with CoTaskMemFree).
  STDMETHOD(GetPages)(THIS_ CAUUID* pages) PURE;
};
// {2C0DB481-5DA8-4FEF-B1E3-5A7BA89B92EC}
VORN_DECLARE_IID(ITeskSettings, 0x2c0db481, 0x5da8, 0x4fef, 0xb1, 0xe3, 0x5a, 0x7b, 0xa8, 0x9b, 0x92, 0xec)

// Field order of planar field frames: 1 means the field stored first is the top field.
DECLARE_INTERFACE_(IPlanarFieldOrder, IUnknown) {
  STDMETHOD(SetFieldOrder)(THIS_ LONG order) PURE;
  STDMETHOD(GetFieldOrder)(THIS_ LONG* order) PURE;
};
// {910330D6-589A-4A02-BB89-8B801AE600AD}
VORN_DECLARE_IID(IPlanarFieldOrder, 0x910330d6, 0x589a, 0x4a02, 0xbb, 0x89, 0x8b, 0x80, 0x1a, 0xe6, 0x00, 0xad)
