// The four interfaces of the deinterlacing filter's menu background drawer, with the exact slot
// order every caller relies on. In-process only; standard call convention.
//
// IMenuBackground and IMenuBackgroundScaled both have SetCount(LONG) and a four-argument
// SetFade with different meanings: an object answering both implements them on separate
// sub-objects.
#pragma once

#include <windows.h>
#include <objbase.h>

#define VORN_DRAWER_IID(type, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8)                      \
  inline constexpr IID IID_##type = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}};             \
  __CRT_UUID_DECL(type, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8)

// Rectangles in pixels; an opacity is the top byte of a 32-bit value (weight 256 - opacity).
DECLARE_INTERFACE_(IMenuBackground, IUnknown) {
  STDMETHOD(SetCount)(THIS_ LONG count) PURE;
  STDMETHOD(ResetAll)(THIS) PURE;
  STDMETHOD(SetRect)(THIS_ LONG index, LONG x, LONG y, LONG width, LONG height, DWORD alpha) PURE;
  STDMETHOD(Fade)(THIS_ LONG index, LONG show, LONG timeMs) PURE;
  STDMETHOD(FadeAll)(THIS_ LONG show, LONG timeMs) PURE;
  STDMETHOD(SetFade)(THIS_ LONG index, DWORD alpha1, DWORD alpha2, LONG timeMs) PURE;
};
// {4FDF634E-4349-43EE-8FA5-78DC9F176F00}
VORN_DRAWER_IID(IMenuBackground, 0x4fdf634e, 0x4349, 0x43ee, 0x8f, 0xa5, 0x78, 0xdc, 0x9f, 0x17, 0x6f, 0x00)

DECLARE_INTERFACE_(IFrameCapture, IUnknown) {
  STDMETHOD(SetCaptureEnabled)(THIS_ LONG on) PURE;
  STDMETHOD(GetFrameInfo)(THIS_ LONG * width, LONG * height, LONG * size) PURE;
  STDMETHOD(GetFrame)(THIS_ BYTE * buffer) PURE;
};
// {5351F660-6BD1-4C14-9DB5-CA3E019BA398}
VORN_DRAWER_IID(IFrameCapture, 0x5351f660, 0x6bd1, 0x4c14, 0x9d, 0xb5, 0xca, 0x3e, 0x01, 0x9b, 0xa3, 0x98)

DECLARE_INTERFACE_(IVideoBlackout, IUnknown) {
  STDMETHOD(SetBlackout)(THIS_ LONG on) PURE;
};
// {6A38D6C0-195C-4C4F-ABCF-30B241E621CD}
VORN_DRAWER_IID(IVideoBlackout, 0x6a38d6c0, 0x195c, 0x4c4f, 0xab, 0xcf, 0x30, 0xb2, 0x41, 0xe6, 0x21, 0xcd)

// Rectangles in 1/1024 of the frame; weights 0..256 as they are.
DECLARE_INTERFACE_(IMenuBackgroundScaled, IUnknown) {
  STDMETHOD(SetCount)(THIS_ LONG count) PURE;
  STDMETHOD(SetRect)(THIS_ LONG index, LONG x, LONG y, LONG width, LONG height) PURE;
  STDMETHOD(SetFade)(THIS_ LONG index, LONG startWeight, LONG endWeight, LONG timeMs) PURE;
};
// {66BD8853-8DF7-4A27-9C4C-64FED2CBE364}
VORN_DRAWER_IID(IMenuBackgroundScaled, 0x66bd8853, 0x8df7, 0x4a27, 0x9c, 0x4c, 0x64, 0xfe, 0xd2, 0xcb, 0xe3, 0x64)

#undef VORN_DRAWER_IID
