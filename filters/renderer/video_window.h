// The renderer's own top-level window "Quib Video Window", which exists only in windowed
// rendering mode. It shows no picture: the picture board keys the video in; the window is
// painted with the colour key, tells the preview control where the video goes, and keeps its
// client area within the sizes the display panel allows.
//
// Its messages run on the window's own thread, which calls the preview controller (its lock)
// and the renderer's event sink, never the filter lock.
#pragma once

#include "common/dshow.h"
#include "filters/base/mediatype.h"
#include "filters/base/renderer_window.h"
#include "filters/base/unknown.h"

namespace vren {

class VideoRenderer;
class PreviewController;

constexpr wchar_t kVideoWindowName[] = L"Quib Video Window";

class VideoWindow final : public CUnknown, public CBaseControlWindow, public CBaseControlVideo {
 public:
  static constexpr DWORD kClassStyles = CS_VREDRAW | CS_HREDRAW | CS_DBLCLKS;
  static constexpr DWORD kWindowStyles = 0x02CF0000;  // WS_CLIPCHILDREN | WS_OVERLAPPEDWINDOW
  static constexpr DWORD kExStyles = WS_EX_WINDOWEDGE;

  VideoWindow(VideoRenderer* renderer, PreviewController* preview);
  ~VideoWindow() override;
  // The limits from the preview control, then the window (hidden), then its frame size.
  HRESULT Create();

  DECLARE_IUNKNOWN
  // Only in windowed mode; handing out IVideoWindow or IBasicVideo fixes the mode.
  STDMETHODIMP NonDelegatingQueryInterface(REFIID iid, void** out) override;

  // Takes over the connected format (VideoInfo whole, VideoInfo2 in VideoInfo form).
  HRESULT SetFormat(const CMediaType* type);

  STDMETHODIMP put_Owner(OAHWND owner) override;

  HRESULT IsDefaultTargetRect() override;
  HRESULT SetDefaultTargetRect() override;
  HRESULT SetTargetRect(RECT* rect) override;
  HRESULT GetTargetRect(RECT* rect) override;
  HRESULT IsDefaultSourceRect() override;
  HRESULT SetDefaultSourceRect() override;
  HRESULT SetSourceRect(RECT* rect) override;
  HRESULT GetSourceRect(RECT* rect) override;
  HRESULT GetStaticImage(long* size, long* image) override;
  VIDEOINFOHEADER* GetVideoFormat() override { return &format_; }
  HRESULT OnUpdateRectangles() override { return S_OK; }

  SIZE MinimumSize() const { return minimum_; }
  SIZE MaximumSize() const { return maximum_; }
  SIZE FrameSize() const { return frame_; }
  // The sizing rule of WM_SIZING: the proposed window rectangle kept within the limits, the
  // dragged edge moving.
  void ClampSizing(WPARAM edge, RECT* rect) const;

 protected:
  const wchar_t* GetClassWindowStyles(DWORD* classStyles, DWORD* windowStyles, DWORD* exStyles) override;
  LRESULT OnReceiveMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) override;
  bool OnSize(LONG width, LONG height) override;
  bool OnClose() override;

 private:
  void EraseBackground(HDC dc);
  SIZE ClientSize() const;

  VideoRenderer* const renderer_;
  PreviewController* const preview_;
  SIZE minimum_ = {320, 240};
  SIZE maximum_ = {640, 480};
  SIZE frame_ = {};
  VIDEOINFOHEADER format_ = {};
};

}  // namespace vren
