// The board control's COM class HighQualityVideoControl: an aggregatable in-process object whose
// methods trace their call, and forward to the board controller (which holds the board-access
// mutex across processes for each of them).
#pragma once

#include <windows.h>

#include <atomic>

#include "board/VornCon.h"
#include "board/board_controller.h"
#include "board/initialize_slots.h"

namespace board {

extern const CLSID kHighQualityVideoControlClass;  // {B71C13AA-78B0-411C-A96C-0C4F85D08B50}

using VideoViewSlots = InitializeSlots<IVideoView>;
using VideoPropertySlots = InitializeSlots<IVideoProperty>;

class CHighQualityVideoControl final : public VideoViewSlots,
                                      public VideoPropertySlots,
                                      public IScreenMode,
                                      public IHardwareInfo,
                                      public IDirectControl {
 public:
  // Makes an object (aggregated when `outer` is given, which then must ask for IUnknown) and
  // runs its construction: the board's initialisation and, for the first object, its set-up.
  static HRESULT Create(IUnknown* outer, REFIID iid, void** out, ControllerSetup setup = {});
  // Objects alive in this module (DllCanUnloadNow).
  static long Objects() noexcept { return objects_; }

  // IUnknown (delegating to the outer object when aggregated)
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override { return outer_->QueryInterface(iid, out); }
  STDMETHODIMP_(ULONG) AddRef() override { return outer_->AddRef(); }
  STDMETHODIMP_(ULONG) Release() override { return outer_->Release(); }

  // IVideoView
  HRESULT InitializeOf(IVideoView*, long reserve) override;
  STDMETHODIMP ShowView(long show) override;
  STDMETHODIMP IsShowView(long* show) override;
  STDMETHODIMP SetColorKey(unsigned long color) override;
  STDMETHODIMP GetColorKey(unsigned long* color) override;
  STDMETHODIMP SetSrcSize(RECT* rect) override;
  STDMETHODIMP GetSrcSize(RECT* rect) override;
  STDMETHODIMP GetSrcPosition(RECT* rect) override;
  STDMETHODIMP SetSrcPosition(RECT* rect) override;
  STDMETHODIMP GetViewPosition(RECT* rect) override;
  STDMETHODIMP SetViewPosition(RECT* rect) override;
  STDMETHODIMP GetZoomMode(long* mode) override;
  STDMETHODIMP SetZoomMode(long mode) override;
  HRESULT UninitializeOf(IVideoView*, long reserve) override;

  // IVideoProperty
  HRESULT InitializeOf(IVideoProperty*, long reserve) override;
  HRESULT UninitializeOf(IVideoProperty*, long reserve) override;
  STDMETHODIMP GetAvailableProcAmpControl(long* property) override;
  STDMETHODIMP GetProcAmpControlRange(long property, long* minimum, long* maximum, long* defaultValue) override;
  STDMETHODIMP GetProcAmpControl(long property, long* value, long flush) override;
  STDMETHODIMP SetProcAmpControl(long property, long value, long flush) override;

  // IScreenMode
  STDMETHODIMP SetColorFormat(long format) override;
  STDMETHODIMP GetColorFormat(long* format) override;
  STDMETHODIMP SetRegistry(long read) override;
  STDMETHODIMP GetAvailableDestSize(SIZE* minimum, SIZE* maximum) override;

  // IHardwareInfo
  STDMETHODIMP GetDisplayPanelId(unsigned char* id) override;
  STDMETHODIMP GetDisplayPanelSize(long* height, long* width) override;

  // IDirectControl
  STDMETHODIMP ResetOstrel(long reserve) override;
  STDMETHODIMP MuteTv(long enable) override;
  STDMETHODIMP IsMuteTv(long* enable) override;

 private:
  // The object's own IUnknown, which the outer object holds when aggregated.
  class Inner final : public IUnknown {
   public:
    explicit Inner(CHighQualityVideoControl* self) : self_(self) {}
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++self_->refs_); }
    STDMETHODIMP_(ULONG) Release() override;

   private:
    CHighQualityVideoControl* const self_;
  };

  CHighQualityVideoControl(IUnknown* outer, ControllerSetup setup);
  ~CHighQualityVideoControl();

  Inner inner_{this};
  IUnknown* const outer_;  // the aggregating object (not referenced: it owns us) or inner_
  std::atomic<long> refs_{1};
  BoardController controller_;
  static std::atomic<long> objects_;
};

}  // namespace board
