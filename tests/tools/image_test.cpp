#include <png.h>

#include <gtest/gtest.h>

#include <cstring>

#include "tools/image.h"

namespace {

// An image of `format` encoded to PNG in memory.
std::vector<uint8_t> EncodePngOfSize(png_uint_32 width, png_uint_32 height, png_uint_32 format, const void* pixels,
                                     const void* colormap = nullptr, int colormapEntries = 0) {
  png_image png;
  std::memset(&png, 0, sizeof png);
  png.version = PNG_IMAGE_VERSION;
  png.width = width;
  png.height = height;
  png.format = format;
  png.colormap_entries = colormapEntries;
  png_alloc_size_t size = 0;
  EXPECT_TRUE(png_image_write_to_memory(&png, nullptr, &size, 0, pixels, 0, colormap));
  std::vector<uint8_t> out(size);
  EXPECT_TRUE(png_image_write_to_memory(&png, out.data(), &size, 0, pixels, 0, colormap));
  out.resize(size);
  return out;
}

// A 2x1 image, left pixel in `format` as given.
std::vector<uint8_t> EncodePng(png_uint_32 format, const void* pixels, const void* colormap = nullptr,
                               int colormapEntries = 0) {
  return EncodePngOfSize(2, 1, format, pixels, colormap, colormapEntries);
}

struct Expect {
  uint8_t r, g, b;
};

void ExpectPixels(const std::vector<uint8_t>& file, Expect left, Expect right) {
  tools::Image img;
  std::string err;
  ASSERT_TRUE(tools::LoadImageMemory(file.data(), file.size(), &img, &err)) << err;
  ASSERT_EQ(img.width, 2);
  ASSERT_EQ(img.height, 1);
  const uint8_t* p = img.Pixel(0, 0);
  EXPECT_NEAR(p[0], left.r, 1);
  EXPECT_NEAR(p[1], left.g, 1);
  EXPECT_NEAR(p[2], left.b, 1);
  p = img.Pixel(1, 0);
  EXPECT_NEAR(p[0], right.r, 1);
  EXPECT_NEAR(p[1], right.g, 1);
  EXPECT_NEAR(p[2], right.b, 1);
}

TEST(ImageLoad, EveryPngKindBecomesRgbOverWhite) {
  const uint8_t grey[] = {0, 200};
  ExpectPixels(EncodePng(PNG_FORMAT_GRAY, grey), {0, 0, 0}, {200, 200, 200});
  // Grey + alpha: a transparent pixel is white, an opaque one keeps its value.
  const uint8_t ga[] = {0, 0, 0, 255};
  ExpectPixels(EncodePng(PNG_FORMAT_GA, ga), {255, 255, 255}, {0, 0, 0});
  const uint8_t rgb[] = {255, 0, 0, 0, 0, 255};
  ExpectPixels(EncodePng(PNG_FORMAT_RGB, rgb), {255, 0, 0}, {0, 0, 255});
  const uint8_t rgba[] = {0, 255, 0, 0, 0, 0, 0, 255};
  ExpectPixels(EncodePng(PNG_FORMAT_RGBA, rgba), {255, 255, 255}, {0, 0, 0});
  // 16 bits per sample.
  const uint16_t deep[] = {65535, 0, 0, 0, 0, 65535};
  ExpectPixels(EncodePng(PNG_FORMAT_LINEAR_RGB, deep), {255, 0, 0}, {0, 0, 255});
  // Palette.
  const uint8_t map[] = {0, 0, 0, 255, 255, 0};
  const uint8_t idx[] = {1, 0};
  ExpectPixels(EncodePng(PNG_FORMAT_RGB_COLORMAP, idx, map, 2), {255, 255, 0}, {0, 0, 0});
}

TEST(ImageLoad, BinaryPnm) {
  // P4: 1 is black, rows padded to whole bytes.
  std::string p4 = std::string("P4\n# comment\n2 1\n") + '\x80';
  ExpectPixels(std::vector<uint8_t>(p4.begin(), p4.end()), {0, 0, 0}, {255, 255, 255});
  std::string p5 = std::string("P5 2 1 255\n") + '\x10' + '\xff';
  ExpectPixels(std::vector<uint8_t>(p5.begin(), p5.end()), {16, 16, 16}, {255, 255, 255});
  std::string p6 = std::string("P6\n2 1\n15\n") + '\x0f' + '\0' + '\0' + '\0' + '\0' + '\x0f';
  ExpectPixels(std::vector<uint8_t>(p6.begin(), p6.end()), {255, 0, 0}, {0, 0, 255});
}

TEST(ImageLoad, MalformedInputIsRefusedWithAReason) {
  const uint8_t rgb[] = {255, 0, 0, 0, 0, 255};
  std::vector<uint8_t> png = EncodePng(PNG_FORMAT_RGB, rgb);
  std::vector<uint8_t> truncated(png.begin(), png.begin() + png.size() / 2);
  const std::vector<std::string> bad = {
      "",
      "GIF89a",
      "P6\n2 1\n255\n\x01",       // raster cut short
      "P5\n0 1\n255\n",           // empty image
      "P5\n2 1\n0\n\x01\x02",     // maximum value 0
      "P5\n99999999 1\n255\n",    // absurd size
      "P3\n1 1\n255\n0 0 0\n",    // ASCII PNM is not supported
  };
  for (const std::string& s : bad) {
    tools::Image img;
    std::string err;
    EXPECT_FALSE(tools::LoadImageMemory(reinterpret_cast<const uint8_t*>(s.data()), s.size(), &img, &err)) << s;
    EXPECT_FALSE(err.empty());
  }
  tools::Image img;
  std::string err;
  EXPECT_FALSE(tools::LoadImageMemory(truncated.data(), truncated.size(), &img, &err));
  EXPECT_FALSE(err.empty());
  EXPECT_FALSE(tools::LoadImageFile("/nonexistent.png", &img, &err));
}

uint32_t Crc32(const uint8_t* p, size_t n) {
  uint32_t c = 0xFFFFFFFFu;
  for (size_t i = 0; i < n; ++i) {
    c ^= p[i];
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
  }
  return c ^ 0xFFFFFFFFu;
}

void PutBe32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

// A real PNG whose header then claims another size (with a right CRC), as a
// small file may claim a huge image.
std::vector<uint8_t> WithDeclaredSize(std::vector<uint8_t> png, uint32_t w, uint32_t h) {
  // Signature, then the IHDR chunk: length, type, width, height, ..., CRC.
  PutBe32(&png[16], w);
  PutBe32(&png[20], h);
  PutBe32(&png[29], Crc32(&png[12], 17));
  return png;
}

TEST(ImageLoad, HugeDeclaredSizesAreRefusedBeforeAllocating) {
  const uint8_t rgb[] = {255, 0, 0, 0, 0, 255};
  const std::vector<uint8_t> small = EncodePng(PNG_FORMAT_RGB, rgb);
  struct Case {
    uint32_t w, h;
    const char* reason;
  };
  const Case cases[] = {
      // Within each side, but a few dozen bytes of data cannot hold 1.2 GB.
      {20000, 20000, "more than"},
      {8000, 8000, "too short"},
      {20000, 1, "too short"},
      {20001, 1, "out of range"},
  };
  for (const Case& c : cases) {
    const std::vector<uint8_t> file = WithDeclaredSize(small, c.w, c.h);
    tools::Image img;
    std::string err;
    EXPECT_FALSE(tools::LoadImageMemory(file.data(), file.size(), &img, &err)) << c.w << "x" << c.h;
    EXPECT_NE(err.find(c.reason), std::string::npos) << err;
    EXPECT_TRUE(img.rgb.empty());
  }
  // Data that compress as well as data can still pass the bound: a large
  // white image in a few kilobytes.
  std::vector<uint8_t> white(4000 * 1000, 255);
  const std::vector<uint8_t> file = EncodePngOfSize(4000, 1000, PNG_FORMAT_GRAY, white.data());
  ASSERT_FALSE(file.empty());
  tools::Image img;
  std::string err;
  ASSERT_TRUE(tools::LoadImageMemory(file.data(), file.size(), &img, &err)) << err;
  EXPECT_EQ(img.width, 4000);
  EXPECT_EQ(img.rgb.size(), 4000u * 1000u * 3u);
  // PNM: the pixel bound holds whatever the file holds.
  std::string p4 = "P4 10000 10000\n" + std::string(10000u * 1250u, '\0');
  EXPECT_FALSE(tools::LoadImageMemory(reinterpret_cast<const uint8_t*>(p4.data()), p4.size(), &img, &err));
  EXPECT_NE(err.find("more than"), std::string::npos) << err;
}

TEST(PlaceOnPage, OneToOneAtTopLeftOrFitKeepingAspect) {
  tools::Image src;
  src.width = 2;
  src.height = 1;
  src.rgb = {0, 0, 0, 10, 10, 10};
  tools::Image page = tools::PlaceOnPage(src, 4, 4, false);
  EXPECT_EQ(page.Pixel(0, 0)[0], 0);
  EXPECT_EQ(page.Pixel(1, 0)[0], 10);
  EXPECT_EQ(page.Pixel(2, 0)[0], 255);
  EXPECT_EQ(page.Pixel(0, 1)[0], 255);
  tools::Image fit = tools::PlaceOnPage(src, 4, 4, true);
  // Scaled by 2: two rows of each pixel doubled, the rest white.
  EXPECT_EQ(fit.Pixel(1, 1)[0], 0);
  EXPECT_EQ(fit.Pixel(2, 1)[0], 10);
  EXPECT_EQ(fit.Pixel(3, 1)[0], 10);
  EXPECT_EQ(fit.Pixel(0, 2)[0], 255);
  // A larger image is cut at the page edge.
  tools::Image cut = tools::PlaceOnPage(src, 1, 1, false);
  EXPECT_EQ(cut.rgb.size(), 3u);
  EXPECT_EQ(cut.Pixel(0, 0)[0], 0);
}

}  // namespace
