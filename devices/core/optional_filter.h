// Optional filters of the preview video chain: one DirectShow transform filter with one input
// and one output pin, created by class identifier or from a module file beside the device
// manager, connected behind the previous element and offering its output to the next. The
// kinds differ in class, module file, graph name and the configuration they apply once the
// chain is connected.
//
// Also here: the board-information settings the elements read ("TunerBrdInfo"), the RecRunning
// choice between "field order rec" and "field order norec", and the interlace rule.
#pragma once

#include <windows.h>
#include <dshow.h>
#include <wrl/client.h>

#include <string>

#include "common/handles.h"
#include "devices/core/filter_wrapper.h"

namespace board_settings {

// "HKEY_LOCAL_MACHINE\Software\Zarn Corporation\TunerBrdInfo".
extern const wchar_t kBoardInfoKey[];

// "<kBoardInfoKey>\BoardType<board>\Tuner<tuner + 1>", followed by "\<sub>" when `sub` is given.
std::wstring BoardKey(DWORD boardType, DWORD tunerNumber, const wchar_t* sub);

// Creates or opens the named RecRunning event (manual reset, not signalled, null DACL); no
// handle for an empty name or when the event cannot be made.
UniqueHandle OpenRecRunningEvent(const std::wstring& name);

// True while the event exists and is signalled (a wait with time-out 0).
bool IsRecording(HANDLE recRunning);

struct FieldOrderDefaults {
  LONG rec;
  LONG norec;
};
// "field order rec" while recording, else "field order norec", under the board key's `sub`
// key; any non-zero value counts as 1, a missing value gives its default.
LONG ReadFieldOrder(const ChainSettings& settings, const wchar_t* sub, FieldOrderDefaults defaults,
                    HANDLE recRunning);
// The planar converter's field order: "Planer" with the defaults rec 0, norec 1.
LONG ReadPlanarFieldOrder(const ChainSettings& settings, HANDLE recRunning);

}  // namespace board_settings

namespace chain_media {

enum class UpstreamFormat { None, VideoInfo, VideoInfo2, Other };
// The format type of the connection of `upstream`; None without a pin or a connection.
UpstreamFormat FormatOf(IPin* upstream);

// The input counts as interlaced without an upstream pin; with VIDEOINFOHEADER when the bitmap
// height is 480 or 576; with VIDEOINFOHEADER2 when AMINTERLACE_IsInterlaced is set.
bool IsInterlaced(IPin* upstream);

}  // namespace chain_media

// What an optional filter creates: its class, module file (null or "" for none) and graph name.
struct FilterDescriptor {
  CLSID clsid;
  std::wstring moduleFile;
  std::wstring graphName;
};

class OptionalFilter : public FilterWrapper {
 public:
  OptionalFilter(const ChainSettings& settings, FilterDescriptor descriptor);
  ~OptionalFilter() override;

  HRESULT CreateFilter(IFilterGraph* graph) override;
  HRESULT RemoveFromGraph() override;
  HRESULT Connect(IPin* upstream, IPin* extra1, IPin* extra2) override;
  HRESULT Disconnect() override;
  HRESULT GetOutputPin(const wchar_t* name, IPin** out) override;
  HRESULT QueryFilterInterface(REFIID iid, void** out) override;

  IBaseFilter* filter() const { return filter_.Get(); }

 protected:
  IPin* upstream() const { return upstream_.Get(); }
  const ChainSettings& settings() const { return settings_; }

 private:
  HRESULT MakeFilter(IBaseFilter** out) const;

  const ChainSettings settings_;
  const FilterDescriptor descriptor_;
  Microsoft::WRL::ComPtr<IFilterGraph> graph_;
  Microsoft::WRL::ComPtr<IPin> upstream_;
  Microsoft::WRL::ComPtr<IBaseFilter> filter_;
  Microsoft::WRL::ComPtr<IPin> input_;
  Microsoft::WRL::ComPtr<IPin> output_;
};

// The outside deinterlace module: mode 2 for interlaced input, else 0 (nothing when the family
// leaves the module's settings alone: `configure` false).
class DeinterlaceFilter final : public OptionalFilter {
 public:
  explicit DeinterlaceFilter(const ChainSettings& settings, bool configure = true);
  HRESULT Configure() override;

 private:
  const bool configure_;
};

// The outside MOR deinterlace module: mode 2 for progressive input, else "DeinterMode".
class MorDeinterlaceFilter final : public OptionalFilter {
 public:
  explicit MorDeinterlaceFilter(const ChainSettings& settings);
  HRESULT Configure() override;
  // "DeinterMode" under TunerBrdInfo: 0..6 as it is, larger values 4, missing 2.
  static LONG ReadMode();
};

// The outside video-information module: flags 4 for interlaced input, else 8 (nothing when
// `configure` is false).
class VideoInfo2Filter final : public OptionalFilter {
 public:
  explicit VideoInfo2Filter(const ChainSettings& settings, bool configure = true);
  HRESULT Configure() override;

 private:
  const bool configure_;
};

// The live video sync filter (the video pacer): its settings are pushed at creation.
class VideoSyncFilter final : public OptionalFilter {
 public:
  explicit VideoSyncFilter(const ChainSettings& settings);
  HRESULT CreateFilter(IFilterGraph* graph) override;

  struct PacerValues {
    LONG buffers;
    LONG delay;
    LONG hardwareTimestamp;
  };
  // "LiveAVSyncParams" under the board key, with the defaults 15 buffers, 250 ms, timestamps on.
  static PacerValues ReadPacerValues(const ChainSettings& settings);

 private:
  HRESULT ApplyPacerSettings();
};

// The host's own filter ("CUSTOM FILTER"): no configuration.
class CustomFilter final : public OptionalFilter {
 public:
  CustomFilter(const ChainSettings& settings, REFCLSID clsid, const wchar_t* moduleFile, const wchar_t* name);
};
