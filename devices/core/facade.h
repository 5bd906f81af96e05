// The COM object of a device manager: one template for the three families, parameterised by a
// traits type. The object implements the union of the families' interfaces once; its
// QueryInterface answers only what the family's interface map lists. Every method reads
// "trace scope; checks; lock; forward": it opens a release-trace scope named
// "<class>::<trace name>()", checks the implementation (and, where the family asks for it,
// every pointer argument the method reads or writes through), takes the device lock and
// forwards to the DeviceManagerOperations object inside a catch-all.
//
// Traits (see devices/tuner1/tam_traits.h for a complete example):
//   kClassName            L"CTamDeviceManager"
//   kInterfaceMap[]       the DmInterface values the object answers, in map order
//   kCheckPointers        true: a null pointer argument gives errors::kDmNullPointer
//   kNoImplementation     the result of every method while no implementation exists
//   kFailure              the result when an exception escapes an operation
//   kOutOfMemory          the result of FinalConstruct when the implementation cannot be made
//   kLockTimeout          the device lock's longest wait (ms)
//   CreateImplementation  makes the family's DeviceManagerOperations object
//
// Aggregation: an outer unknown given at creation receives every IUnknown call of the
// interfaces; the object's own (non-delegating) unknown is what the class factory hands out.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <atomic>
#include <cwchar>
#include <memory>
#include <new>
#include <type_traits>

#include "common/errors.h"
#include "common/hresult.h"
#include "common/trace.h"
#include "devices/core/facade_methods.h"
#include "devices/core/module_objects.h"
#include "devices/core/operations.h"
#include "devices/idl/device_manager.h"

// The interfaces a device-manager object can answer (the union of the three families).
enum class DmInterface {
  DeviceSetup,
  Device,
  DeviceInfoDetail,
  InputSwitch,
  InputQualityControl,
  Preview,
  Preview2,
  PreviewWindow,
  PreviewWindow2,
  CustomPreviewWindow,
  CustomPreviewWindow2,
  Sound,
  OutputData,
  AutoScan,
  AutoScan2,
};

const IID& InterfaceId(DmInterface itf) noexcept;

// Makes the implementation of one object (the traits' CreateImplementation, or a test's).
using ImplementationFactory = std::unique_ptr<DeviceManagerOperations> (*)();

namespace facade_detail {

template <class... P>
constexpr bool AnyNull(P*... pointers) noexcept {
  return ((pointers == nullptr) || ... || false);
}

// "<class>::<method>()" for every method, built once per class without allocating.
template <class Traits>
const wchar_t* ScopeName(FacadeMethod method) noexcept {
  constexpr std::size_t kCount = static_cast<std::size_t>(FacadeMethod::Count);
  constexpr std::size_t kLength = 128;
  struct Table {
    wchar_t names[kCount][kLength];
    Table() noexcept {
      for (std::size_t i = 0; i < kCount; ++i) {
        const wchar_t* method = FacadeMethodName(static_cast<FacadeMethod>(i));
        // Both parts are short constants; the table is sized for them.
        static_assert(kLength > 100);
        std::wcscpy(names[i], Traits::kClassName);
        std::wcscat(names[i], L"::");
        std::wcscat(names[i], method);
        std::wcscat(names[i], L"()");
      }
    }
  };
  static const Table table;
  return table.names[static_cast<std::size_t>(method)];
}

}  // namespace facade_detail

template <class Traits>
class DeviceManagerObject final {
 public:
  using Ops = DeviceManagerOperations;
  using M = FacadeMethod;

  // The class factory's CreateInstance: makes the object (aggregated when outer is given, then
  // only IUnknown may be asked for), runs FinalConstruct and answers iid.
  static HRESULT Create(IUnknown* outer, REFIID iid, void** out,
                        ImplementationFactory factory = &Traits::CreateImplementation) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (outer && iid != IID_IUnknown) return CLASS_E_NOAGGREGATION;
    auto* object = new (std::nothrow) DeviceManagerObject(outer);
    if (!object) return E_OUTOFMEMORY;
    IUnknown* inner = &object->inner_;  // holds the creation reference
    HRESULT hr = object->FinalConstruct(factory);
    if (SUCCEEDED(hr)) hr = inner->QueryInterface(iid, out);
    inner->Release();
    return hr;
  }

  // The implementation (tests look at it; null before FinalConstruct and after FinalRelease).
  Ops* implementation() const noexcept { return impl_.get(); }

 private:
  explicit DeviceManagerObject(IUnknown* outer) noexcept : outer_(outer ? outer : &inner_) {
    ModuleObjects::ObjectCreated();
  }
  ~DeviceManagerObject() {
    FinalRelease();
    ModuleObjects::ObjectDestroyed();
  }

  // --- Lifetime -----------------------------------------------------------------------------
  HRESULT FinalConstruct(ImplementationFactory factory) noexcept {
    TraceScope scope(ModuleTrace(), Scope(M::FinalConstruct));
    std::unique_ptr<Ops> impl;
    try {
      impl = factory();
    } catch (const std::bad_alloc&) {
      return Traits::kOutOfMemory;
    } catch (...) {
      return Traits::kFailure;
    }
    if (!impl) return Traits::kOutOfMemory;
    RETURN_IF_FAILED(impl->CreateDeviceLock());
    impl->deviceLock().SetTimeout(Traits::kLockTimeout);
    impl_ = std::move(impl);
    const HRESULT hr = Guarded([&] { return impl_->Initialize(); });
    return FAILED(hr) ? hr : S_OK;
  }

  void FinalRelease() noexcept {
    TraceScope scope(ModuleTrace(), Scope(M::FinalRelease));
    if (!impl_) return;
    // The last reference is gone: no caller can be inside an operation any more.
    Guarded([&] { return impl_->Shutdown(); });
    impl_.reset();
  }

  // --- The forwarding steps -----------------------------------------------------------------
  static const wchar_t* Scope(M method) noexcept {
    return facade_detail::ScopeName<Traits>(method);
  }

  // Runs an operation; an escaping exception becomes its code when it carries a failure code,
  // Traits::kFailure otherwise.
  template <class F>
  static HRESULT Guarded(F&& f) noexcept {
    try {
      return std::forward<F>(f)();
    } catch (const HResultError& e) {
      return FAILED(e.code()) ? e.code() : Traits::kFailure;
    } catch (...) {
      return Traits::kFailure;
    }
  }

  // The checks every method makes before its work.
  HRESULT Check(bool missingPointer) const noexcept {
    if (!impl_) return Traits::kNoImplementation;
    if (Traits::kCheckPointers && missingPointer) return errors::kDmNullPointer;
    return S_OK;
  }

  // An operation under the device lock.
  template <class F>
  HRESULT Locked(F&& op) noexcept {
    ScopedDeviceLock lock(&impl_->deviceLock());
    if (FAILED(lock.status())) return lock.status();
    return Guarded([&] { return op(*impl_); });
  }

  template <class F>
  HRESULT Forward(M method, bool missingPointer, F&& op) noexcept {
    TraceScope scope(ModuleTrace(), Scope(method));
    RETURN_IF_FAILED(Check(missingPointer));
    return Locked(std::forward<F>(op));
  }

  // Methods answered by the object's own QueryInterface (no operation runs).
  HRESULT OwnInterface(M method, REFIID iid, void** out) noexcept {
    TraceScope scope(ModuleTrace(), Scope(method));
    RETURN_IF_FAILED(Check(out == nullptr));
    if (!out) return E_POINTER;
    return outer_->QueryInterface(iid, out);
  }

  // IDevice::GetInterface: the device must be able to use the interface, then QueryInterface.
  HRESULT GetInterface(REFIID iid, void** out) noexcept {
    TraceScope scope(ModuleTrace(), Scope(M::GetInterface));
    RETURN_IF_FAILED(Check(out == nullptr));
    if (!out) return E_POINTER;
    *out = nullptr;
    long can = 0;
    const HRESULT hr = Locked([&](Ops& o) { return o.CanUseInterface(iid, &can); });
    if (FAILED(hr)) return hr;
    if (can == 0) return E_NOTIMPL;
    return outer_->QueryInterface(iid, out);
  }

  // --- IUnknown -----------------------------------------------------------------------------
  HRESULT InnerQueryInterface(REFIID iid, void** out) noexcept {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (iid == IID_IUnknown) {
      *out = static_cast<IUnknown*>(&inner_);
    } else {
      for (const DmInterface itf : Traits::kInterfaceMap) {
        if (iid == InterfaceId(itf)) {
          *out = InterfacePointer(itf);
          break;
        }
      }
    }
    if (!*out) return E_NOINTERFACE;
    static_cast<IUnknown*>(*out)->AddRef();
    return S_OK;
  }

  void* InterfacePointer(DmInterface itf) noexcept {
    switch (itf) {
      case DmInterface::DeviceSetup: return static_cast<IDeviceSetup*>(&deviceSetup_);
      case DmInterface::Device: return static_cast<IDevice*>(&device_);
      case DmInterface::DeviceInfoDetail: return static_cast<IDeviceInfoDetail*>(&deviceInfoDetail_);
      case DmInterface::InputSwitch: return static_cast<IInputSwitch*>(&inputSwitch_);
      case DmInterface::InputQualityControl:
        return static_cast<IInputQualityControl*>(&inputQualityControl_);
      // IPreview2 extends IPreview: one table serves both.
      case DmInterface::Preview: return static_cast<IPreview*>(&preview_);
      case DmInterface::Preview2: return static_cast<IPreview2*>(&preview_);
      case DmInterface::PreviewWindow: return static_cast<IPreviewWindow*>(&previewWindow_);
      case DmInterface::PreviewWindow2: return static_cast<IPreviewWindow2*>(&previewWindow2_);
      case DmInterface::CustomPreviewWindow:
        return static_cast<ICustomPreviewWindow*>(&customWindow_);
      case DmInterface::CustomPreviewWindow2:
        return static_cast<ICustomPreviewWindow2*>(&customWindow2_);
      case DmInterface::Sound: return static_cast<ISound*>(&sound_);
      case DmInterface::OutputData: return static_cast<IOutputData*>(&outputData_);
      // IAutoScan2 extends IAutoScan: one table serves both.
      case DmInterface::AutoScan: return static_cast<IAutoScan*>(&autoScan_);
      case DmInterface::AutoScan2: return static_cast<IAutoScan2*>(&autoScan_);
    }
    return nullptr;
  }

  // The non-delegating unknown: owns the reference count.
  class Inner final : public IUnknown {
   public:
    explicit Inner(DeviceManagerObject* owner) noexcept : owner_(owner) {}
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
      return owner_->InnerQueryInterface(iid, out);
    }
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++refs_); }
    STDMETHODIMP_(ULONG) Release() override {
      const long left = --refs_;
      if (left == 0) delete owner_;
      return static_cast<ULONG>(left);
    }

   private:
    DeviceManagerObject* owner_;
    std::atomic<long> refs_{1};
  };

  // Every interface table delegates IUnknown to the controlling unknown.
  template <class Itf>
  class Part : public Itf {
   public:
    explicit Part(DeviceManagerObject* owner) noexcept : o_(owner) {}
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
      return o_->outer_->QueryInterface(iid, out);
    }
    STDMETHODIMP_(ULONG) AddRef() override { return o_->outer_->AddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return o_->outer_->Release(); }

   protected:
    DeviceManagerObject* o_;
  };

  template <class... P>
  static bool Missing(P*... pointers) noexcept {
    return facade_detail::AnyNull(pointers...);
  }

  // --- The interface tables -----------------------------------------------------------------
  class DeviceSetupPart final : public Part<IDeviceSetup> {
    using Part<IDeviceSetup>::o_;
   public:
    using Part<IDeviceSetup>::Part;
    STDMETHODIMP SetDeviceInfo(IHalItem* item) override {
      return o_->Forward(M::SetDeviceInfo, Missing(item), [&](Ops& x) { return x.SetDeviceInfo(item); });
    }
  };

  class DevicePart final : public Part<IDevice> {
    using Part<IDevice>::o_;
   public:
    using Part<IDevice>::Part;
    STDMETHODIMP GetAvailableInterface(long* count, GUID** iids) override {
      return o_->Forward(M::GetAvailableInterface, Missing(count, iids),
                         [&](Ops& x) { return x.GetAvailableInterface(count, iids); });
    }
    STDMETHODIMP GetInterface(REFIID iid, void** out) override { return o_->GetInterface(iid, out); }
    STDMETHODIMP CanUseInterface(REFIID iid, long* can) override {
      return o_->Forward(M::CanUseInterface, Missing(can), [&](Ops& x) { return x.CanUseInterface(iid, can); });
    }
    STDMETHODIMP GetInfo(long type, VARIANT* value) override {
      return o_->Forward(M::GetInfo, Missing(value), [&](Ops& x) { return x.GetInfo(type, value); });
    }
  };

  class DeviceInfoDetailPart final : public Part<IDeviceInfoDetail> {
    using Part<IDeviceInfoDetail>::o_;
   public:
    using Part<IDeviceInfoDetail>::Part;
    STDMETHODIMP GetAvailableCountryCode(ULONG* n, ULONG** regions) override {
      return o_->Forward(M::GetAvailableCountryCode, Missing(n, regions),
                         [&](Ops& x) { return x.GetAvailableCountryCode(n, regions); });
    }
    STDMETHODIMP GetAvailableTVFormat(ULONG region, ULONG* n, ULONG** formats) override {
      return o_->Forward(M::GetAvailableTVFormat, Missing(n, formats),
                         [&](Ops& x) { return x.GetAvailableTVFormat(region, n, formats); });
    }
    STDMETHODIMP GetAvailableBaseChannel(ULONG region, ULONG tvfmt, ULONG* n, _SHAL_BASECH** ch) override {
      return o_->Forward(M::GetAvailableBaseChannel, Missing(n, ch),
                         [&](Ops& x) { return x.GetAvailableBaseChannel(region, tvfmt, n, ch); });
    }
    STDMETHODIMP GetAvailableTunerFunction(_SHAL_BASECH* ch, ULONG* functions) override {
      return o_->Forward(M::GetAvailableTunerFunction, Missing(ch, functions),
                         [&](Ops& x) { return x.GetAvailableTunerFunction(ch, functions); });
    }
    STDMETHODIMP GetAvailableChannelInfo(_SHAL_BASECH* ch, ULONG* minCh, ULONG* maxCh) override {
      return o_->Forward(M::GetAvailableChannelInfo, Missing(ch, minCh, maxCh),
                         [&](Ops& x) { return x.GetAvailableChannelInfo(ch, minCh, maxCh); });
    }
    STDMETHODIMP GetAvailableFrequencyInfo(ULONG* minF, ULONG* maxF, ULONG* step) override {
      return o_->Forward(M::GetAvailableFrequencyInfo, Missing(minF, maxF, step),
                         [&](Ops& x) { return x.GetAvailableFrequencyInfo(minF, maxF, step); });
    }
    STDMETHODIMP GetInputAudioModeVariety(ULONG* n, _SHAL_INPUT_AUDIOMODE** modes) override {
      return o_->Forward(M::GetInputAudioModeVariety, Missing(n, modes),
                         [&](Ops& x) { return x.GetInputAudioModeVariety(n, modes); });
    }
    STDMETHODIMP GetOutputAudioModeVariety(ULONG* n, _SHAL_OUTPUT_AUDIOMODE** modes) override {
      return o_->Forward(M::GetOutputAudioModeVariety, Missing(n, modes),
                         [&](Ops& x) { return x.GetOutputAudioModeVariety(n, modes); });
    }
  };

  class InputSwitchPart final : public Part<IInputSwitch> {
    using Part<IInputSwitch>::o_;
   public:
    using Part<IInputSwitch>::Part;
    STDMETHODIMP Initialize(ULONG reserve) override {
      return o_->Forward(M::IInputSwitch_Initialize, false,
                         [&](Ops& x) { return x.InitializeInputSwitch(reserve); });
    }
    STDMETHODIMP GetChannel(IHalItem** item) override {
      return o_->Forward(M::GetChannel, Missing(item), [&](Ops& x) { return x.GetChannel(item); });
    }
    STDMETHODIMP SetChannel(IHalItem* item) override {
      return o_->Forward(M::SetChannel, Missing(item), [&](Ops& x) { return x.SetChannel(item); });
    }
    STDMETHODIMP GetAvailableAudioFunction(long* n, ULONG** functions) override {
      return o_->Forward(M::GetAvailableAudioFunction, Missing(n, functions),
                         [&](Ops& x) { return x.GetAvailableAudioFunction(n, functions); });
    }
    STDMETHODIMP GetAudioFunction(ULONG* function) override {
      return o_->Forward(M::GetAudioFunction, Missing(function),
                         [&](Ops& x) { return x.GetAudioFunction(function); });
    }
    STDMETHODIMP SetAudioFunction(ULONG function) override {
      return o_->Forward(M::SetAudioFunction, false, [&](Ops& x) { return x.SetAudioFunction(function); });
    }
    STDMETHODIMP GetInputQualityControl(IInputQualityControl** out) override {
      return o_->OwnInterface(M::GetInputQualityControl, IID_IInputQualityControl,
                              reinterpret_cast<void**>(out));
    }
    STDMETHODIMP Uninitialize(ULONG reserve) override {
      return o_->Forward(M::IInputSwitch_Uninitialize, false,
                         [&](Ops& x) { return x.UninitializeInputSwitch(reserve); });
    }
  };

  class InputQualityControlPart final : public Part<IInputQualityControl> {
    using Part<IInputQualityControl>::o_;
   public:
    using Part<IInputQualityControl>::Part;
    STDMETHODIMP GetAvailableVidProcAmp(ULONG* bits) override {
      return o_->Forward(M::GetAvailableVidProcAmp, Missing(bits),
                         [&](Ops& x) { return x.GetAvailableVidProcAmp(bits); });
    }
    STDMETHODIMP GetVidProcAmpRange(long type, long* mn, long* mx, long* step, long* def, long* au) override {
      return o_->Forward(M::GetVidProcAmpRange, Missing(mn, mx, step, def, au),
                         [&](Ops& x) { return x.GetVidProcAmpRange(type, mn, mx, step, def, au); });
    }
    STDMETHODIMP GetVidProcAmpParam(long type, long* value) override {
      return o_->Forward(M::GetVidProcAmpParam, Missing(value),
                         [&](Ops& x) { return x.GetVidProcAmpParam(type, value); });
    }
    STDMETHODIMP SetVidProcAmpParam(long type, long value) override {
      return o_->Forward(M::SetVidProcAmpParam, false,
                         [&](Ops& x) { return x.SetVidProcAmpParam(type, value); });
    }
  };

  class PreviewPart final : public Part<IPreview2> {
    using Part<IPreview2>::o_;
   public:
    using Part<IPreview2>::Part;
    STDMETHODIMP Initialize(ULONG reserve) override {
      return o_->Forward(M::IPreview_Initialize, false, [&](Ops& x) { return x.InitializePreview(reserve); });
    }
    STDMETHODIMP GetNotifyEvent(long type, ULONG* handle) override {
      return o_->Forward(M::IPreview_GetNotifyEvent, Missing(handle),
                         [&](Ops& x) { return x.GetPreviewNotifyEvent(type, handle); });
    }
    STDMETHODIMP GetLastError(HRESULT* error, ULONG* reserve) override {
      return o_->Forward(M::IPreview_GetLastError, Missing(error, reserve),
                         [&](Ops& x) { return x.GetPreviewLastError(error, reserve); });
    }
    STDMETHODIMP GetCurrentInputAudioMode(_SHAL_INPUT_AUDIOMODE* mode) override {
      return o_->Forward(M::IPreview_GetCurrentInputAudioMode, Missing(mode),
                         [&](Ops& x) { return x.GetPreviewInputAudioMode(mode); });
    }
    STDMETHODIMP GetCurrentOutputAudioMode(_SHAL_OUTPUT_AUDIOMODE* mode) override {
      return o_->Forward(M::IPreview_GetCurrentOutputAudioMode, Missing(mode),
                         [&](Ops& x) { return x.GetPreviewOutputAudioMode(mode); });
    }
    STDMETHODIMP GetAvailableVideoModeInterface(long* count, GUID** iids) override {
      return o_->Forward(M::GetAvailableVideoModeInterface, Missing(count, iids),
                         [&](Ops& x) { return x.GetAvailableVideoModeInterface(count, iids); });
    }
    STDMETHODIMP GetVideoModeInterface(REFIID iid, void** out) override {
      return o_->OwnInterface(M::GetVideoModeInterface, iid, out);
    }
    STDMETHODIMP GetVideoDataInfo(IHalItem** item) override {
      return o_->Forward(M::GetVideoDataInfo, Missing(item), [&](Ops& x) { return x.GetVideoDataInfo(item); });
    }
    STDMETHODIMP GetAvailableSoundModeInterface(long* count, GUID** iids) override {
      return o_->Forward(M::GetAvailableSoundModeInterface, Missing(count, iids),
                         [&](Ops& x) { return x.GetAvailableSoundModeInterface(count, iids); });
    }
    STDMETHODIMP GetSoundModeInterface(REFIID iid, void** out) override {
      return o_->OwnInterface(M::GetSoundModeInterface, iid, out);
    }
    STDMETHODIMP GetSoundDataInfo(IHalItem** item) override {
      return o_->Forward(M::GetSoundDataInfo, Missing(item), [&](Ops& x) { return x.GetSoundDataInfo(item); });
    }
    STDMETHODIMP Run(ULONG reserve) override {
      return o_->Forward(M::IPreview_Run, false, [&](Ops& x) { return x.RunPreview(reserve); });
    }
    STDMETHODIMP Pause(ULONG reserve) override {
      return o_->Forward(M::IPreview_Pause, false, [&](Ops& x) { return x.PausePreview(reserve); });
    }
    STDMETHODIMP Stop(ULONG reserve) override {
      return o_->Forward(M::IPreview_Stop, false, [&](Ops& x) { return x.StopPreview(reserve); });
    }
    STDMETHODIMP GetState(ULONG* state) override {
      return o_->Forward(M::IPreview_GetState, Missing(state), [&](Ops& x) { return x.GetPreviewState(state); });
    }
    STDMETHODIMP Uninitialize(ULONG reserve) override {
      return o_->Forward(M::IPreview_Uninitialize, false,
                         [&](Ops& x) { return x.UninitializePreview(reserve); });
    }
    STDMETHODIMP GetMuteStatus(long* muteOn) override {
      return o_->Forward(M::IPreview2_GetMuteStatus, Missing(muteOn),
                         [&](Ops& x) { return x.GetMuteStatus(muteOn); });
    }
  };

  // The window methods of the four window interfaces forward to shared operations; the
  // interface only chooses the trace names (Names: the traces of one interface).
  struct WindowNames {
    M initialize, setClippingWindow, setVideoPosition, getColorKey, rePaint, displayModeChanged,
        getCurrentImage, setZoomMode, getZoomMode, uninitialize, queryCustomFilter;
  };

  template <class Itf>
  class WindowPartBase : public Part<Itf> {
   protected:
    using Part<Itf>::o_;
    WindowPartBase(DeviceManagerObject* owner, const WindowNames& names) noexcept
        : Part<Itf>(owner), n_(names) {}
    HRESULT DoSetVideoClippingWindow(HWND window) {
      return o_->Forward(n_.setClippingWindow, false,
                         [&](Ops& x) { return x.SetVideoClippingWindow(window); });
    }
    // A null source rectangle means the whole source.
    HRESULT DoSetVideoPosition(RECT* source, RECT* destination) {
      return o_->Forward(n_.setVideoPosition, Missing(destination),
                         [&](Ops& x) { return x.SetVideoPosition(source, destination); });
    }
    HRESULT DoGetColorKey(ULONG* type, ULONG* index, ULONG* low, ULONG* high) {
      return o_->Forward(n_.getColorKey, Missing(type, index, low, high),
                         [&](Ops& x) { return x.GetColorKey(type, index, low, high); });
    }
    HRESULT DoRePaint(HWND window, HDC dc) {
      return o_->Forward(n_.rePaint, false, [&](Ops& x) { return x.RePaint(window, dc); });
    }
    HRESULT DoDisplayModeChanged(HWND window) {
      return o_->Forward(n_.displayModeChanged, false, [&](Ops& x) { return x.DisplayModeChanged(window); });
    }
    HRESULT DoGetCurrentImage(ULONG* size, BYTE** image) {
      return o_->Forward(n_.getCurrentImage, Missing(size, image),
                         [&](Ops& x) { return x.GetCurrentImage(size, image); });
    }
    HRESULT DoSetZoomMode(ULONG mode) {
      return o_->Forward(n_.setZoomMode, false, [&](Ops& x) { return x.SetZoomMode(mode); });
    }
    HRESULT DoGetZoomMode(ULONG* mode) {
      return o_->Forward(n_.getZoomMode, Missing(mode), [&](Ops& x) { return x.GetZoomMode(mode); });
    }
    HRESULT DoUninitialize(ULONG reserve) {
      return o_->Forward(n_.uninitialize, false, [&](Ops& x) { return x.UninitializePreviewWindow(reserve); });
    }
    HRESULT DoQueryInterfaceFromCustomFilter(REFIID iid, void** out) {
      return o_->Forward(n_.queryCustomFilter, Missing(out),
                         [&](Ops& x) { return x.QueryInterfaceFromCustomFilter(iid, out); });
    }
    // The overlay mode is completed by the device object before a window Initialize.
    HRESULT DoInitialize(ULONG mode) {
      return o_->Forward(n_.initialize, false,
                         [&](Ops& x) { return x.InitializePreviewWindow(x.CompleteOverlayMode(mode)); });
    }
    template <class InitOp>
    HRESULT DoInitializeCustom(ULONG mode, REFCLSID clsid, BSTR module, InitOp init) {
      return o_->Forward(n_.initialize, false,
                         [&](Ops& x) { return (x.*init)(x.CompleteOverlayMode(mode), clsid, module); });
    }

   private:
    const WindowNames n_;
  };

  class PreviewWindowPart final : public WindowPartBase<IPreviewWindow> {
    using B = WindowPartBase<IPreviewWindow>;
   public:
    explicit PreviewWindowPart(DeviceManagerObject* owner) noexcept
        : B(owner, {M::IPreviewWindow_Initialize, M::IPreviewWindow_SetVideoClippingWindow,
                    M::IPreviewWindow_SetVideoPosition, M::IPreviewWindow_GetColorKey,
                    M::IPreviewWindow_RePaint, M::IPreviewWindow_DisplayModeChanged,
                    M::IPreviewWindow_GetCurrentImage, M::Count, M::Count,
                    M::IPreviewWindow_Uninitialize, M::Count}) {}
    STDMETHODIMP Initialize(ULONG mode) override { return B::DoInitialize(mode); }
    STDMETHODIMP SetVideoClippingWindow(HWND w) override { return B::DoSetVideoClippingWindow(w); }
    STDMETHODIMP SetVideoPosition(RECT* s, RECT* d) override { return B::DoSetVideoPosition(s, d); }
    STDMETHODIMP GetColorKey(ULONG* t, ULONG* i, ULONG* l, ULONG* h) override { return B::DoGetColorKey(t, i, l, h); }
    STDMETHODIMP RePaint(HWND w, HDC dc) override { return B::DoRePaint(w, dc); }
    STDMETHODIMP DisplayModeChanged(HWND w) override { return B::DoDisplayModeChanged(w); }
    STDMETHODIMP GetCurrentImage(ULONG* n, BYTE** image) override { return B::DoGetCurrentImage(n, image); }
    STDMETHODIMP Uninitialize(ULONG reserve) override { return B::DoUninitialize(reserve); }
  };

  class PreviewWindow2Part final : public WindowPartBase<IPreviewWindow2> {
    using B = WindowPartBase<IPreviewWindow2>;
   public:
    explicit PreviewWindow2Part(DeviceManagerObject* owner) noexcept
        : B(owner, {M::IPreviewWindow2_Initialize, M::IPreviewWindow2_SetVideoClippingWindow,
                    M::IPreviewWindow2_SetVideoPosition, M::IPreviewWindow2_GetColorKey,
                    M::IPreviewWindow2_RePaint, M::IPreviewWindow2_DisplayModeChanged,
                    M::IPreviewWindow2_GetCurrentImage, M::IPreviewWindow2_SetZoomMode,
                    M::IPreviewWindow2_GetZoomMode, M::IPreviewWindow2_Uninitialize, M::Count}) {}
    STDMETHODIMP Initialize(ULONG mode) override { return B::DoInitialize(mode); }
    STDMETHODIMP SetVideoClippingWindow(HWND w) override { return B::DoSetVideoClippingWindow(w); }
    STDMETHODIMP SetVideoPosition(RECT* s, RECT* d) override { return B::DoSetVideoPosition(s, d); }
    STDMETHODIMP GetColorKey(ULONG* t, ULONG* i, ULONG* l, ULONG* h) override { return B::DoGetColorKey(t, i, l, h); }
    STDMETHODIMP RePaint(HWND w, HDC dc) override { return B::DoRePaint(w, dc); }
    STDMETHODIMP DisplayModeChanged(HWND w) override { return B::DoDisplayModeChanged(w); }
    STDMETHODIMP GetCurrentImage(ULONG* n, BYTE** image) override { return B::DoGetCurrentImage(n, image); }
    STDMETHODIMP SetZoomMode(ULONG mode) override { return B::DoSetZoomMode(mode); }
    STDMETHODIMP GetZoomMode(ULONG* mode) override { return B::DoGetZoomMode(mode); }
    STDMETHODIMP Uninitialize(ULONG reserve) override { return B::DoUninitialize(reserve); }
  };

  class CustomWindowPart final : public WindowPartBase<ICustomPreviewWindow> {
    using B = WindowPartBase<ICustomPreviewWindow>;
   public:
    explicit CustomWindowPart(DeviceManagerObject* owner) noexcept
        : B(owner, {M::ICustomPreviewWindow_Initialize, M::ICustomPreviewWindow_SetVideoClippingWindow,
                    M::ICustomPreviewWindow_SetVideoPosition, M::ICustomPreviewWindow_GetColorKey,
                    M::ICustomPreviewWindow_RePaint, M::ICustomPreviewWindow_DisplayModeChanged,
                    M::ICustomPreviewWindow_GetCurrentImage, M::Count, M::Count,
                    M::ICustomPreviewWindow_Uninitialize,
                    M::ICustomPreviewWindow_QueryInterfaceFromCustomFilter}) {}
    STDMETHODIMP Initialize(ULONG mode, CLSID clsid, BSTR module) override {
      return B::DoInitializeCustom(mode, clsid, module, &Ops::InitializeCustomPreviewWindow);
    }
    STDMETHODIMP QueryInterfaceFromCustomFilter(REFIID iid, void** out) override {
      return B::DoQueryInterfaceFromCustomFilter(iid, out);
    }
    STDMETHODIMP SetVideoClippingWindow(HWND w) override { return B::DoSetVideoClippingWindow(w); }
    STDMETHODIMP SetVideoPosition(RECT* s, RECT* d) override { return B::DoSetVideoPosition(s, d); }
    STDMETHODIMP GetColorKey(ULONG* t, ULONG* i, ULONG* l, ULONG* h) override { return B::DoGetColorKey(t, i, l, h); }
    STDMETHODIMP RePaint(HWND w, HDC dc) override { return B::DoRePaint(w, dc); }
    STDMETHODIMP DisplayModeChanged(HWND w) override { return B::DoDisplayModeChanged(w); }
    STDMETHODIMP GetCurrentImage(ULONG* n, BYTE** image) override { return B::DoGetCurrentImage(n, image); }
    STDMETHODIMP Uninitialize(ULONG reserve) override { return B::DoUninitialize(reserve); }
  };

  class CustomWindow2Part final : public WindowPartBase<ICustomPreviewWindow2> {
    using B = WindowPartBase<ICustomPreviewWindow2>;
   public:
    explicit CustomWindow2Part(DeviceManagerObject* owner) noexcept
        : B(owner, {M::ICustomPreviewWindow2_Initialize, M::ICustomPreviewWindow2_SetVideoClippingWindow,
                    M::ICustomPreviewWindow2_SetVideoPosition, M::ICustomPreviewWindow2_GetColorKey,
                    M::ICustomPreviewWindow2_RePaint, M::ICustomPreviewWindow2_DisplayModeChanged,
                    M::ICustomPreviewWindow2_GetCurrentImage, M::ICustomPreviewWindow2_SetZoomMode,
                    M::ICustomPreviewWindow2_GetZoomMode, M::ICustomPreviewWindow2_Uninitialize,
                    M::ICustomPreviewWindow2_QueryInterfaceFromCustomFilter}) {}
    STDMETHODIMP Initialize(ULONG mode, CLSID clsid, BSTR module) override {
      return B::DoInitializeCustom(mode, clsid, module, &Ops::InitializeCustomPreviewWindow2);
    }
    STDMETHODIMP QueryInterfaceFromCustomFilter(REFIID iid, void** out) override {
      return B::DoQueryInterfaceFromCustomFilter(iid, out);
    }
    STDMETHODIMP SetVideoClippingWindow(HWND w) override { return B::DoSetVideoClippingWindow(w); }
    STDMETHODIMP SetVideoPosition(RECT* s, RECT* d) override { return B::DoSetVideoPosition(s, d); }
    STDMETHODIMP GetColorKey(ULONG* t, ULONG* i, ULONG* l, ULONG* h) override { return B::DoGetColorKey(t, i, l, h); }
    STDMETHODIMP RePaint(HWND w, HDC dc) override { return B::DoRePaint(w, dc); }
    STDMETHODIMP DisplayModeChanged(HWND w) override { return B::DoDisplayModeChanged(w); }
    STDMETHODIMP GetCurrentImage(ULONG* n, BYTE** image) override { return B::DoGetCurrentImage(n, image); }
    STDMETHODIMP SetZoomMode(ULONG mode) override { return B::DoSetZoomMode(mode); }
    STDMETHODIMP GetZoomMode(ULONG* mode) override { return B::DoGetZoomMode(mode); }
    STDMETHODIMP Uninitialize(ULONG reserve) override { return B::DoUninitialize(reserve); }
  };

  class SoundPart final : public Part<ISound> {
    using Part<ISound>::o_;
   public:
    using Part<ISound>::Part;
    STDMETHODIMP Initialize(ULONG reserve) override {
      return o_->Forward(M::ISound_Initialize, false, [&](Ops& x) { return x.InitializeSound(reserve); });
    }
    STDMETHODIMP GetAvailableSoundMode(long* n, ULONG** modes) override {
      return o_->Forward(M::ISound_GetAvailableSoundMode, Missing(n, modes),
                         [&](Ops& x) { return x.GetAvailableSoundMode(n, modes); });
    }
    STDMETHODIMP GetSoundMode(ULONG* mode) override {
      return o_->Forward(M::ISound_GetSoundMode, Missing(mode), [&](Ops& x) { return x.GetSoundMode(mode); });
    }
    STDMETHODIMP SetSoundMode(ULONG mode) override {
      return o_->Forward(M::ISound_SetSoundMode, false, [&](Ops& x) { return x.SetSoundMode(mode); });
    }
    STDMETHODIMP GetMix(_SHAL_AUDIOMIX* mix) override {
      return o_->Forward(M::ISound_GetMix, Missing(mix), [&](Ops& x) { return x.GetMix(mix); });
    }
    STDMETHODIMP SetMix(_SHAL_AUDIOMIX* mix) override {
      return o_->Forward(M::ISound_SetMix, Missing(mix), [&](Ops& x) { return x.SetMix(mix); });
    }
    STDMETHODIMP GetBalance(long* balance) override {
      return o_->Forward(M::ISound_GetBalance, Missing(balance), [&](Ops& x) { return x.GetBalance(balance); });
    }
    STDMETHODIMP SetBalance(long balance) override {
      return o_->Forward(M::ISound_SetBalance, false, [&](Ops& x) { return x.SetBalance(balance); });
    }
    STDMETHODIMP GetVolume(long* volume) override {
      return o_->Forward(M::ISound_GetVolume, Missing(volume), [&](Ops& x) { return x.GetVolume(volume); });
    }
    STDMETHODIMP SetVolume(long volume) override {
      return o_->Forward(M::ISound_SetVolume, false, [&](Ops& x) { return x.SetVolume(volume); });
    }
    STDMETHODIMP Uninitialize(ULONG reserve) override {
      return o_->Forward(M::ISound_Uninitialize, false, [&](Ops& x) { return x.UninitializeSound(reserve); });
    }
  };

  class OutputDataPart final : public Part<IOutputData> {
    using Part<IOutputData>::o_;
   public:
    using Part<IOutputData>::Part;
    STDMETHODIMP Initialize(ULONG reserve) override {
      return o_->Forward(M::IOutputData_Initialize, false,
                         [&](Ops& x) { return x.InitializeOutputData(reserve); });
    }
    STDMETHODIMP GetNotifyEvent(long type, ULONG* handle) override {
      return o_->Forward(M::IOutputData_GetNotifyEvent, Missing(handle),
                         [&](Ops& x) { return x.GetOutputNotifyEvent(type, handle); });
    }
    STDMETHODIMP GetLastError(HRESULT* error, ULONG* reserve) override {
      return o_->Forward(M::IOutputData_GetLastError, Missing(error, reserve),
                         [&](Ops& x) { return x.GetOutputLastError(error, reserve); });
    }
    STDMETHODIMP Start(ULONG reserve) override {
      return o_->Forward(M::IOutputData_Start, false, [&](Ops& x) { return x.StartOutputData(reserve); });
    }
    STDMETHODIMP Stop(ULONG mode) override {
      return o_->Forward(M::IOutputData_Stop, false, [&](Ops& x) { return x.StopOutputData(mode); });
    }
    STDMETHODIMP GetCurrentInputAudioMode(_SHAL_INPUT_AUDIOMODE* mode) override {
      return o_->Forward(M::IOutputData_GetCurrentInputAudioMode, Missing(mode),
                         [&](Ops& x) { return x.GetOutputInputAudioMode(mode); });
    }
    STDMETHODIMP GetCurrentOutputAudioMode(_SHAL_OUTPUT_AUDIOMODE* mode) override {
      return o_->Forward(M::IOutputData_GetCurrentOutputAudioMode, Missing(mode),
                         [&](Ops& x) { return x.GetOutputOutputAudioMode(mode); });
    }
    STDMETHODIMP GetAvailableOutputDataType(long* n, ULONG** types) override {
      return o_->Forward(M::GetAvailableOutputDataType, Missing(n, types),
                         [&](Ops& x) { return x.GetAvailableOutputDataType(n, types); });
    }
    STDMETHODIMP GetAvailableOutputDataSubType(long type, long* n, ULONG** subTypes) override {
      return o_->Forward(M::GetAvailableOutputDataSubType, Missing(n, subTypes),
                         [&](Ops& x) { return x.GetAvailableOutputDataSubType(type, n, subTypes); });
    }
    // The callback may be null; the record may not.
    STDMETHODIMP SetOutputDataType(_SHAL_OUTPUTDTATA_TYPE* type, IOutputDataCB* callback) override {
      return o_->Forward(M::SetOutputDataType, Missing(type),
                         [&](Ops& x) { return x.SetOutputDataType(type, callback); });
    }
    STDMETHODIMP GetOutputDataType(long* n, _SHAL_OUTPUTDTATA_TYPE** types) override {
      return o_->Forward(M::GetOutputDataType, Missing(n, types),
                         [&](Ops& x) { return x.GetOutputDataType(n, types); });
    }
    STDMETHODIMP GetOutputDataInfo(long type, long subtype, IHalItem** item) override {
      return o_->Forward(M::GetOutputDataInfo, Missing(item),
                         [&](Ops& x) { return x.GetOutputDataInfo(type, subtype, item); });
    }
    STDMETHODIMP Uninitialize(ULONG reserve) override {
      return o_->Forward(M::IOutputData_Uninitialize, false,
                         [&](Ops& x) { return x.UninitializeOutputData(reserve); });
    }
  };

  class AutoScanPart final : public Part<IAutoScan2> {
    using Part<IAutoScan2>::o_;
   public:
    using Part<IAutoScan2>::Part;
    STDMETHODIMP Initialize(ULONG reserve) override {
      return o_->Forward(M::IAutoScan_Initialize, false, [&](Ops& x) { return x.InitializeAutoScan(reserve); });
    }
    STDMETHODIMP GetChannelFreqLevel(_SHAL_BASECH* ch, ULONG freq, long* level, ULONG* tvfmt) override {
      return o_->Forward(M::GetChannelFreqLevel, Missing(ch, level, tvfmt),
                         [&](Ops& x) { return x.GetChannelFreqLevel(ch, freq, level, tvfmt); });
    }
    STDMETHODIMP Uninitialize(ULONG reserve) override {
      return o_->Forward(M::IAutoScan_Uninitialize, false,
                         [&](Ops& x) { return x.UninitializeAutoScan(reserve); });
    }
    STDMETHODIMP GetAutoScanSetting(IHalItem** item) override {
      return o_->Forward(M::IAutoScan2_GetAutoScanSetting, Missing(item),
                         [&](Ops& x) { return x.GetAutoScanSetting(item); });
    }
  };

  // --- State --------------------------------------------------------------------------------
  Inner inner_{this};
  IUnknown* const outer_;  // the controlling unknown: the aggregate's, or inner_
  // The thirteen interface tables (IPreview2 and IAutoScan2 share theirs with the base).
  DeviceSetupPart deviceSetup_{this};
  DevicePart device_{this};
  DeviceInfoDetailPart deviceInfoDetail_{this};
  InputSwitchPart inputSwitch_{this};
  InputQualityControlPart inputQualityControl_{this};
  PreviewPart preview_{this};
  PreviewWindowPart previewWindow_{this};
  PreviewWindow2Part previewWindow2_{this};
  CustomWindowPart customWindow_{this};
  CustomWindow2Part customWindow2_{this};
  SoundPart sound_{this};
  OutputDataPart outputData_{this};
  AutoScanPart autoScan_{this};
  std::unique_ptr<Ops> impl_;  // the device object: made in FinalConstruct, gone after FinalRelease
};
