// Row intake: the engine's rendered page goes to the raster engine one
// printer line at a time, rows for a portrait page, columns for a landscape
// one (the print head spans the page's short side).
#include <cstdlib>
#include <cstring>

#include "frontend/frontend.h"
#include "platform/system.h"

namespace {

constexpr int64_t kBytesPerPixel = 3;

BOOL Refuse() {
  SetLastError(ERROR_INVALID_PARAMETER);
  return FALSE;
}

// TRUE once a wide portrait page has had all its true rows.
bool RowLimitReached() { return g_widePage == 1 && g_lineCount >= g_pageHeight; }

}  // namespace

BOOL DrvCopyBits(SURFOBJ*, SURFOBJ* psoSrc, CLIPOBJ*, XLATEOBJ*, RECTL* prclDst, POINTL*) {
  if (RowLimitReached()) return TRUE;
  if (psoSrc == nullptr || prclDst == nullptr) return Refuse();
  const RECTL rect = *prclDst;
  if (rect.left >= rect.right || rect.top >= rect.bottom) return TRUE;  // nothing to send

  PrinterContext& printer = g_printer;
  const LONG cx = psoSrc->sizlBitmap.cx;
  const LONG cy = psoSrc->sizlBitmap.cy;
  const int64_t delta = psoSrc->lDelta;
  // Every check below happens before the first line goes out, so that a
  // refused call has sent nothing.
  if (printer.pixelsPerLine <= 0 || printer.levelsK == nullptr) return Refuse();  // device not enabled
  if (cx <= 0 || cy <= 0 || psoSrc->pvScan0 == nullptr) return Refuse();
  if (std::llabs(delta) < kBytesPerPixel * cx) return Refuse();  // rows would overlap

  BOOL result = TRUE;
  if (cx > cy) {
    // Column path: the rectangle's left edge is the source's column 0, and
    // each column, bottom pixel first, becomes one line.
    if (printer.rotationRow == nullptr || cy > printer.pixelsPerLine) return Refuse();
    if (static_cast<int64_t>(rect.right) - rect.left > cx) return Refuse();
    // Bottom-up sources start their memory with the bottom row; a top-down
    // source is read from its last row upward so that it prints the same.
    const uint8_t* bottom;
    if (delta < 0) {
      if (psoSrc->pvBits == nullptr) return Refuse();
      bottom = static_cast<const uint8_t*>(psoSrc->pvBits);
    } else {
      bottom = static_cast<const uint8_t*>(psoSrc->pvScan0) + (cy - 1) * delta;
    }
    const int64_t up = -delta;  // from one pixel of the line to the next
    uint8_t* line = printer.rotationRow;
    for (LONG x = rect.left; x < rect.right; ++x) {
      const uint8_t* column = bottom + kBytesPerPixel * (x - rect.left);
      for (LONG k = 0; k < cy; ++k) std::memcpy(line + kBytesPerPixel * k, column + k * up, kBytesPerPixel);
      result = printer.SendRasterLine(line);
      if (!result) return FALSE;
      ++g_lineCount;
      if (RowLimitReached()) return result;
    }
    return result;
  }

  // Row path: the rectangle's rows address the source directly, and each row
  // must hold a whole printer line.
  if (rect.top < 0 || rect.bottom > cy || cx < printer.pixelsPerLine) return Refuse();
  const uint8_t* scan0 = static_cast<const uint8_t*>(psoSrc->pvScan0);
  for (LONG y = rect.top; y < rect.bottom; ++y) {
    result = printer.SendRasterLine(scan0 + y * delta);
    if (!result) return FALSE;
    ++g_lineCount;
    if (RowLimitReached()) return result;
  }
  return result;
}
