// Test support: the simulated card's picture on the screen of the session's display. A
// visible window pumped by a thread of its own, a copy of a region of the screen, and the check
// that the copy shows a channel's colours (the renderer converts YUV to RGB with the full range:
// studio-range pictures come out a few steps off, hence the tolerance).
#pragma once

#include <windows.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "common/format.h"
#include "common/handles.h"
#include "common/thread.h"
#include "sim/card/sim_card.h"

namespace simcard_testing {

// Generous bounds: the machine runs many test programs at once.
constexpr DWORD kWindowReadyMs = 10000;
constexpr DWORD kPictureMs = 10000;
constexpr int kColourTolerance = 25;

// Polls `done` every 10 ms until it answers true or the time is up.
inline bool WaitUntil(const std::function<bool()>& done, DWORD timeoutMs) {
  const ULONGLONG end = GetTickCount64() + timeoutMs;
  for (;;) {
    if (done()) return true;
    if (GetTickCount64() >= end) return false;
    Sleep(10);
  }
}
// A visible top-level window in the lower right corner of the screen (away from the windows other
// test programs open at the top left), owned and pumped by a thread of its own.
class VideoWindow final : public StoppableThread {
 public:
  static constexpr int kWidth = 720, kHeight = 480;  // the picture's own size

  VideoWindow() { SetStopTimeout(kWindowReadyMs); }
  ~VideoWindow() override { Stop(); }

  // The window, or null when it could not be made.
  HWND Open() {
    ready_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!ready_ || FAILED(Start())) return nullptr;
    const HANDLE waits[2] = {ready_.get(), threadHandle()};
    WaitForMultipleObjects(2, waits, FALSE, kWindowReadyMs);
    return window_;
  }
  // The client area in screen co-ordinates.
  RECT ScreenRect() const {
    RECT rect{};
    GetClientRect(window_, &rect);
    MapWindowPoints(window_, nullptr, reinterpret_cast<POINT*>(&rect), 2);
    return rect;
  }

 protected:
  DWORD Run() override {
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = &VideoWindow::Procedure;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"VornSimCardVideoWindow";
    RegisterClassW(&windowClass);  // fails harmlessly when a previous case registered it
    const int x = GetSystemMetrics(SM_CXSCREEN) - kWidth - 16, y = GetSystemMetrics(SM_CYSCREEN) - kHeight - 16;
    HWND window = CreateWindowExW(WS_EX_TOPMOST | WS_EX_TOOLWINDOW, windowClass.lpszClassName, L"sim card video",
                                  WS_POPUP | WS_VISIBLE, x, y, kWidth, kHeight, nullptr, nullptr,
                                  windowClass.hInstance, nullptr);
    window_ = window;
    SetEvent(ready_.get());
    if (!window) return 1;
    for (;;) {
      MSG msg;
      while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
      }
      const HANDLE stop = stopEvent();
      if (MsgWaitForMultipleObjects(1, &stop, FALSE, 100, QS_ALLINPUT) == WAIT_OBJECT_0) break;
    }
    DestroyWindow(window);
    return 0;
  }

 private:
  static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
      case WM_ERASEBKGND:
        return 1;  // the renderer owns the client area
      case WM_PAINT: {
        PAINTSTRUCT paint;
        BeginPaint(window, &paint);
        EndPaint(window, &paint);
        return 0;
      }
      default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
  }

  UniqueHandle ready_;
  HWND volatile window_ = nullptr;
};

// A copy of a region of the screen, as 32-bit pixels (top row first).
struct ScreenCopy {
  int width = 0, height = 0;
  std::vector<std::uint32_t> pixels;

  static ScreenCopy Of(const RECT& rect) {
    ScreenCopy copy;
    const int width = rect.right - rect.left, height = rect.bottom - rect.top;
    HDC screen = GetDC(nullptr);
    if (!screen) return copy;
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;  // top-down
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bitmap = memory ? CreateDIBSection(memory, &info, DIB_RGB_COLORS, &bits, nullptr, 0) : nullptr;
    if (bitmap) {
      HGDIOBJ old = SelectObject(memory, bitmap);
      if (BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY)) {
        GdiFlush();
        const auto* first = static_cast<const std::uint32_t*>(bits);
        copy.pixels.assign(first, first + static_cast<size_t>(width) * height);
        copy.width = width;
        copy.height = height;
      }
      SelectObject(memory, old);
      DeleteObject(bitmap);
    }
    if (memory) DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return copy;
  }

  // The pixel at a fraction of the width and the height, as R, G, B.
  std::array<int, 3> At(double fx, double fy) const {
    const int x = static_cast<int>(fx * width), y = static_cast<int>(fy * height);
    const std::uint32_t p = pixels[static_cast<size_t>(y) * width + x];
    return {static_cast<int>((p >> 16) & 0xFF), static_cast<int>((p >> 8) & 0xFF), static_cast<int>(p & 0xFF)};
  }
};

// A 24-bit top-down bitmap file (the renderers' frame dumps) as a copy of the screen; empty when
// the file is not such a bitmap or is cut short.
inline ScreenCopy FromBitmapFile(const std::vector<BYTE>& file) {
  ScreenCopy copy;
  constexpr size_t kHeaders = sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER);
  if (file.size() < kHeaders) return copy;
  BITMAPINFOHEADER info{};
  std::memcpy(&info, file.data() + sizeof(BITMAPFILEHEADER), sizeof(info));
  const LONG width = info.biWidth, height = info.biHeight < 0 ? -info.biHeight : 0;
  if (info.biBitCount != 24 || width <= 0 || height <= 0 || width > 8192 || height > 8192) return copy;
  const size_t row = (static_cast<size_t>(width) * 3 + 3) & ~size_t{3};
  if (file.size() < kHeaders + row * static_cast<size_t>(height)) return copy;
  copy.pixels.reserve(static_cast<size_t>(width) * height);
  for (LONG y = 0; y < height; ++y) {
    for (LONG x = 0; x < width; ++x) {
      const BYTE* p = file.data() + kHeaders + row * y + static_cast<size_t>(x) * 3;  // blue, green, red
      copy.pixels.push_back((std::uint32_t{p[2]} << 16) | (std::uint32_t{p[1]} << 8) | p[0]);
    }
  }
  copy.width = width;
  copy.height = height;
  return copy;
}

// Draws the outline of `rect` (right and bottom exclusive), `thickness` pixels wide inwards, in
// `colour` (0x00RRGGBB); what lies outside the copy is left out.
inline void Outline(ScreenCopy& copy, const RECT& rect, std::uint32_t colour, int thickness = 2) {
  auto fill = [&](LONG left, LONG top, LONG right, LONG bottom) {
    left = left < 0 ? 0 : left;
    top = top < 0 ? 0 : top;
    right = right > copy.width ? copy.width : right;
    bottom = bottom > copy.height ? copy.height : bottom;
    for (LONG y = top; y < bottom; ++y)
      for (LONG x = left; x < right; ++x) copy.pixels[static_cast<size_t>(y) * copy.width + x] = colour;
  };
  if (rect.right <= rect.left || rect.bottom <= rect.top) return;
  fill(rect.left, rect.top, rect.right, rect.top + thickness);
  fill(rect.left, rect.bottom - thickness, rect.right, rect.bottom);
  fill(rect.left, rect.top, rect.left + thickness, rect.bottom);
  fill(rect.right - thickness, rect.top, rect.right, rect.bottom);
}

inline bool Near(const std::array<int, 3>& seen, const std::uint8_t (&expected)[3]) {
  for (int c = 0; c < 3; ++c) {
    if (std::abs(seen[c] - expected[c]) > kColourTolerance) return false;
  }
  return true;
}

inline std::wstring Text(const std::array<int, 3>& c) { return FormatW(L"(%d,%d,%d)", c[0], c[1], c[2]); }

// Samples of the two areas of the test picture: the upper part right of the frequency digits and
// the band at the bottom.
constexpr double kUpperSamples[5][2] = {{0.55, 0.40}, {0.65, 0.50}, {0.75, 0.40}, {0.85, 0.55}, {0.92, 0.30}};
constexpr double kBandSamples[5][2] = {{0.10, 0.88}, {0.30, 0.92}, {0.50, 0.85}, {0.70, 0.90}, {0.90, 0.88}};

struct PictureCheck {
  int upperMatches = 0, bandMatches = 0;
  bool allBlack = true;
  std::wstring seen;

  // Most samples of each area show its colour (a window of another program passing over a corner
  // does not count against us).
  bool Shows() const { return upperMatches >= 3 && bandMatches >= 3; }
};

inline PictureCheck Check(const ScreenCopy& copy, const SimCardPicture& expected) {
  PictureCheck check;
  if (copy.pixels.empty()) {
    check.seen = L"(no copy of the screen)";
    return check;
  }
  auto sample = [&](const double (&points)[5][2], const std::uint8_t (&colour)[3], int* matches) {
    for (const auto& point : points) {
      const std::array<int, 3> seen = copy.At(point[0], point[1]);
      if (seen[0] > 8 || seen[1] > 8 || seen[2] > 8) check.allBlack = false;
      if (Near(seen, colour)) ++*matches;
      check.seen += Text(seen);
    }
    check.seen += L" ";
  };
  sample(kUpperSamples, expected.top, &check.upperMatches);
  sample(kBandSamples, expected.bottom, &check.bandMatches);
  return check;
}

inline std::string Describe(const PictureCheck& check, const SimCardPicture& expected) {
  const std::wstring text =
      FormatW(L"expected upper (%u,%u,%u) band (%u,%u,%u), seen %ls%ls", expected.top[0], expected.top[1],
              expected.top[2], expected.bottom[0], expected.bottom[1], expected.bottom[2], check.seen.c_str(),
              check.allBlack ? L"- every sample black: the renderer drew nothing" : L"");
  return std::string(text.begin(), text.end());
}

// What the child saw, handed to the parent through a file of the parent's choosing.
inline void WriteReport(const std::wstring& path, const std::string& text) {
  UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  DWORD written = 0;
  if (file) WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

inline std::string ReadReport(const std::wstring& path) {
  UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  std::string text(4096, '\0');
  DWORD read = 0;
  if (!file || !ReadFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &read, nullptr)) return "";
  text.resize(read);
  return text;
}

}  // namespace simcard_testing
