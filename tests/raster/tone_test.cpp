// Pixels to darkness levels, monochrome and colour.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "tests/raster/raster_fixture.h"

namespace {

using raster_test::MakeContext;
using raster_test::Pixel;
using raster_test::RowOf;

struct ToneCase {
  bool colour;
  Pixel pixel;
  int k, c, m, y;
};

TEST(Tone, LevelsOfTellingPixels) {
  const ToneCase cases[] = {
      // monochrome: grey sum and the grey curve
      {false, {255, 255, 255}, 0, 0, 0, 0},
      {false, {0, 0, 0}, 8192, 0, 0, 0},
      {false, {128, 128, 128}, 3121, 0, 0, 0},
      {false, {255, 0, 0}, 5031, 0, 0, 0},
      {false, {0, 0, 255}, 7004, 0, 0, 0},
      // colour: neutral pixels are black only, others go through HSV
      {true, {255, 255, 255}, 0, 0, 0, 0},
      {true, {128, 128, 128}, 3087, 0, 0, 0},
      {true, {255, 0, 0}, 0, 0, 8192, 8192},
      {true, {0, 255, 0}, 0, 7083, 0, 8192},
      {true, {0, 0, 255}, 0, 8192, 4542, 0},
      {true, {255, 0, 255}, 0, 0, 8192, 6},
      {true, {200, 100, 50}, 122, 0, 3393, 5620},
      {true, {10, 20, 30}, 5819, 1589, 506, 0},
      {true, {255, 255, 0}, 0, 0, 0, 8192},  // two equal greatest: no warp
  };
  for (bool colour : {false, true}) {
    std::vector<Pixel> pixels;
    std::vector<const ToneCase*> expected;
    for (const ToneCase& c : cases) {
      if (c.colour != colour) continue;
      pixels.push_back(c.pixel);
      expected.push_back(&c);
    }
    auto ctx = MakeContext(static_cast<int>(pixels.size()), colour);
    ASSERT_NE(ctx, nullptr);
    const auto row = RowOf(pixels);
    ctx->ConvertRow(row.data());
    for (size_t x = 0; x < pixels.size(); ++x) {
      const ToneCase& c = *expected[x];
      SCOPED_TRACE(testing::Message() << (colour ? "colour " : "mono ") << int(c.pixel.r) << "," << int(c.pixel.g)
                                      << "," << int(c.pixel.b));
      EXPECT_EQ(ctx->levelsK[x], c.k);
      if (colour) {
        EXPECT_EQ(ctx->levelsC[x], c.c);
        EXPECT_EQ(ctx->levelsM[x], c.m);
        EXPECT_EQ(ctx->levelsY[x], c.y);
      }
    }
  }
}

TEST(Tone, HsvSteps) {
  struct Case {
    int r, g, b, hue, sat, val;  // RgbToHsv
    int hue2, val2, r2, g2, b2;  // HsvToRgb after the warp
  };
  const Case cases[] = {
      {255, 0, 0, 0, 255, 255, 0, 255, 255, 0, 0},         {0, 255, 0, 512, 255, 255, 484, 255, 27, 255, 0},
      {0, 0, 255, 1024, 255, 255, 930, 255, 0, 93, 255},   {255, 0, 255, 1281, 255, 255, 1281, 255, 255, 0, 254},
      {200, 100, 50, 85, 191, 200, 85, 245, 245, 122, 61}, {10, 20, 30, 897, 170, 30, 850, 59, 19, 46, 59},
  };
  for (const Case& c : cases) {
    int hue = -1, sat = -1, val = -1;
    RgbToHsv(c.r, c.g, c.b, &hue, &sat, &val);
    EXPECT_EQ(hue, c.hue) << c.r << "," << c.g << "," << c.b;
    EXPECT_EQ(sat, c.sat);
    EXPECT_EQ(val, c.val);
    int r = -1, g = -1, b = -1;
    HsvToRgb(c.hue2, sat, c.val2, &r, &g, &b);
    EXPECT_EQ(r, c.r2) << c.r << "," << c.g << "," << c.b;
    EXPECT_EQ(g, c.g2);
    EXPECT_EQ(b, c.b2);
  }
  // A grey has no hue: the caller's stays.
  int hue = 777, sat = -1, val = -1;
  RgbToHsv(90, 90, 90, &hue, &sat, &val);
  EXPECT_EQ(hue, 777);
  EXPECT_EQ(sat, 0);
  EXPECT_EQ(val, 90);
  int r, g, b;
  HsvToRgb(300, 0, 42, &r, &g, &b);
  EXPECT_EQ(r, 42);
  EXPECT_EQ(g, 42);
  EXPECT_EQ(b, 42);
}

// The conversion step by step as the driver's rules state it, through the two
// HSV routines, to hold the row conversion's faster arithmetic against.
void ReferencePixel(const PrinterContext& ctx, int r, int g, int b, int out[4]) {
  if (r == g && g == b) {
    out[0] = ctx.toneTableGrey[255 - b];
    out[1] = out[2] = out[3] = 0;
    return;
  }
  int hue = 0, sat = 0, val = 0;
  RgbToHsv(r, g, b, &hue, &sat, &val);
  const int val2 = 255 - ctx.valueCurve[255 - val];
  int hue2 = hue;
  if (b > r && b > g) {
    hue2 =
        hue >= 1024 ? (512 - ctx.hueGainBlue) * (hue - 1280) / 255 + 1280 : (hue - 768) * ctx.hueGainBlue / 255 + 768;
  } else if (g > r && g > b) {
    hue2 = hue >= 512 ? (512 - ctx.hueGainGreen) * (hue - 768) / 255 + 768 : (hue - 256) * ctx.hueGainGreen / 255 + 256;
  }
  int r2, g2, b2;
  HsvToRgb(hue2, sat, val2, &r2, &g2, &b2);
  const int c = ctx.toneTableColour[255 - r2];
  const int m = ctx.toneTableColour[255 - g2];
  const int y = ctx.toneTableColour[255 - b2];
  const int k = std::min({c, m, y});
  out[0] = k;
  out[1] = c - k;
  out[2] = m - k;
  out[3] = y - k;
}

TEST(Tone, RowConversionMatchesTheStepByStepRules) {
  // A lattice through the colour cube plus random pixels, in rows where
  // neighbours repeat and differ.
  std::vector<Pixel> pixels;
  for (int r = 0; r < 256; r += 3) {
    for (int g = 0; g < 256; g += 3) {
      for (int b = 0; b < 256; b += 3) pixels.push_back({uint8_t(r), uint8_t(g), uint8_t(b)});
    }
  }
  std::mt19937 gen(7);
  for (int i = 0; i < 200000; ++i) {
    const uint32_t v = gen();
    const Pixel p{uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16)};
    pixels.push_back(p);
    if (v & 0x1000000) pixels.push_back(p);
  }
  const int width = 1800;
  auto ctx = MakeContext(width, true);
  ASSERT_NE(ctx, nullptr);
  int mismatches = 0;
  for (size_t start = 0; start < pixels.size(); start += width) {
    std::vector<Pixel> chunk(pixels.begin() + start, pixels.begin() + std::min(pixels.size(), start + width));
    chunk.resize(width, Pixel{255, 255, 255});
    const auto row = RowOf(chunk);
    ctx->ConvertRow(row.data());
    for (int x = 0; x < width; ++x) {
      int want[4];
      ReferencePixel(*ctx, chunk[x].r, chunk[x].g, chunk[x].b, want);
      const int got[4] = {ctx->levelsK[x], ctx->levelsC[x], ctx->levelsM[x], ctx->levelsY[x]};
      if (!std::equal(got, got + 4, want) && ++mismatches <= 5) {
        ADD_FAILURE() << int(chunk[x].r) << "," << int(chunk[x].g) << "," << int(chunk[x].b) << ": got " << got[0]
                      << " " << got[1] << " " << got[2] << " " << got[3] << ", want " << want[0] << " " << want[1]
                      << " " << want[2] << " " << want[3];
      }
    }
  }
  EXPECT_EQ(mismatches, 0);
}

}  // namespace
