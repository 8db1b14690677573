#include "printer/render.h"

#include <gtest/gtest.h>
#include <png.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "printer/decoder.h"

namespace vprinter {
namespace {

struct PngFile {
  uint32_t width = 0, height = 0;
  int colorType = -1, bitDepth = 0;
  std::vector<std::vector<uint8_t>> rows;
};

// Reads a PNG back with libpng, as any viewer would.
bool ReadPng(const std::string& path, PngFile* out) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_read_struct(&png, &info, nullptr);
    std::fclose(f);
    return false;
  }
  png_init_io(png, f);
  png_read_info(png, info);
  out->width = png_get_image_width(png, info);
  out->height = png_get_image_height(png, info);
  out->colorType = png_get_color_type(png, info);
  out->bitDepth = png_get_bit_depth(png, info);
  out->rows.assign(out->height, std::vector<uint8_t>(png_get_rowbytes(png, info)));
  for (auto& r : out->rows) png_read_row(png, r.data(), nullptr);
  png_read_end(png, nullptr);
  png_destroy_read_struct(&png, &info, nullptr);
  std::fclose(f);
  return true;
}

std::string TempPath(const char* name) { return "/tmp/vprinter_" + std::to_string(getpid()) + "_" + name + ".png"; }

DecodedJob MonoJob(std::vector<Row> rows) {
  DecodedJob job;
  job.bytesPerLine = rows.empty() ? 0 : rows[0].size();
  job.planes = {std::move(rows)};
  job.pageStartRows = {0};
  return job;
}

TEST(Render, MonochromeDotsAreBlackOnWhite) {
  DecodedJob job = MonoJob({{0x80, 0x01}, {0x00, 0x00}, {0xFF, 0xFF}});
  Image img = Render(job);
  ASSERT_EQ(img.width, 16u);
  ASSERT_EQ(img.height, 3u);
  ASSERT_EQ(img.channels, 1u);
  EXPECT_EQ(*img.Pixel(0, 0), 0);  // first dot: most significant bit
  EXPECT_EQ(*img.Pixel(1, 0), 255);
  EXPECT_EQ(*img.Pixel(15, 0), 0);  // last dot: least significant bit of byte 1
  EXPECT_EQ(*img.Pixel(7, 1), 255);
  EXPECT_EQ(*img.Pixel(9, 2), 0);

  // 12 dots per line: the padding bits of the last byte are not drawn.
  RenderOptions o;
  o.dotsPerLine = 12;
  o.firstRow = 1;
  img = Render(job, o);
  EXPECT_EQ(img.width, 12u);
  EXPECT_EQ(img.height, 2u);
  EXPECT_EQ(*img.Pixel(0, 1), 0);
}

TEST(Render, ColourPlanesComposeAsInks) {
  // Dot x of every plane: 0 K only, 1 C, 2 M, 3 Y, 4 C+M, 5 M+Y, 6 C+Y,
  // 7 C+M+Y, and in byte 1: 8 K over C+M+Y, 9 nothing.
  DecodedJob job;
  job.colour = true;
  job.bytesPerLine = 2;
  job.planes = {{{0x80, 0x80}}, {{0x4B, 0x80}}, {{0x2D, 0x80}}, {{0x17, 0x80}}};
  job.pageStartRows = {0};
  Image img = Render(job);
  ASSERT_EQ(img.channels, 3u);
  ASSERT_EQ(img.width, 16u);
  struct Expect {
    uint32_t x;
    uint8_t r, g, b;
  };
  const Expect cases[] = {{0, 0, 0, 0},   {1, 0, 255, 255}, {2, 255, 0, 255}, {3, 255, 255, 0}, {4, 0, 0, 255},
                          {5, 255, 0, 0}, {6, 0, 255, 0},   {7, 0, 0, 0},     {8, 0, 0, 0},     {9, 255, 255, 255}};
  for (const auto& c : cases) {
    SCOPED_TRACE("dot " + std::to_string(c.x));
    const uint8_t* p = img.Pixel(c.x, 0);
    EXPECT_EQ(p[0], c.r);
    EXPECT_EQ(p[1], c.g);
    EXPECT_EQ(p[2], c.b);
  }
}

TEST(Render, PagesAreRowRangesOfTheJob) {
  DecodedJob job = MonoJob({{0x80}, {0x40}, {0x20}, {0x10}, {0x08}});
  job.pageStartRows = {0, 2};
  Image p1 = RenderPage(job, 0);
  Image p2 = RenderPage(job, 1);
  EXPECT_EQ(p1.height, 2u);
  EXPECT_EQ(p2.height, 3u);
  EXPECT_EQ(*p2.Pixel(2, 0), 0);
  std::string error;
  Image none = RenderPage(job, 2, 0, &error);
  EXPECT_EQ(none.height, 0u);
  EXPECT_EQ(error, "there is no page 3");
}

TEST(Render, PngHasTheJobsSizeAndDots) {
  for (bool colour : {false, true}) {
    SCOPED_TRACE(colour ? "colour" : "mono");
    // A decoded stream: 3 rows of 2 bytes.
    DecoderOptions o;
    o.bytesPerLine = 2;
    o.colour = colour;
    std::vector<uint8_t> s = {0x1B, 0x6D, 0x03};
    const int lines = colour ? 12 : 3;
    for (int i = 0; i < lines; ++i) {
      const uint8_t line[] = {0x1B, 0x67, 0x02, 0x01, static_cast<uint8_t>(0x80 >> (i % 8))};
      s.insert(s.end(), line, line + sizeof line);
    }
    DecodedJob job = Decode(s, o);
    ASSERT_TRUE(job.ok()) << job.error->ToString();
    RenderOptions ro;
    ro.dotsPerLine = 13;
    Image img = Render(job, ro);
    const std::string path = TempPath(colour ? "colour" : "mono");
    std::string error;
    ASSERT_TRUE(WritePng(path, img, &error)) << error;
    PngFile png;
    ASSERT_TRUE(ReadPng(path, &png));
    std::remove(path.c_str());
    EXPECT_EQ(png.width, 13u);
    EXPECT_EQ(png.height, 3u);
    EXPECT_EQ(png.bitDepth, 8);
    EXPECT_EQ(png.colorType, colour ? PNG_COLOR_TYPE_RGB : PNG_COLOR_TYPE_GRAY);
    const size_t ch = colour ? 3 : 1;
    for (uint32_t y = 0; y < png.height; ++y) {
      ASSERT_EQ(png.rows[y].size(), 13 * ch);
      for (uint32_t x = 0; x < png.width; ++x) {
        for (size_t c = 0; c < ch; ++c) ASSERT_EQ(png.rows[y][x * ch + c], img.Pixel(x, y)[c]);
      }
    }
    // Row 0's dot 8 (byte 1, top bit) is inked.
    EXPECT_NE(png.rows[0][8 * ch], 255);
    EXPECT_EQ(png.rows[0][0], 255);
  }
}

TEST(Render, EmptyOrUnwritableImagesAreRefused) {
  std::string error;
  EXPECT_FALSE(WritePng(TempPath("empty"), Render(MonoJob({})), &error));
  EXPECT_EQ(error, "nothing to write: the image has no pixels");
  Image img = Render(MonoJob({{0xFF}}));
  EXPECT_FALSE(WritePng("/nonexistent-dir/x.png", img, &error));
  EXPECT_NE(error.find("/nonexistent-dir/x.png: "), std::string::npos) << error;
}

TEST(Render, HugeImagesAreRefusedNotAllocated) {
  DecodedJob job = MonoJob({Row(kMaxLineBytes, 0)});
  RenderOptions o;
  o.dotsPerLine = UINT32_MAX;
  std::string error;
  Image img = Render(job, o, &error);
  EXPECT_EQ(img.pixels.size(), 0u);
  EXPECT_NE(error.find("too large"), std::string::npos);
}

}  // namespace
}  // namespace vprinter
