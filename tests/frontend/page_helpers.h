// Pages for the front-end tests: black-and-white images, the source bitmaps
// DrvCopyBits receives (bottom-up or top-down, exactly as large as their
// rows, so that a read outside them shows under the address sanitizer), and
// the dot rows the printer must print for them.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <span>
#include <vector>

#include "engine/engine.h"
#include "platform/gdi.h"
#include "printer/decoder.h"

namespace kest_test {

using DotRow = std::vector<uint8_t>;

// A pure black-and-white image: black where `black` says so, white elsewhere.
inline engine::Image BlackWhite(int w, int h, const std::function<bool(int x, int y)>& black) {
  engine::Image img(w, h, 0xFF);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      if (black(x, y)) img.Set(x, y, 0, 0, 0);
    }
  }
  return img;
}

// Every row differs from every other, and no row is blank.
inline engine::Image DistinctRows(int w, int h) {
  return BlackWhite(w, h, [](int x, int y) { return x == y % 97 || ((x * 31 + y * 17) % 29) < 3 || (x ^ y) % 61 == 0; });
}

// The bitmap the engine hands over, 3 bytes per pixel B G R.
class Source {
 public:
  Source(const engine::Image& img, bool bottomUp, int pad = 4) : w_(img.width), h_(img.height) {
    stride_ = w_ * 3 + pad;
    bits_.assign(static_cast<size_t>(stride_) * h_, 0xEE);
    for (int y = 0; y < h_; ++y) {
      uint8_t* row = Row(y, bottomUp);
      for (int x = 0; x < w_; ++x) {
        const uint8_t* p = img.Pixel(x, y);
        row[x * 3 + 0] = p[2];
        row[x * 3 + 1] = p[1];
        row[x * 3 + 2] = p[0];
      }
    }
    so_.sizlBitmap = {w_, h_};
    so_.cjBits = static_cast<ULONG>(bits_.size());
    so_.pvBits = bits_.data();
    so_.pvScan0 = Row(0, bottomUp);
    so_.lDelta = bottomUp ? -stride_ : stride_;
    so_.iBitmapFormat = BMF_24BPP;
    so_.iType = STYPE_BITMAP;
  }

  SURFOBJ* surface() { return &so_; }
  // A view that starts at column `left` and keeps the rows: the bitmap of
  // the columns from there to the right edge.
  SURFOBJ ViewFrom(int left) const {
    SURFOBJ v = so_;
    v.sizlBitmap.cx = w_ - left;
    v.pvBits = static_cast<uint8_t*>(so_.pvBits) + 3 * left;
    v.pvScan0 = static_cast<uint8_t*>(so_.pvScan0) + 3 * left;
    return v;
  }

 private:
  uint8_t* Row(int y, bool bottomUp) {
    const int memoryRow = bottomUp ? h_ - 1 - y : y;
    return bits_.data() + static_cast<size_t>(memoryRow) * stride_;
  }

  int w_, h_, stride_;
  std::vector<uint8_t> bits_;
  SURFOBJ so_{};
};

inline void SetDot(DotRow& row, int x) { row[static_cast<size_t>(x) / 8] |= static_cast<uint8_t>(0x80 >> (x % 8)); }

inline bool IsBlack(const engine::Image& img, int x, int y) {
  const uint8_t* p = img.Pixel(x, y);
  return p[0] == 0 && p[1] == 0 && p[2] == 0;
}

// Row path: printer line y is image row y, cut or padded to `dots`.
inline std::vector<DotRow> RowsOf(const engine::Image& img, int dots, int firstRow = 0, int rowCount = -1) {
  const int bytes = (dots + 7) / 8;
  if (rowCount < 0) rowCount = img.height - firstRow;
  std::vector<DotRow> out;
  for (int y = firstRow; y < firstRow + rowCount; ++y) {
    DotRow row(static_cast<size_t>(bytes), 0);
    for (int x = 0; x < std::min(dots, img.width); ++x) {
      if (IsBlack(img, x, y)) SetDot(row, x);
    }
    out.push_back(row);
  }
  return out;
}

// Column path: printer line n is image column n from its bottom pixel up.
inline std::vector<DotRow> ColumnsOf(const engine::Image& img, int dots, int firstColumn = 0, int count = -1) {
  const int bytes = (dots + 7) / 8;
  if (count < 0) count = img.width - firstColumn;
  std::vector<DotRow> out;
  for (int x = firstColumn; x < firstColumn + count; ++x) {
    DotRow row(static_cast<size_t>(bytes), 0);
    for (int k = 0; k < std::min(dots, img.height); ++k) {
      if (IsBlack(img, x, img.height - 1 - k)) SetDot(row, k);
    }
    out.push_back(row);
  }
  return out;
}

inline bool IsBlankRow(const DotRow& row) {
  for (uint8_t b : row) {
    if (b != 0) return false;
  }
  return true;
}

// What the blank-line filter leaves of a page: runs of more than `keep`
// blank rows shortened to `keep`.
inline std::vector<DotRow> FilterBlankRuns(const std::vector<DotRow>& rows, size_t keep = 3) {
  std::vector<DotRow> out;
  size_t run = 0;
  for (const DotRow& r : rows) {
    if (IsBlankRow(r)) {
      if (++run > keep) continue;
    } else {
      run = 0;
    }
    out.push_back(r);
  }
  return out;
}

inline vprinter::DecodedJob DecodeStream(std::span<const uint8_t> bytes, int dots, bool colour = false,
                                         std::vector<uint64_t> pageStarts = {}) {
  vprinter::DecoderOptions options;
  options.bytesPerLine = static_cast<size_t>((dots + 7) / 8);
  options.colour = colour;
  options.pageStartOffsets = std::move(pageStarts);
  return vprinter::Decode(bytes, options);
}

}  // namespace kest_test
