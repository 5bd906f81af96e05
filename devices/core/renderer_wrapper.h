// The renderers of the preview window. A wrapper creates one renderer filter in the preview
// graph, connects it behind the video chain and carries the window operations to the renderer's
// windowless control, its private interfaces or, for the kinds that draw through the picture
// board, to the preview control. `RendererSlot` is the chain element that owns the wrapper.
//
// Kinds: 1 mixing renderer 7, 2 mixing renderer 9, 3 mixing renderer 7 with the preview
// control, 4 the system's renderer, 5 the null renderer with the preview control.
// No lock of their own: the chain builder's lock serialises every call.
#pragma once

#include <windows.h>
#include <d3d9.h>
#include <dshow.h>
#include <vmr9.h>
#include <wrl/client.h>

#include <memory>

#include "common/handles.h"
#include "devices/core/filter_wrapper.h"
#include "devices/core/preview_control_wrapper.h"

class RendererWrapper {
 public:
  virtual ~RendererWrapper();
  RendererWrapper(const RendererWrapper&) = delete;
  RendererWrapper& operator=(const RendererWrapper&) = delete;

  // Connects `upstream` to the renderer's input pin (directly, no media type).
  virtual HRESULT AddToGraph(IPin* upstream);
  // Disconnects the renderer from its upstream pin.
  virtual HRESULT RemoveFromGraph();
  virtual HRESULT SetVideoClippingWindow(HWND window) = 0;
  virtual HRESULT SetVideoPosition(RECT* source, RECT* destination) = 0;
  virtual HRESULT RepaintVideo(HWND window, HDC dc) = 0;
  virtual HRESULT DisplayModeChanged() = 0;
  // What a kind does not offer answers E_NOTIMPL.
  virtual HRESULT GetColorKey(COLORREF*) { return E_NOTIMPL; }
  virtual HRESULT GetCurrentImage(BYTE**) { return E_NOTIMPL; }
  virtual HRESULT SetZoomMode(DWORD) { return E_NOTIMPL; }
  virtual HRESULT GetZoomMode(DWORD*) { return E_NOTIMPL; }
  virtual int GetKind() const = 0;
  // The renderer filter's QueryInterface.
  virtual HRESULT QueryFilterInterface(REFIID iid, void** out);

  IBaseFilter* filter() const { return filter_.Get(); }

 protected:
  explicit RendererWrapper(IFilterGraph* graph) : graph_(graph) {}
  // Creates `clsid` in process.
  HRESULT CreateRenderer(REFCLSID clsid);
  // Adds the filter under `name` and finds its first input pin.
  HRESULT AddRenderer(const wchar_t* name);
  // Removes the filter from the graph and releases it and its pin.
  void DropRenderer();

  Microsoft::WRL::ComPtr<IBaseFilter> filter_;
  Microsoft::WRL::ComPtr<IFilterGraph> graph_;
  Microsoft::WRL::ComPtr<IPin> input_;
  Microsoft::WRL::ComPtr<IPin> upstream_;  // while connected

  friend HRESULT CreateRendererWrapper(int kind, DWORD preferences, IFilterGraph* graph,
                                       std::unique_ptr<RendererWrapper>* out);
  virtual HRESULT Construct() = 0;
};

// Makes the wrapper of `kind` in `graph`: 0x8007F057 for an unknown kind. A wrapper whose
// construction fails is deleted here and its failure returned; *out stays empty.
HRESULT CreateRendererWrapper(int kind, DWORD preferences, IFilterGraph* graph, std::unique_ptr<RendererWrapper>* out);

// The windowless mixing renderers (kinds 1 and 2): the window operations go to the windowless
// control; the renderer's monitor follows the clipping window.
template <class Windowless, class Monitors, class MonitorInfo>
class WindowlessRendererWrapper : public RendererWrapper {
 public:
  HRESULT SetVideoClippingWindow(HWND window) override;
  HRESULT SetVideoPosition(RECT* source, RECT* destination) override;
  HRESULT RepaintVideo(HWND window, HDC dc) override;
  HRESULT DisplayModeChanged() override;
  HRESULT GetCurrentImage(BYTE** dib) override;

  // How often a monitor was chosen for a new clipping window.
  int monitorChoices() const { return monitorChoices_; }

 protected:
  using RendererWrapper::RendererWrapper;

  Microsoft::WRL::ComPtr<Windowless> windowless_;
  Microsoft::WRL::ComPtr<Monitors> monitors_;
  HWND clippingWindow_ = nullptr;

  // A renderer made afresh has no monitor chosen: the next clipping window chooses one again.
  void ForgetMonitor() { monitorWindow_ = nullptr; }

 private:
  HWND monitorWindow_ = nullptr;
  int monitorChoices_ = 0;
};

// Kind 1: the mixing renderer 7, windowless; re-created when it returns to the graph, on the
// last clipping window given (also while it was out of the graph). A re-creation that fails
// leaves no renderer: window operations answer 0x8007F047 until one is made.
class Vmr7RendererWrapper : public WindowlessRendererWrapper<IVMRWindowlessControl, IVMRMonitorConfig, VMRMONITORINFO> {
 public:
  Vmr7RendererWrapper(IFilterGraph* graph, DWORD preferences)
      : WindowlessRendererWrapper(graph), preferences_(preferences) {}

  HRESULT AddToGraph(IPin* upstream) override;
  HRESULT RemoveFromGraph() override;
  // A null source: the whole native picture (352 or 720 by 480).
  HRESULT SetVideoPosition(RECT* source, RECT* destination) override;
  HRESULT GetColorKey(COLORREF* key) override;
  int GetKind() const override { return 1; }

 protected:
  HRESULT Construct() override;

 private:
  // Takes the renderer out of the graph and lets it and its interfaces go.
  void ReleaseRenderer();

  const DWORD preferences_;
};

// Kind 2: the mixing renderer 9, windowless.
class Vmr9RendererWrapper final
    : public WindowlessRendererWrapper<IVMRWindowlessControl9, IVMRMonitorConfig9, VMR9MonitorInfo> {
 public:
  explicit Vmr9RendererWrapper(IFilterGraph* graph) : WindowlessRendererWrapper(graph) {}
  int GetKind() const override { return 2; }

 protected:
  HRESULT Construct() override;
};

// Kind 3: kind 1 with preferences 2, the preview control first.
class Vmr7ControlRendererWrapper final : public Vmr7RendererWrapper {
 public:
  explicit Vmr7ControlRendererWrapper(IFilterGraph* graph) : Vmr7RendererWrapper(graph, 2) {}

  HRESULT SetVideoClippingWindow(HWND window) override;
  HRESULT SetVideoPosition(RECT* source, RECT* destination) override;
  HRESULT GetColorKey(COLORREF* key) override;
  HRESULT RepaintVideo(HWND window, HDC dc) override;
  HRESULT DisplayModeChanged() override;
  HRESULT GetCurrentImage(BYTE**) override { return E_NOTIMPL; }  // not kind 1's
  HRESULT SetZoomMode(DWORD mode) override;
  HRESULT GetZoomMode(DWORD* mode) override;
  int GetKind() const override { return 3; }

 protected:
  HRESULT Construct() override;

 private:
  std::unique_ptr<PreviewControlWrapper> control_;
};

// Kind 4: the system's renderer, windowless, with its zoom interface.
class VideoRendererWrapper final : public RendererWrapper {
 public:
  explicit VideoRendererWrapper(IFilterGraph* graph) : RendererWrapper(graph) {}

  HRESULT SetVideoClippingWindow(HWND window) override;
  HRESULT SetVideoPosition(RECT* source, RECT* destination) override;
  HRESULT GetColorKey(COLORREF* key) override;
  HRESULT RepaintVideo(HWND window, HDC dc) override;
  HRESULT DisplayModeChanged() override;
  HRESULT SetZoomMode(DWORD mode) override;
  HRESULT GetZoomMode(DWORD* mode) override;
  int GetKind() const override { return 4; }

 protected:
  HRESULT Construct() override;

 private:
  Microsoft::WRL::ComPtr<IVMRWindowlessControl> windowless_;
  Microsoft::WRL::ComPtr<KivraNtscZoom> zoom_;
};

// Kind 5: the null renderer; every window operation goes to the preview control.
class NullRendererWrapper final : public RendererWrapper {
 public:
  explicit NullRendererWrapper(IFilterGraph* graph) : RendererWrapper(graph) {}

  HRESULT SetVideoClippingWindow(HWND window) override;
  HRESULT SetVideoPosition(RECT* source, RECT* destination) override;
  HRESULT GetColorKey(COLORREF* key) override;
  HRESULT RepaintVideo(HWND window, HDC dc) override;
  HRESULT DisplayModeChanged() override;
  HRESULT SetZoomMode(DWORD mode) override;
  HRESULT GetZoomMode(DWORD* mode) override;
  int GetKind() const override { return 5; }
  HRESULT QueryFilterInterface(REFIID, void** out) override;

 protected:
  HRESULT Construct() override;

 private:
  std::unique_ptr<PreviewControlWrapper> control_;
};

// The chain element that owns the renderer wrapper; it ends the chain.
class RendererSlot final : public FilterWrapper {
 public:
  // `kind` 1 to 5 and the mixing renderer 7's rendering preferences.
  RendererSlot(const ChainSettings& settings, int kind, DWORD preferences);
  ~RendererSlot() override;

  HRESULT CreateFilter(IFilterGraph* graph) override;
  HRESULT RemoveFromGraph() override;
  HRESULT Connect(IPin* upstream, IPin* extra1, IPin* extra2) override;
  // Kind 4 on board type 18 tuner 1 with a VIDEOINFOHEADER connection: the renderer's field
  // order; kinds 1 and 2 with VIDEOINFOHEADER2: no aspect-ratio correction.
  HRESULT Configure() override;
  HRESULT Disconnect() override;
  bool HasOutput() const override { return false; }
  HRESULT GetOutputPin(const wchar_t* name, IPin** out) override;
  HRESULT QueryFilterInterface(REFIID iid, void** out) override;

  // The window operations, forwarded to the wrapper (0x8007F046 without one).
  HRESULT SetVideoClippingWindow(HWND window);
  HRESULT SetVideoPosition(RECT* source, RECT* destination);
  HRESULT GetColorKey(COLORREF* key);
  HRESULT RepaintVideo(HWND window, HDC dc);
  HRESULT DisplayModeChanged();
  HRESULT GetCurrentImage(BYTE** dib);
  HRESULT SetZoomMode(DWORD mode);
  HRESULT GetZoomMode(DWORD* mode);

  // "field order rec"/"norec" under the board key's "VornVRen": 1 for top field first.
  LONG FieldOrderSetting() const;
  RendererWrapper* wrapper() const { return wrapper_.get(); }

 private:
  template <class F>
  HRESULT Forward(F&& call) {
    return wrapper_ ? call(*wrapper_) : errors::kChainNullPointer;
  }

  const ChainSettings settings_;
  Microsoft::WRL::ComPtr<IFilterGraph> graph_;
  Microsoft::WRL::ComPtr<IPin> upstream_;
  const int kind_;
  const DWORD preferences_;
  std::unique_ptr<RendererWrapper> wrapper_;
  UniqueHandle recRunning_;
};
