// The field kernels' contract and their scalar reference.
//
// A field kernel turns one row pair of the output frame into packed YUY2: the kept field line
// and the missing line beside it, interpolated. The reference below IS the definition of every
// kernel family (the vector kernels must give the same bytes, ring state included):
//
//   * Rows are read only inside [0, width): a neighbour at x - 2 .. x + 2 outside the row takes
//     the nearest pixel of the row (chroma: the nearest of the same U/V parity).
//   * A call writes whole 16-pixel groups, 16 * ceil(width / 16) pixels per destination row;
//     pixels past the width are computed from the clamped rows and counted in the statistics.
//   * Sharpen kernels emit the pair that entered one call earlier. A call with row index 0
//     starts a field: the rings then take lines -4 .. -1 as copies of lines 0 and 1, so no
//     line of the previous field bleeds into this one.
//   * Luma lines stored in the sharpness luma ring carry copies of their edge pixels from the
//     width to 16 * groups + kLineGuard and in the guard in front (line_buffers.h).
#pragma once

#include <windows.h>

#include <cstdint>

#include "filters/deinterlace/contrast_processor.h"

namespace deinterlace {

class SharpnessProcessor;
class ChromaLineRing;
class PlanarLineSet;

// ---- Arguments ------------------------------------------------------------------------------

// Packed YUY2 input (Y0 U Y1 V). Rows are byte addresses of the first pixel.
struct PackedRowPair {
  std::uint8_t* keptDestination;  // output row of the kept line
  std::uint8_t* fillDestination;  // output row of the interpolated line
  const std::uint8_t* keptSource;  // = above when fieldFlag is 1, below when 0
  const std::uint8_t* above;       // kept-field row above the missing line
  const std::uint8_t* below;       // kept-field row below the missing line
  const std::uint8_t* previous;    // missing line's row in the previous picture
  const std::uint8_t* next;        // missing line's row in the next picture
  int rowIndex;                    // 0, 2, 4, ...; 0 starts a field
  int width;                       // pixels
  int fieldFlag;                   // 1: the kept line is the upper line of the pair
  // The above row is the previous call's below row, unchanged since (set by the field walk);
  // a kernel may take over what it made of that row.
  bool aboveWasBelow = false;
};

// Five rows of one plane of SampleGroup6of8 input (six samples in the first six bytes of every
// eight); null where a kernel reads nothing.
struct PlanarRows {
  const std::uint8_t* kept;
  const std::uint8_t* above;
  const std::uint8_t* below;
  const std::uint8_t* previous;
  const std::uint8_t* next;
};

struct PlanarRowPair {
  std::uint8_t* keptDestination;
  std::uint8_t* fillDestination;
  PlanarRows luma;
  PlanarRows u;
  PlanarRows v;
  int rowIndex;
  int width;
  int fieldFlag;
  bool aboveWasBelow = false;  // as for packed rows: all three above rows
};

// The state objects a kernel reaches (owned by the processor, sized for the width).
struct KernelContext {
  ContrastProcessor* contrast = nullptr;     // contrast-on kernels
  SharpnessProcessor* sharpness = nullptr;   // sharpen kernels
  ChromaLineRing* chromaRing = nullptr;      // sharpen kernels; output slot 3 while they run
  PlanarLineSet* planarLines = nullptr;      // planar vector kernels unpack into it (the
                                             // reference unpacks into lines of its own)
};

// A kernel: one row pair per call (packed or planar input), state reached through the context.
using PackedKernel = void (*)(KernelContext& context, const PackedRowPair& pair);
using PlanarKernel = void (*)(KernelContext& context, const PlanarRowPair& pair);

// ---- Kernel families ------------------------------------------------------------------------

enum class Interpolator { Weave, LineAverage, FieldMedian, EdgeDirected, EdgeMedian };

struct KernelKind {
  Interpolator interpolator = Interpolator::Weave;
  bool sharpen = false;
  bool contrast = false;
  // Contrast statistics from the next picture's line instead of the kept line (the median rule
  // of the sharpness-off kernels).
  bool statisticsFromNext = false;
  // Planar only: the kept line is the `kept` rows (sharpness-off kernels) instead of the above
  // rows (field flag 1) or the below rows (field flag 0).
  bool keptFromKeptRows = false;
};

// Pairs 0..6: weave, line average and field median with sharpness; edge-directed without and
// with; edge median without and with.
KernelKind PairKernel(int pair, bool contrast);

// The sharpness-off kernels of modes 0, 1 and 2.
enum class FieldRule { Copy, Average, Median };
KernelKind FieldRuleKernel(FieldRule rule, bool contrast);

// What a field of the given mode runs: a whole-frame method (modes 7..9), a sharpness-off rule
// (modes 0..2 without sharpness) or a pair.
struct FieldWork {
  enum Type { WholeFrame, Rule, Pair } type;
  int index;  // whole-frame kind 0..2, FieldRule, or pair 0..6
};
FieldWork SelectFieldWork(int mode, bool sharpness);
KernelKind KernelForWork(const FieldWork& work, bool contrast);

// ---- Pixel arithmetic -----------------------------------------------------------------------

constexpr std::uint8_t Average(int a, int b) noexcept { return static_cast<std::uint8_t>((a + b + 1) >> 1); }
constexpr std::uint8_t Median3(int a, int b, int c) noexcept {
  const int lo = a < c ? a : c;
  const int hi = a < c ? c : a;
  const int m = lo > b ? lo : b;
  return static_cast<std::uint8_t>(hi < m ? hi : m);
}
std::uint8_t Median5(int a, int b, int c, int d, int e) noexcept;

// The edge-directed candidate from the above and below luma at x - 2 .. x + 2.
struct EdgeSums {
  int falling;   // S1
  int vertical;  // S0
  int rising;    // S2
};
EdgeSums EdgeDirectedSums(const std::uint8_t above[5], const std::uint8_t below[5]) noexcept;
std::uint8_t EdgeDirectedCandidate(const std::uint8_t above[5], const std::uint8_t below[5]) noexcept;

// The sharpness filter of one luma: d = (Yc >> 1) - (S >> 3), cored by T, times the gain in
// single precision (truncated, saturated to 16 bits), added to Yc and saturated to 0..255.
int SharpenCoreGain(int d, int coring, float gain) noexcept;  // the added value p
std::uint8_t SharpenLuma(int centre, int neighbourSum, int coring, float gain) noexcept;
// Where the cored value c lies in -kSharpenMaxCored .. kSharpenMaxCored (d of four-byte sums),
// the product p = SharpenCoreGain(c, 0, gain) may equal the fixed-point sign(c) *
// ((4 |c| * M) >> 16): the M >= 0 that gives every such p, or -1 where none does.
constexpr int kSharpenMaxCored = 127;
int SharpenMultiplier(float gain) noexcept;

// Contrast statistics of one 16-pixel group of luma.
void AddGroupStatistics(ContrastStatistics* statistics, const std::uint8_t luma[16]) noexcept;
inline std::uint8_t MapLuma(const ContrastCurve& curve, int value) noexcept {
  return static_cast<std::uint8_t>(curve.entries[value] & 0xFF);
}

// ---- Planar unpack --------------------------------------------------------------------------

// Unpacks a SampleGroup6of8 luma row into a line of PlanarLineGroups(width) groups (with guards,
// line_buffers.h): whole blocks of 48 samples from 64 input bytes, then the edge copies from
// the width on. The U and V rows give one interleaved line U0 V0 U1 V1 ... (32 bytes of each
// per block).
void UnpackPlanarLuma(const std::uint8_t* row, int width, std::uint8_t* line) noexcept;
void UnpackPlanarChroma(const std::uint8_t* uRow, const std::uint8_t* vRow, int width, std::uint8_t* line) noexcept;

// ---- Reference kernels ----------------------------------------------------------------------

void ReferencePackedKernel(const KernelKind& kind, KernelContext& context, const PackedRowPair& pair);
void ReferencePlanarKernel(const KernelKind& kind, KernelContext& context, const PlanarRowPair& pair);

}  // namespace deinterlace
