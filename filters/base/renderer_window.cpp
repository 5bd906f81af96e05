#include "filters/base/renderer_window.h"

#include <oleauto.h>

#include <new>
#include <string>

#include "common/hresult.h"
#include "common/module.h"

// --- CBaseWindow ----------------------------------------------------------------------------------

class CBaseWindow::WindowThread final : public StoppableThread {
 public:
  explicit WindowThread(CBaseWindow* window) : window_(window) {}
  ~WindowThread() override { Stop(); }

 protected:
  DWORD Run() override { return window_->RunWindow(stopEvent()); }

 private:
  CBaseWindow* const window_;
};

CBaseWindow::~CBaseWindow() { DoneWithWindow(); }

HRESULT CBaseWindow::PrepareWindow() {
  if (thread_) return E_UNEXPECTED;
  ready_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!ready_) return HResultFromLastError();
  thread_ = new (std::nothrow) WindowThread(this);
  if (!thread_) return E_OUTOFMEMORY;
  RETURN_IF_FAILED(thread_->Start());
  const HANDLE waits[] = {ready_.get(), thread_->threadHandle()};
  const DWORD waited = WaitForMultipleObjects(2, waits, FALSE, readyTimeout_);
  if (waited == WAIT_OBJECT_0) return created_;
  if (waited == WAIT_OBJECT_0 + 1) return FAILED(created_) ? created_ : E_FAIL;
  return HResultFromWin32(WAIT_TIMEOUT);
}

void CBaseWindow::DoneWithWindow() {
  if (!thread_) return;
  // The window's last messages may go to windows of this thread (a host's window that owns
  // ours): this thread answers them while it waits for the window's thread to end.
  if (thread_->stopEvent() && thread_->threadHandle()) {
    SetEvent(thread_->stopEvent());
    const HANDLE thread = thread_->threadHandle();
    const DWORD start = GetTickCount();
    for (;;) {
      const DWORD elapsed = GetTickCount() - start;
      if (elapsed >= thread_->stopTimeout()) break;
      const DWORD waited = MsgWaitForMultipleObjects(1, &thread, FALSE, thread_->stopTimeout() - elapsed, QS_SENDMESSAGE);
      if (waited != WAIT_OBJECT_0 + 1) break;
      MSG msg;
      PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);  // runs the sent messages
    }
  }
  delete thread_;  // the thread has ended (else it is stopped the hard way)
  thread_ = nullptr;
}

DWORD CBaseWindow::RunWindow(HANDLE stopEvent) {
  DWORD classStyles = 0, windowStyles = 0, exStyles = 0;
  const wchar_t* name = GetClassWindowStyles(&classStyles, &windowStyles, &exStyles);
  WNDCLASSEXW wc = {};
  wc.cbSize = sizeof(wc);
  if (!GetClassInfoExW(ThisModule(), name, &wc)) {
    wc = {};
    wc.cbSize = sizeof(wc);
    wc.style = classStyles;
    wc.lpfnWndProc = &WindowProc;
    wc.hInstance = ThisModule();
    wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    wc.lpszClassName = name;
    if (!RegisterClassExW(&wc) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
      created_ = HResultFromLastError();
      SetEvent(ready_.get());
      return static_cast<DWORD>(created_);
    }
  }
  HWND hwnd = CreateWindowExW(exStyles, name, name, windowStyles, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                              CW_USEDEFAULT, nullptr, nullptr, ThisModule(), this);
  created_ = hwnd ? S_OK : HResultFromLastError();
  SetEvent(ready_.get());
  if (!hwnd) return static_cast<DWORD>(created_);
  for (;;) {
    const DWORD waited = MsgWaitForMultipleObjects(1, &stopEvent, FALSE, INFINITE, QS_ALLINPUT);
    if (waited != WAIT_OBJECT_0 + 1) break;
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
  }
  ShowWindow(hwnd, SW_HIDE);
  DestroyWindow(hwnd);
  m_hwnd = nullptr;
  return 0;
}

LRESULT CALLBACK CBaseWindow::WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    auto* self = static_cast<CBaseWindow*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    self->m_hwnd = hwnd;
  }
  auto* self = reinterpret_cast<CBaseWindow*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (!self) return DefWindowProcW(hwnd, message, wParam, lParam);
  if (message == WM_NCDESTROY) SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
  bool handled = false;
  LRESULT result = 0;
  GuardNoThrow([&] {
    result = self->OnReceiveMessage(hwnd, message, wParam, lParam);
    handled = true;
  });
  return handled ? result : DefWindowProcW(hwnd, message, wParam, lParam);
}

LRESULT CBaseWindow::OnReceiveMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_SIZE) {
    m_Width = static_cast<short>(LOWORD(lParam));
    m_Height = static_cast<short>(HIWORD(lParam));
    OnSize(m_Width, m_Height);
    return 0;
  }
  if (message == WM_CLOSE && OnClose()) return 0;
  return DefWindowProcW(hwnd, message, wParam, lParam);
}

bool CBaseWindow::OnSize(LONG, LONG) { return true; }

bool CBaseWindow::OnClose() {
  ShowWindow(m_hwnd, SW_HIDE);
  return true;
}

// --- CBaseControlWindow ---------------------------------------------------------------------------

namespace {

constexpr long kRefusedStyles = WS_DISABLED | WS_HSCROLL | WS_VSCROLL | WS_ICONIC | WS_MAXIMIZE;
constexpr long kTrue = -1;  // OATRUE

HRESULT NeedWindow(HWND hwnd) { return hwnd && IsWindow(hwnd) ? S_OK : VFW_E_NOT_CONNECTED; }

// A rectangle as position and size.
HRESULT WritePosition(const RECT& r, long* left, long* top, long* width, long* height) {
  if (!left || !top || !width || !height) return E_POINTER;
  *left = r.left;
  *top = r.top;
  *width = r.right - r.left;
  *height = r.bottom - r.top;
  return S_OK;
}

HRESULT PutStyle(HWND hwnd, int index, long style) {
  RETURN_IF_FAILED(NeedWindow(hwnd));
  SetWindowLongPtrW(hwnd, index, style);
  SetWindowPos(hwnd, nullptr, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE | SWP_FRAMECHANGED);
  return S_OK;
}

HRESULT GetStyle(HWND hwnd, int index, long* style) {
  if (!style) return E_POINTER;
  RETURN_IF_FAILED(NeedWindow(hwnd));
  *style = static_cast<long>(GetWindowLongPtrW(hwnd, index));
  return S_OK;
}

}  // namespace

STDMETHODIMP CBaseControlWindow::GetTypeInfoCount(UINT* count) {
  if (!count) return E_POINTER;
  *count = 0;
  return S_OK;
}

STDMETHODIMP CBaseControlWindow::put_Caption(BSTR caption) {
  RETURN_IF_FAILED(NeedWindow(m_hwnd));
  return SetWindowTextW(m_hwnd, caption ? caption : L"") ? S_OK : HResultFromLastError();
}

STDMETHODIMP CBaseControlWindow::get_Caption(BSTR* caption) {
  if (!caption) return E_POINTER;
  RETURN_IF_FAILED(NeedWindow(m_hwnd));
  std::wstring text(static_cast<size_t>(GetWindowTextLengthW(m_hwnd)) + 1, L'\0');
  const int length = GetWindowTextW(m_hwnd, text.data(), static_cast<int>(text.size()));
  *caption = SysAllocStringLen(text.data(), static_cast<UINT>(length > 0 ? length : 0));
  return *caption ? S_OK : E_OUTOFMEMORY;
}

STDMETHODIMP CBaseControlWindow::put_WindowStyle(long style) {
  if (style & kRefusedStyles) return E_INVALIDARG;
  // A window with an owner stays its child.
  return PutStyle(m_hwnd, GWL_STYLE, owner_ ? (style & ~WS_POPUP) | WS_CHILD : style);
}

STDMETHODIMP CBaseControlWindow::get_WindowStyle(long* style) { return GetStyle(m_hwnd, GWL_STYLE, style); }
STDMETHODIMP CBaseControlWindow::put_WindowStyleEx(long style) { return PutStyle(m_hwnd, GWL_EXSTYLE, style); }
STDMETHODIMP CBaseControlWindow::get_WindowStyleEx(long* style) { return GetStyle(m_hwnd, GWL_EXSTYLE, style); }

STDMETHODIMP CBaseControlWindow::put_AutoShow(long autoShow) {
  autoShow_ = autoShow != 0;
  return S_OK;
}

STDMETHODIMP CBaseControlWindow::get_AutoShow(long* autoShow) {
  if (!autoShow) return E_POINTER;
  *autoShow = autoShow_ ? kTrue : 0;
  return S_OK;
}

STDMETHODIMP CBaseControlWindow::put_WindowState(long state) {
  RETURN_IF_FAILED(NeedWindow(m_hwnd));
  ShowWindow(m_hwnd, static_cast<int>(state));
  return S_OK;
}

STDMETHODIMP CBaseControlWindow::get_WindowState(long* state) {
  if (!state) return E_POINTER;
  RETURN_IF_FAILED(NeedWindow(m_hwnd));
  *state = IsIconic(m_hwnd) ? SW_MINIMIZE : IsZoomed(m_hwnd) ? SW_MAXIMIZE : IsWindowVisible(m_hwnd) ? SW_SHOW : SW_HIDE;
  return S_OK;
}

STDMETHODIMP CBaseControlWindow::put_BackgroundPalette(long palette) {
  backgroundPalette_ = palette != 0;
  return S_OK;
}

STDMETHODIMP CBaseControlWindow::get_BackgroundPalette(long* palette) {
  if (!palette) return E_POINTER;
  *palette = backgroundPalette_ ? kTrue : 0;
  return S_OK;
}

STDMETHODIMP CBaseControlWindow::put_Visible(long visible) {
  RETURN_IF_FAILED(NeedWindow(m_hwnd));
  ShowWindow(m_hwnd, visible ? SW_SHOWNORMAL : SW_HIDE);
  return S_OK;
}

STDMETHODIMP CBaseControlWindow::get_Visible(long* visible) {
  if (!visible) return E_POINTER;
  RETURN_IF_FAILED(NeedWindow(m_hwnd));
  *visible = IsWindowVisible(m_hwnd) ? kTrue : 0;
  return S_OK;
}

RECT CBaseControlWindow::PlacedRect() const {
  RECT rect = {};
  GetWindowRect(m_hwnd, &rect);
  if (HWND parent = GetParent(m_hwnd)) MapWindowPoints(HWND_DESKTOP, parent, reinterpret_cast<POINT*>(&rect), 2);
  return rect;
}

HRESULT CBaseControlWindow::Place(const RECT& rect) {
  if (rect.right - rect.left < 0 || rect.bottom - rect.top < 0) return E_INVALIDARG;
  if (!SetWindowPos(m_hwnd, nullptr, rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top,
                    SWP_NOZORDER | SWP_NOACTIVATE)) {
    return HResultFromLastError();
  }
  return S_OK;
}

#define VORN_WINDOW_EDGE(name, apply, read)          \
  STDMETHODIMP CBaseControlWindow::put_##name(long value) { \
    RETURN_IF_FAILED(NeedWindow(m_hwnd));             \
    RECT r = PlacedRect();                            \
    apply;                                            \
    return Place(r);                                  \
  }                                                   \
  STDMETHODIMP CBaseControlWindow::get_##name(long* value) { \
    if (!value) return E_POINTER;                     \
    RETURN_IF_FAILED(NeedWindow(m_hwnd));             \
    const RECT r = PlacedRect();                      \
    *value = read;                                    \
    return S_OK;                                      \
  }

VORN_WINDOW_EDGE(Left, (r.right += value - r.left, r.left = value), r.left)
VORN_WINDOW_EDGE(Top, (r.bottom += value - r.top, r.top = value), r.top)
VORN_WINDOW_EDGE(Width, r.right = r.left + value, r.right - r.left)
VORN_WINDOW_EDGE(Height, r.bottom = r.top + value, r.bottom - r.top)
#undef VORN_WINDOW_EDGE

STDMETHODIMP CBaseControlWindow::put_Owner(OAHWND owner) {
  RETURN_IF_FAILED(NeedWindow(m_hwnd));
  HWND parent = reinterpret_cast<HWND>(owner);
  if (parent && !IsWindow(parent)) return E_INVALIDARG;
  LONG_PTR style = GetWindowLongPtrW(m_hwnd, GWL_STYLE);
  style = parent ? ((style & ~static_cast<LONG_PTR>(WS_POPUP)) | WS_CHILD) : (style & ~static_cast<LONG_PTR>(WS_CHILD));
  SetWindowLongPtrW(m_hwnd, GWL_STYLE, style);
  SetParent(m_hwnd, parent);
  owner_ = parent;
  SetWindowPos(m_hwnd, nullptr, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE | SWP_FRAMECHANGED);
  return S_OK;
}

STDMETHODIMP CBaseControlWindow::get_Owner(OAHWND* owner) {
  if (!owner) return E_POINTER;
  *owner = reinterpret_cast<OAHWND>(owner_);
  return S_OK;
}

STDMETHODIMP CBaseControlWindow::put_MessageDrain(OAHWND drain) {
  drain_ = reinterpret_cast<HWND>(drain);
  return S_OK;
}

STDMETHODIMP CBaseControlWindow::get_MessageDrain(OAHWND* drain) {
  if (!drain) return E_POINTER;
  *drain = reinterpret_cast<OAHWND>(drain_);
  return S_OK;
}

STDMETHODIMP CBaseControlWindow::get_BorderColor(long* color) {
  if (!color) return E_POINTER;
  *color = borderColor_;
  return S_OK;
}

STDMETHODIMP CBaseControlWindow::put_BorderColor(long color) {
  borderColor_ = color;
  return S_OK;
}

STDMETHODIMP CBaseControlWindow::SetWindowForeground(long focus) {
  RETURN_IF_FAILED(NeedWindow(m_hwnd));
  if (focus) SetForegroundWindow(m_hwnd);
  ShowWindow(m_hwnd, focus ? SW_SHOWNORMAL : SW_SHOWNOACTIVATE);
  return S_OK;
}

STDMETHODIMP CBaseControlWindow::NotifyOwnerMessage(OAHWND, long message, LONG_PTR wParam, LONG_PTR lParam) {
  RETURN_IF_FAILED(NeedWindow(m_hwnd));
  // What the owner's window hears of the system that concerns ours too.
  switch (message) {
    case WM_DISPLAYCHANGE:
    case WM_SYSCOLORCHANGE:
    case WM_PALETTECHANGED:
    case WM_QUERYNEWPALETTE:
    case WM_DEVMODECHANGE:
    case WM_ACTIVATEAPP:
      SendMessageW(m_hwnd, static_cast<UINT>(message), static_cast<WPARAM>(wParam), static_cast<LPARAM>(lParam));
      break;
    default:
      break;
  }
  return S_OK;
}

STDMETHODIMP CBaseControlWindow::SetWindowPosition(long left, long top, long width, long height) {
  RETURN_IF_FAILED(NeedWindow(m_hwnd));
  return Place(RECT{left, top, left + width, top + height});
}

STDMETHODIMP CBaseControlWindow::GetWindowPosition(long* left, long* top, long* width, long* height) {
  RETURN_IF_FAILED(NeedWindow(m_hwnd));
  return WritePosition(PlacedRect(), left, top, width, height);
}

STDMETHODIMP CBaseControlWindow::GetRestorePosition(long* left, long* top, long* width, long* height) {
  RETURN_IF_FAILED(NeedWindow(m_hwnd));
  WINDOWPLACEMENT placement = {};
  placement.length = sizeof(placement);
  if (!GetWindowPlacement(m_hwnd, &placement)) return HResultFromLastError();
  return WritePosition(placement.rcNormalPosition, left, top, width, height);
}

STDMETHODIMP CBaseControlWindow::HideCursor(long hide) {
  cursorHidden_ = hide != 0;
  return S_OK;
}

STDMETHODIMP CBaseControlWindow::IsCursorHidden(long* hidden) {
  if (!hidden) return E_POINTER;
  *hidden = cursorHidden_ ? kTrue : 0;
  return S_OK;
}

// --- CBaseControlVideo ----------------------------------------------------------------------------

STDMETHODIMP CBaseControlVideo::GetTypeInfoCount(UINT* count) {
  if (!count) return E_POINTER;
  *count = 0;
  return S_OK;
}

STDMETHODIMP CBaseControlVideo::get_AvgTimePerFrame(REFTIME* time) {
  if (!time) return E_POINTER;
  const VIDEOINFOHEADER* format = GetVideoFormat();
  if (!format) return VFW_E_NOT_CONNECTED;
  *time = static_cast<REFTIME>(format->AvgTimePerFrame) / 10000000.0;
  return S_OK;
}

STDMETHODIMP CBaseControlVideo::get_BitRate(long* rate) {
  if (!rate) return E_POINTER;
  const VIDEOINFOHEADER* format = GetVideoFormat();
  if (!format) return VFW_E_NOT_CONNECTED;
  *rate = static_cast<long>(format->dwBitRate);
  return S_OK;
}

STDMETHODIMP CBaseControlVideo::get_BitErrorRate(long* rate) {
  if (!rate) return E_POINTER;
  const VIDEOINFOHEADER* format = GetVideoFormat();
  if (!format) return VFW_E_NOT_CONNECTED;
  *rate = static_cast<long>(format->dwBitErrorRate);
  return S_OK;
}

STDMETHODIMP CBaseControlVideo::get_VideoWidth(long* width) {
  long height = 0;
  if (!width) return E_POINTER;
  return GetVideoSize(width, &height);
}

STDMETHODIMP CBaseControlVideo::get_VideoHeight(long* height) {
  long width = 0;
  if (!height) return E_POINTER;
  return GetVideoSize(&width, height);
}

STDMETHODIMP CBaseControlVideo::GetVideoSize(long* width, long* height) {
  if (!width || !height) return E_POINTER;
  const VIDEOINFOHEADER* format = GetVideoFormat();
  if (!format) return VFW_E_NOT_CONNECTED;
  *width = format->bmiHeader.biWidth;
  *height = format->bmiHeader.biHeight < 0 ? -format->bmiHeader.biHeight : format->bmiHeader.biHeight;
  return S_OK;
}

HRESULT CBaseControlVideo::PutEdge(bool destination, Edge edge, long value) {
  RECT r = {};
  RETURN_IF_FAILED(destination ? GetTargetRect(&r) : GetSourceRect(&r));
  switch (edge) {
    case kLeft:
      r.right += value - r.left;
      r.left = value;
      break;
    case kTop:
      r.bottom += value - r.top;
      r.top = value;
      break;
    case kWidth:
      r.right = r.left + value;
      break;
    case kHeight:
      r.bottom = r.top + value;
      break;
  }
  return destination ? SetTargetRect(&r) : SetSourceRect(&r);
}

HRESULT CBaseControlVideo::GetEdge(bool destination, Edge edge, long* value) {
  if (!value) return E_POINTER;
  RECT r = {};
  RETURN_IF_FAILED(destination ? GetTargetRect(&r) : GetSourceRect(&r));
  *value = edge == kLeft ? r.left : edge == kTop ? r.top : edge == kWidth ? r.right - r.left : r.bottom - r.top;
  return S_OK;
}

STDMETHODIMP CBaseControlVideo::SetSourcePosition(long left, long top, long width, long height) {
  RECT r = {left, top, left + width, top + height};
  return SetSourceRect(&r);
}

STDMETHODIMP CBaseControlVideo::GetSourcePosition(long* left, long* top, long* width, long* height) {
  RECT r = {};
  RETURN_IF_FAILED(GetSourceRect(&r));
  return WritePosition(r, left, top, width, height);
}

STDMETHODIMP CBaseControlVideo::SetDestinationPosition(long left, long top, long width, long height) {
  RECT r = {left, top, left + width, top + height};
  return SetTargetRect(&r);
}

STDMETHODIMP CBaseControlVideo::GetDestinationPosition(long* left, long* top, long* width, long* height) {
  RECT r = {};
  RETURN_IF_FAILED(GetTargetRect(&r));
  return WritePosition(r, left, top, width, height);
}

HRESULT CBaseControlVideo::OnVideoSizeChange() {
  const VIDEOINFOHEADER* format = GetVideoFormat();
  if (!format || !m_pFilter) return VFW_E_NOT_CONNECTED;
  const DWORD size = (static_cast<DWORD>(format->bmiHeader.biHeight) << 16) |
                     (static_cast<DWORD>(format->bmiHeader.biWidth) & 0xFFFF);
  return m_pFilter->NotifyEvent(EC_VIDEO_SIZE_CHANGED, static_cast<LONG_PTR>(size), 0);
}
