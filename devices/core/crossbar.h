// Routing of a card's crossbar, shared by the families: the crossbar's pin lists and the one
// routing rule (the ordinal-th input of a connector type, with its related pin, to the first
// video-decoder output and its related pin), and CrossbarRouter, a graph holding only the
// crossbar filter of a device.
#pragma once

#include <windows.h>
#include <dshow.h>

#include <vector>

#include "common/device/filter_graph_holder.h"

class DeviceIdentity;

// The kernel-streaming device categories of a card's tuner and crossbar filters.
// {A799A800-A46D-11D0-A18C-00A02401DCD4}
inline constexpr GUID kCategoryKsTvTuner = {0xa799a800, 0xa46d, 0x11d0, {0xa1, 0x8c, 0x00, 0xa0, 0x24, 0x01, 0xdc, 0xd4}};
// {A799A801-A46D-11D0-A18C-00A02401DCD4}
inline constexpr GUID kCategoryKsCrossbar = {0xa799a801, 0xa46d, 0x11d0, {0xa1, 0x8c, 0x00, 0xa0, 0x24, 0x01, 0xdc, 0xd4}};

struct CrossbarPin {
  LONG index;
  LONG related;  // the pin carrying the other half (audio of a video pin, video of an audio pin)
  LONG type;     // PhysicalConnectorType
};

struct CrossbarPins {
  std::vector<CrossbarPin> inputs;
  std::vector<CrossbarPin> outputs;

  // Reads both lists (inputs, then outputs); pins without a related pin are left out. The
  // first failure is returned with the lists cleared.
  HRESULT Read(IAMCrossbar* crossbar);
};

// Crossbar codes.
inline constexpr HRESULT kCrossbarPinNotFound = static_cast<HRESULT>(0x80072405);

// Routes the ordinal-th input of `type` (0 the first) and its related pin to the first output
// of PhysConn_Video_VideoDecoder and its related pin: CanRoute, then Route, for each pair; a
// result other than S_OK or S_FALSE is returned at once. kCrossbarPinNotFound when there is no
// such input or output.
HRESULT RouteCrossbarInput(IAMCrossbar* crossbar, const CrossbarPins& pins, LONG type, ULONG ordinal);

class CrossbarRouter : public FilterGraphHolder {
 public:
  ~CrossbarRouter() override;
  // Builds the graph with the device's crossbar filter (found by `friendlyName` in the crossbar
  // category); S_OK at once when built.
  HRESULT Build(const DeviceIdentity& identity, const wchar_t* friendlyName);
  HRESULT RouteInput(LONG type, ULONG ordinal);
  HRESULT Release() override;

 private:
  IBaseFilter* crossbarFilter_ = nullptr;
  IAMCrossbar* crossbar_ = nullptr;
  CrossbarPins pins_;
};

// The picture-control ranges a device object keeps: property bit to {minimum, maximum}.
class ProcAmpRanges {
 public:
  void Clear() noexcept { entries_.clear(); }
  // The first entry of a property stays.
  void Insert(LONG property, LONG minimum, LONG maximum);
  // The value clamped into the property's range; 0 for a property without an entry.
  LONG Clamp(LONG property, LONG value) const noexcept;
  bool Has(LONG property) const noexcept;

 private:
  struct Entry {
    LONG property, minimum, maximum;
  };
  std::vector<Entry> entries_;
};
