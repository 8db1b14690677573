// 24-bit pixels to 13-bit darkness levels: a luminance sum and the grey tone
// curve in monochrome; in colour an integer HSV model with a lightened value
// and warped blue and green hues, then full grey-component replacement.
// Integer arithmetic only; every division truncates toward zero.
#include <algorithm>
#include <cstdint>

#include "raster/printer_context.h"

namespace {

// Exact quotient n / d for 0 <= n <= 65025 and 1 <= d <= 255 by one
// multiplication: the error of the rounded-up reciprocal stays below 1/d.
struct Reciprocals {
  uint64_t m[256];
  constexpr Reciprocals() : m() {
    for (uint64_t d = 1; d < 256; ++d) m[d] = (uint64_t{1} << 32) / d + 1;
  }
};
constexpr Reciprocals kReciprocals;

inline int DivSmall(int n, int d) {
  // Truncation toward zero: divide the magnitude, then restore the sign.
  const uint32_t mag = static_cast<uint32_t>(n < 0 ? -n : n);
  const int q = static_cast<int>((mag * kReciprocals.m[d]) >> 32);
  return n < 0 ? -q : q;
}

// The conversion of one non-neutral pixel; the fast twin of RgbToHsv and
// HsvToRgb with the hue warp between them.
inline void ColourPixel(const PrinterContext& c, int r, int g, int b, int16_t* k, int16_t* cy, int16_t* mg,
                        int16_t* ye) {
  const int mx = std::max(r, std::max(g, b));
  const int mn = std::min(r, std::min(g, b));
  const int d = mx - mn;  // > 0: neutral pixels never get here
  const int sat = DivSmall(d * 255, mx);
  int hue;
  if (r == mx) {
    hue = DivSmall((g - b) * 255, d);
  } else if (g == mx) {
    hue = DivSmall((b - r) * 255, d) + 512;
  } else {
    hue = DivSmall((r - g) * 255, d) + 1024;
  }
  if (hue < 0) hue += 1536;

  const int val = 255 - c.valueCurve[255 - mx];

  if (b > r && b > g) {
    hue = hue >= 1024 ? (512 - c.hueGainBlue) * (hue - 1280) / 255 + 1280 : (hue - 768) * c.hueGainBlue / 255 + 768;
  } else if (g > r && g > b) {
    hue = hue >= 512 ? (512 - c.hueGainGreen) * (hue - 768) / 255 + 768 : (hue - 256) * c.hueGainGreen / 255 + 256;
  }

  // HsvToRgb for hues the conversion gives (0..1535) and sat > 0.
  const int sector = hue >> 8;
  const int f = hue & 255;
  const int p = (255 - sat) * val / 255;
  const int q = (65025 - sat * f) * val / 255 / 255;
  const int t = (65025 - sat * (255 - f)) * val / 255 / 255;
  int r2, g2, b2;
  switch (sector) {
    case 0:
      r2 = val, g2 = t, b2 = p;
      break;
    case 1:
      r2 = q, g2 = val, b2 = p;
      break;
    case 2:
      r2 = p, g2 = val, b2 = t;
      break;
    case 3:
      r2 = p, g2 = q, b2 = val;
      break;
    case 4:
      r2 = t, g2 = p, b2 = val;
      break;
    default:
      r2 = val, g2 = p, b2 = q;
      break;
  }
  const int16_t* tone = c.toneTableColour;
  const int cc = tone[255 - r2];
  const int mm = tone[255 - g2];
  const int yy = tone[255 - b2];
  const int kk = std::min(cc, std::min(mm, yy));
  *k = static_cast<int16_t>(kk);
  *cy = static_cast<int16_t>(cc - kk);
  *mg = static_cast<int16_t>(mm - kk);
  *ye = static_cast<int16_t>(yy - kk);
}

}  // namespace

void RgbToHsv(int r, int g, int b, int* hue, int* sat, int* val) {
  const int mx = std::max(r, std::max(g, b));
  const int mn = std::min(r, std::min(g, b));
  const int d = mx - mn;
  *val = mx;
  *sat = mx == 0 ? 0 : d * 255 / mx;
  if (d == 0) return;  // no hue: the caller's stays
  int h;
  if (r == mx) {
    h = (g - b) * 255 / d;
  } else if (g == mx) {
    h = (b - r) * 255 / d + 512;
  } else {
    h = (r - g) * 255 / d + 1024;
  }
  if (h < 0) h += 1536;
  *hue = h;
}

void HsvToRgb(int hue, int s, int v, int* r, int* g, int* b) {
  if (s == 0) {
    *r = *g = *b = v;
    return;
  }
  // Conversion hues lie in 0..1535; others are taken round the circle.
  hue %= 1536;
  if (hue < 0) hue += 1536;
  const int sector = hue / 256;
  const int f = hue - 256 * sector;
  const int p = (255 - s) * v / 255;
  const int q = (65025 - s * f) * v / 255 / 255;
  const int t = (65025 - s * (255 - f)) * v / 255 / 255;
  switch (sector) {
    case 0:
      *r = v, *g = t, *b = p;
      break;
    case 1:
      *r = q, *g = v, *b = p;
      break;
    case 2:
      *r = p, *g = v, *b = t;
      break;
    case 3:
      *r = p, *g = q, *b = v;
      break;
    case 4:
      *r = t, *g = p, *b = v;
      break;
    default:
      *r = v, *g = p, *b = q;
      break;
  }
}

void PrinterContext::ConvertRow(const uint8_t* row) {
  const int n = pixelsPerLine;
  const int16_t* grey = toneTableGrey;
  if (!colourMode) {
    for (int x = 0; x < n; ++x, row += 3) {
      const int lum = (76 * row[2] + 151 * row[1] + 28 * row[0]) >> 8;
      levelsK[x] = grey[255 - lum];
    }
    return;
  }
  // Photos repeat colours from pixel to pixel: the last result is reused.
  int lastB = -1, lastG = -1, lastR = -1;
  int16_t k = 0, cy = 0, mg = 0, ye = 0;
  for (int x = 0; x < n; ++x, row += 3) {
    const int b = row[0], g = row[1], r = row[2];
    if (r == g && g == b) {
      levelsK[x] = grey[255 - b];
      levelsC[x] = levelsM[x] = levelsY[x] = 0;
      continue;
    }
    if (b != lastB || g != lastG || r != lastR) {
      ColourPixel(*this, r, g, b, &k, &cy, &mg, &ye);
      lastB = b, lastG = g, lastR = r;
    }
    levelsK[x] = k;
    levelsC[x] = cy;
    levelsM[x] = mg;
    levelsY[x] = ye;
  }
}
