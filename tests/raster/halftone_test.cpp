// Error diffusion: hand-computed cases, the random generator's use, and the
// row routine held against a literal reading of the rules.
#include <gtest/gtest.h>

#include <random>

#include "platform/system.h"
#include "tests/raster/raster_fixture.h"

namespace {

using raster_test::MakeContext;
using raster_test::Pixel;
using raster_test::RowOf;

// How many values the row took from the generator since it was seeded with
// 119 (up to `limit`); -1 when the state matches none of them.
int RandCallsSinceSeed(int limit = 5000) {
  const int next = crt::rand();
  crt::srand(119);
  for (int calls = 0; calls <= limit; ++calls) {
    if (crt::rand() == next) return calls;
  }
  return -1;
}

// The rules word for word: a scratch row with guard entries, 16-bit entries.
void ReferencePlane(int width, int rowIndex, const int16_t* levels, int16_t* errorRow, uint8_t* dots,
                    const uint8_t* mask, int dotWeight) {
  const int bytes = (width + 7) / 8;
  std::vector<int16_t> scratch(width + 2, 0);
  int16_t* n = scratch.data() + 1;
  std::fill(dots, dots + bytes, 0);
  const int step = rowIndex % 2 == 0 ? 1 : -1;
  int carry = 0, lastNoise = 0;
  for (int i = 0; i < width; ++i) {
    const int x = step > 0 ? i : width - 1 - i;
    const int level = levels[x];
    const uint8_t bit = static_cast<uint8_t>(0x80 >> (x % 8));
    int e;
    if (level == 0 || (mask != nullptr && (mask[x / 8] & bit))) {
      e = level + errorRow[x] + carry;
    } else if (level == 8192) {
      dots[x / 8] |= bit;
      e = errorRow[x] + carry;
    } else {
      int noise = crt::rand() * (level - 4096) / 32767;
      if ((lastNoise > 0 && noise > 0) || (lastNoise < 0 && noise < 0)) noise = -noise;
      lastNoise = noise;
      const int v = static_cast<int16_t>(level + errorRow[x] + carry);
      if (noise + v > 4096) {
        dots[x / 8] |= bit;
        e = v - dotWeight;
      } else {
        e = v;
      }
    }
    if (e == 0) {
      carry = 0;
    } else {
      const int q1 = e / 16, q3 = (3 * e) / 16, q5 = (5 * e) / 16;
      n[x + step] = static_cast<int16_t>(n[x + step] + q1);
      n[x] = static_cast<int16_t>(n[x] + q5);
      n[x - step] = static_cast<int16_t>(n[x - step] + q3);
      carry = e - q5 - q3 - q1;
    }
  }
  std::copy(n, n + width, errorRow);
}

class Halftone : public ::testing::Test {
 protected:
  void Use(int width, bool colour = false) {
    ctx = MakeContext(width, colour);
    ASSERT_NE(ctx, nullptr);
    levels.assign(width, 0);
    errors.assign(width, 0);
    mask.assign(ctx->bytesPerLine, 0);
    seed.assign(ctx->bytesPerLine, 0);
  }
  // One plane through HalftonePlane, as the black plane (weight 10649).
  void Run(const uint8_t* withMask = nullptr, int weight = 10649) {
    crt::srand(119);
    ASSERT_TRUE(ctx->HalftonePlane(levels.data(), errors.data(), ctx->dotsK, withMask, weight, seed.data()));
    ctx->outputCount = 0;  // the line bytes are not looked at here
  }
  uint8_t Dots(int byte) const { return ctx->dotsK[byte]; }

  std::unique_ptr<PrinterContext> ctx;
  std::vector<int16_t> levels, errors;
  std::vector<uint8_t> mask, seed;
};

TEST_F(Halftone, MidLevelAloneSpreadsItsError) {
  Use(16);
  levels[3] = 4096;  // noise 0: v = 4096 is not above the threshold
  Run();
  EXPECT_EQ(RandCallsSinceSeed(), 1);
  for (int b = 0; b < 2; ++b) EXPECT_EQ(Dots(b), 0);
  // e = 4096 gives 256 ahead, 1280 below, 768 behind and carries 1792; the
  // next pixel passes 1792 on as 112, 560, 336 and carries 784 (147 behind).
  EXPECT_EQ(errors[2], 768);
  EXPECT_EQ(errors[3], 1280 + 336);
  EXPECT_EQ(errors[4], 256 + 560 + 147);
}

TEST_F(Halftone, JustAboveThresholdAtTheFirstPixelPrints) {
  Use(16);
  levels[0] = 4097;
  Run();
  EXPECT_EQ(Dots(0), 0x80);
  // e = 4097 - 10649 = -6552: shares -409, -2047, -1228, carry -2868; the
  // next pixel's -2868 gives -537 behind.
  EXPECT_EQ(errors[0], -2047 - 537);
  EXPECT_EQ(RandCallsSinceSeed(), 1);
}

TEST_F(Halftone, NegativeErrorsTruncateTowardZero) {
  Use(16);
  errors[0] = -5;  // e = -5: q1 0, q3 0, q5 -1, carry -4; then -4 gives q5 -1, carry -3
  Run();
  EXPECT_EQ(errors[0], -1);
  EXPECT_EQ(errors[1], -1);
  for (int x = 2; x < 16; ++x) EXPECT_EQ(errors[x], 0) << x;
  EXPECT_EQ(RandCallsSinceSeed(), 0);
}

TEST_F(Halftone, OddRowsRunRightToLeftFromTheLastPixel) {
  Use(577);
  EXPECT_EQ(ctx->bytesPerLine, 73);
  // The carry follows the scan: the error of the last pixel reaches its left
  // neighbour only when the scan starts there.
  for (int rowIndex : {0, 1}) {
    std::fill(errors.begin(), errors.end(), 0);
    errors[576] = -5;
    ctx->rowIndex = rowIndex;
    Run();
    EXPECT_EQ(errors[576], -1) << rowIndex;
    EXPECT_EQ(errors[575], rowIndex == 1 ? -1 : 0) << rowIndex;
  }
  // Solid right to left: the scan starts at byte 72 under mask 80, the bits
  // past the last pixel stay clear.
  std::fill(levels.begin(), levels.end(), 8192);
  std::fill(errors.begin(), errors.end(), 0);
  ctx->rowIndex = 1;
  Run();
  for (int b = 0; b < 72; ++b) ASSERT_EQ(Dots(b), 0xFF) << b;
  EXPECT_EQ(Dots(72), 0x80);
}

TEST_F(Halftone, WhiteAndSolidRowsDrawNoRandomNumbers) {
  Use(64);
  Run();  // all 0, no error
  EXPECT_EQ(RandCallsSinceSeed(), 0);
  for (int b = 0; b < 8; ++b) EXPECT_EQ(Dots(b), 0);
  for (int16_t e : errors) EXPECT_EQ(e, 0);

  // All 8192 with error from above: every dot, and only the incoming error
  // moves on, spread by the weights.
  std::fill(levels.begin(), levels.end(), 8192);
  std::mt19937 gen(3);
  for (int16_t& e : errors) e = static_cast<int16_t>(static_cast<int>(gen() % 4001) - 2000);
  std::vector<int16_t> want = errors;
  std::vector<uint8_t> wantDots(8);
  ReferencePlane(64, 0, levels.data(), want.data(), wantDots.data(), nullptr, 10649);
  Run();
  EXPECT_EQ(RandCallsSinceSeed(), 0);
  for (int b = 0; b < 8; ++b) EXPECT_EQ(Dots(b), 0xFF);
  EXPECT_EQ(errors, want);
}

TEST_F(Halftone, BlackDotsMaskTheColourPlanes) {
  Use(16, true);
  std::fill(levels.begin(), levels.end(), 8192);
  std::fill(mask.begin(), mask.end(), 0);
  mask[0] = 0xF0;  // K printed at pixels 0..3
  std::vector<int16_t> want = errors;
  std::vector<uint8_t> wantDots(2);
  ReferencePlane(16, 0, levels.data(), want.data(), wantDots.data(), mask.data(), 9011);
  crt::srand(119);
  ASSERT_TRUE(ctx->HalftonePlane(levels.data(), errors.data(), ctx->dotsCMY, mask.data(), 9011, seed.data()));
  EXPECT_EQ(RandCallsSinceSeed(), 0);
  EXPECT_EQ(ctx->dotsCMY[0], 0x0F);  // none where black printed
  EXPECT_EQ(ctx->dotsCMY[1], 0xFF);
  EXPECT_EQ(errors, want);  // the masked level is pushed on as error
  EXPECT_NE(errors[0], 0);
}

// Random levels, errors and masks at several widths, both directions, against
// the literal rules: dots, errors and the generator's state all agree.
TEST_F(Halftone, MatchesTheRulesOnRandomRows) {
  std::mt19937 gen(11);
  for (int width : {1, 2, 7, 8, 9, 63, 577, 1248, 1808}) {
    Use(width, true);
    for (int trial = 0; trial < 12; ++trial) {
      const int rowIndex = trial;
      const bool masked = trial % 3 == 2;
      for (int x = 0; x < width; ++x) {
        const uint32_t v = gen();
        switch (v % 5) {
          case 0:
            levels[x] = 0;
            break;
          case 1:
            levels[x] = 8192;
            break;
          default:
            levels[x] = static_cast<int16_t>((v >> 8) % 8193);
            break;
        }
        // Levels the conversion never makes still follow the rules.
        if (trial == 7 && v % 7 == 0) levels[x] = static_cast<int16_t>(v >> 16);
        // Now and then errors near the 16-bit limits, to reach the wrap.
        errors[x] = static_cast<int16_t>(trial == 5 ? (v >> 3) : static_cast<int>((v >> 12) % 6001) - 3000);
      }
      for (uint8_t& m : mask) m = static_cast<uint8_t>(gen());
      const uint8_t* useMask = masked ? mask.data() : nullptr;
      std::vector<int16_t> want = errors;
      std::vector<uint8_t> wantDots(ctx->bytesPerLine);
      crt::srand(500 + trial);
      ReferencePlane(width, rowIndex, levels.data(), want.data(), wantDots.data(), useMask, 9830);
      const int wantNext = crt::rand();

      ctx->rowIndex = rowIndex;
      crt::srand(500 + trial);
      ASSERT_TRUE(ctx->HalftonePlane(levels.data(), errors.data(), ctx->dotsCMY, useMask, 9830, seed.data()));
      ctx->outputCount = 0;
      ASSERT_EQ(crt::rand(), wantNext) << "width " << width << " trial " << trial;
      ASSERT_EQ(std::vector<uint8_t>(ctx->dotsCMY, ctx->dotsCMY + ctx->bytesPerLine), wantDots)
          << "width " << width << " trial " << trial;
      ASSERT_EQ(errors, want) << "width " << width << " trial " << trial;
    }
  }
}

// Pages restart errors, direction and generator: the same page twice gives
// the same dot rows, in monochrome and colour.
TEST(HalftonePages, IdenticalPagesGiveIdenticalDotRows) {
  for (bool colour : {false, true}) {
    auto ctx = MakeContext(300, colour);
    ASSERT_NE(ctx, nullptr);
    std::mt19937 gen(5);
    std::vector<std::vector<uint8_t>> page;
    for (int y = 0; y < 40; ++y) {
      std::vector<Pixel> px(300);
      for (Pixel& p : px) p = {uint8_t(gen()), uint8_t(gen()), uint8_t(gen())};
      page.push_back(RowOf(px));
    }
    std::vector<std::vector<uint8_t>> dots[2];
    for (int copy = 0; copy < 2; ++copy) {
      ctx->BeginPageRaster();
      for (const auto& row : page) {
        ASSERT_TRUE(ctx->SendRasterLine(row.data()));
        for (const uint8_t* s : {ctx->seedRowK, ctx->seedRowC, ctx->seedRowM, ctx->seedRowY}) {
          if (s != nullptr) dots[copy].emplace_back(s, s + ctx->bytesPerLine);
        }
        ctx->outputCount = 0;
      }
      ctx->rowIndex = 0;  // as the page flush leaves it
    }
    EXPECT_EQ(dots[0], dots[1]) << (colour ? "colour" : "mono");
    EXPECT_EQ(dots[0].size(), colour ? 160u : 40u);
  }
}

}  // namespace
