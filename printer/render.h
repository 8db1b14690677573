// What the virtual printer printed, as an image: dots black on white; in
// colour the four planes composed as inks (black over cyan, magenta, yellow).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "printer/decoder.h"

namespace vprinter {

struct Image {
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t channels = 1;        // 1: grey (monochrome jobs), 3: RGB (colour jobs)
  std::vector<uint8_t> pixels;  // top row first, width * channels bytes per row

  const uint8_t* Pixel(uint32_t x, uint32_t y) const {
    return &pixels[(static_cast<size_t>(y) * width + x) * channels];
  }
};

struct RenderOptions {
  // Dots per row; 0 takes every bit of the row (bytesPerLine x 8). A narrower
  // width drops the padding bits at the end of each row.
  uint32_t dotsPerLine = 0;
  size_t firstRow = 0;
  size_t rowCount = SIZE_MAX;  // rows from firstRow, as far as printed
};

// Largest image Render makes, in bytes of pixels.
constexpr size_t kMaxImageBytes = size_t{1} << 30;

// Rows a plane lacks (a colour job cut short) render as blank. An image above
// kMaxImageBytes is not made: the result is empty and *error (if given) says
// why.
Image Render(const DecodedJob& job, const RenderOptions& options = {}, std::string* error = nullptr);

// The rows of one page (DecodedJob::pageStartRows); empty for a page that does
// not exist.
Image RenderPage(const DecodedJob& job, size_t page, uint32_t dotsPerLine = 0, std::string* error = nullptr);

// 8-bit grey or RGB PNG. An image without pixels (0 rows or 0 dots) is refused:
// PNG has no empty images. On failure *error holds the reason.
bool WritePng(const std::string& path, const Image& image, std::string* error);

}  // namespace vprinter
