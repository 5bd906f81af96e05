#include "sim/host/live_preview.h"

#include "common/format.h"
#include "sim/host/device_item.h"

namespace sim_host {
namespace {

// The window side on either window interface (the same first methods, not the same interface).
template <class Window>
bool PlaceOnWindow(const HostCheck& check, const wchar_t* name, Window* window, ULONG windowMode, HWND host) {
  if (!check(FormatW(L"%ls::Initialize(0x%lX)", name, windowMode), window->Initialize(windowMode))) return false;
  if (!check(FormatW(L"%ls::SetVideoClippingWindow(the host's window)", name), window->SetVideoClippingWindow(host)))
    return false;
  RECT client{};
  GetClientRect(host, &client);
  return check(FormatW(L"%ls::SetVideoPosition(whole source, %ldx%ld)", name, client.right, client.bottom),
               window->SetVideoPosition(nullptr, &client));
}

}  // namespace

bool LivePreview::Open(IUnknown* object, ULONG frequency, ULONG windowMode, HWND window) {
  HRESULT hr = object->QueryInterface(IID_PPV_ARGS(inputs_.ReleaseAndGetAddressOf()));
  if (SUCCEEDED(hr)) hr = object->QueryInterface(IID_PPV_ARGS(preview_.ReleaseAndGetAddressOf()));
  if (!check_(L"QueryInterface(IInputSwitch, IPreview)", hr)) return false;
  if (!check_(L"IInputSwitch::Initialize(0)", inputs_->Initialize(0))) return false;
  Microsoft::WRL::ComPtr<IHalItem> channel;
  if (!check_(L"channel item of the host's item class", MakeChannelItem(1, frequency, &channel))) return false;
  if (!check_(FormatW(L"IInputSwitch::SetChannel(band 1, %lu Hz)", frequency), inputs_->SetChannel(channel.Get())))
    return false;
  if (!check_(L"IPreview::Initialize(0)", preview_->Initialize(0))) return false;
  hr = preview_->GetVideoModeInterface(IID_IPreviewWindow2, reinterpret_cast<void**>(window2_.ReleaseAndGetAddressOf()));
  if (hr == E_NOINTERFACE) {
    if (!check_(L"IPreview::GetVideoModeInterface(IPreviewWindow)",
                preview_->GetVideoModeInterface(IID_IPreviewWindow, reinterpret_cast<void**>(window_.ReleaseAndGetAddressOf()))) ||
        !PlaceOnWindow(check_, L"IPreviewWindow", window_.Get(), windowMode, window))
      return false;
  } else if (!check_(L"IPreview::GetVideoModeInterface(IPreviewWindow2)", hr) ||
             !PlaceOnWindow(check_, L"IPreviewWindow2", window2_.Get(), windowMode, window)) {
    return false;
  }
  if (!check_(L"IPreview::GetSoundModeInterface(ISound)",
              preview_->GetSoundModeInterface(IID_ISound, reinterpret_cast<void**>(sound_.ReleaseAndGetAddressOf()))))
    return false;
  return check_(L"ISound::Initialize(0)", sound_->Initialize(0));
}

bool LivePreview::Run() {
  running_ = check_(L"IPreview::Run(0)", preview_->Run(0));
  return running_;
}

bool LivePreview::Close() {
  bool ok = true;
  if (running_) {
    ok = check_(L"IPreview::Pause(0)", preview_->Pause(0)) && ok;
    ok = check_(L"IPreview::Stop(0)", preview_->Stop(0)) && ok;
    running_ = false;
  }
  if (sound_) ok = check_(L"ISound::Uninitialize(0)", sound_->Uninitialize(0)) && ok;
  if (window2_) ok = check_(L"IPreviewWindow2::Uninitialize(0)", window2_->Uninitialize(0)) && ok;
  if (window_) ok = check_(L"IPreviewWindow::Uninitialize(0)", window_->Uninitialize(0)) && ok;
  if (preview_) ok = check_(L"IPreview::Uninitialize(0)", preview_->Uninitialize(0)) && ok;
  if (inputs_) ok = check_(L"IInputSwitch::Uninitialize(0)", inputs_->Uninitialize(0)) && ok;
  sound_.Reset();
  window2_.Reset();
  window_.Reset();
  preview_.Reset();
  inputs_.Reset();
  return ok;
}

}  // namespace sim_host
