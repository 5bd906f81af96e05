#include "filters/deinterlace/field_driver.h"

#include "filters/deinterlace/line_buffers.h"
#include "filters/deinterlace/sharpness_processor.h"

namespace deinterlace {

HRESULT CheckKernelState(const KernelKind& kind, const KernelContext& context, int width) {
  if (width <= 0) return E_INVALIDARG;
  const int groups = BlockCount16(width);
  if (kind.contrast && !context.contrast) return E_UNEXPECTED;
  if (kind.sharpen) {
    if (!context.sharpness || !context.chromaRing) return E_UNEXPECTED;
    if (context.sharpness->groups() < groups || context.chromaRing->groups() < groups) return E_UNEXPECTED;
  }
  return S_OK;
}

namespace {
HRESULT CheckOutput(const OutputFrame& out, int width) {
  if (!out.frame || out.height < 0 || out.pitch < 16 * BlockCount16(width)) return E_INVALIDARG;
  return S_OK;
}

template <class Kernel>
HRESULT PackedFieldWith(const KernelKind& kind, KernelContext& context, const PackedFieldFrames& in,
                        const OutputFrame& out, int fieldFlag, Kernel&& kernel) {
  HRESULT hr = CheckKernelState(kind, context, in.width);
  if (FAILED(hr)) return hr;
  hr = CheckOutput(out, in.width);
  if (FAILED(hr)) return hr;
  if (!in.previous || !in.current || !in.next || in.pitch < in.width) return E_INVALIDARG;
  if (kind.sharpen) context.chromaRing->Select(2);
  RunPackedField(in, out, fieldFlag, kind.sharpen, kernel);
  return S_OK;
}

template <class Kernel>
HRESULT PlanarFieldWith(const KernelKind& kind, KernelContext& context, const PlanarFieldFrames& in,
                        const OutputFrame& out, int fieldFlag, Kernel&& kernel) {
  HRESULT hr = CheckKernelState(kind, context, in.width);
  if (FAILED(hr)) return hr;
  hr = CheckOutput(out, in.width);
  if (FAILED(hr)) return hr;
  const int blocks = PlanarBlockCount(in.width);
  if (in.lumaPitch < 64 * blocks || in.chromaPitch < 32 * blocks || in.fieldRows < 0) return E_INVALIDARG;
  const PlanarFieldPlanes* planes[] = {&in.kept, &in.previous, &in.next};
  for (const PlanarFieldPlanes* p : planes) {
    if (!p->luma || !p->u || !p->v) return E_INVALIDARG;
  }
  if (kind.sharpen) context.chromaRing->Select(2);
  RunPlanarField(in, out, fieldFlag, kind.sharpen, kernel);
  return S_OK;
}

}  // namespace

HRESULT ReferencePackedField(const KernelKind& kind, KernelContext& context, const PackedFieldFrames& in,
                             const OutputFrame& out, int fieldFlag) {
  return PackedFieldWith(kind, context, in, out, fieldFlag,
                         [&](const PackedRowPair& pair) { ReferencePackedKernel(kind, context, pair); });
}

HRESULT ReferencePlanarField(const KernelKind& kind, KernelContext& context, const PlanarFieldFrames& in,
                             const OutputFrame& out, int fieldFlag) {
  return PlanarFieldWith(kind, context, in, out, fieldFlag,
                         [&](const PlanarRowPair& pair) { ReferencePlanarKernel(kind, context, pair); });
}

HRESULT RunPackedFieldKernel(const KernelKind& kind, PackedKernel kernel, KernelContext& context,
                             const PackedFieldFrames& in, const OutputFrame& out, int fieldFlag) {
  if (!kernel) return E_UNEXPECTED;
  return PackedFieldWith(kind, context, in, out, fieldFlag,
                         [&](const PackedRowPair& pair) { kernel(context, pair); });
}

HRESULT RunPlanarFieldKernel(const KernelKind& kind, PlanarKernel kernel, KernelContext& context,
                             const PlanarFieldFrames& in, const OutputFrame& out, int fieldFlag) {
  if (!kernel) return E_UNEXPECTED;
  if (!context.planarLines || context.planarLines->groups() < PlanarLineGroups(in.width)) return E_UNEXPECTED;
  return PlanarFieldWith(kind, context, in, out, fieldFlag,
                         [&](const PlanarRowPair& pair) { kernel(context, pair); });
}

}  // namespace deinterlace
