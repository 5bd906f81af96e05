// The doubles of the outside filter modules: their class identifiers and the file names they
// are copied to, as the device managers declare them (devices/core/outside_filters.h), and the
// journal values they keep.
// The deinterlacing filter is the system's own (its interfaces are in
// filters/include/filter_interfaces.h); its double here stands in until its module is built.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <strmif.h>

#include "devices/core/outside_filters.h"

// The outside modules' interfaces, class identifiers and file names are the device managers'
// declarations (devices/core/outside_filters.h); the doubles implement them.

namespace doubles {

// Journal values the filter doubles keep (double_journal.h): how many of them live in the
// process, and whether a callback filter made now leaves out its "INDEX Input" pin.
inline constexpr unsigned kValueLiveFilterDoubles = 0;
inline constexpr unsigned kValueCallbackWithoutIndexPin = 1;

inline constexpr CLSID kClsidCallbackFilter = outside::kClsidCallbackFilter;
inline constexpr CLSID kClsidMpegAnalyzer = outside::kClsidMpegAnalyzer;
inline constexpr CLSID kClsidSoundSelector = outside::kClsidSoundSelector;
inline constexpr CLSID kClsidRateMatcher = outside::kClsidRateMatcher;
inline constexpr CLSID kClsidOsd = outside::kClsidOsd;
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
