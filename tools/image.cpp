#include "tools/image.h"

#include <png.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <fstream>
#include <iterator>

namespace tools {
namespace {

uint32_t Be32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 | p[3];
}

bool SizeInRange(uint64_t w, uint64_t h, std::string* error) {
  if (w == 0 || h == 0 || w > kMaxImageSide || h > kMaxImageSide) {
    *error = "image size " + std::to_string(w) + "x" + std::to_string(h) + " is out of range";
    return false;
  }
  if (w * h > static_cast<uint64_t>(kMaxImagePixels)) {
    *error = "image size " + std::to_string(w) + "x" + std::to_string(h) + " is more than " +
             std::to_string(kMaxImagePixels) + " pixels";
    return false;
  }
  return true;
}

// Whether the compressed image data in the file can hold as many pixels as
// the header declares. Deflate gives at most 1032 bytes per byte, so a file
// whose data fall short is refused before its pixels are allocated.
bool PngDataCanHoldImage(const uint8_t* data, size_t size, uint64_t w, uint64_t h) {
  uint64_t idat = 0;
  uint64_t bitsPerPixel = 0;
  for (size_t pos = 8; size - pos >= 12;) {
    const uint32_t length = Be32(data + pos);
    if (length > size - pos - 12) break;  // cut short: what is here is all there is
    const uint8_t* type = data + pos + 4;
    const uint8_t* body = data + pos + 8;
    if (std::memcmp(type, "IHDR", 4) == 0 && length >= 13) {
      static const uint8_t kChannels[7] = {1, 0, 3, 1, 2, 0, 4};
      const uint8_t depth = body[8];
      const uint8_t colourType = body[9];
      bitsPerPixel = colourType < 7 ? static_cast<uint64_t>(depth) * kChannels[colourType] : 0;
    } else if (std::memcmp(type, "IDAT", 4) == 0) {
      idat += length;
    } else if (std::memcmp(type, "IEND", 4) == 0) {
      break;
    }
    pos += 12 + static_cast<size_t>(length);
  }
  if (bitsPerPixel == 0) return true;  // libpng judges a header it cannot use
  const uint64_t leastRaw = (w * h * bitsPerPixel + 7) / 8;
  return leastRaw <= (idat + 1) * 1032;
}

bool LoadPng(const uint8_t* data, size_t size, Image* image, std::string* error) {
  png_image png;
  std::memset(&png, 0, sizeof png);
  png.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_memory(&png, data, size)) {
    *error = std::string("not a readable PNG: ") + png.message;
    return false;
  }
  if (!SizeInRange(png.width, png.height, error)) {
    png_image_free(&png);
    return false;
  }
  if (!PngDataCanHoldImage(data, size, png.width, png.height)) {
    png_image_free(&png);
    *error = "PNG image data are too short for an image of " + std::to_string(png.width) + "x" +
             std::to_string(png.height) + " pixels";
    return false;
  }
  png.format = PNG_FORMAT_RGB;  // alpha is composed over the background below
  Image out;
  out.width = static_cast<int>(png.width);
  out.height = static_cast<int>(png.height);
  out.rgb.resize(PNG_IMAGE_SIZE(png));
  png_color white = {255, 255, 255};
  if (!png_image_finish_read(&png, &white, out.rgb.data(), 0, nullptr)) {
    *error = std::string("malformed PNG: ") + png.message;
    png_image_free(&png);
    return false;
  }
  *image = std::move(out);
  return true;
}

// PNM header token reader: skips white space and comments.
bool NextNumber(const uint8_t* data, size_t size, size_t& pos, unsigned long* value) {
  for (;;) {
    while (pos < size && std::isspace(data[pos])) ++pos;
    if (pos < size && data[pos] == '#') {
      while (pos < size && data[pos] != '\n') ++pos;
      continue;
    }
    break;
  }
  if (pos >= size || !std::isdigit(data[pos])) return false;
  unsigned long v = 0;
  while (pos < size && std::isdigit(data[pos])) {
    v = v * 10 + (data[pos] - '0');
    if (v > 1000000) return false;
    ++pos;
  }
  *value = v;
  return true;
}

bool LoadPnm(const uint8_t* data, size_t size, Image* image, std::string* error) {
  const char kind = static_cast<char>(data[1]);
  size_t pos = 2;
  unsigned long w = 0;
  unsigned long h = 0;
  unsigned long maxval = 1;
  if (!NextNumber(data, size, pos, &w) || !NextNumber(data, size, pos, &h) ||
      (kind != '4' && !NextNumber(data, size, pos, &maxval))) {
    *error = "malformed PNM header";
    return false;
  }
  if (!SizeInRange(w, h, error)) return false;
  if (maxval == 0 || maxval > 65535) {
    *error = "PNM maximum value " + std::to_string(maxval) + " is out of range";
    return false;
  }
  if (pos >= size || !std::isspace(data[pos])) {
    *error = "malformed PNM header";
    return false;
  }
  ++pos;  // the single white-space byte before the raster
  const size_t bytesPerSample = maxval > 255 ? 2 : 1;
  const size_t channels = kind == '6' ? 3 : 1;
  const size_t rowBytes = kind == '4' ? (w + 7) / 8 : w * channels * bytesPerSample;
  if (size - pos < rowBytes * h) {
    *error = "PNM raster is truncated";
    return false;
  }
  Image out;
  out.width = static_cast<int>(w);
  out.height = static_cast<int>(h);
  out.rgb.resize(w * h * 3);
  auto sample = [&](const uint8_t* p) -> uint8_t {
    unsigned v = bytesPerSample == 2 ? (p[0] << 8 | p[1]) : p[0];
    return static_cast<uint8_t>((v * 255 + maxval / 2) / maxval);
  };
  for (size_t y = 0; y < h; ++y) {
    const uint8_t* row = data + pos + y * rowBytes;
    for (size_t x = 0; x < w; ++x) {
      uint8_t* px = &out.rgb[(y * w + x) * 3];
      if (kind == '4') {
        uint8_t v = (row[x / 8] & (0x80 >> (x % 8))) ? 0 : 255;  // 1 is black
        px[0] = px[1] = px[2] = v;
      } else if (kind == '5') {
        px[0] = px[1] = px[2] = sample(row + x * bytesPerSample);
      } else {
        for (int c = 0; c < 3; ++c) px[c] = sample(row + (x * 3 + c) * bytesPerSample);
      }
    }
  }
  *image = std::move(out);
  return true;
}

}  // namespace

bool LoadImageMemory(const uint8_t* data, size_t size, Image* image, std::string* error) {
  static const uint8_t kPngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  if (size >= 8 && std::memcmp(data, kPngSignature, 8) == 0) return LoadPng(data, size, image, error);
  if (size >= 2 && data[0] == 'P' && (data[1] == '4' || data[1] == '5' || data[1] == '6')) {
    return LoadPnm(data, size, image, error);
  }
  *error = "not a PNG or binary PNM (P4, P5, P6) image";
  return false;
}

bool LoadImageFile(const std::string& path, Image* image, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot be opened";
    return false;
  }
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) {
    *error = "cannot be read";
    return false;
  }
  return LoadImageMemory(bytes.data(), bytes.size(), image, error);
}

Image PlaceOnPage(const Image& image, int width, int height, bool fit) {
  Image page;
  page.width = width;
  page.height = height;
  page.rgb.assign(static_cast<size_t>(width) * height * 3, 255);
  if (image.width <= 0 || image.height <= 0) return page;
  if (!fit) {
    const int w = std::min(width, image.width);
    const int h = std::min(height, image.height);
    for (int y = 0; y < h; ++y) {
      std::memcpy(&page.rgb[static_cast<size_t>(y) * width * 3], image.Pixel(0, y), static_cast<size_t>(w) * 3);
    }
    return page;
  }
  // Scale by the smaller ratio; each page pixel takes the source pixel under
  // its centre.
  const double sx = static_cast<double>(width) / image.width;
  const double sy = static_cast<double>(height) / image.height;
  const double s = std::min(sx, sy);
  const int w = std::max(1, std::min(width, static_cast<int>(image.width * s + 0.5)));
  const int h = std::max(1, std::min(height, static_cast<int>(image.height * s + 0.5)));
  for (int y = 0; y < h; ++y) {
    const int srcY = std::min(image.height - 1, static_cast<int>((y + 0.5) * image.height / h));
    for (int x = 0; x < w; ++x) {
      const int srcX = std::min(image.width - 1, static_cast<int>((x + 0.5) * image.width / w));
      std::memcpy(&page.rgb[(static_cast<size_t>(y) * width + x) * 3], image.Pixel(srcX, srcY), 3);
    }
  }
  return page;
}

bool WritePng(const std::string& path, const Image& image, std::string* error) {
  png_image png;
  std::memset(&png, 0, sizeof png);
  png.version = PNG_IMAGE_VERSION;
  png.width = static_cast<png_uint_32>(image.width);
  png.height = static_cast<png_uint_32>(image.height);
  png.format = PNG_FORMAT_RGB;
  if (!png_image_write_to_file(&png, path.c_str(), 0, image.rgb.data(), 0, nullptr)) {
    *error = std::string("cannot write PNG: ") + png.message;
    return false;
  }
  return true;
}

}  // namespace tools
