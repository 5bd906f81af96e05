// The crossbar side of the three families' tuner controls: the card crossbar's pin lists, input
// routing by connector type and ordinal, and the band of the input routed now.
//
// Band words: 1 and 2 are tuner bands (bits 0-1), bit 5 (0x20) marks an external input and bits
// 20-27 say which one (0 the first). The first external input reads as 0x20000020, the second as
// 0x10100020 (the value the device's band list offers, which routes back to the same input),
// any later one as 0x20 or, where a family numbers them, as (n << 20) | 0x20.
//
// A tuner control attaches the router to the crossbar of its own graph. Built on its own, the
// router keeps the device's crossbar filter in a graph of its own (never run).
#pragma once

#include <windows.h>
#include <strmif.h>

#include <cstdint>
#include <vector>

#include <wrl/client.h>

#include "common/device/filter_graph_holder.h"
#include "common/errors.h"

class DeviceIdentity;

class CrossbarRouter : public FilterGraphHolder {
 public:
  // One crossbar pin as the lists keep it.
  struct Pin {
    std::uint32_t index;
    std::uint32_t related;  // the pin that carries its audio (or video)
    std::uint32_t type;     // PhysicalConnectorType
  };

  static constexpr std::uint32_t kFirstExternalBand = 0x20000020;
  static constexpr std::uint32_t kSecondExternalBand = 0x10100020;
  static constexpr std::uint32_t kFurtherExternalBand = 0x20;
  // The most pins a crossbar lists on either side; a count past it, or below 0, is refused.
  static constexpr std::uint32_t kMaxPins = 256;

  // The connector type and ordinal (bits 20-27) a band selects: tuner bands (bits 0-1) the
  // tuner input, every other band the external type.
  static void InputOfBand(std::uint32_t band, LONG externalType, LONG* type, std::uint32_t* ordinal) noexcept;
  // The band of an external input with `before` external inputs ahead of it.
  static std::uint32_t ExternalBand(std::uint32_t before, bool numberLater = false) noexcept;

  ~CrossbarRouter() override;

  // Creates the router's own graph with the device's crossbar filter (found by `friendlyName`
  // in the crossbar category) and attaches to it; S_OK at once when built. E_INVALIDARG for a
  // missing or overlong name, VFW_E_NOT_FOUND when the card has no such filter.
  HRESULT Build(const DeviceIdentity& identity, const wchar_t* friendlyName);
  // Detaches, then takes the crossbar filter out of the own graph and releases the graph.
  HRESULT Release() override;

  // Takes the crossbar and reads its pins: get_PinCounts, then get_CrossbarPinInfo for every
  // input and every output. Pins without a related pin (index -1) are left out: they can be
  // neither routed nor reported. The first failure is returned and leaves the router empty; a
  // count below 0 or past kMaxPins is errors::kInvalidData.
  HRESULT Attach(IAMCrossbar* crossbar);
  void Detach() noexcept;
  bool attached() const noexcept { return crossbar_ != nullptr; }
  const std::vector<Pin>& inputs() const noexcept { return inputs_; }
  const std::vector<Pin>& outputs() const noexcept { return outputs_; }

  // Routes the ordinal-th input of `type` (0 the first) to the first video-decoder output, then
  // its related pin to the output's related pin: CanRoute, then Route, for each pair. A result
  // other than S_OK or S_FALSE is returned at once; errors::kNoSuchInput when the input or the
  // output is missing; E_UNEXPECTED before Attach.
  HRESULT RouteInput(LONG type, std::uint32_t ordinal);

  // The band routed to the video-decoder outputs (the last one with a routed input wins). The
  // input counts as external when its type is `externalType`; a tuner input reads as band 1; any
  // other type ends with errors::kRoutedInputUnsupported; none found: errors::kNoRoutedInput.
  // `band` is written only on success. `numberLater`: see ExternalBand.
  HRESULT CurrentBand(LONG externalType, std::uint32_t* band, bool numberLater = false) const;

 private:
  Microsoft::WRL::ComPtr<IBaseFilter> crossbarFilter_;  // only when built on its own
  Microsoft::WRL::ComPtr<IAMCrossbar> crossbar_;
  std::vector<Pin> inputs_;
  std::vector<Pin> outputs_;
};
