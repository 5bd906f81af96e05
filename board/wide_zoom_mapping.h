// Where a rectangle given in linear source coordinates lies in the source under the board's
// wide zoom: the rows lose the wide crop at top and bottom, the columns follow the inverse of
// the board's non-linear stretch (a fixed scale at the centre, stretched sides).
#pragma once

#ifdef _WIN32
#include <windows.h>
#else
#include "board/host_hresult.h"
#endif

namespace board {

class WideZoomMapping {
 public:
  // Source position (0..S) shown at panel column X, for a panel W x H and a source S wide.
  static LONG SourceColumn(double x, double panelWidth, double panelHeight, double sourceWidth) noexcept;
  // The whole rectangle: E_INVALIDARG for an empty source, E_UNEXPECTED for an empty panel.
  static HRESULT GetWideZoomRect(SIZE panel, SIZE video, const RECT& source, const RECT& linear, RECT* out) noexcept;
};

}  // namespace board
