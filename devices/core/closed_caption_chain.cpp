#include "devices/core/closed_caption_chain.h"

#include <memory>
#include <new>
#include <string>

#include "common/device/device_enum.h"
#include "common/device/filter_loader.h"
#include "common/device/pin_helpers.h"
#include "common/hresult.h"
#include "common/registry.h"

using Microsoft::WRL::ComPtr;

namespace {

#define VBI_PARAMETERS_ROOT                                                                        \
  L"HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\DeviceClasses\\"                      \
  L"{07dad660-22f1-11d1-a9f4-00c04fbbde8f}\\##?#Root#SYSTEM#0000#{07dad660-22f1-11d1-a9f4-00c04fbbde8f}"
constexpr wchar_t kVbiParameters[] =
    VBI_PARAMETERS_ROOT L"\\#{562370a8-f8dd-11d2-bc64-00a0c95ec22e}&GLOBAL\\Device Parameters";
constexpr wchar_t kVbiParametersVariant[] =
    VBI_PARAMETERS_ROOT L"\\#{70bc06e0-5666-11d3-a184-00105aef9f33}&GLOBAL\\Device Parameters";
#undef VBI_PARAMETERS_ROOT

// The name the device-parameter key may hold ("FriendlyName", up to 256 bytes).
constexpr std::size_t kFriendlyNameChars = 128;

HRESULT FindPin(ComPtr<IPin>& pin, IBaseFilter* filter, PIN_DIRECTION direction, int index) {
  return PinHelpers::FindPinByIndex(pin.ReleaseAndGetAddressOf(), filter, direction, index);
}

}  // namespace

HRESULT ClosedCaptionChain::Create(const ChainSettings& settings, DWORD mode, std::unique_ptr<ClosedCaptionChain>* out) {
  if (!out) return errors::kChainNullPointer;
  out->reset();
  if (mode & kModeVariant) return errors::kChainInvalidArg;
  out->reset(new (std::nothrow) ClosedCaptionChain(settings, mode));
  return *out ? S_OK : errors::kChainOutOfMemory;
}

ClosedCaptionChain::~ClosedCaptionChain() { RemoveFromGraph(); }

HRESULT ClosedCaptionChain::FindVbiCodec(IBaseFilter** out) const {
  if (!out) return errors::kChainNullPointer;
  *out = nullptr;
  const RegistryKeyPath key((mode_ & kModeVariant) ? kVbiParametersVariant : kVbiParameters);
  WideString value;
  key.ReadString(L"FriendlyName", value, L"");
  // The value may be stored without its terminator or longer than the field it is read into:
  // only what fits is used, always terminated.
  const std::wstring name = value.str().substr(0, kFriendlyNameChars - 1);
  if (name.empty()) return errors::kChainFailure;
  const HRESULT hr = DeviceEnum::BindFilterByName(out, kCategoryVbiCodec, name.c_str(), 0);
  if (FAILED(hr)) return hr;
  return *out ? S_OK : errors::kChainNullPointer;
}

HRESULT ClosedCaptionChain::CreateFilter(IFilterGraph* graph) {
  if (graph_) return errors::kChainFailure;
  if (!graph) return errors::kChainNullPointer;
  if (!(mode_ & kModeEnabled)) return errors::kChainInvalidArg;
  graph_ = graph;
  const HRESULT hr = GuardHr(errors::kChainFailure, [&] { return Build(); });
  if (FAILED(hr)) RemoveFromGraph();
  return hr;
}

HRESULT ClosedCaptionChain::Build() {
  if (!(mode_ & (kModeMixer1 | kModeMixer2))) return errors::kChainInvalidArg;
  HRESULT hr = FindVbiCodec(codec_.ReleaseAndGetAddressOf());
  if (FAILED(hr)) return hr;

  hr = CoCreateInstance(CLSID_Line21Decoder, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                        reinterpret_cast<void**>(decoder_.ReleaseAndGetAddressOf()));
  if (FAILED(hr)) return hr;
  const CLSID& mixerClass = (mode_ & kModeMixer1) ? outside::kClsidCaptionMixer1 : outside::kClsidCaptionMixer2;
  const wchar_t* mixerFile = (mode_ & kModeMixer1) ? outside::kMixer1File : outside::kMixer2File;
  hr = FilterLoader::CreateFromNamedModule(settings_.module, mixerFile, mixerClass, nullptr, CLSCTX_INPROC_SERVER,
                                           IID_IBaseFilter, reinterpret_cast<void**>(mixer_.ReleaseAndGetAddressOf()));
  if (FAILED(hr)) return hr;
  if (!decoder_ || !mixer_) return errors::kChainNullPointer;

  if (FAILED(hr = graph_->AddFilter(codec_.Get(), L"VBI Codec"))) return hr;
  if (FAILED(hr = graph_->AddFilter(decoder_.Get(), L"Line21 Decoder"))) return hr;
  if (FAILED(hr = graph_->AddFilter(mixer_.Get(), L"Mixer"))) return hr;

  // A codec may offer only one VBI input: Connect uses the inputs that exist.
  if (FAILED(hr = FindPin(codecIn1_, codec_.Get(), PINDIR_INPUT, 1))) return hr;
  if (FAILED(FindPin(codecIn2_, codec_.Get(), PINDIR_INPUT, 2))) codecIn2_.Reset();
  if (FAILED(hr = FindPin(codecOut_, codec_.Get(), PINDIR_OUTPUT, 1))) return hr;
  if (FAILED(hr = FindPin(decoderIn_, decoder_.Get(), PINDIR_INPUT, 1))) return hr;
  if (FAILED(hr = FindPin(decoderOut_, decoder_.Get(), PINDIR_OUTPUT, 1))) return hr;
  if (FAILED(hr = FindPin(mixerIn1_, mixer_.Get(), PINDIR_INPUT, 1))) return hr;
  if (FAILED(hr = FindPin(mixerIn2_, mixer_.Get(), PINDIR_INPUT, 2))) return hr;
  if (FAILED(hr = FindPin(mixerOut_, mixer_.Get(), PINDIR_OUTPUT, 1))) return hr;

  if (FAILED(hr = mixer_.As(&mixerControl_))) return hr;
  if (FAILED(hr = decoder_.As(&line21_))) return hr;
  if (mode_ & kModeVariant) {
    hr = decoder_->QueryInterface(kIidLine21DecoderExtra, reinterpret_cast<void**>(decoderExtra_.ReleaseAndGetAddressOf()));
    if (FAILED(hr)) return hr;
  }
  return mixerControl_->Enable(0);
}

HRESULT ClosedCaptionChain::Connect(IPin* video, IPin* vbi1, IPin* vbi2) {
  if (!graph_ || video_ || !video || (!vbi1 && !vbi2)) return errors::kChainNullPointer;
  struct Pair {
    IPin* from;
    IPin* to;
    bool wanted;
  };
  const bool viaInput2 = vbi1 && codecIn2_;
  const Pair pairs[] = {
      {video, mixerIn1_.Get(), true},
      {vbi1, codecIn2_.Get(), viaInput2},
      {vbi2, codecIn1_.Get(), !viaInput2 && vbi2 && codecIn1_},
      {codecOut_.Get(), decoderIn_.Get(), true},
      {decoderOut_.Get(), mixerIn2_.Get(), true},
  };
  for (const Pair& pair : pairs) {
    if (!pair.wanted) continue;
    const HRESULT hr = PinHelpers::Connect(pair.from, pair.to, graph_.Get());
    if (FAILED(hr)) {
      UndoLinks();
      return hr;
    }
    links_.emplace_back(pair.from, pair.to);
  }
  video_ = video;
  vbi1_ = vbi1;
  vbi2_ = vbi2;
  return S_OK;
}

void ClosedCaptionChain::UndoLinks() {
  for (auto& [from, to] : links_) PinHelpers::Disconnect(from.Get(), to.Get(), graph_.Get());
  links_.clear();
}

HRESULT ClosedCaptionChain::Disconnect() {
  HRESULT result = S_OK;
  for (auto& [from, to] : links_) {
    const HRESULT hr = PinHelpers::Disconnect(from.Get(), to.Get(), graph_.Get());
    if (FAILED(hr)) result = hr;
  }
  links_.clear();
  video_.Reset();
  vbi1_.Reset();
  vbi2_.Reset();
  return result;
}

HRESULT ClosedCaptionChain::RemoveFromGraph() {
  Disconnect();
  for (Pin* pin : {std::addressof(codecIn1_), std::addressof(codecIn2_), std::addressof(codecOut_),
                   std::addressof(decoderIn_), std::addressof(decoderOut_), std::addressof(mixerIn1_),
                   std::addressof(mixerIn2_), std::addressof(mixerOut_)}) {
    pin->Reset();
  }
  mixerControl_.Reset();
  line21_.Reset();
  decoderExtra_.Reset();
  for (ComPtr<IBaseFilter>* filter : {std::addressof(mixer_), std::addressof(decoder_), std::addressof(codec_)}) {
    if (*filter && graph_) graph_->RemoveFilter(filter->Get());
    filter->Reset();
  }
  graph_.Reset();
  return S_OK;
}

HRESULT ClosedCaptionChain::GetOutputPin(const wchar_t* name, IPin** out) {
  return HandOutOutputPin(mixerOut_.Get(), name, out);
}

HRESULT ClosedCaptionChain::QueryFilterInterface(REFIID, void** out) {
  if (out) *out = nullptr;
  return E_NOTIMPL;
}

HRESULT ClosedCaptionChain::GetRedrawAlways(BOOL* out) {
  if (!out || !line21_) return errors::kChainNullPointer;
  return line21_->GetRedrawAlways(out);
}

HRESULT ClosedCaptionChain::SetRedrawAlways(BOOL value) {
  if (!line21_) return errors::kChainNullPointer;
  return line21_->SetRedrawAlways(value);
}

HRESULT ClosedCaptionChain::GetCurrentService(AM_LINE21_CCSERVICE* out) {
  if (!out || !line21_) return errors::kChainNullPointer;
  return line21_->GetCurrentService(out);
}

HRESULT ClosedCaptionChain::SetCurrentService(AM_LINE21_CCSERVICE service) {
  if (!line21_ || !mixerControl_) return errors::kChainNullPointer;
  AM_LINE21_CCSERVICE current = AM_L21_CCSERVICE_Invalid;  // an unreadable service counts as changed
  line21_->GetCurrentService(&current);
  const HRESULT hr = line21_->SetCurrentService(service);
  if (SUCCEEDED(hr) && current != service) return mixerControl_->Reset();
  return hr;
}

HRESULT ClosedCaptionChain::GetMixerEnabled(LONG* out) {
  if (!out || !mixerControl_) return errors::kChainNullPointer;
  *out = 0;
  LONG state = 0;
  const HRESULT hr = mixerControl_->GetState(&state);
  if (SUCCEEDED(hr)) *out = state != 0 ? 1 : 0;
  return hr;
}

HRESULT ClosedCaptionChain::SetMixerEnabled(LONG flag) {
  if (!mixerControl_) return errors::kChainNullPointer;
  if (flag == 1) {
    LONG state = 0;
    if (SUCCEEDED(mixerControl_->GetState(&state)) && state == 0) {
      const HRESULT hr = mixerControl_->Reset();
      if (FAILED(hr)) return hr;
    }
  }
  return mixerControl_->Enable(flag == 1 ? 1 : 0);
}
