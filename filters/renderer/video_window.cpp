#include "filters/renderer/video_window.h"

#include "common/hresult.h"
#include "common/trace.h"
#include "filters/renderer/preview_controller.h"
#include "filters/renderer/video_renderer.h"

namespace vren {

namespace {

bool LeftEdge(WPARAM edge) { return edge == WMSZ_LEFT || edge == WMSZ_TOPLEFT || edge == WMSZ_BOTTOMLEFT; }
bool TopEdge(WPARAM edge) { return edge == WMSZ_TOP || edge == WMSZ_TOPLEFT || edge == WMSZ_TOPRIGHT; }

}  // namespace

VideoWindow::VideoWindow(VideoRenderer* renderer, PreviewController* preview)
    : CUnknown(L"VideoWindow", static_cast<IBaseFilter*>(renderer)),
      CBaseControlWindow(renderer),
      CBaseControlVideo(renderer),
      renderer_(renderer),
      preview_(preview) {}

VideoWindow::~VideoWindow() {
  if (m_hwnd) ShowWindow(m_hwnd, SW_HIDE);
  DoneWithWindow();
}

HRESULT VideoWindow::Create() {
  RETURN_IF_FAILED(preview_->GetAvailableDestSize(&minimum_, &maximum_));
  RETURN_IF_FAILED(PrepareWindow());
  RECT window = {}, client = {};
  GetWindowRect(m_hwnd, &window);
  GetClientRect(m_hwnd, &client);
  frame_ = SIZE{(window.right - window.left) - (client.right - client.left),
                (window.bottom - window.top) - (client.bottom - client.top)};
  return S_OK;
}

const wchar_t* VideoWindow::GetClassWindowStyles(DWORD* classStyles, DWORD* windowStyles, DWORD* exStyles) {
  *classStyles = kClassStyles;
  *windowStyles = kWindowStyles;
  *exStyles = kExStyles;
  return kVideoWindowName;
}

STDMETHODIMP VideoWindow::NonDelegatingQueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  VMRFilterConfig* config = renderer_->FilterConfig();
  if (!config || config->Mode() != kWindowed) return E_NOINTERFACE;
  if (iid == IID_IVideoWindow) {
    config->Fix();
    return GetInterface(static_cast<IVideoWindow*>(this), out);
  }
  if (iid == IID_IBasicVideo) {
    config->Fix();
    return GetInterface(static_cast<IBasicVideo*>(this), out);
  }
  return E_NOINTERFACE;
}

HRESULT VideoWindow::SetFormat(const CMediaType* type) {
  if (!type) return E_POINTER;
  if (*type->FormatType() == FORMAT_VideoInfo && type->FormatLength() >= sizeof(VIDEOINFOHEADER)) {
    format_ = *reinterpret_cast<const VIDEOINFOHEADER*>(type->Format());
    return S_OK;
  }
  if (*type->FormatType() == FORMAT_VideoInfo2 && type->FormatLength() >= sizeof(VIDEOINFOHEADER2)) {
    const auto* info = reinterpret_cast<const VIDEOINFOHEADER2*>(type->Format());
    format_.rcSource = info->rcSource;
    format_.rcTarget = info->rcTarget;
    format_.dwBitRate = info->dwBitRate;
    format_.dwBitErrorRate = info->dwBitErrorRate;
    format_.AvgTimePerFrame = info->AvgTimePerFrame;
    format_.bmiHeader = info->bmiHeader;
    return S_OK;
  }
  return VFW_E_INVALIDMEDIATYPE;
}

STDMETHODIMP VideoWindow::put_Owner(OAHWND owner) {
  RETURN_IF_FAILED(CBaseControlWindow::put_Owner(owner));
  if (preview_->IsInitialized()) preview_->SetVideoClippingWindow(m_hwnd);
  return S_OK;
}

SIZE VideoWindow::ClientSize() const {
  RECT client = {};
  GetClientRect(m_hwnd, &client);
  return SIZE{client.right - client.left, client.bottom - client.top};
}

HRESULT VideoWindow::IsDefaultTargetRect() {
  const SIZE client = ClientSize();
  return client.cx == minimum_.cx && client.cy == minimum_.cy ? S_OK : S_FALSE;
}

HRESULT VideoWindow::SetDefaultTargetRect() {
  RECT rect = {0, 0, minimum_.cx, minimum_.cy};
  return SetTargetRect(&rect);
}

HRESULT VideoWindow::SetTargetRect(RECT* rect) {
  if (!rect) return E_POINTER;
  if (!m_hwnd || !IsWindow(m_hwnd)) return E_UNEXPECTED;
  const LONG width = rect->right - rect->left, height = rect->bottom - rect->top;
  if (width < minimum_.cx || width > maximum_.cx || height < minimum_.cy || height > maximum_.cy) return E_INVALIDARG;
  if (!SetWindowPos(m_hwnd, nullptr, 0, 0, width + frame_.cx, height + frame_.cy,
                    SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE)) {
    return HResultFromLastError();
  }
  return S_OK;
}

HRESULT VideoWindow::GetTargetRect(RECT* rect) {
  if (!rect) return E_POINTER;
  RECT source = {};
  return preview_->GetVideoPosition(&source, rect);
}

HRESULT VideoWindow::IsDefaultSourceRect() {
  RECT source = {};
  RETURN_IF_FAILED(GetSourceRect(&source));
  long width = 0, height = 0;
  RETURN_IF_FAILED(GetVideoSize(&width, &height));
  return source.right - source.left == width && source.bottom - source.top == height ? S_OK : S_FALSE;
}

HRESULT VideoWindow::SetDefaultSourceRect() {
  long width = 0, height = 0;
  RETURN_IF_FAILED(GetVideoSize(&width, &height));
  RECT rect = {0, 0, width, height};
  return SetSourceRect(&rect);
}

HRESULT VideoWindow::SetSourceRect(RECT* rect) {
  if (!rect) return E_POINTER;
  const SIZE client = ClientSize();
  RECT target = {0, 0, client.cx, client.cy};
  RETURN_IF_FAILED(GetTargetRect(&target));
  return preview_->SetVideoPosition(rect, &target);
}

HRESULT VideoWindow::GetSourceRect(RECT* rect) {
  if (!rect) return E_POINTER;
  RECT target = {};
  return preview_->GetVideoPosition(rect, &target);
}

HRESULT VideoWindow::GetStaticImage(long* size, long* image) { return size && image ? E_NOTIMPL : E_POINTER; }

bool VideoWindow::OnSize(LONG width, LONG height) {
  if (preview_->IsInitialized()) {
    RECT destination = {0, 0, width, height};
    preview_->SetVideoPosition(nullptr, &destination);
  }
  return CBaseWindow::OnSize(width, height);
}

bool VideoWindow::OnClose() {
  renderer_->NotifyEvent(EC_USERABORT, 0, 0);
  ShowWindow(m_hwnd, SW_HIDE);
  return true;
}

void VideoWindow::ClampSizing(WPARAM edge, RECT* r) const {
  const LONG minWidth = minimum_.cx + frame_.cx, minHeight = minimum_.cy + frame_.cy;
  const LONG maxWidth = maximum_.cx + frame_.cx, maxHeight = maximum_.cy + frame_.cy;
  if (r->right - r->left < minWidth) {
    if (LeftEdge(edge)) r->left = r->right - minWidth; else r->right = r->left + minWidth;
  }
  if (r->bottom - r->top < minHeight) {
    if (TopEdge(edge)) r->top = r->bottom - minHeight; else r->bottom = r->top + minHeight;
  }
  if (r->right - r->left > maxWidth) {
    if (LeftEdge(edge)) r->left = r->right - maxWidth; else r->right = r->left + maxWidth;
  }
  if (r->bottom - r->top > maxHeight) {
    if (TopEdge(edge)) r->top = r->bottom - maxHeight; else r->bottom = r->top + maxHeight;
  }
}

void VideoWindow::EraseBackground(HDC dc) {
  ULONG key = 0;
  if (FAILED(preview_->GetColorKey(&key))) key = RGB(0, 0, 0);
  RECT client = {};
  GetClientRect(m_hwnd, &client);
  HBRUSH brush = CreateSolidBrush(static_cast<COLORREF>(key));
  if (!brush) return;
  FillRect(dc, &client, brush);
  DeleteObject(brush);
}

LRESULT VideoWindow::OnReceiveMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_ERASEBKGND:
      EraseBackground(reinterpret_cast<HDC>(wParam));
      return 0;
    case WM_ACTIVATEAPP: {
      IBaseFilter* filter = nullptr;
      if (SUCCEEDED(renderer_->NonDelegatingQueryInterface(IID_IBaseFilter, reinterpret_cast<void**>(&filter)))) {
        renderer_->NotifyEvent(EC_ACTIVATE, static_cast<LONG_PTR>(wParam), reinterpret_cast<LONG_PTR>(filter));
        filter->Release();
      }
      return 0;
    }
    case WM_DISPLAYCHANGE:
      preview_->DisplayModeChanged();
      return 0;
    case WM_SYSCOMMAND:
      if ((wParam & 0xF030) == 0xF030 && (GetWindowLongPtrW(hwnd, GWL_STYLE) & WS_CAPTION) == WS_CAPTION) {
        RECT desktop = {};
        GetClientRect(GetDesktopWindow(), &desktop);
        if (maximum_.cx < desktop.right - desktop.left - frame_.cx ||
            maximum_.cy < desktop.bottom - desktop.top - frame_.cy) {
          preview_->SetColorFormat(0);
        } else if ((wParam & 0xF020) == 0xF020) {
          preview_->SetColorFormat(1);
        }
      }
      break;
    case WM_SIZING:
      ClampSizing(wParam, reinterpret_cast<RECT*>(lParam));
      break;
    default:
      break;
  }
  return CBaseWindow::OnReceiveMessage(hwnd, message, wParam, lParam);
}

}  // namespace vren
