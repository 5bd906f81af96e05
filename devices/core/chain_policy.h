// What the three device-manager families do differently with the shared preview video chain.
// The builder (`VideoChainBuilder`) and its elements are one design; a family hands the builder
// its `ChainPolicy` and the builder's hooks read it:
//   - how an optional filter with a module file is made (module only, class first, module first);
//   - whether a colour converter follows the pacer (and which class);
//   - the "late" processing kinds, placed after the caption chain and the custom filter;
//   - which filter stands for the planar converter kind (the deinterlacing filter's own
//     converter, or PlanarPack) and so how it is configured;
//   - the custom chain's head rule and the codes its Build refuses with;
//   - whether the outside deinterlace and video-information modules get their settings;
//   - whether the RecRunning event's name carries the tuner number.
// The sound path's kind numbering is the family's `SoundPathPolicy` (sound/sound_path.h).
#pragma once

#include <windows.h>

#include <string>

#include "common/device/device_identity.h"
#include "devices/core/filter_wrapper.h"
#include "devices/core/outside_filters.h"

// The filter that the planar converter kind (5) puts into the chain.
enum class PlanarConverterClass {
  Deinterlacer,  // the deinterlacing filter, through its own planar converter and settings
  PlanarPack,    // the system's PlanarPack filter: only its field order is set
};

// What a custom chain puts at its head before the fixed order.
enum class ChainHeadRule {
  None,
  // On tuner index 1: a PlanarPack converter, unless the selected processing filter can set
  // the field order itself (answers IPlanarFieldOrder).
  PlanarPackUnlessFieldOrder,
};

// The codes a Build refuses its arguments with.
struct BuildRefusals {
  HRESULT graphHeld;     // a graph is held already (second Build)
  HRESULT nullGraph;
  HRESULT elementsLeft;  // the element list is not empty
};

// A filter the chain makes: class, module file beside the device manager, name in the graph.
struct FilterClass {
  CLSID clsid;
  const wchar_t* moduleFile;
  const wchar_t* graphName;
};

struct ChainPolicy {
  FilterCreation creation;
  // The colour converter after the pacer: inserted when its class is not null and the source
  // delivers the tiled 4:2:0 video it converts.
  FilterClass colourConverter;
  // Bit k set: processing kind k goes after the caption chain and the custom filter.
  unsigned lateKinds;
  PlanarConverterClass planarConverter;
  ChainHeadRule customHead;
  BuildRefusals customRefusals;
  // The outside deinterlace module's mode and the video-information module's flags are set
  // once the chain is connected.
  bool configureOutsideFilters;
  // The RecRunning event's name ends in "_<tuner number>".
  bool numberedRecRunning;

  bool IsLateKind(int kind) const noexcept { return kind > 0 && kind < 32 && (lateKinds & (1u << kind)) != 0; }
};

namespace chain_policies {

inline constexpr BuildRefusals kChainRefusals = {errors::kChainNullPointer, errors::kChainNullPointer, errors::kChainFailure};
inline constexpr BuildRefusals kComRefusals = {E_FAIL, E_INVALIDARG, E_FAIL};
// The deinterlacing filter (kind 4) and the planar converter (kind 5).
inline constexpr unsigned kDeinterlacingKinds = (1u << 4) | (1u << 5);

inline constexpr FilterClass kNoConverter = {{}, nullptr, nullptr};  // a null class: none
inline constexpr FilterClass kTiledConverter = {outside::kClsidColourConverter, outside::kColourConverterFile,
                                                L"Zarn (Qfa) Color Format Converter"};

// The first family: module files only, no converter, processing before the captions.
inline constexpr ChainPolicy kFamily1 = {
    FilterCreation::ModuleFileOnly, kNoConverter, 0, PlanarConverterClass::Deinterlacer, ChainHeadRule::None,
    kChainRefusals, true, true,
};
// The second family: class first, the colour converter, late deinterlacing kinds, PlanarPack as
// the planar converter and at the head of a custom chain on tuner index 1.
inline constexpr ChainPolicy kFamily2 = {
    FilterCreation::ClassFirst, kTiledConverter, kDeinterlacingKinds, PlanarConverterClass::PlanarPack,
    ChainHeadRule::PlanarPackUnlessFieldOrder, kComRefusals, true, true,
};
// The third family: module first, the colour converter, late deinterlacing kinds, the outside
// modules without settings, RecRunning without the tuner number.
inline constexpr ChainPolicy kFamily3 = {
    FilterCreation::ModuleFirst, kTiledConverter, kDeinterlacingKinds, PlanarConverterClass::Deinterlacer,
    ChainHeadRule::None, kChainRefusals, false, false,
};

}  // namespace chain_policies

// The RecRunning event the chain's recording-dependent elements open, as the family names it:
// "Global\EventName_RecRunning_<six identity fields>" followed by "_<tunerNumber>" when the
// policy numbers it. Empty for an empty identity.
std::wstring RecRunningEventName(const ChainPolicy& policy, const DeviceIdentity& identity, DWORD tunerNumber);
