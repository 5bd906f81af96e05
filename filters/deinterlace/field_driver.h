// How a field is walked row pair by row pair: which input rows each kernel call gets and which
// output pair it writes. The processor runs its vector kernels through these same templates;
// the reference field below runs the scalar kernels through them.
//
// In field terms: pair j makes output rows 2j and 2j + 1; the kept line goes to the upper row
// when the field flag is 1 and to the lower row when it is 0. The kept-field rows around the
// missing line are kept row j - 1 + f (above) and j + f (below), clamped to the kept field (at
// the top of a field with f = 0 the first kept row stands above and below the missing line; at
// the bottom with f = 1 the last one); the previous and next pictures give their row j of the
// other field. Sharpen kernels run one pair behind: calls 0 and 1 write pair 0, call j writes
// pair j - 1, and a closing call repeats the last pair's rows to let it out of the pipeline.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "filters/deinterlace/field_kernels.h"

namespace deinterlace {

struct RowPairCall {
  int keptAbove;        // kept-field row above the missing line
  int keptBelow;        // kept-field row below it
  int other;            // other-field row at the missing line
  int destinationPair;  // output pair written
  int rowIndex;         // 2 * call number; 0 starts the field
};

template <class F>
void ForEachRowPairCall(int pairs, int keptRows, int fieldFlag, bool pipelined, F&& call) {
  if (pairs <= 0 || keptRows <= 0) return;
  const auto clampKept = [keptRows](int row) { return row < 0 ? 0 : (row >= keptRows ? keptRows - 1 : row); };
  const int f = fieldFlag == 1 ? 1 : 0;
  for (int j = 0; j < pairs; ++j) {
    const int destination = pipelined ? (j > 0 ? j - 1 : 0) : j;
    call(RowPairCall{clampKept(j - 1 + f), clampKept(j + f), j, destination, 2 * j});
  }
  if (pipelined) {
    const int j = pairs - 1;
    call(RowPairCall{clampKept(j - 1 + f), clampKept(j + f), j, j, 2 * pairs});
  }
}

// Packed YUY2 pictures: rows 2 * pitch bytes apart, the fields interleaved.
struct PackedFieldFrames {
  const std::uint8_t* previous;
  const std::uint8_t* current;
  const std::uint8_t* next;
  int pitch;  // pixels
  int width;  // pixels
};

// Planar pictures: one field's planes, rows a pitch apart (SampleGroup6of8).
struct PlanarFieldPlanes {
  const std::uint8_t* luma;
  const std::uint8_t* u;
  const std::uint8_t* v;
};
struct PlanarFieldFrames {
  PlanarFieldPlanes kept;      // the kept field of the current picture
  PlanarFieldPlanes previous;  // the other field of the previous picture
  PlanarFieldPlanes next;      // the other field of the next picture
  int lumaPitch;               // bytes between two rows of one field
  int chromaPitch;
  int fieldRows;
  int width;
};

struct OutputFrame {
  std::uint8_t* frame;
  int pitch;   // pixels; rows 2 * pitch bytes apart
  int height;  // rows
};

template <class Kernel>
void RunPackedField(const PackedFieldFrames& in, const OutputFrame& out, int fieldFlag, bool pipelined,
                    Kernel&& kernel) {
  const int f = fieldFlag == 1 ? 1 : 0;
  const std::size_t inStride = 2 * static_cast<std::size_t>(in.pitch);
  const std::size_t outStride = 2 * static_cast<std::size_t>(out.pitch);
  const int pairs = out.height / 2;
  const int keptRows = f == 1 ? (out.height + 1) / 2 : out.height / 2;
  const auto keptRow = [&](int k) { return in.current + inStride * static_cast<std::size_t>(2 * k + 1 - f); };
  const std::uint8_t* lastBelow = nullptr;
  ForEachRowPairCall(pairs, keptRows, f, pipelined, [&](const RowPairCall& c) {
    const std::size_t otherOffset = inStride * static_cast<std::size_t>(2 * c.other + f);
    PackedRowPair pair;
    pair.keptDestination = out.frame + outStride * static_cast<std::size_t>(2 * c.destinationPair + 1 - f);
    pair.fillDestination = out.frame + outStride * static_cast<std::size_t>(2 * c.destinationPair + f);
    pair.above = keptRow(c.keptAbove);
    pair.below = keptRow(c.keptBelow);
    pair.keptSource = f == 1 ? pair.above : pair.below;
    pair.previous = in.previous + otherOffset;
    pair.next = in.next + otherOffset;
    pair.rowIndex = c.rowIndex;
    pair.width = in.width;
    pair.fieldFlag = f;
    pair.aboveWasBelow = pair.above == lastBelow;
    lastBelow = pair.below;
    kernel(pair);
  });
}

template <class Kernel>
void RunPlanarField(const PlanarFieldFrames& in, const OutputFrame& out, int fieldFlag, bool pipelined,
                    Kernel&& kernel) {
  const int f = fieldFlag == 1 ? 1 : 0;
  const std::size_t outStride = 2 * static_cast<std::size_t>(out.pitch);
  const int pairs = out.height / 2 < in.fieldRows ? out.height / 2 : in.fieldRows;
  const auto fill = [&](PlanarRows* rows, const std::uint8_t* kept, const std::uint8_t* previous,
                        const std::uint8_t* next, std::size_t pitch, const RowPairCall& c) {
    rows->above = kept + pitch * static_cast<std::size_t>(c.keptAbove);
    rows->below = kept + pitch * static_cast<std::size_t>(c.keptBelow);
    rows->kept = f == 1 ? rows->above : rows->below;
    rows->previous = previous + pitch * static_cast<std::size_t>(c.other);
    rows->next = next + pitch * static_cast<std::size_t>(c.other);
  };
  int lastBelow = -1;  // kept row
  ForEachRowPairCall(pairs, in.fieldRows, f, pipelined, [&](const RowPairCall& c) {
    PlanarRowPair pair;
    pair.keptDestination = out.frame + outStride * static_cast<std::size_t>(2 * c.destinationPair + 1 - f);
    pair.fillDestination = out.frame + outStride * static_cast<std::size_t>(2 * c.destinationPair + f);
    fill(&pair.luma, in.kept.luma, in.previous.luma, in.next.luma, static_cast<std::size_t>(in.lumaPitch), c);
    fill(&pair.u, in.kept.u, in.previous.u, in.next.u, static_cast<std::size_t>(in.chromaPitch), c);
    fill(&pair.v, in.kept.v, in.previous.v, in.next.v, static_cast<std::size_t>(in.chromaPitch), c);
    pair.rowIndex = c.rowIndex;
    pair.width = in.width;
    pair.fieldFlag = f;
    pair.aboveWasBelow = c.keptAbove == lastBelow;
    lastBelow = c.keptBelow;
    kernel(pair);
  });
}

// One whole field through the scalar reference. Checks what the kernels take for granted
// (E_INVALIDARG for geometry the rows or buffers cannot hold, E_UNEXPECTED for missing or too
// small state objects) and aims the chroma ring's output at slot 3 for sharpen kernels. The
// contrast curve is not rebuilt here: the caller runs UpdateCurve after the field.
HRESULT ReferencePackedField(const KernelKind& kind, KernelContext& context, const PackedFieldFrames& in,
                             const OutputFrame& out, int fieldFlag);
HRESULT ReferencePlanarField(const KernelKind& kind, KernelContext& context, const PlanarFieldFrames& in,
                             const OutputFrame& out, int fieldFlag);

// The same walk with any kernel of the given kind (the vector kernels through the dispatch
// table). Planar kernels also need the context's PlanarLineSet, sized for the width.
HRESULT RunPackedFieldKernel(const KernelKind& kind, PackedKernel kernel, KernelContext& context,
                             const PackedFieldFrames& in, const OutputFrame& out, int fieldFlag);
HRESULT RunPlanarFieldKernel(const KernelKind& kind, PlanarKernel kernel, KernelContext& context,
                             const PlanarFieldFrames& in, const OutputFrame& out, int fieldFlag);

// Checks shared by the reference and the processor's own runs.
HRESULT CheckKernelState(const KernelKind& kind, const KernelContext& context, int width);

}  // namespace deinterlace
