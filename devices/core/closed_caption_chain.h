// The closed-caption element of the preview video chain: the platform's VBI codec turns the
// capture filter's VBI samples into caption data, the platform's Line 21 decoder draws them, and
// an outside caption mixer lays the caption picture over the video. The element takes the video
// pin and a VBI pin and offers the mixer's output to the next element.
#pragma once

#include <windows.h>
#include <dshow.h>
#include <wrl/client.h>

#include <memory>
#include <utility>
#include <vector>

#include "devices/core/filter_wrapper.h"
#include "devices/core/outside_filters.h"

class ClosedCaptionChain final : public FilterWrapper {
 public:
  // Mode bits: 0 must be set, 1 is refused; 16 selects the first caption mixer, 17 the second.
  static constexpr DWORD kModeEnabled = 0x1;
  static constexpr DWORD kModeVariant = 0x2;
  static constexpr DWORD kModeMixer1 = 0x10000;
  static constexpr DWORD kModeMixer2 = 0x20000;

  // 0x8007F056 (and no element) for a mode with bit 1.
  static HRESULT Create(const ChainSettings& settings, DWORD mode, std::unique_ptr<ClosedCaptionChain>* out);
  ~ClosedCaptionChain() override;

  HRESULT CreateFilter(IFilterGraph* graph) override;
  HRESULT RemoveFromGraph() override;
  // Video pin to the mixer's first input, the VBI pin to the codec, codec to decoder, decoder to
  // the mixer's second input. 0x8007F046 without a video pin or without any VBI pin.
  HRESULT Connect(IPin* video, IPin* vbi1, IPin* vbi2) override;
  HRESULT Disconnect() override;
  HRESULT GetOutputPin(const wchar_t* name, IPin** out) override;
  HRESULT QueryFilterInterface(REFIID, void** out) override;

  // Caption controls: 0x8007F046 for a null out-pointer or a missing interface.
  HRESULT GetRedrawAlways(BOOL* out);
  HRESULT SetRedrawAlways(BOOL value);
  HRESULT GetCurrentService(AM_LINE21_CCSERVICE* out);
  // Tells the mixer (its first method) when the service changed.
  HRESULT SetCurrentService(AM_LINE21_CCSERVICE service);
  HRESULT GetMixerEnabled(LONG* out);
  HRESULT SetMixerEnabled(LONG flag);

  // Binds the VBI codec named by its device-parameter key. 0x8007F036 for a missing key or
  // name, 0x8007F046 when no filter has that name.
  HRESULT FindVbiCodec(IBaseFilter** out) const;

 private:
  ClosedCaptionChain(const ChainSettings& settings, DWORD mode) : settings_(settings), mode_(mode) {}
  HRESULT Build();
  void UndoLinks();

  using Pin = Microsoft::WRL::ComPtr<IPin>;
  const ChainSettings settings_;
  const DWORD mode_;
  Microsoft::WRL::ComPtr<IFilterGraph> graph_;
  Pin video_, vbi1_, vbi2_;  // the upstream pins while connected
  Microsoft::WRL::ComPtr<IBaseFilter> codec_;
  Pin codecIn1_, codecIn2_, codecOut_;
  Microsoft::WRL::ComPtr<IUnknown> decoderExtra_;
  Microsoft::WRL::ComPtr<IBaseFilter> decoder_;
  Pin decoderIn_, decoderOut_;
  Microsoft::WRL::ComPtr<IAMLine21Decoder> line21_;
  Microsoft::WRL::ComPtr<IBaseFilter> mixer_;
  Pin mixerIn1_, mixerIn2_, mixerOut_;
  Microsoft::WRL::ComPtr<ICaptionMixerControl> mixerControl_;
  std::vector<std::pair<Pin, Pin>> links_;  // the pairs Connect made, in order
};
