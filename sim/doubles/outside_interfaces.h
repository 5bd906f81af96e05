// The private interfaces of the outside filter modules and classes that the device manager
// drives, as far as it calls them, and the class identifiers and file names of their doubles.
// Slots whose arguments are not known are declared without any: nobody may call them.
// The deinterlacing filter is the system's own (its interfaces are in
// filters/include/filter_interfaces.h); its double here stands in until its module is built.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <strmif.h>

#include "devices/core/outside_filters.h"

#define DOUBLES_DECLARE_IID(type, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8)                    \
  inline constexpr IID IID_##type = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}};             \
  __CRT_UUID_DECL(type, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8)

// The callback filter: operation 1 selects a stream and names the host's IOutputDataCB for it
// (type, subtype, callback: an IUnknown here, the filter queries it; null switches the type
// off), operation 2 ends the delivery (stop mode). OnData of each type goes to that type's
// callback, from the filter's streaming threads.
DECLARE_INTERFACE_(ICallbackFilterControl, IUnknown) {
  STDMETHOD(SelectStream)(THIS_ ULONG type, ULONG subtype, IUnknown* callback) PURE;
  STDMETHOD(EndDelivery)(THIS_ LONG stopMode) PURE;
};
DOUBLES_DECLARE_IID(ICallbackFilterControl, 0x35451527, 0xf7d4, 0x444a, 0x82, 0xd3, 0xbc, 0x04, 0x5a, 0xaa, 0xfb, 0x25)

DECLARE_INTERFACE_(IAnalyzerControl, IUnknown) {
  STDMETHOD(SetParameters)(THIS_ LONG a, LONG b, LONG c, LONG d) PURE;
};
DOUBLES_DECLARE_IID(IAnalyzerControl, 0xe5b740dc, 0x67a9, 0x4b50, 0x88, 0x17, 0x99, 0xb2, 0x93, 0x62, 0x8b, 0x16)

// The analyzer's control as the third family calls it: operation 1 sets one parameter by its
// number (1 to 4).
DECLARE_INTERFACE_(IStreamAnalyzerControl, IUnknown) {
  STDMETHOD(SetParameter)(THIS_ LONG index, LONG value) PURE;
};
DOUBLES_DECLARE_IID(IStreamAnalyzerControl, 0xcd51fe0c, 0x541e, 0x4c42, 0xaf, 0x3c, 0xaf, 0xb6, 0x94, 0x92, 0xf3, 0xdc)

DECLARE_INTERFACE_(ISelectorFilterControl, IUnknown) {
  STDMETHOD(Select)(THIS_ LONG a, LONG b) PURE;
};
DOUBLES_DECLARE_IID(ISelectorFilterControl, 0xd616f352, 0xd622, 0x11ce, 0xaa, 0xc5, 0x00, 0x20, 0xaf, 0x0b, 0x99, 0xa3)

// The caption mixers', deinterlace modules', video-information module's and preview control's
// interfaces are the device manager's declarations (devices/core/outside_filters.h).

namespace doubles {

// Journal values the filter doubles keep (double_journal.h): how many of them live in the
// process, and whether a callback filter made now leaves out its "INDEX Input" pin.
inline constexpr unsigned kValueLiveFilterDoubles = 0;
inline constexpr unsigned kValueCallbackWithoutIndexPin = 1;

inline constexpr CLSID kClsidCallbackFilter = {0xdb58a550, 0xb5a2, 0x4bad, {0xa7, 0x65, 0xb2, 0xfb, 0x52, 0xd8, 0x8f, 0xe7}};
inline constexpr CLSID kClsidMpegAnalyzer = {0x460e079b, 0xc73d, 0x43af, {0xb5, 0xaa, 0xf6, 0x03, 0x76, 0x5f, 0x9d, 0x3b}};
inline constexpr CLSID kClsidSoundSelector = {0x426c22e4, 0x4333, 0x41f7, {0x9f, 0x75, 0x23, 0xa2, 0xfd, 0xf0, 0x51, 0x94}};
inline constexpr CLSID kClsidRateMatcher = {0xddf73d9b, 0x2d12, 0x4897, {0x92, 0x03, 0xc3, 0xc9, 0xf0, 0x7c, 0xef, 0xa5}};
inline constexpr CLSID kClsidOsd = {0x694c8f29, 0xa6ee, 0x4587, {0x82, 0x64, 0x13, 0xc5, 0x88, 0x6d, 0x71, 0x40}};
inline constexpr CLSID kClsidDeinterlace = outside::kClsidDeinterlace;
inline constexpr CLSID kClsidMorDeinterlace = outside::kClsidMorDeinterlace;
inline constexpr CLSID kClsidVideoInfo = outside::kClsidVideoInfo;
inline constexpr CLSID kClsidCaptionMixer1 = outside::kClsidCaptionMixer1;
inline constexpr CLSID kClsidCaptionMixer2 = outside::kClsidCaptionMixer2;
inline constexpr CLSID kClsidPreviewControl = outside::kClsidPreviewControl;
// {B03C30D4-2DDB-44EC-9275-ACD280029252}: the deinterlacing filter.
inline constexpr CLSID kClsidTesk = outside::kClsidTesk;

// The file names the doubles are copied to beside the device manager (one module, built once).
#define DOUBLES_CALLBACK_FILE L"ZarnCallback.ax"
#define DOUBLES_ANALYZER_FILE L"ZarnMpegAnalyzer.ax"
#define DOUBLES_SELECTOR_FILE L"ZarnSoundSelector.ax"
#define DOUBLES_RATEMATCH_FILE L"ZarnRateMatch.ax"
#define DOUBLES_OSD_FILE L"ZarnOsd.ax"
#define DOUBLES_DEINTERLACE_FILE L"ZarnDeinterlace.ax"
#define DOUBLES_MOR_FILE L"MorDeinterlace.ax"
#define DOUBLES_VIDEOINFO_FILE L"VideoInfoHeader2.ax"
#define DOUBLES_MIXER1_FILE L"CaptionMixer.ax"
#define DOUBLES_MIXER2_FILE L"CaptionMixer2.ax"
#define DOUBLES_TESK_FILE L"QfaTesk.ax"

}  // namespace doubles
