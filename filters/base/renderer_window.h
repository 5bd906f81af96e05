// The video renderer's window bases: CBaseWindow (a top-level window owned by a thread of its
// own, so that it answers whatever the threads calling the filter do), CBaseControlWindow
// (IVideoWindow over that window) and CBaseControlVideo (IBasicVideo over the rectangle
// operations of the derived renderer window).
//
// Neither base implements IUnknown: the derived window object is one COM sub-object of its
// filter that answers both interfaces (their IDispatch parts have no type information).
// Locks: none of their own; calls arrive under the filter's lock or none, and the window's
// thread never takes the filter's lock.
#pragma once

#include "common/dshow.h"

#include <control.h>

#include "common/locks.h"
#include "common/thread.h"
#include "common/timeouts.h"
#include "filters/base/filter.h"

class CBaseWindow {
 public:
  CBaseWindow() = default;
  CBaseWindow(const CBaseWindow&) = delete;
  CBaseWindow& operator=(const CBaseWindow&) = delete;
  virtual ~CBaseWindow();

  // Starts the window's thread, which registers the class and creates the window (hidden).
  // The creation's result; 0x80070102 when the thread is not ready within the time-out.
  HRESULT PrepareWindow();
  // Destroys the window and ends its thread (derived destructors call it first).
  void DoneWithWindow();
  HWND GetWindowHWND() const noexcept { return m_hwnd; }
  void SetReadyTimeout(DWORD ms) noexcept { readyTimeout_ = ms; }

 protected:
  // The window class name (also the title) and the styles of class, window and extension.
  virtual const wchar_t* GetClassWindowStyles(DWORD* classStyles, DWORD* windowStyles, DWORD* exStyles) = 0;
  // Every message of the window, on its thread: by default WM_SIZE goes to OnSize, WM_CLOSE to
  // OnClose, the rest to DefWindowProcW.
  virtual LRESULT OnReceiveMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  virtual bool OnSize(LONG width, LONG height);
  // By default hides the window.
  virtual bool OnClose();

  HWND m_hwnd = nullptr;
  LONG m_Width = 0;   // the client size, as WM_SIZE last told
  LONG m_Height = 0;

 private:
  class WindowThread;
  static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  DWORD RunWindow(HANDLE stopEvent);

  WindowThread* thread_ = nullptr;
  UniqueHandle ready_;
  HRESULT created_ = E_FAIL;
  DWORD readyTimeout_ = timeouts::kMessageCall;
};

// IVideoWindow of a renderer's own window.
class CBaseControlWindow : public CBaseWindow, public IVideoWindow {
 public:
  explicit CBaseControlWindow(CBaseFilter* filter) : m_pFilter(filter) {}

  // IDispatch: no type information.
  STDMETHODIMP GetTypeInfoCount(UINT* count) override;
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
    return E_NOTIMPL;
  }

  STDMETHODIMP put_Caption(BSTR caption) override;
  STDMETHODIMP get_Caption(BSTR* caption) override;
  STDMETHODIMP put_WindowStyle(long style) override;
  STDMETHODIMP get_WindowStyle(long* style) override;
  STDMETHODIMP put_WindowStyleEx(long style) override;
  STDMETHODIMP get_WindowStyleEx(long* style) override;
  STDMETHODIMP put_AutoShow(long autoShow) override;
  STDMETHODIMP get_AutoShow(long* autoShow) override;
  STDMETHODIMP put_WindowState(long state) override;
  STDMETHODIMP get_WindowState(long* state) override;
  STDMETHODIMP put_BackgroundPalette(long palette) override;
  STDMETHODIMP get_BackgroundPalette(long* palette) override;
  STDMETHODIMP put_Visible(long visible) override;
  STDMETHODIMP get_Visible(long* visible) override;
  STDMETHODIMP put_Left(long left) override;
  STDMETHODIMP get_Left(long* left) override;
  STDMETHODIMP put_Width(long width) override;
  STDMETHODIMP get_Width(long* width) override;
  STDMETHODIMP put_Top(long top) override;
  STDMETHODIMP get_Top(long* top) override;
  STDMETHODIMP put_Height(long height) override;
  STDMETHODIMP get_Height(long* height) override;
  // A child of the owner (null: a top-level window again).
  STDMETHODIMP put_Owner(OAHWND owner) override;
  STDMETHODIMP get_Owner(OAHWND* owner) override;
  STDMETHODIMP put_MessageDrain(OAHWND drain) override;
  STDMETHODIMP get_MessageDrain(OAHWND* drain) override;
  STDMETHODIMP get_BorderColor(long* color) override;
  STDMETHODIMP put_BorderColor(long color) override;
  STDMETHODIMP get_FullScreenMode(long*) override { return E_NOTIMPL; }
  STDMETHODIMP put_FullScreenMode(long) override { return E_NOTIMPL; }
  STDMETHODIMP SetWindowForeground(long focus) override;
  STDMETHODIMP NotifyOwnerMessage(OAHWND hwnd, long message, LONG_PTR wParam, LONG_PTR lParam) override;
  STDMETHODIMP SetWindowPosition(long left, long top, long width, long height) override;
  STDMETHODIMP GetWindowPosition(long* left, long* top, long* width, long* height) override;
  STDMETHODIMP GetMinIdealImageSize(long*, long*) override { return E_NOTIMPL; }
  STDMETHODIMP GetMaxIdealImageSize(long*, long*) override { return E_NOTIMPL; }
  STDMETHODIMP GetRestorePosition(long* left, long* top, long* width, long* height) override;
  STDMETHODIMP HideCursor(long hide) override;
  STDMETHODIMP IsCursorHidden(long* hidden) override;

  bool AutoShow() const noexcept { return autoShow_; }

 protected:
  // The window's rectangle in its parent's client coordinates (the screen's for a top-level one).
  RECT PlacedRect() const;
  HRESULT Place(const RECT& rect);

  CBaseFilter* const m_pFilter;  // not owned: the filter owns the window object

 private:
  HWND owner_ = nullptr;
  HWND drain_ = nullptr;
  bool autoShow_ = true;
  bool backgroundPalette_ = false;
  bool cursorHidden_ = false;
  long borderColor_ = 0;
};

// IBasicVideo over the derived window's rectangles and format.
class CBaseControlVideo : public IBasicVideo {
 public:
  explicit CBaseControlVideo(CBaseFilter* filter) : m_pFilter(filter) {}

  STDMETHODIMP GetTypeInfoCount(UINT* count) override;
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
    return E_NOTIMPL;
  }

  STDMETHODIMP get_AvgTimePerFrame(REFTIME* time) override;
  STDMETHODIMP get_BitRate(long* rate) override;
  STDMETHODIMP get_BitErrorRate(long* rate) override;
  STDMETHODIMP get_VideoWidth(long* width) override;
  STDMETHODIMP get_VideoHeight(long* height) override;
  STDMETHODIMP put_SourceLeft(long value) override { return PutEdge(false, kLeft, value); }
  STDMETHODIMP get_SourceLeft(long* value) override { return GetEdge(false, kLeft, value); }
  STDMETHODIMP put_SourceWidth(long value) override { return PutEdge(false, kWidth, value); }
  STDMETHODIMP get_SourceWidth(long* value) override { return GetEdge(false, kWidth, value); }
  STDMETHODIMP put_SourceTop(long value) override { return PutEdge(false, kTop, value); }
  STDMETHODIMP get_SourceTop(long* value) override { return GetEdge(false, kTop, value); }
  STDMETHODIMP put_SourceHeight(long value) override { return PutEdge(false, kHeight, value); }
  STDMETHODIMP get_SourceHeight(long* value) override { return GetEdge(false, kHeight, value); }
  STDMETHODIMP put_DestinationLeft(long value) override { return PutEdge(true, kLeft, value); }
  STDMETHODIMP get_DestinationLeft(long* value) override { return GetEdge(true, kLeft, value); }
  STDMETHODIMP put_DestinationWidth(long value) override { return PutEdge(true, kWidth, value); }
  STDMETHODIMP get_DestinationWidth(long* value) override { return GetEdge(true, kWidth, value); }
  STDMETHODIMP put_DestinationTop(long value) override { return PutEdge(true, kTop, value); }
  STDMETHODIMP get_DestinationTop(long* value) override { return GetEdge(true, kTop, value); }
  STDMETHODIMP put_DestinationHeight(long value) override { return PutEdge(true, kHeight, value); }
  STDMETHODIMP get_DestinationHeight(long* value) override { return GetEdge(true, kHeight, value); }
  STDMETHODIMP SetSourcePosition(long left, long top, long width, long height) override;
  STDMETHODIMP GetSourcePosition(long* left, long* top, long* width, long* height) override;
  STDMETHODIMP SetDefaultSourcePosition() override { return SetDefaultSourceRect(); }
  STDMETHODIMP SetDestinationPosition(long left, long top, long width, long height) override;
  STDMETHODIMP GetDestinationPosition(long* left, long* top, long* width, long* height) override;
  STDMETHODIMP SetDefaultDestinationPosition() override { return SetDefaultTargetRect(); }
  STDMETHODIMP GetVideoSize(long* width, long* height) override;
  STDMETHODIMP GetVideoPaletteEntries(long, long, long*, long*) override { return VFW_E_NO_PALETTE_AVAILABLE; }
  STDMETHODIMP GetCurrentImage(long* size, long* image) override { return GetStaticImage(size, image); }
  STDMETHODIMP IsUsingDefaultSource() override { return IsDefaultSourceRect(); }
  STDMETHODIMP IsUsingDefaultDestination() override { return IsDefaultTargetRect(); }

  // --- What the derived window provides --------------------------------------------------------
  virtual HRESULT IsDefaultTargetRect() = 0;
  virtual HRESULT SetDefaultTargetRect() = 0;
  virtual HRESULT SetTargetRect(RECT* rect) = 0;
  virtual HRESULT GetTargetRect(RECT* rect) = 0;
  virtual HRESULT IsDefaultSourceRect() = 0;
  virtual HRESULT SetDefaultSourceRect() = 0;
  virtual HRESULT SetSourceRect(RECT* rect) = 0;
  virtual HRESULT GetSourceRect(RECT* rect) = 0;
  virtual HRESULT GetStaticImage(long* size, long* image) = 0;
  // The connected format (null before a connection).
  virtual VIDEOINFOHEADER* GetVideoFormat() = 0;
  virtual HRESULT OnUpdateRectangles() = 0;
  // EC_VIDEO_SIZE_CHANGED with the format's size (height in the high word).
  virtual HRESULT OnVideoSizeChange();

 protected:
  CBaseFilter* const m_pFilter;

 private:
  enum Edge { kLeft, kTop, kWidth, kHeight };
  HRESULT PutEdge(bool destination, Edge edge, long value);
  HRESULT GetEdge(bool destination, Edge edge, long* value);
};
