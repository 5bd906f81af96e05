#include "devices/core/preview_graph_parts.h"

#include "common/errors.h"

HRESULT PreviewGraphParts::ConnectParts(FilterLink& link, VideoChainBuilder* chain, FilterHolder* sound) {
  // A link refuses a second pin, so a sound pin left attached would fail every later attempt:
  // each failure lets it go, also one of the attach itself (the link keeps the pin it could not
  // connect).
  HRESULT hr = link.Attach(audioPin_.Get());
  if (FAILED(hr)) {
    link.Detach();
    return hr;
  }
  if (chain) {
    hr = chain->IsBuilt() ? chain->Connect() : errors::kPreviewNoChain;
    if (FAILED(hr)) {
      link.Detach();
      return hr;
    }
  }
  if (sound && FAILED(hr = sound->Start(link.OutputPin()))) {
    if (chain) chain->Disconnect();
    link.Detach();
    return hr;
  }
  return S_OK;
}

HRESULT PreviewGraphParts::DisconnectParts(FilterLink* link, VideoChainBuilder* chain, FilterHolder* sound) {
  HRESULT first = S_OK;
  const auto keep = [&first](HRESULT hr) {
    if (FAILED(hr) && SUCCEEDED(first)) first = hr;
  };
  if (link) link->Detach();
  if (chain) keep(chain->Disconnect());
  if (sound) keep(sound->Stop());
  return first;
}

void PreviewGraphParts::ReleaseParts(FilterGraphHolder& holder, Microsoft::WRL::ComPtr<IBaseFilter>& source,
                                     Microsoft::WRL::ComPtr<IHalItem>& item, RemoveOrder order) noexcept {
  for (NamedEvent* event : {&audioMode_, &liveInputAudio_, &liveOutputAudio_, &externalInput_}) event->Close();
  const bool sourceFirst = order == RemoveOrder::kSourceFirst;
  IBaseFilter* const filters[2] = {sourceFirst ? source.Get() : tvAudio_.Get(), sourceFirst ? tvAudio_.Get() : source.Get()};
  holder.RemoveFilters(filters, 2);
  videoPin_.Reset();
  audioPin_.Reset();
  tvAudioControl_.Reset();
  source.Reset();
  tvAudio_.Reset();
  item.Reset();
}
