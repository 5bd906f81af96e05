#include "board/wide_zoom_mapping.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>

namespace board {

namespace {

constexpr double kCentreNumerator = 135.0;
constexpr double kCentreDenominator = 90.0;
// Below this curvature the stretch is linear (a panel exactly 1.5 times as wide as high).
constexpr double kFlat = 1e-12;

LONG Saturate(LONGLONG v) noexcept {
  return static_cast<LONG>(std::clamp<LONGLONG>(v, std::numeric_limits<LONG>::min(), std::numeric_limits<LONG>::max()));
}

// A column in 64 bits, held to the range a source of 32-bit coordinates can span (a double
// past the range of the integer it is converted to has no defined value).
LONGLONG Column(double v) noexcept {
  constexpr double kSpan = 4294967296.0;
  return std::isnan(v) ? 0 : static_cast<LONGLONG>(std::clamp(v, -kSpan, kSpan));
}

// The source column of panel column X, in 64 bits: a source may be wider than 2^31 columns.
LONGLONG SourceColumn64(double x, double w, double h, double s) noexcept {
  const LONGLONG whole = Column(s);
  if (x <= 0) return 0;
  if (x >= w) return whole;
  if (x == w / 2) return whole / 2;
  const double l = kCentreNumerator * h / (kCentreDenominator * s);
  const double g = 4.0 * (w - l * s) / (s * s);
  const bool right = x > w / 2;
  double y;
  if (std::fabs(g / 2) < kFlat) {
    y = l > 0 ? x / l : 0;  // both halves are X = L y then
  } else if (!right) {
    const double a = -g / 2, b = g * s / 2 + l;
    const double root = std::sqrt(std::fmax(b * b + 4 * a * x, 0.0));
    y = (root - b) / (2 * a);
    if (y < 0 || y > s / 2) y = (-b - root) / (2 * a);
  } else {
    const double a = g / 2, b = l - g * s / 2, c = g * s * s / 8 - l * s / 2 - (x - w / 2);
    const double root = std::sqrt(std::fmax(b * b - 4 * a * c, 0.0));
    y = (root - b) / (2 * a);
    if (y < s / 2 || y > s) y = (-b - root) / (2 * a);
  }
  y += right ? 1 : 0;
  if (!(y >= 0)) return 0;  // NaN included
  return y >= s ? whole : Column(y);
}

}  // namespace

LONG WideZoomMapping::SourceColumn(double x, double w, double h, double s) noexcept {
  return Saturate(SourceColumn64(x, w, h, s));
}

HRESULT WideZoomMapping::GetWideZoomRect(SIZE panel, SIZE video, const RECT& src, const RECT& lin, RECT* out) noexcept {
  if (!out) return E_POINTER;
  const LONGLONG srcW = std::llabs(static_cast<LONGLONG>(src.right) - src.left);
  const LONGLONG srcH = std::llabs(static_cast<LONGLONG>(src.bottom) - src.top);
  if (srcW == 0 || srcH == 0) return E_INVALIDARG;
  if (panel.cx <= 0 || panel.cy <= 0) return E_UNEXPECTED;
  const LONGLONG cy = video.cy;
  const LONGLONG m = static_cast<LONGLONG>(static_cast<std::uint32_t>(video.cy) * 34u / 480u);
  // 64-bit products: hostile coordinates cannot overflow.
  const LONGLONG top = m + (lin.top - static_cast<LONGLONG>(src.top)) * (cy - 2 * m) / srcH;
  const LONGLONG bottom = m + (lin.bottom - static_cast<LONGLONG>(src.top)) * (cy - 2 * m) / srcH;
  const LONGLONG dl = lin.left < src.left ? 0 : static_cast<LONGLONG>(lin.left) - src.left;
  const LONGLONG dr = lin.right < src.left ? 0 : static_cast<LONGLONG>(lin.right) - src.left;
  const double w = panel.cx, h = panel.cy, s = static_cast<double>(srcW);
  const LONGLONG xl = panel.cx * dl / srcW, xr = panel.cx * dr / srcW;
  const LONGLONG left = SourceColumn64(static_cast<double>(xl), w, h, s) + (lin.left >= src.left ? src.left : 0);
  const LONGLONG right = SourceColumn64(static_cast<double>(xr), w, h, s) + (lin.right >= src.left ? src.left : 0);
  *out = {Saturate(left), Saturate(top), Saturate(right), Saturate(bottom)};
  return S_OK;
}

}  // namespace board
