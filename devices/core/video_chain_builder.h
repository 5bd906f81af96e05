// The builder of a preview's video chain: behind the capture filter's video output it appends at
// most one pacer, one processing filter, the closed-caption chain, the host's own filter and the
// renderer slot, chosen from the device's capability flags, the host's window mode and the
// board-information settings; connects them in list order and forwards the host's window
// operations to the renderer.
//
// The families differ by policy, not by copies: a family hands the builder its `ChainPolicy`
// (chain_policy.h: a colour converter after the pacer, processing kinds placed after the caption
// chain and the custom filter, the planar converter's class, the custom chain's head rule), and
// the hooks below read it; a subclass may still override a hook. The first family's policy is
// the default: no converter, processing before the captions.
//
// Lock: the builder's own critical section, taken by every public operation for its whole
// length (DisplayModeChanged's wait included). Elements take no lock of their own.
#pragma once
#include <windows.h>
#include <dshow.h>
#include <wrl/client.h>
#include <memory>
#include <string>
#include <vector>
#include "common/errors.h"
#include "common/locks.h"
#include "devices/core/chain_policy.h"
#include "devices/core/filter_wrapper.h"
#include "devices/idl/device_manager.h"

class ClosedCaptionChain;
class RendererSlot;

// What the builder knows of its device: the device item's values and the settings its
// elements share.
struct ChainDevice {
  ChainSettings settings;   // board type (value 2), tuner number (value 8), module, RecRunning name
  DWORD capabilities = 0;   // device item value 4
  std::wstring devicePath;  // device item value 0
};

// The renderer kind and the mixing renderer 7's preferences.
struct RendererChoiceResult {
  int kind;
  DWORD preferences;
};

// What `Build` gets from the preview graph besides the graph itself.
struct ChainSource {
  IPin* video = nullptr;   // the capture filter's video output
  IPin* extra1 = nullptr;  // the capture filter's VBI output, when it has one
  IPin* extra2 = nullptr;
  CLSID customClsid = GUID_NULL;
  const wchar_t* customModule = nullptr;
  const wchar_t* customName = nullptr;
};

class VideoChainBuilder {
 public:
  // Values 8, 2, 4 and 0 of `item` with the family's settings (module, RecRunning name,
  // creation rule). 0x8007F046 for a null item or out-pointer.
  static HRESULT ReadDevice(IHalItem* item, const ChainSettings& familySettings, ChainDevice* out);

  // `usesPacer`: the preview's audio link holds the audio pacer, so the video pacer goes first.
  VideoChainBuilder(ChainDevice device, bool usesPacer);
  // The same with a family's policy; the policy's creation rule replaces the device settings'.
  VideoChainBuilder(ChainDevice device, bool usesPacer, const ChainPolicy& policy);
  VideoChainBuilder(const VideoChainBuilder&) = delete;
  VideoChainBuilder& operator=(const VideoChainBuilder&) = delete;
  virtual ~VideoChainBuilder();

  // Appends the chain's elements to `graph` (not connected); the caption element only with a
  // VBI pin among the source's extras. 0x8007F046 for a null graph or a
  // second build; 0x8007F036 with elements left. The first failing element ends the build and
  // releases what was made.
  HRESULT Build(IFilterGraph* graph, const ChainSource& source, DWORD windowMode);
  // Releases the elements; refused (0x80072605) while the graph runs or is paused.
  HRESULT ReleaseFilters();
  // Connects the elements from the source pin to the renderer; a failure leaves nothing
  // connected. 0x80070005 without a source pin.
  HRESULT Connect();
  HRESULT Disconnect();
  bool IsBuilt() const;
  bool IsConnected() const;
  bool HasRenderer() const;
  // The elements, in list order (for the preview's own checks and the tests).
  size_t ElementCount() const;
  // The element at `index` in list order; null past the end. Valid until the next Build or
  // ReleaseFilters.
  FilterWrapper* ElementAt(size_t index) const;

  HRESULT QueryCustomFilterInterface(REFIID iid, void** out);
  HRESULT QueryRendererInterface(REFIID iid, void** out);
  // Window operations: 0x80072604 without a renderer slot.
  HRESULT SetVideoClippingWindow(HWND window);
  HRESULT SetVideoPosition(RECT* source, RECT* destination);
  HRESULT RepaintVideo(HWND window, HDC dc);
  HRESULT SetZoomMode(DWORD mode);
  HRESULT GetZoomMode(DWORD* mode);
  // Type 2 (an RGB key), palette index 0, low = high = the renderer's key. Outputs untouched
  // when there is no renderer.
  HRESULT GetColorKey(DWORD* type, DWORD* paletteIndex, DWORD* low, DWORD* high);
  // Waits kDisplayModeSettleMs, then forwards.
  HRESULT DisplayModeChanged();
  // The renderer's DIB and its size: header, colour table and image (the image's size computed
  // from width, height and bit count when the header leaves it 0).
  HRESULT GetCurrentImage(DWORD* size, BYTE** dib);

  static constexpr DWORD kDisplayModeSettleMs = 100;

  // The selection rules, public for the families' tables and the tests.
  virtual int SelectDeinterlacer() const;
  virtual int ProcessingKind(DWORD windowMode) const;
  virtual DWORD ClosedCaptionMode() const;
  virtual RendererChoiceResult RendererChoice(DWORD windowMode) const;
  int deinterlacer() const { return deinterlacer_; }
  const ChainPolicy& policy() const { return policy_; }

  // The size of a DIB as GetCurrentImage reports it.
  static DWORD DibSize(const BITMAPINFOHEADER& header);

 protected:
  // --- family hooks ---
  virtual bool UsesVideoPacer() const { return usesPacer_; }
  // The policy's colour converter after the pacer, when the source delivers tiled 4:2:0 video.
  virtual HRESULT AddColourConverter();
  // Kinds whose filter goes after the caption chain and the custom filter (the policy's).
  virtual bool IsLateKind(int kind) const { return policy_.IsLateKind(kind); }
  // Whether the host's filter joins the chain: a class with both a module file and a name.
  virtual bool WantsCustomFilter(const ChainSource& source) const;
  // Makes the processing filter of `kind` (1 to 5); null for no filter.
  virtual std::unique_ptr<FilterWrapper> MakeProcessingFilter(int kind) const;
  // Elements before the fixed order (the custom chain's head); `kind` is the processing kind
  // selected for this build. Nothing in the base.
  virtual HRESULT AddChainHead(int /*kind*/) { return S_OK; }
  // The codes Build refuses its arguments with.
  virtual BuildRefusals Refusals() const { return chain_policies::kChainRefusals; }

  // The element adders, in list order.
  HRESULT AddVideoPacer();
  HRESULT AddProcessingFilter(int kind);
  HRESULT AddClosedCaption(DWORD mode);
  HRESULT AddCustomFilter(const ChainSource& source);
  HRESULT AddRenderer(RendererChoiceResult choice);
  // Creates the element in the graph and appends it. Returns the element (null on failure).
  HRESULT Append(std::unique_ptr<FilterWrapper> element, FilterWrapper** added = nullptr);

  const ChainDevice& device() const { return device_; }
  IFilterGraph* graph() const { return graph_.Get(); }

 private:
  HRESULT BuildBody(IFilterGraph* graph, const ChainSource& source, DWORD windowMode);
  HRESULT ReleaseBody();
  HRESULT ConnectChain();
  HRESULT DisconnectChain();

  template <class F>
  HRESULT ForwardToRenderer(F&& call);

  mutable CriticalSection lock_;
  bool built_ = false;
  bool connected_ = false;
  const ChainDevice device_;
  const ChainPolicy policy_;
  const bool usesPacer_;
  const int deinterlacer_;
  DWORD windowMode_ = 0;
  Microsoft::WRL::ComPtr<IFilterGraph> graph_;
  Microsoft::WRL::ComPtr<IPin> source_, extra1_, extra2_;
  std::vector<std::unique_ptr<FilterWrapper>> elements_;
  FilterWrapper* custom_ = nullptr;
  ClosedCaptionChain* captions_ = nullptr;
  RendererSlot* renderer_ = nullptr;
};

// Reads the device item and makes the builder. 0x8007F046 for a null item or out-pointer,
// 0x8007F066 when the builder cannot be allocated; a failing read is returned.
HRESULT CreateVideoChainBuilder(IHalItem* item, const ChainSettings& familySettings, bool usesPacer,
                                std::unique_ptr<VideoChainBuilder>* out);
// The same for a family's policy.
HRESULT CreateVideoChainBuilder(IHalItem* item, const ChainSettings& familySettings, const ChainPolicy& policy,
                                bool usesPacer, std::unique_ptr<VideoChainBuilder>* out);
