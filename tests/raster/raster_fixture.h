// Shared set-up of the raster tests: a printer context sized for a page, and
// rows of pixels.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "raster/printer_context.h"

namespace raster_test {

struct Pixel {
  uint8_t r, g, b;
};

// A 24-bit row in the order the driver reads it: blue, green, red.
inline std::vector<uint8_t> RowOf(const std::vector<Pixel>& pixels) {
  std::vector<uint8_t> row;
  row.reserve(pixels.size() * 3);
  for (const Pixel& p : pixels) {
    row.push_back(p.b);
    row.push_back(p.g);
    row.push_back(p.r);
  }
  return row;
}

// A context set up for `dots` per line; it lives on the heap (it is large).
inline std::unique_ptr<PrinterContext> MakeContext(int dots, bool colour) {
  auto ctx = std::make_unique<PrinterContext>();
  GDIINFO gi{};
  gi.ulHorzRes = static_cast<ULONG>(dots);
  gi.ulVertRes = 100;
  DEVMODEW dm{};
  dm.dmOrientation = DMORIENT_PORTRAIT;
  dm.dmColor = colour ? DMCOLOR_COLOR : DMCOLOR_MONOCHROME;
  if (!ctx->SetupRaster(&gi, &dm)) return nullptr;
  ctx->BeginPageRaster();
  return ctx;
}

}  // namespace raster_test
