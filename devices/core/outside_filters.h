// The outside modules and platform pieces that the device managers' video chain drives, as far
// as it calls them: their private interfaces (in slot order), class identifiers and the module
// files loaded beside the device manager. Shared by the chain elements and by the doubles that
// stand in for these modules in the tests, so both sides see one declaration.
// Slots whose arguments are not known are declared without any: nobody may call them.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <strmif.h>

#include "common/dshow.h"
#include "filters/include/filter_interfaces.h"

// --- The platform's Line 21 decoder (declared by no mingw header; the IID is in libstrmiids) ----
enum AM_LINE21_CCLEVEL { AM_L21_CCLEVEL_TC2 = 0 };
enum AM_LINE21_CCSERVICE {
  AM_L21_CCSERVICE_None = 0,
  AM_L21_CCSERVICE_Caption1 = 1,
  AM_L21_CCSERVICE_Caption2 = 2,
  AM_L21_CCSERVICE_Text1 = 3,
  AM_L21_CCSERVICE_Text2 = 4,
  AM_L21_CCSERVICE_XDS = 5,
  AM_L21_CCSERVICE_DefChannel = 10,
  AM_L21_CCSERVICE_Invalid = 11
};
enum AM_LINE21_CCSTATE { AM_L21_CCSTATE_Off = 0, AM_L21_CCSTATE_On = 1 };
enum AM_LINE21_DRAWBGMODE { AM_L21_DRAWBGMODE_Opaque = 0, AM_L21_DRAWBGMODE_Transparent = 1 };

#ifndef __IAMLine21Decoder_INTERFACE_DEFINED__
#define __IAMLine21Decoder_INTERFACE_DEFINED__
DECLARE_INTERFACE_(IAMLine21Decoder, IUnknown) {
  STDMETHOD(GetDecoderLevel)(THIS_ AM_LINE21_CCLEVEL* level) PURE;
  STDMETHOD(GetCurrentService)(THIS_ AM_LINE21_CCSERVICE* service) PURE;
  STDMETHOD(SetCurrentService)(THIS_ AM_LINE21_CCSERVICE service) PURE;
  STDMETHOD(GetServiceState)(THIS_ AM_LINE21_CCSTATE* state) PURE;
  STDMETHOD(SetServiceState)(THIS_ AM_LINE21_CCSTATE state) PURE;
  STDMETHOD(GetOutputFormat)(THIS_ LPBITMAPINFOHEADER header) PURE;
  STDMETHOD(SetOutputFormat)(THIS_ LPBITMAPINFO info) PURE;
  STDMETHOD(GetBackgroundColor)(THIS_ DWORD* color) PURE;
  STDMETHOD(SetBackgroundColor)(THIS_ DWORD color) PURE;
  STDMETHOD(GetRedrawAlways)(THIS_ LPBOOL option) PURE;
  STDMETHOD(SetRedrawAlways)(THIS_ BOOL option) PURE;
  STDMETHOD(GetDrawBackgroundMode)(THIS_ AM_LINE21_DRAWBGMODE* mode) PURE;
  STDMETHOD(SetDrawBackgroundMode)(THIS_ AM_LINE21_DRAWBGMODE mode) PURE;
};
#endif
extern "C" const IID IID_IAMLine21Decoder;
__CRT_UUID_DECL(IAMLine21Decoder, 0x6e8d4a21, 0x310c, 0x11d0, 0xb7, 0x9a, 0x00, 0xaa, 0x00, 0x37, 0x67, 0xa7)

// The Line 21 decoder's second interface, queried only for the caption mode with bit 1 (which
// the chain refuses): nothing of it is called.
// {C056DE21-75C2-11D3-A184-00105AEF9F33}
inline constexpr IID kIidLine21DecoderExtra = {0xc056de21, 0x75c2, 0x11d3, {0xa1, 0x84, 0x00, 0x10, 0x5a, 0xef, 0x9f, 0x33}};

// The VBI codec category (KSCATEGORY_VBICODEC).
inline constexpr GUID kCategoryVbiCodec = {0x07dad660, 0x22f1, 0x11d1, {0xa9, 0xf4, 0x00, 0xc0, 0x4f, 0xbb, 0xde, 0x8f}};

// --- The caption mixers' control: method 1 (no arguments), method 2 (on 0/1), method 3 (state) ---
DECLARE_INTERFACE_(ICaptionMixerControl, IUnknown) {
  STDMETHOD(Reset)(THIS) PURE;
  STDMETHOD(Enable)(THIS_ LONG on) PURE;
  STDMETHOD(GetState)(THIS_ LONG* state) PURE;
};
VORN_DECLARE_IID(ICaptionMixerControl, 0x07526a49, 0x9dfa, 0x4890, 0x95, 0x43, 0xf4, 0xab, 0x3a, 0xa4, 0x5b, 0xa9)

// --- The deinterlace modules' controls: the device manager calls method 2 --------------------------
DECLARE_INTERFACE_(IDeinterlaceModuleControl, IUnknown) {
  STDMETHOD(Unused1)(THIS) PURE;
  STDMETHOD(SetMode)(THIS_ LONG mode) PURE;
};
VORN_DECLARE_IID(IDeinterlaceModuleControl, 0x944692ac, 0x7c89, 0x4e1c, 0x91, 0x60, 0x85, 0x3e, 0x8c, 0x45, 0xe5, 0xb5)

DECLARE_INTERFACE_(IMorDeinterlaceControl, IUnknown) {
  STDMETHOD(Unused1)(THIS) PURE;
  STDMETHOD(SetMode)(THIS_ LONG mode) PURE;
};
VORN_DECLARE_IID(IMorDeinterlaceControl, 0xdea7eced, 0x0ec7, 0x40aa, 0x83, 0xb7, 0xd6, 0x2c, 0x69, 0x2e, 0xbc, 0x9e)

// --- The video-information module's control: the device manager calls method 5 ------------------
DECLARE_INTERFACE_(IVideoInfoControl, IUnknown) {
  STDMETHOD(Unused1)(THIS) PURE;
  STDMETHOD(Unused2)(THIS) PURE;
  STDMETHOD(Unused3)(THIS) PURE;
  STDMETHOD(Unused4)(THIS) PURE;
  STDMETHOD(SetInterlaceFlags)(THIS_ LONG flags) PURE;
};
VORN_DECLARE_IID(IVideoInfoControl, 0x1f5ff69f, 0xecab, 0x4f1e, 0xb3, 0x3e, 0x94, 0xec, 0xbf, 0x2a, 0xfb, 0x7b)

// --- The preview-control class's interface, in slot order ----------------------------------------
DECLARE_INTERFACE_(IPreviewControl, IUnknown) {
  STDMETHOD(Initialize)(THIS_ LONG reserve) PURE;
  STDMETHOD(SetVideoSize)(THIS_ SIZE* size) PURE;
  STDMETHOD(SetVideoClippingWindow)(THIS_ HWND window) PURE;
  STDMETHOD(SetVideoPosition)(THIS_ RECT* source, RECT* destination) PURE;
  STDMETHOD(GetVideoPosition)(THIS_ RECT* source, RECT* destination) PURE;
  STDMETHOD(SetColorKey)(THIS_ DWORD colorKey) PURE;
  STDMETHOD(GetColorKey)(THIS_ DWORD* colorKey) PURE;
  STDMETHOD(RepaintVideo)(THIS_ HWND window, HDC dc) PURE;
  STDMETHOD(DisplayModeChanged)(THIS) PURE;
  STDMETHOD(SetZoomMode)(THIS_ DWORD mode) PURE;
  STDMETHOD(GetZoomMode)(THIS_ DWORD* mode) PURE;
  STDMETHOD(Uninitialize)(THIS_ LONG reserve) PURE;
};
VORN_DECLARE_IID(IPreviewControl, 0xfb66c6a6, 0x9005, 0x49e2, 0x98, 0xa7, 0xd3, 0x7c, 0x8a, 0x52, 0x19, 0x65)

// --- The output-data graphs' outside filters and the sound path's selector --------------------
// The callback filter: operation 1 selects a stream and names the host's IOutputDataCB for it
// (type, subtype, callback: an IUnknown here, the filter queries it; null switches the type
// off), operation 2 ends the delivery (stop mode). OnData of each type goes to that type's
// callback, from the filter's streaming threads.
DECLARE_INTERFACE_(ICallbackFilterControl, IUnknown) {
  STDMETHOD(SelectStream)(THIS_ ULONG type, ULONG subtype, IUnknown* callback) PURE;
  STDMETHOD(EndDelivery)(THIS_ LONG stopMode) PURE;
};
VORN_DECLARE_IID(ICallbackFilterControl, 0x35451527, 0xf7d4, 0x444a, 0x82, 0xd3, 0xbc, 0x04, 0x5a, 0xaa, 0xfb, 0x25)

DECLARE_INTERFACE_(IAnalyzerControl, IUnknown) {
  STDMETHOD(SetParameters)(THIS_ LONG a, LONG b, LONG c, LONG d) PURE;
};
VORN_DECLARE_IID(IAnalyzerControl, 0xe5b740dc, 0x67a9, 0x4b50, 0x88, 0x17, 0x99, 0xb2, 0x93, 0x62, 0x8b, 0x16)

// The analyzer's control as the third family calls it: operation 1 sets one parameter by its
// number (1 to 4).
DECLARE_INTERFACE_(IStreamAnalyzerControl, IUnknown) {
  STDMETHOD(SetParameter)(THIS_ LONG index, LONG value) PURE;
};
VORN_DECLARE_IID(IStreamAnalyzerControl, 0xcd51fe0c, 0x541e, 0x4c42, 0xaf, 0x3c, 0xaf, 0xb6, 0x94, 0x92, 0xf3, 0xdc)

DECLARE_INTERFACE_(ISelectorFilterControl, IUnknown) {
  STDMETHOD(Select)(THIS_ LONG a, LONG b) PURE;
};
VORN_DECLARE_IID(ISelectorFilterControl, 0xd616f352, 0xd622, 0x11ce, 0xaa, 0xc5, 0x00, 0x20, 0xaf, 0x0b, 0x99, 0xa3)

namespace outside {

inline constexpr CLSID kClsidDeinterlace = {0xb59a5c61, 0x1218, 0x471e, {0x9f, 0xe1, 0x06, 0xa2, 0xf1, 0xeb, 0x0b, 0x3b}};
inline constexpr CLSID kClsidMorDeinterlace = {0xcf9e8e1b, 0x0240, 0x47c4, {0xa9, 0x62, 0xed, 0x38, 0x55, 0x81, 0x74, 0x78}};
inline constexpr CLSID kClsidVideoInfo = {0xd88ce61c, 0x6a4c, 0x4059, {0x92, 0x6d, 0x9e, 0xa9, 0x7d, 0xf2, 0x34, 0xd1}};
inline constexpr CLSID kClsidTesk = {0xb03c30d4, 0x2ddb, 0x44ec, {0x92, 0x75, 0xac, 0xd2, 0x80, 0x02, 0x92, 0x52}};
inline constexpr CLSID kClsidVideoPacer = {0x2663bfad, 0xb808, 0x441b, {0xa4, 0x66, 0x1b, 0xb4, 0x78, 0x15, 0x49, 0xe4}};
inline constexpr CLSID kClsidCaptionMixer1 = {0x993beb8e, 0x164e, 0x49d7, {0xa7, 0x39, 0x72, 0x53, 0x37, 0x6a, 0x6b, 0xbb}};
inline constexpr CLSID kClsidCaptionMixer2 = {0xb95248a9, 0xbf32, 0x4ea6, {0xa2, 0x38, 0x75, 0x05, 0xa2, 0xed, 0x79, 0x38}};
inline constexpr CLSID kClsidPreviewControl = {0xce337231, 0x1fce, 0x443c, {0x80, 0x19, 0x11, 0x8f, 0xd5, 0xda, 0xfc, 0x01}};
// The system's video renderer (created by class identifier).
inline constexpr CLSID kClsidSystemRenderer = {0xb1e39656, 0xabce, 0x4b23, {0xa6, 0xfb, 0x67, 0x76, 0xc7, 0x39, 0x9b, 0x1e}};
// The system's converters: field-planar video to YUY2, tiled 4:2:0 to YUY2.
inline constexpr CLSID kClsidPlanarPack = {0x33b30828, 0x7ad6, 0x4db1, {0xa6, 0x81, 0x02, 0xc2, 0x3c, 0x4e, 0x79, 0x0a}};
inline constexpr CLSID kClsidColourConverter = {0x733e10d7, 0x459f, 0x44ab, {0x86, 0x12, 0x53, 0x06, 0xf2, 0xbe, 0xb2, 0x6b}};
// The callback filter that hands the captured data to the host, and the MPEG analyzer.
inline constexpr CLSID kClsidCallbackFilter = {0xdb58a550, 0xb5a2, 0x4bad, {0xa7, 0x65, 0xb2, 0xfb, 0x52, 0xd8, 0x8f, 0xe7}};
inline constexpr CLSID kClsidMpegAnalyzer = {0x460e079b, 0xc73d, 0x43af, {0xb5, 0xaa, 0xf6, 0x03, 0x76, 0x5f, 0x9d, 0x3b}};
// The sound path's input selector and rate matcher.
inline constexpr CLSID kClsidSoundSelector = {0x426c22e4, 0x4333, 0x41f7, {0x9f, 0x75, 0x23, 0xa2, 0xfd, 0xf0, 0x51, 0x94}};
inline constexpr CLSID kClsidRateMatcher = {0xddf73d9b, 0x2d12, 0x4897, {0x92, 0x03, 0xc3, 0xc9, 0xf0, 0x7c, 0xef, 0xa5}};
// The outside on-screen-display in-place filter of the third family's preview window.
inline constexpr CLSID kClsidOsd = {0x694c8f29, 0xa6ee, 0x4587, {0x82, 0x64, 0x13, 0xc5, 0x88, 0x6d, 0x71, 0x40}};

// The module files beside the device manager.
inline constexpr wchar_t kDeinterlaceFile[] = L"ZarnDeinterlace.ax";
inline constexpr wchar_t kMorDeinterlaceFile[] = L"MorDeinterlace.ax";
inline constexpr wchar_t kVideoInfoFile[] = L"VideoInfoHeader2.ax";
inline constexpr wchar_t kTeskFile[] = L"QfaTesk.ax";
inline constexpr wchar_t kVideoPacerFile[] = L"VideoPacer.ax";
inline constexpr wchar_t kMixer1File[] = L"CaptionMixer.ax";
inline constexpr wchar_t kMixer2File[] = L"CaptionMixer2.ax";
inline constexpr wchar_t kPlanarPackFile[] = L"PlanarPack.ax";
inline constexpr wchar_t kColourConverterFile[] = L"QfaCfc.ax";
inline constexpr wchar_t kOsdFile[] = L"ZarnOsd.ax";
inline constexpr wchar_t kCallbackFile[] = L"ZarnCallback.ax";
inline constexpr wchar_t kAnalyzerFile[] = L"ZarnMpegAnalyzer.ax";
inline constexpr wchar_t kSelectorFile[] = L"ZarnSoundSelector.ax";
inline constexpr wchar_t kRateMatcherFile[] = L"ZarnRateMatch.ax";

}  // namespace outside
