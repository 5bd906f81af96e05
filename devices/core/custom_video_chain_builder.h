// The chain builder of a custom preview window (the host names a filter of its own, or the
// family puts one in, such as the third family's on-screen display). It is the family's
// `VideoChainBuilder` with the policy's head rule and refusal codes: the second family's custom
// chain on tuner index 1 starts with a PlanarPack converter unless the selected processing
// filter sets the field order itself.
#pragma once

#include <windows.h>
#include <dshow.h>

#include <memory>

#include "devices/core/chain_policy.h"
#include "devices/core/video_chain_builder.h"

class CustomVideoChainBuilder final : public VideoChainBuilder {
 public:
  CustomVideoChainBuilder(ChainDevice device, bool usesPacer, const ChainPolicy& policy)
      : VideoChainBuilder(std::move(device), usesPacer, policy) {}

  // Reads the device item (as ReadDevice) and makes the builder. E_INVALIDARG for a null
  // out-pointer, E_POINTER when the builder cannot be allocated; a failing read is returned.
  static HRESULT Create(IHalItem* item, const ChainSettings& familySettings, const ChainPolicy& policy, bool usesPacer,
                        std::unique_ptr<VideoChainBuilder>* out);

 protected:
  HRESULT AddChainHead(int kind) override;
  BuildRefusals Refusals() const override { return policy().customRefusals; }

 private:
  // Makes the processing filter of `kind` in the graph on trial, asks it for IPlanarFieldOrder
  // and removes it again. False when no filter could be made.
  bool ProcessingSetsFieldOrder(int kind) const;
};

namespace pex {

// `source` with the outside on-screen-display filter as its custom filter: the filter from its
// module file beside the device manager, named "CUSTOM FILTER".
ChainSource OsdChainSource(const ChainSource& source);

}  // namespace pex
