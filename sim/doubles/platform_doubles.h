// Stand-ins of platform filters that the device manager finds by category or creates by class
// identifier and that Wine lacks: the DirectSound-style audio renderer of the audio renderer
// category, the Line 21 decoder, the VBI codec, and the system's video renderer (until that
// renderer's own module is built). One module (platformdoubles.dll), registered with regsvr32
// (or DllRegisterServer); its calls go to the doubles' journal (double_journal.h).
#pragma once

#include <windows.h>
#include <objbase.h>
#include <strmif.h>

#include <cstdint>

#include "devices/core/outside_filters.h"

// The Line 21 decoder's control interface is declared with the device manager's outside
// interfaces (devices/core/outside_filters.h).

namespace doubles {

// {5C1A0030-7E2B-4D3A-9F10-3B6C0D5E7A10}: the audio renderer of the audio renderer category.
inline constexpr CLSID kClsidSimSound = {0x5c1a0030, 0x7e2b, 0x4d3a, {0x9f, 0x10, 0x3b, 0x6c, 0x0d, 0x5e, 0x7a, 0x10}};
// {5C1A0031-7E2B-4D3A-9F10-3B6C0D5E7A11}: the VBI codec of the VBI codec category.
inline constexpr CLSID kClsidSimVbiCodec = {0x5c1a0031, 0x7e2b, 0x4d3a, {0x9f, 0x10, 0x3b, 0x6c, 0x0d, 0x5e, 0x7a, 0x11}};
// {B1E39656-ABCE-4B23-A6FB-6776C7399B1E}: the system's video renderer, created by class identifier.
inline constexpr CLSID kClsidSimVideoRenderer = outside::kClsidSystemRenderer;

// The VBI codec category, and the raw VBI stream its inputs take.
inline constexpr GUID kCategoryVbiCodec = ::kCategoryVbiCodec;
inline constexpr GUID kMediaTypeVbi = {0xf72a76e1, 0xeb0a, 0x11d0, {0xac, 0xe4, 0x00, 0x00, 0xc0, 0xcc, 0x16, 0xba}};
inline constexpr GUID kSubtypeRaw8 = {0xca20d9a0, 0x3e3e, 0x11d1, {0x9b, 0xf9, 0x00, 0xc0, 0x4f, 0xbb, 0xde, 0xbf}};

// The device-parameter keys (under HKLM) whose "FriendlyName" names the VBI codec: the usual
// one and the variant.
#define DOUBLES_VBI_PARAMETERS_ROOT                                                              \
  L"SYSTEM\\CurrentControlSet\\Control\\DeviceClasses\\{07dad660-22f1-11d1-a9f4-00c04fbbde8f}" \
  L"\\##?#Root#SYSTEM#0000#{07dad660-22f1-11d1-a9f4-00c04fbbde8f}"
#define DOUBLES_VBI_PARAMETERS_KEY \
  DOUBLES_VBI_PARAMETERS_ROOT L"\\#{562370a8-f8dd-11d2-bc64-00a0c95ec22e}&GLOBAL\\Device Parameters"
#define DOUBLES_VBI_PARAMETERS_KEY2 \
  DOUBLES_VBI_PARAMETERS_ROOT L"\\#{70bc06e0-5666-11d3-a184-00105aef9f33}&GLOBAL\\Device Parameters"

// The audio renderer's entry: "DirectSound: " followed by the sound driver's name.
#define DOUBLES_SOUND_DRIVER L"SimSound"
#define DOUBLES_SOUND_FRIENDLY_NAME L"DirectSound: SimSound"
#define DOUBLES_VBI_CODEC_NAME L"Sim VBI Codec"
#define DOUBLES_PLATFORM_FILE L"platformdoubles.dll"

// Journal values (Journal::Value/SetValue) of the platform doubles. The journal is one per
// process and shared with the filter doubles (outside_interfaces.h): indices must not collide.
constexpr std::uint32_t kValueSoundFullness = 8;     // percent, read by GetStatParam(BUFFERFULLNESS)
constexpr std::uint32_t kValueSoundBytes = 9;        // PCM bytes the renderer took into its buffer
constexpr std::uint32_t kValueSoundSamples = 10;     // samples the renderer took into its buffer
constexpr std::uint32_t kValueLine21Pairs = 11;      // byte pairs the Line 21 decoder received
constexpr std::uint32_t kValueLine21Frames = 12;     // caption pictures it delivered
constexpr std::uint32_t kValueVbiSamples = 13;       // VBI samples the codec received
constexpr std::uint32_t kValueVideoFrames = 14;      // frames the video renderer consumed
constexpr std::uint32_t kValueVideoArrivals = 15;    // frames that reached it (before it waits for their time)
constexpr std::uint32_t kValueVideoStartLead = 7;    // 100 ns: its start time ahead of the clock at its Run

}  // namespace doubles
