#include "board/preview_engine.h"

#include <map>
#include <mutex>

#include "common/hresult.h"
#include "common/module.h"

namespace board {

const CLSID kBoardControlClass = {0xB71C13AA, 0x78B0, 0x411C, {0xA9, 0x6C, 0x0C, 0x4F, 0x85, 0xD0, 0x8B, 0x50}};

namespace {

// Libraries bound by this process, one reference each for the process's life.
std::mutex g_modulesLock;
std::map<HMODULE, bool> g_modules;

constexpr RECT kDefaultRect = {0, 0, 720, 480};
constexpr SIZE kDefaultSize = {720, 480};

bool Empty(const RECT& r) noexcept { return r.right <= r.left || r.bottom <= r.top; }
bool Same(const RECT& a, const RECT& b) noexcept {
  return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

}  // namespace

HRESULT BoardClient::Bind(const std::wstring& directory) {
  const std::wstring path = directory + L"VornCon.dll";
  HMODULE module = LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  if (!module) return E_FAIL;
  bool loadedHere = false;
  {
    std::lock_guard<std::mutex> hold(g_modulesLock);
    if (g_modules.count(module)) {
      FreeLibrary(module);  // the table holds the process's reference
    } else {
      g_modules[module] = true;
      loadedHere = true;
    }
  }
  auto unload = [&] {
    if (!loadedHere) return;
    std::lock_guard<std::mutex> hold(g_modulesLock);
    g_modules.erase(module);
    FreeLibrary(module);
  };
  using GetClassObjectFn = HRESULT(__stdcall*)(REFCLSID, REFIID, void**);
  const auto get = GetProcAs<GetClassObjectFn>(module, "DllGetClassObject");
  if (!get) {
    unload();
    return E_FAIL;
  }
  Microsoft::WRL::ComPtr<IClassFactory> factory;
  HRESULT hr = get(kBoardControlClass, IID_PPV_ARGS(&factory));
  if (SUCCEEDED(hr)) hr = factory->CreateInstance(nullptr, IID_PPV_ARGS(&view));
  factory.Reset();
  if (FAILED(hr)) {
    unload();
    return hr;
  }
  if (!property) RETURN_IF_FAILED(view.As(&property));
  if (!mode) RETURN_IF_FAILED(view.As(&mode));
  if (!hardware) RETURN_IF_FAILED(view.As(&hardware));
  if (!direct) RETURN_IF_FAILED(view.As(&direct));
  return S_OK;
}

void BoardClient::Reset() {
  direct.Reset();
  hardware.Reset();
  mode.Reset();
  property.Reset();
  view.Reset();
}

RECT DesktopToPanel(const RECT& d, SIZE desktop, SIZE panel) noexcept {
  // 16.16 fixed point in 64 bits: negative and second-monitor coordinates stay exact.
  const LONGLONG s = desktop.cy > 0 ? (static_cast<LONGLONG>(panel.cy) << 16) / desktop.cy : 0;
  const LONGLONG o = ((static_cast<LONGLONG>(panel.cx) << 16) - s * desktop.cx) / 2;
  RECT r = {static_cast<LONG>((s * d.left + o) >> 16), static_cast<LONG>((s * d.top) >> 16),
            static_cast<LONG>((s * d.right + o) >> 16), static_cast<LONG>((s * d.bottom) >> 16)};
  if (r.right <= r.left) r.right = r.left + 1;
  if (r.bottom <= r.top) r.bottom = r.top + 1;
  return r;
}

RECT WideCrop(const RECT& source, LONG videoHeight) noexcept {
  const LONG m = videoHeight * 34 / 480;
  return {source.left, m, source.right, videoHeight - m};
}

PreviewEngine::~PreviewEngine() {
  muteTimer_.Stop();
  monitor_.Stop();
  paintHook_.Detach();
  moveHook_.Detach();
}

LRESULT ColorKeyPaintHook::WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  const LRESULT result = CallPrevious(hwnd, message, wParam, lParam);
  if (message == WM_PAINT) {
    if (HDC dc = GetDC(hwnd)) {
      engine_.RepaintVideo(hwnd, dc);
      ReleaseDC(hwnd, dc);
    }
  }
  return result;
}

LRESULT TopLevelMoveHook::WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  const UINT command = message == WM_SYSCOMMAND ? static_cast<UINT>(wParam & 0xFFF0) : 0;
  long zoom = 0;
  if (command == SC_MAXIMIZE || command == SC_RESTORE) engine_.GetZoomMode(&zoom);
  const LRESULT result = CallPrevious(hwnd, message, wParam, lParam);
  if (message == WM_MOVE || command == SC_MINIMIZE || command == SC_MAXIMIZE || command == SC_RESTORE) {
    engine_.Reapply();
    if ((command == SC_MAXIMIZE || command == SC_RESTORE) && zoom == 1) engine_.SetZoomMode(1);
  }
  return result;
}

void PreviewEngine::Reapply() {
  LockGuard hold(lock_, INFINITE);
  if (!running_ || !IsWindow(window_) || Empty(source_) || Empty(destination_)) return;
  const RECT source = source_, destination = destination_;
  SetVideoPositionLocked(&source, destination);
}

void MuteTimer::OnMessage(UINT message, WPARAM wParam, LPARAM) {
  if (message != MuteTimerMessage()) return;
  const DWORD timeout = static_cast<DWORD>(wParam);
  engine_.OnTimerMute(timeout != 0);
  SetWaitTimeout(timeout != 0 ? timeout : INFINITE);
}

void MuteTimer::OnTimeout() {
  engine_.OnTimerMute(false);
  SetWaitTimeout(INFINITE);
}

void PreviewEngine::OnMute(DWORD flag) {
  LockGuard hold(lock_, INFINITE);
  if (!running_) return;
  positionMute_ = flag != 0;
  SendMute();
}

void PreviewEngine::OnTimerMute(bool on) {
  LockGuard hold(lock_, INFINITE);
  if (!running_) return;
  timerMute_ = on;
  SendMute();
}

HRESULT PreviewEngine::SetMuteTimer(DWORD timeout) { return muteTimer_.Post(MuteTimerMessage(), timeout, 0); }

HRESULT PreviewEngine::Initialize(long reserve) {
  RETURN_IF_FAILED(muteTimer_.Start());
  LockGuard hold(lock_, INFINITE);
  positionMute_ = timerMute_ = false;
  RETURN_IF_FAILED(board_.view->Initialize(reserve));
  running_ = true;
  positionMute_ = true;
  SendMute();
  long height = 0, width = 0;
  RETURN_IF_FAILED(board_.hardware->GetDisplayPanelSize(&height, &width));
  panel_ = {width, height};
  RETURN_IF_FAILED(monitor_.Start());
  VideoMuteSettings settings = monitor_.settings();
  settings.limitLeft = 1;
  settings.limitTop = 1;
  settings.limitRight = width - 1;
  settings.limitBottom = height - 1;
  settings.Load(muteKey_);
  monitor_.SetSettings(settings);
  zoomMode_ = 0;
  sizeSet_ = widePossible_ = wideWanted_ = false;
  RETURN_IF_FAILED(board_.view->SetColorKey(colorKey_));
  // The defaults; their results are not checked.
  SetVideoSizeLocked(kDefaultSize);
  window_ = nullptr;
  paintHook_.Detach();
  moveHook_.Detach();
  source_ = destination_ = RECT{};
  SetVideoPositionLocked(&kDefaultRect, kDefaultRect);
  SetZoomModeLocked(0);
  board_.view->ShowView(0);
  viewShown_ = false;
  positionMute_ = false;
  SendMute();
  return S_OK;
}

HRESULT PreviewEngine::Uninitialize(long reserve) {
  // A timer mute posted before this call is applied first: stopping the thread drops its
  // queue. An empty call runs after every message posted before it. Then the thread is joined
  // (its callback takes the engine lock) before the lock is taken.
  muteTimer_.Send(WM_NULL, 0, 0);
  muteTimer_.Stop();
  {
    LockGuard hold(lock_, INFINITE);
    UninitializeLocked(reserve);
  }
  monitor_.Stop();
  return S_OK;
}

void PreviewEngine::UninitializeLocked(long reserve) {
  // A start refused before the view was ours (another object holds it): the board and its
  // shared mute belong to that holder.
  if (!running_) return;
  positionMute_ = true;
  SendMute();
  SetZoomModeLocked(0);
  SetVideoPositionLocked(&kDefaultRect, kDefaultRect);
  window_ = nullptr;
  paintHook_.Detach();
  moveHook_.Detach();
  source_ = destination_ = RECT{};
  SetVideoSizeLocked(kDefaultSize);
  board_.view->ShowView(0);
  viewShown_ = false;
  // The position mute goes; a mute the timer holds stays on the panel (the renderer holds
  // one while it lets go, and the board may stay up for another client).
  positionMute_ = false;
  SendMute();
  timerMute_ = false;
  board_.view->Uninitialize(reserve);
  zoomMode_ = 0;
  sizeSet_ = widePossible_ = wideWanted_ = false;
  running_ = false;
}

HRESULT PreviewEngine::SetVideoSize(const SIZE* size) {
  if (!size) return E_POINTER;
  LockGuard hold(lock_, INFINITE);
  return SetVideoSizeLocked(*size);
}

HRESULT PreviewEngine::SetVideoSizeLocked(const SIZE& size) {
  const SIZE s = {size.cx > 0 ? size.cx : 1, size.cy > 0 ? size.cy : 1};
  RECT r = {0, 0, s.cx, s.cy};
  RETURN_IF_FAILED(board_.view->SetSrcSize(&r));
  video_ = s;
  sizeSet_ = true;
  if (widePossible_ && wideWanted_) SetZoomModeLocked(1);
  return S_OK;
}

HRESULT PreviewEngine::GetVideoSize(SIZE* size) {
  if (!size) return E_POINTER;
  LockGuard hold(lock_, INFINITE);
  *size = video_;
  return S_OK;
}

HRESULT PreviewEngine::SetVideoClippingWindow(HWND window) {
  LockGuard hold(lock_, INFINITE);
  window_ = window;
  paintHook_.Detach();
  moveHook_.Detach();
  source_ = destination_ = RECT{};
  if (!IsWindow(window)) return S_OK;
  RETURN_IF_FAILED(paintHook_.Attach(window));
  HWND top = window;
  while ((GetWindowLongW(top, GWL_STYLE) & WS_CHILD) != 0) {
    HWND parent = reinterpret_cast<HWND>(GetWindowLongPtrW(top, GWLP_HWNDPARENT));
    if (!parent) break;
    top = parent;
  }
  return moveHook_.Attach(top);
}

HRESULT PreviewEngine::GetVideoClippingWindow(HWND* window) {
  if (!window) return E_POINTER;
  LockGuard hold(lock_, INFINITE);
  *window = window_;
  return S_OK;
}

HRESULT PreviewEngine::SetVideoPosition(const RECT* source, const RECT* destination) {
  if (!destination) return E_POINTER;
  LockGuard hold(lock_, INFINITE);
  return SetVideoPositionLocked(source, *destination);
}

HRESULT PreviewEngine::SetVideoPositionLocked(const RECT* given, const RECT& destination) {
  const RECT oldSource = source_, oldDestination = destination_;
  RECT source = given ? *given : RECT{0, 0, video_.cx, video_.cy};
  if (source.right - source.left <= 0) source.right = source.left + 1;
  if (source.bottom - source.top <= 0) source.bottom = source.top + 1;
  RECT crop = zoomMode_ == 1 ? WideCrop(source, video_.cy) : source;
  RETURN_IF_FAILED(board_.view->SetSrcPosition(&crop));

  // No clipping window, or one that is gone: there is no place on the screen to map from.
  if (!IsWindow(window_)) return E_UNEXPECTED;
  POINT corners[2] = {{destination.left, destination.top}, {destination.right, destination.bottom}};
  if (!ClientToScreen(window_, &corners[0]) || !ClientToScreen(window_, &corners[1])) return E_UNEXPECTED;
  RECT desktop{};
  GetWindowRect(GetDesktopWindow(), &desktop);
  RECT panel = DesktopToPanel({corners[0].x, corners[0].y, corners[1].x, corners[1].y},
                              {desktop.right - desktop.left, desktop.bottom - desktop.top}, panel_);
  WatchPosition(panel);
  RETURN_IF_FAILED(board_.view->SetViewPosition(&panel));

  const bool minimised = IsIconic(window_) != FALSE;
  if (minimised == viewShown_) {
    board_.view->ShowView(minimised ? 0 : 1);
    viewShown_ = !minimised;
  }
  source_ = given ? *given : RECT{0, 0, video_.cx, video_.cy};
  destination_ = destination;
  PaintColorKey();
  if (zoomMode_ == 1 && (!Same(oldSource, source_) || !Same(oldDestination, destination_))) SetZoomModeLocked(1);
  const LONG width = source.right - source.left;
  widePossible_ = destination.right - destination.left == panel_.cx &&
                  (width == 329 || width == 352 || width == 672 || width == 720);
  if (sizeSet_ && widePossible_ && wideWanted_) SetZoomModeLocked(1);
  return S_OK;
}

HRESULT PreviewEngine::GetVideoPosition(RECT* source, RECT* destination) {
  if (!source || !destination) return E_POINTER;
  LockGuard hold(lock_, INFINITE);
  *source = source_;
  *destination = destination_;
  return S_OK;
}

HRESULT PreviewEngine::SetColorKey(DWORD key) {
  LockGuard hold(lock_, INFINITE);
  RETURN_IF_FAILED(board_.view->SetColorKey(key));
  colorKey_ = key;
  return S_OK;
}

HRESULT PreviewEngine::GetColorKey(DWORD* key) {
  if (!key) return E_POINTER;
  LockGuard hold(lock_, INFINITE);
  *key = colorKey_;
  return S_OK;
}

HRESULT PreviewEngine::RepaintVideo(HWND window, HDC dc) {
  if (!IsWindow(window) || !dc) return E_INVALIDARG;
  LockGuard hold(lock_, INFINITE);
  RECT client{};
  if (!GetClientRect(window, &client)) return HResultFromLastError();
  HBRUSH brush = CreateSolidBrush(colorKey_);
  if (!brush) return HResultFromLastError();
  FillRect(dc, &destination_, brush);
  DeleteObject(brush);
  return S_OK;
}

void PreviewEngine::PaintColorKey() {
  if (!window_ || Empty(destination_)) return;
  HDC dc = GetDC(window_);
  if (!dc) return;
  if (HBRUSH brush = CreateSolidBrush(colorKey_)) {
    FillRect(dc, &destination_, brush);
    DeleteObject(brush);
  }
  ReleaseDC(window_, dc);
}

HRESULT PreviewEngine::DisplayModeChanged() {
  SetMuteTimer(500);
  Reapply();
  return S_OK;
}

HRESULT PreviewEngine::SetZoomMode(long mode) {
  LockGuard hold(lock_, INFINITE);
  return SetZoomModeLocked(mode);
}

HRESULT PreviewEngine::SetZoomModeLocked(long mode) {
  if (mode == 1) {
    wideWanted_ = true;
    if (!sizeSet_ || !widePossible_) return S_OK;  // applied once both hold
  } else {
    wideWanted_ = false;
    if (mode != 0) return E_INVALIDARG;
  }
  RECT source = mode == 1 ? WideCrop(source_, video_.cy) : source_;
  RETURN_IF_FAILED(board_.view->SetSrcPosition(&source));
  RETURN_IF_FAILED(board_.view->SetZoomMode(mode != 0));
  zoomMode_ = mode;
  return S_OK;
}

HRESULT PreviewEngine::GetZoomMode(long* mode) {
  if (!mode) return E_POINTER;
  LockGuard hold(lock_, INFINITE);
  if (zoomMode_ != 0 && zoomMode_ != 1) return E_UNEXPECTED;
  *mode = zoomMode_;
  return S_OK;
}

void PreviewEngine::WatchPosition(const RECT& r) {
  if (!monitor_.IsRunning() || Same(r, monitor_.watchedRect())) return;
  const VideoMuteSettings settings = monitor_.settings();
  DWORD flag = settings.muteInScreen;
  if (settings.Outside(r))
    flag = 1;
  else if (r.left < 0 || r.top < 0 || r.right > panel_.cx || r.bottom > panel_.cy)
    flag = settings.muteOnEdge;
  monitor_.Post(VideoMuteMessage(), flag, 0);
  monitor_.SetWatchedRect(r);
}

void PreviewEngine::SendMute() { board_.direct->MuteTv(positionMute_ || timerMute_ ? 1 : 0); }

}  // namespace board
