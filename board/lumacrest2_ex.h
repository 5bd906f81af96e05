// The preview control's COM class Lumacrest2Ex: every method of every object in every process
// runs under one per-call mutex; IPreviewControl is held by one object of the whole system at a
// time (the control exclusion); the work goes to the preview engine and the board control.
//
// Locks, outermost first: the per-call mutex, then the engine lock.
#pragma once

#include <windows.h>

#include <atomic>

#include "board/VornConEx.h"
#include "board/initialize_slots.h"
#include "board/picture_properties.h"
#include "board/preview_engine.h"
#include "common/locks.h"

namespace board {

extern const CLSID kLumacrest2ExClass;  // {191331D4-D4C8-43D5-BAE9-D239B73E10B8}

// The names of the per-call mutex and the two exclusions (tests give their own).
struct PreviewNames {
  const wchar_t* callMutex = L"Global\\VornConEx{E1E035C1-0D37-4efd-A4AD-A5E4D32B7F84}";
  const wchar_t* controlExclusion = L"Global\\VornConEx{E1E035C1-0D37-4efd-A4AD-A5E4D32B7F85}";
  const wchar_t* propertyExclusion = L"Global\\VornConEx{E1E035C1-0D37-4efd-A4AD-A5E4D32B7F86}";
};

// One interface's hold on a system-wide exclusion: a named mutex created atomically.
class PreviewExclusion {
 public:
  explicit PreviewExclusion(const wchar_t* name) : mutex_(name) {}
  HRESULT Acquire();
  HRESULT Release();
  bool initialized() const noexcept { return initialized_; }

 private:
  NamedMutex mutex_;
  bool initialized_ = false;
};

using PreviewControlSlots = InitializeSlots<IPreviewControl2>;
using PreviewPropertySlots = InitializeSlots<IPreviewProperty2>;
using FirstPreviewPropertySlots = InitializeSlots<IPreviewProperty>;

class Lumacrest2Ex final : public PreviewControlSlots,
                           public PreviewPropertySlots,
                           public FirstPreviewPropertySlots,
                           public IPreviewMode2,
                           public IPreviewInfo {
 public:
  // Makes an object bound to the board control in `directory` (the module's own by default).
  static HRESULT Create(REFIID iid, void** out, const std::wstring& directory, PreviewNames names = {});
  static long Objects() noexcept { return objects_; }

  // IUnknown
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
  STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++refs_); }
  STDMETHODIMP_(ULONG) Release() override;

  // IPreviewControl2
  HRESULT InitializeOf(IPreviewControl2*, long reserve) override;
  STDMETHODIMP SetVideoSize(SIZE* size) override;
  STDMETHODIMP SetVideoClippingWindow(HWND window) override;
  STDMETHODIMP SetVideoPosition(RECT* source, RECT* destination) override;
  STDMETHODIMP GetVideoPosition(RECT* source, RECT* destination) override;
  STDMETHODIMP SetColorKey(unsigned long key) override;
  STDMETHODIMP GetColorKey(unsigned long* key) override;
  STDMETHODIMP RepaintVideo(HWND window, HDC dc) override;
  STDMETHODIMP DisplayModeChanged() override;
  STDMETHODIMP SetZoomMode(long mode) override;
  STDMETHODIMP GetZoomMode(long* mode) override;
  HRESULT UninitializeOf(IPreviewControl2*, long reserve) override;
  STDMETHODIMP GetVideoSize(SIZE* size) override;
  STDMETHODIMP GetVideoClippingWindow(HWND* window) override;
  STDMETHODIMP SetMuteTimer(unsigned long timeout) override;

  // IPreviewProperty2, and IPreviewProperty with its own table: the same six methods, but its
  // Uninitialize follows SetProcAmpControl where the second interface has its preset calls.
  HRESULT InitializeOf(IPreviewProperty2*, long reserve) override;
  STDMETHODIMP GetAvailableProcAmpControl(long* property) override;
  STDMETHODIMP GetProcAmpControlRange(long property, long* minimum, long* maximum, long* step, long* defaultValue) override;
  STDMETHODIMP GetProcAmpControl(long type, long* value) override;
  STDMETHODIMP SetProcAmpControl(long type, long value) override;
  STDMETHODIMP GetAvailableProcAmpPreset(long* preset) override;
  STDMETHODIMP GetProcAmpPreset(long preset, long property, long* value) override;
  HRESULT UninitializeOf(IPreviewProperty2*, long reserve) override;
  HRESULT InitializeOf(IPreviewProperty*, long reserve) override { return InitializeOf(props(), reserve); }
  HRESULT UninitializeOf(IPreviewProperty*, long reserve) override { return UninitializeOf(props(), reserve); }

  // IPreviewMode2
  STDMETHODIMP GetColorFormat(long* format) override;
  STDMETHODIMP SetColorFormat(long format) override;
  STDMETHODIMP GetAvailableDestSize(SIZE* minimum, SIZE* maximum) override;
  STDMETHODIMP GetWideZoomRect(SIZE* video, RECT* source, RECT* linear, RECT* nonLinear) override;

  // IPreviewInfo
  STDMETHODIMP GetDisplayPanelId(unsigned char* id) override;
  STDMETHODIMP GetDisplayPanelSize(SIZE* size) override;

 private:
  Lumacrest2Ex(const PreviewNames& names, const std::wstring& directory);
  ~Lumacrest2Ex();
  HRESULT FinalConstruct(const std::wstring& directory);
  IPreviewProperty2* props() noexcept { return this; }
  // Runs `f` under the per-call mutex once the control exclusion is held.
  template <class F>
  HRESULT Controlled(F f);

  std::atomic<long> refs_{1};
  NamedMutex callMutex_;
  BoardClient board_;
  PreviewEngine engine_{board_};
  PictureProperties properties_;
  PreviewExclusion control_;
  PreviewExclusion property_;
  static std::atomic<long> objects_;
};

}  // namespace board
