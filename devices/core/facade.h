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
#include <initializer_list>
#include <memory>
#include <new>
#include <type_traits>

#include "common/errors.h"
#include "common/com_object.h"
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
        // Both parts are short constants; the table is sized for them (and cuts, never overruns).
        static_assert(kLength > 100);
        std::size_t at = 0;
        for (const wchar_t* part : {Traits::kClassName, L"::", method, L"()"})
          for (; *part && at + 1 < kLength; ++part) names[i][at++] = *part;
        names[i][at] = L'\0';
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

  // The usual method: Forward with an operation that takes the method's own arguments.
  template <class... Params, class... Args>
  HRESULT Call(M method, bool missingPointer, HRESULT (Ops::*op)(Params...), Args&&... args) noexcept {
    return Forward(method, missingPointer, [&](Ops& x) { return (x.*op)(args...); });
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
  // InnerUnknown's QueryInterface for everything but IUnknown: the family's interface map.
  HRESULT InnerQueryInterface(REFIID iid, void** out) noexcept {
    for (const DmInterface itf : Traits::kInterfaceMap) {
      if (iid == InterfaceId(itf)) {
        *out = InterfacePointer(itf);
        static_cast<IUnknown*>(*out)->AddRef();
        return S_OK;
      }
    }
    return E_NOINTERFACE;
  }
  friend class InnerUnknown<DeviceManagerObject>;

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

  // Every interface table delegates IUnknown to the controlling unknown and forwards its methods
  // through the owner.
  template <class Itf>
  class InterfaceTable : public DelegatingInterface<Itf> {
   public:
    explicit InterfaceTable(DeviceManagerObject* owner) noexcept
        : DelegatingInterface<Itf>(owner->outer_), o_(owner) {}

   protected:
    DeviceManagerObject* o_;
  };

  template <class... P>
  static bool Missing(P*... pointers) noexcept {
    return facade_detail::AnyNull(pointers...);
  }

  // --- The interface tables -----------------------------------------------------------------
  class DeviceSetupTable final : public InterfaceTable<IDeviceSetup> {
    using InterfaceTable<IDeviceSetup>::o_;
   public:
    using InterfaceTable<IDeviceSetup>::InterfaceTable;
    STDMETHODIMP SetDeviceInfo(IHalItem* item) override {
      return o_->Call(M::SetDeviceInfo, Missing(item), &Ops::SetDeviceInfo, item);
    }
  };

  class DeviceTable final : public InterfaceTable<IDevice> {
    using InterfaceTable<IDevice>::o_;
   public:
    using InterfaceTable<IDevice>::InterfaceTable;
    STDMETHODIMP GetAvailableInterface(long* count, GUID** iids) override {
      return o_->Call(M::GetAvailableInterface, Missing(count, iids),
                      &Ops::GetAvailableInterface, count, iids);
    }
    STDMETHODIMP GetInterface(REFIID iid, void** out) override { return o_->GetInterface(iid, out); }
    STDMETHODIMP CanUseInterface(REFIID iid, long* can) override {
      return o_->Call(M::CanUseInterface, Missing(can), &Ops::CanUseInterface, iid, can);
    }
    STDMETHODIMP GetInfo(long type, VARIANT* value) override {
      return o_->Call(M::GetInfo, Missing(value), &Ops::GetInfo, type, value);
    }
  };

  class DeviceInfoDetailTable final : public InterfaceTable<IDeviceInfoDetail> {
    using InterfaceTable<IDeviceInfoDetail>::o_;
   public:
    using InterfaceTable<IDeviceInfoDetail>::InterfaceTable;
    STDMETHODIMP GetAvailableCountryCode(ULONG* n, ULONG** regions) override {
      return o_->Call(M::GetAvailableCountryCode, Missing(n, regions),
                      &Ops::GetAvailableCountryCode, n, regions);
    }
    STDMETHODIMP GetAvailableTVFormat(ULONG region, ULONG* n, ULONG** formats) override {
      return o_->Call(M::GetAvailableTVFormat, Missing(n, formats),
                      &Ops::GetAvailableTVFormat, region, n, formats);
    }
    STDMETHODIMP GetAvailableBaseChannel(ULONG region, ULONG tvfmt, ULONG* n, _SHAL_BASECH** ch) override {
      return o_->Call(M::GetAvailableBaseChannel, Missing(n, ch),
                      &Ops::GetAvailableBaseChannel, region, tvfmt, n, ch);
    }
    STDMETHODIMP GetAvailableTunerFunction(_SHAL_BASECH* ch, ULONG* functions) override {
      return o_->Call(M::GetAvailableTunerFunction, Missing(ch, functions),
                      &Ops::GetAvailableTunerFunction, ch, functions);
    }
    STDMETHODIMP GetAvailableChannelInfo(_SHAL_BASECH* ch, ULONG* minCh, ULONG* maxCh) override {
      return o_->Call(M::GetAvailableChannelInfo, Missing(ch, minCh, maxCh),
                      &Ops::GetAvailableChannelInfo, ch, minCh, maxCh);
    }
    STDMETHODIMP GetAvailableFrequencyInfo(ULONG* minF, ULONG* maxF, ULONG* step) override {
      return o_->Call(M::GetAvailableFrequencyInfo, Missing(minF, maxF, step),
                      &Ops::GetAvailableFrequencyInfo, minF, maxF, step);
    }
    STDMETHODIMP GetInputAudioModeVariety(ULONG* n, _SHAL_INPUT_AUDIOMODE** modes) override {
      return o_->Call(M::GetInputAudioModeVariety, Missing(n, modes),
                      &Ops::GetInputAudioModeVariety, n, modes);
    }
    STDMETHODIMP GetOutputAudioModeVariety(ULONG* n, _SHAL_OUTPUT_AUDIOMODE** modes) override {
      return o_->Call(M::GetOutputAudioModeVariety, Missing(n, modes),
                      &Ops::GetOutputAudioModeVariety, n, modes);
    }
  };

  class InputSwitchTable final : public InterfaceTable<IInputSwitch> {
    using InterfaceTable<IInputSwitch>::o_;
   public:
    using InterfaceTable<IInputSwitch>::InterfaceTable;
    STDMETHODIMP Initialize(ULONG reserve) override {
      return o_->Call(M::IInputSwitch_Initialize, false, &Ops::InitializeInputSwitch, reserve);
    }
    STDMETHODIMP GetChannel(IHalItem** item) override {
      return o_->Call(M::GetChannel, Missing(item), &Ops::GetChannel, item);
    }
    STDMETHODIMP SetChannel(IHalItem* item) override {
      return o_->Call(M::SetChannel, Missing(item), &Ops::SetChannel, item);
    }
    STDMETHODIMP GetAvailableAudioFunction(long* n, ULONG** functions) override {
      return o_->Call(M::GetAvailableAudioFunction, Missing(n, functions),
                      &Ops::GetAvailableAudioFunction, n, functions);
    }
    STDMETHODIMP GetAudioFunction(ULONG* function) override {
      return o_->Call(M::GetAudioFunction, Missing(function), &Ops::GetAudioFunction, function);
    }
    STDMETHODIMP SetAudioFunction(ULONG function) override {
      return o_->Call(M::SetAudioFunction, false, &Ops::SetAudioFunction, function);
    }
    STDMETHODIMP GetInputQualityControl(IInputQualityControl** out) override {
      return o_->OwnInterface(M::GetInputQualityControl, IID_IInputQualityControl,
                              reinterpret_cast<void**>(out));
    }
    STDMETHODIMP Uninitialize(ULONG reserve) override {
      return o_->Call(M::IInputSwitch_Uninitialize, false, &Ops::UninitializeInputSwitch, reserve);
    }
  };

  class InputQualityControlTable final : public InterfaceTable<IInputQualityControl> {
    using InterfaceTable<IInputQualityControl>::o_;
   public:
    using InterfaceTable<IInputQualityControl>::InterfaceTable;
    STDMETHODIMP GetAvailableVidProcAmp(ULONG* bits) override {
      return o_->Call(M::GetAvailableVidProcAmp, Missing(bits), &Ops::GetAvailableVidProcAmp, bits);
    }
    STDMETHODIMP GetVidProcAmpRange(long type, long* mn, long* mx, long* step, long* def, long* au) override {
      return o_->Call(M::GetVidProcAmpRange, Missing(mn, mx, step, def, au),
                      &Ops::GetVidProcAmpRange, type, mn, mx, step, def, au);
    }
    STDMETHODIMP GetVidProcAmpParam(long type, long* value) override {
      return o_->Call(M::GetVidProcAmpParam, Missing(value), &Ops::GetVidProcAmpParam, type, value);
    }
    STDMETHODIMP SetVidProcAmpParam(long type, long value) override {
      return o_->Call(M::SetVidProcAmpParam, false, &Ops::SetVidProcAmpParam, type, value);
    }
  };

  class PreviewTable final : public InterfaceTable<IPreview2> {
    using InterfaceTable<IPreview2>::o_;
   public:
    using InterfaceTable<IPreview2>::InterfaceTable;
    STDMETHODIMP Initialize(ULONG reserve) override {
      return o_->Call(M::IPreview_Initialize, false, &Ops::InitializePreview, reserve);
    }
    STDMETHODIMP GetNotifyEvent(long type, ULONG* handle) override {
      return o_->Call(M::IPreview_GetNotifyEvent, Missing(handle), &Ops::GetPreviewNotifyEvent, type, handle);
    }
    STDMETHODIMP GetLastError(HRESULT* error, ULONG* reserve) override {
      return o_->Call(M::IPreview_GetLastError, Missing(error, reserve),
                      &Ops::GetPreviewLastError, error, reserve);
    }
    STDMETHODIMP GetCurrentInputAudioMode(_SHAL_INPUT_AUDIOMODE* mode) override {
      return o_->Call(M::IPreview_GetCurrentInputAudioMode, Missing(mode),
                      &Ops::GetPreviewInputAudioMode, mode);
    }
    STDMETHODIMP GetCurrentOutputAudioMode(_SHAL_OUTPUT_AUDIOMODE* mode) override {
      return o_->Call(M::IPreview_GetCurrentOutputAudioMode, Missing(mode),
                      &Ops::GetPreviewOutputAudioMode, mode);
    }
    STDMETHODIMP GetAvailableVideoModeInterface(long* count, GUID** iids) override {
      return o_->Call(M::GetAvailableVideoModeInterface, Missing(count, iids),
                      &Ops::GetAvailableVideoModeInterface, count, iids);
    }
    STDMETHODIMP GetVideoModeInterface(REFIID iid, void** out) override {
      return o_->OwnInterface(M::GetVideoModeInterface, iid, out);
    }
    STDMETHODIMP GetVideoDataInfo(IHalItem** item) override {
      return o_->Call(M::GetVideoDataInfo, Missing(item), &Ops::GetVideoDataInfo, item);
    }
    STDMETHODIMP GetAvailableSoundModeInterface(long* count, GUID** iids) override {
      return o_->Call(M::GetAvailableSoundModeInterface, Missing(count, iids),
                      &Ops::GetAvailableSoundModeInterface, count, iids);
    }
    STDMETHODIMP GetSoundModeInterface(REFIID iid, void** out) override {
      return o_->OwnInterface(M::GetSoundModeInterface, iid, out);
    }
    STDMETHODIMP GetSoundDataInfo(IHalItem** item) override {
      return o_->Call(M::GetSoundDataInfo, Missing(item), &Ops::GetSoundDataInfo, item);
    }
    STDMETHODIMP Run(ULONG reserve) override {
      return o_->Call(M::IPreview_Run, false, &Ops::RunPreview, reserve);
    }
    STDMETHODIMP Pause(ULONG reserve) override {
      return o_->Call(M::IPreview_Pause, false, &Ops::PausePreview, reserve);
    }
    STDMETHODIMP Stop(ULONG reserve) override {
      return o_->Call(M::IPreview_Stop, false, &Ops::StopPreview, reserve);
    }
    STDMETHODIMP GetState(ULONG* state) override {
      return o_->Call(M::IPreview_GetState, Missing(state), &Ops::GetPreviewState, state);
    }
    STDMETHODIMP Uninitialize(ULONG reserve) override {
      return o_->Call(M::IPreview_Uninitialize, false, &Ops::UninitializePreview, reserve);
    }
    STDMETHODIMP GetMuteStatus(long* muteOn) override {
      return o_->Call(M::IPreview2_GetMuteStatus, Missing(muteOn), &Ops::GetMuteStatus, muteOn);
    }
  };

  // The window methods of the four window interfaces forward to shared operations; the
  // interface only chooses the trace names (WindowNames: the traces of one interface). A table
  // is put together from layers: the methods all four have, then the zoom methods of the second
  // versions, then the Initialize of a preview window or of a custom window.
  struct WindowNames {
    M initialize, setClippingWindow, setVideoPosition, getColorKey, rePaint, displayModeChanged,
        getCurrentImage, setZoomMode, getZoomMode, uninitialize, queryCustomFilter;
  };

  template <class Itf>
  class WindowTable : public InterfaceTable<Itf> {
   public:
    WindowTable(DeviceManagerObject* owner, const WindowNames& names) noexcept
        : InterfaceTable<Itf>(owner), n_(names) {}
    STDMETHODIMP SetVideoClippingWindow(HWND window) override {
      return o_->Call(n_.setClippingWindow, false, &Ops::SetVideoClippingWindow, window);
    }
    // A null source rectangle means the whole source.
    STDMETHODIMP SetVideoPosition(RECT* source, RECT* destination) override {
      return o_->Call(n_.setVideoPosition, Missing(destination), &Ops::SetVideoPosition, source, destination);
    }
    STDMETHODIMP GetColorKey(ULONG* type, ULONG* index, ULONG* low, ULONG* high) override {
      return o_->Call(n_.getColorKey, Missing(type, index, low, high),
                      &Ops::GetColorKey, type, index, low, high);
    }
    STDMETHODIMP RePaint(HWND window, HDC dc) override {
      return o_->Call(n_.rePaint, false, &Ops::RePaint, window, dc);
    }
    STDMETHODIMP DisplayModeChanged(HWND window) override {
      return o_->Call(n_.displayModeChanged, false, &Ops::DisplayModeChanged, window);
    }
    STDMETHODIMP GetCurrentImage(ULONG* size, BYTE** image) override {
      return o_->Call(n_.getCurrentImage, Missing(size, image), &Ops::GetCurrentImage, size, image);
    }
    STDMETHODIMP Uninitialize(ULONG reserve) override {
      return o_->Call(n_.uninitialize, false, &Ops::UninitializePreviewWindow, reserve);
    }

   protected:
    using InterfaceTable<Itf>::o_;
    const WindowNames n_;
  };

  // IPreviewWindow2 and ICustomPreviewWindow2 add the zoom mode.
  template <class Base>
  class WithZoom : public Base {
   public:
    using Base::Base;
    STDMETHODIMP SetZoomMode(ULONG mode) override {
      return this->o_->Call(this->n_.setZoomMode, false, &Ops::SetZoomMode, mode);
    }
    STDMETHODIMP GetZoomMode(ULONG* mode) override {
      return this->o_->Call(this->n_.getZoomMode, Missing(mode), &Ops::GetZoomMode, mode);
    }
  };

  // The overlay mode is completed by the device object before a window Initialize.
  template <class Base>
  class WithPreviewInitialize final : public Base {
   public:
    using Base::Base;
    STDMETHODIMP Initialize(ULONG mode) override {
      return this->o_->Forward(this->n_.initialize, false, [&](Ops& x) {
        return x.InitializePreviewWindow(x.CompleteOverlayMode(mode));
      });
    }
  };

  // The custom windows load a filter of the caller's choice and answer its interfaces.
  template <class Base, HRESULT (Ops::*kInitialize)(ULONG, REFCLSID, BSTR)>
  class WithCustomInitialize final : public Base {
   public:
    using Base::Base;
    STDMETHODIMP Initialize(ULONG mode, CLSID clsid, BSTR module) override {
      return this->o_->Forward(this->n_.initialize, false, [&](Ops& x) {
        return (x.*kInitialize)(x.CompleteOverlayMode(mode), clsid, module);
      });
    }
    STDMETHODIMP QueryInterfaceFromCustomFilter(REFIID iid, void** out) override {
      return this->o_->Call(this->n_.queryCustomFilter, Missing(out), &Ops::QueryInterfaceFromCustomFilter,
                            iid, out);
    }
  };

  using PreviewWindowTable = WithPreviewInitialize<WindowTable<IPreviewWindow>>;
  using PreviewWindow2Table = WithPreviewInitialize<WithZoom<WindowTable<IPreviewWindow2>>>;
  using CustomWindowTable =
      WithCustomInitialize<WindowTable<ICustomPreviewWindow>, &Ops::InitializeCustomPreviewWindow>;
  using CustomWindow2Table =
      WithCustomInitialize<WithZoom<WindowTable<ICustomPreviewWindow2>>, &Ops::InitializeCustomPreviewWindow2>;

  static constexpr WindowNames kPreviewWindowNames{
      M::IPreviewWindow_Initialize, M::IPreviewWindow_SetVideoClippingWindow,
      M::IPreviewWindow_SetVideoPosition, M::IPreviewWindow_GetColorKey,
      M::IPreviewWindow_RePaint, M::IPreviewWindow_DisplayModeChanged,
      M::IPreviewWindow_GetCurrentImage, M::Count, M::Count,
      M::IPreviewWindow_Uninitialize, M::Count};
  static constexpr WindowNames kPreviewWindow2Names{
      M::IPreviewWindow2_Initialize, M::IPreviewWindow2_SetVideoClippingWindow,
      M::IPreviewWindow2_SetVideoPosition, M::IPreviewWindow2_GetColorKey,
      M::IPreviewWindow2_RePaint, M::IPreviewWindow2_DisplayModeChanged,
      M::IPreviewWindow2_GetCurrentImage, M::IPreviewWindow2_SetZoomMode,
      M::IPreviewWindow2_GetZoomMode, M::IPreviewWindow2_Uninitialize, M::Count};
  static constexpr WindowNames kCustomWindowNames{
      M::ICustomPreviewWindow_Initialize, M::ICustomPreviewWindow_SetVideoClippingWindow,
      M::ICustomPreviewWindow_SetVideoPosition, M::ICustomPreviewWindow_GetColorKey,
      M::ICustomPreviewWindow_RePaint, M::ICustomPreviewWindow_DisplayModeChanged,
      M::ICustomPreviewWindow_GetCurrentImage, M::Count, M::Count,
      M::ICustomPreviewWindow_Uninitialize, M::ICustomPreviewWindow_QueryInterfaceFromCustomFilter};
  static constexpr WindowNames kCustomWindow2Names{
      M::ICustomPreviewWindow2_Initialize, M::ICustomPreviewWindow2_SetVideoClippingWindow,
      M::ICustomPreviewWindow2_SetVideoPosition, M::ICustomPreviewWindow2_GetColorKey,
      M::ICustomPreviewWindow2_RePaint, M::ICustomPreviewWindow2_DisplayModeChanged,
      M::ICustomPreviewWindow2_GetCurrentImage, M::ICustomPreviewWindow2_SetZoomMode,
      M::ICustomPreviewWindow2_GetZoomMode, M::ICustomPreviewWindow2_Uninitialize,
      M::ICustomPreviewWindow2_QueryInterfaceFromCustomFilter};

  class SoundTable final : public InterfaceTable<ISound> {
    using InterfaceTable<ISound>::o_;
   public:
    using InterfaceTable<ISound>::InterfaceTable;
    STDMETHODIMP Initialize(ULONG reserve) override {
      return o_->Call(M::ISound_Initialize, false, &Ops::InitializeSound, reserve);
    }
    STDMETHODIMP GetAvailableSoundMode(long* n, ULONG** modes) override {
      return o_->Call(M::ISound_GetAvailableSoundMode, Missing(n, modes),
                      &Ops::GetAvailableSoundMode, n, modes);
    }
    STDMETHODIMP GetSoundMode(ULONG* mode) override {
      return o_->Call(M::ISound_GetSoundMode, Missing(mode), &Ops::GetSoundMode, mode);
    }
    STDMETHODIMP SetSoundMode(ULONG mode) override {
      return o_->Call(M::ISound_SetSoundMode, false, &Ops::SetSoundMode, mode);
    }
    STDMETHODIMP GetMix(_SHAL_AUDIOMIX* mix) override {
      return o_->Call(M::ISound_GetMix, Missing(mix), &Ops::GetMix, mix);
    }
    STDMETHODIMP SetMix(_SHAL_AUDIOMIX* mix) override {
      return o_->Call(M::ISound_SetMix, Missing(mix), &Ops::SetMix, mix);
    }
    STDMETHODIMP GetBalance(long* balance) override {
      return o_->Call(M::ISound_GetBalance, Missing(balance), &Ops::GetBalance, balance);
    }
    STDMETHODIMP SetBalance(long balance) override {
      return o_->Call(M::ISound_SetBalance, false, &Ops::SetBalance, balance);
    }
    STDMETHODIMP GetVolume(long* volume) override {
      return o_->Call(M::ISound_GetVolume, Missing(volume), &Ops::GetVolume, volume);
    }
    STDMETHODIMP SetVolume(long volume) override {
      return o_->Call(M::ISound_SetVolume, false, &Ops::SetVolume, volume);
    }
    STDMETHODIMP Uninitialize(ULONG reserve) override {
      return o_->Call(M::ISound_Uninitialize, false, &Ops::UninitializeSound, reserve);
    }
  };

  class OutputDataTable final : public InterfaceTable<IOutputData> {
    using InterfaceTable<IOutputData>::o_;
   public:
    using InterfaceTable<IOutputData>::InterfaceTable;
    STDMETHODIMP Initialize(ULONG reserve) override {
      return o_->Call(M::IOutputData_Initialize, false, &Ops::InitializeOutputData, reserve);
    }
    STDMETHODIMP GetNotifyEvent(long type, ULONG* handle) override {
      return o_->Call(M::IOutputData_GetNotifyEvent, Missing(handle),
                      &Ops::GetOutputNotifyEvent, type, handle);
    }
    STDMETHODIMP GetLastError(HRESULT* error, ULONG* reserve) override {
      return o_->Call(M::IOutputData_GetLastError, Missing(error, reserve),
                      &Ops::GetOutputLastError, error, reserve);
    }
    STDMETHODIMP Start(ULONG reserve) override {
      return o_->Call(M::IOutputData_Start, false, &Ops::StartOutputData, reserve);
    }
    STDMETHODIMP Stop(ULONG mode) override {
      return o_->Call(M::IOutputData_Stop, false, &Ops::StopOutputData, mode);
    }
    STDMETHODIMP GetCurrentInputAudioMode(_SHAL_INPUT_AUDIOMODE* mode) override {
      return o_->Call(M::IOutputData_GetCurrentInputAudioMode, Missing(mode),
                      &Ops::GetOutputInputAudioMode, mode);
    }
    STDMETHODIMP GetCurrentOutputAudioMode(_SHAL_OUTPUT_AUDIOMODE* mode) override {
      return o_->Call(M::IOutputData_GetCurrentOutputAudioMode, Missing(mode),
                      &Ops::GetOutputOutputAudioMode, mode);
    }
    STDMETHODIMP GetAvailableOutputDataType(long* n, ULONG** types) override {
      return o_->Call(M::GetAvailableOutputDataType, Missing(n, types),
                      &Ops::GetAvailableOutputDataType, n, types);
    }
    STDMETHODIMP GetAvailableOutputDataSubType(long type, long* n, ULONG** subTypes) override {
      return o_->Call(M::GetAvailableOutputDataSubType, Missing(n, subTypes),
                      &Ops::GetAvailableOutputDataSubType, type, n, subTypes);
    }
    // The callback may be null; the record may not.
    STDMETHODIMP SetOutputDataType(_SHAL_OUTPUTDTATA_TYPE* type, IOutputDataCB* callback) override {
      return o_->Call(M::SetOutputDataType, Missing(type), &Ops::SetOutputDataType, type, callback);
    }
    STDMETHODIMP GetOutputDataType(long* n, _SHAL_OUTPUTDTATA_TYPE** types) override {
      return o_->Call(M::GetOutputDataType, Missing(n, types), &Ops::GetOutputDataType, n, types);
    }
    STDMETHODIMP GetOutputDataInfo(long type, long subtype, IHalItem** item) override {
      return o_->Call(M::GetOutputDataInfo, Missing(item), &Ops::GetOutputDataInfo, type, subtype, item);
    }
    STDMETHODIMP Uninitialize(ULONG reserve) override {
      return o_->Call(M::IOutputData_Uninitialize, false, &Ops::UninitializeOutputData, reserve);
    }
  };

  class AutoScanTable final : public InterfaceTable<IAutoScan2> {
    using InterfaceTable<IAutoScan2>::o_;
   public:
    using InterfaceTable<IAutoScan2>::InterfaceTable;
    STDMETHODIMP Initialize(ULONG reserve) override {
      return o_->Call(M::IAutoScan_Initialize, false, &Ops::InitializeAutoScan, reserve);
    }
    STDMETHODIMP GetChannelFreqLevel(_SHAL_BASECH* ch, ULONG freq, long* level, ULONG* tvfmt) override {
      return o_->Call(M::GetChannelFreqLevel, Missing(ch, level, tvfmt),
                      &Ops::GetChannelFreqLevel, ch, freq, level, tvfmt);
    }
    STDMETHODIMP Uninitialize(ULONG reserve) override {
      return o_->Call(M::IAutoScan_Uninitialize, false, &Ops::UninitializeAutoScan, reserve);
    }
    STDMETHODIMP GetAutoScanSetting(IHalItem** item) override {
      return o_->Call(M::IAutoScan2_GetAutoScanSetting, Missing(item), &Ops::GetAutoScanSetting, item);
    }
  };

  // --- State --------------------------------------------------------------------------------
  InnerUnknown<DeviceManagerObject> inner_{this};
  IUnknown* const outer_;  // the controlling unknown: the aggregate's, or inner_
  // The thirteen interface tables (IPreview2 and IAutoScan2 share theirs with the base).
  DeviceSetupTable deviceSetup_{this};
  DeviceTable device_{this};
  DeviceInfoDetailTable deviceInfoDetail_{this};
  InputSwitchTable inputSwitch_{this};
  InputQualityControlTable inputQualityControl_{this};
  PreviewTable preview_{this};
  PreviewWindowTable previewWindow_{this, kPreviewWindowNames};
  PreviewWindow2Table previewWindow2_{this, kPreviewWindow2Names};
  CustomWindowTable customWindow_{this, kCustomWindowNames};
  CustomWindow2Table customWindow2_{this, kCustomWindow2Names};
  SoundTable sound_{this};
  OutputDataTable outputData_{this};
  AutoScanTable autoScan_{this};
  std::unique_ptr<Ops> impl_;  // the device object: made in FinalConstruct, gone after FinalRelease
};
