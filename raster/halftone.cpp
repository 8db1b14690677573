// Serpentine Floyd-Steinberg error diffusion with a random threshold
// perturbation and a dot weight per plane above the solid level.
#include <cstdint>
#include <cstring>

#include "platform/system.h"
#include "raster/printer_context.h"

namespace {

constexpr int kThreshold = 4096;
constexpr int kSolid = 8192;

// One plane's row in scan direction kStep. The errors for the row below are
// kept in a window of three running sums instead of a scratch row: the entry
// behind the current pixel is complete once the current pixel has added its
// share, so it is stored straight into errorRow, whose entry there has
// already been read. Sums wrap to 16 bits on the store, which gives the same
// value as wrapping after every addition.
template <int kStep, bool kMasked>
void DiffuseRow(const int16_t* levels, int16_t* errorRow, uint8_t* dots, const uint8_t* mask, int dotWeight,
                int count) {
  int x = kStep > 0 ? 0 : count - 1;
  int carry = 0;
  int lastNoise = 0;
  int behind = 0;   // N[x - step]: holds the share of x - 2 step and of x - step
  int current = 0;  // N[x]: holds the share of x - step
  for (int i = 0; i < count; ++i, x += kStep) {
    const int level = levels[x];
    const int bit = 7 - (x & 7);
    int e;
    if (level == 0 || (kMasked && ((mask[x >> 3] >> bit) & 1))) {
      e = level + errorRow[x] + carry;
    } else if (level == kSolid) {
      dots[x >> 3] |= static_cast<uint8_t>(1u << bit);
      e = errorRow[x] + carry;
    } else {
      int noise = crt::rand() * (level - kThreshold) / 32767;
      // Consecutive perturbations alternate in sign; a zero breaks the chain.
      const bool same = (lastNoise > 0 && noise > 0) || (lastNoise < 0 && noise < 0);
      noise = same ? -noise : noise;
      lastNoise = noise;
      const int v = static_cast<int16_t>(level + errorRow[x] + carry);
      const int dot = noise + v > kThreshold ? 1 : 0;
      dots[x >> 3] |= static_cast<uint8_t>(dot << bit);
      e = v - (dot ? dotWeight : 0);
    }
    // e / 16, 3e / 16, 5e / 16 truncated toward zero: the three share one
    // rounding bias, as they share the sign of e.
    const int bias = (e >> 31) & 15;
    const int q1 = (e + bias) >> 4;
    const int q3 = (3 * e + bias) >> 4;
    const int q5 = (5 * e + bias) >> 4;
    behind += q3;
    if (i > 0) errorRow[x - kStep] = static_cast<int16_t>(behind);  // the first is the guard entry
    behind = current + q5;
    current = q1;
    carry = e - q5 - q3 - q1;
  }
  // The last pixel's entry gets no share from a pixel beyond it; the entry
  // past the end is the guard and the final carry is dropped.
  if (count > 0) errorRow[x - kStep] = static_cast<int16_t>(behind);
}

bool AllZero(const int16_t* a, int count) {
  uint64_t acc = 0;
  int i = 0;
  for (; i + 4 <= count; i += 4) {
    uint64_t v;
    std::memcpy(&v, a + i, sizeof v);
    acc |= v;
  }
  for (; i < count; ++i) acc |= static_cast<uint16_t>(a[i]);
  return acc == 0;
}

}  // namespace

BOOL PrinterContext::HalftonePlane(const int16_t* levels, int16_t* errorRow, uint8_t* dots, const uint8_t* mask,
                                   int32_t dotWeight, uint8_t* seed) {
  const int n = pixelsPerLine;
  std::memset(dots, 0, static_cast<size_t>(bytesPerLine));
  // White with nothing carried in: no dots, nothing to carry on.
  if (!(AllZero(levels, n) && AllZero(errorRow, n))) {
    const bool forward = (rowIndex & 1) == 0;
    if (mask != nullptr) {
      forward ? DiffuseRow<1, true>(levels, errorRow, dots, mask, dotWeight, n)
              : DiffuseRow<-1, true>(levels, errorRow, dots, mask, dotWeight, n);
    } else {
      forward ? DiffuseRow<1, false>(levels, errorRow, dots, mask, dotWeight, n)
              : DiffuseRow<-1, false>(levels, errorRow, dots, mask, dotWeight, n);
    }
  }
  return SendLine(dots, seed);
}
