// libFuzzer entry for kestprint's image loaders (PNG through libpng, binary
// PNM). A loaded image has its declared size within the loader's limits and
// exactly three bytes per pixel, and comes back unchanged through a PNG
// written from it; a refused one has a reason and leaves the caller's image
// alone. PNG inputs are also tried with every chunk's CRC made right, so that
// changed headers and data get past libpng's checksum test.
#include <png.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tools/image.h"

namespace {

[[noreturn]] void Fail(const char* what, const std::string& detail = {}) {
  std::fprintf(stderr, "fuzz_image_loader: %s %s\n", what, detail.c_str());
  std::abort();
}

uint32_t Crc32(const uint8_t* p, size_t n) {
  static const std::array<uint32_t, 256> table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  uint32_t c = 0xFFFFFFFFu;
  for (size_t i = 0; i < n; ++i) c = table[(c ^ p[i]) & 0xFF] ^ (c >> 8);
  return c ^ 0xFFFFFFFFu;
}

// Rewrites the CRC of every whole chunk; false when nothing changed.
bool FixCrcs(std::vector<uint8_t>& png) {
  bool changed = false;
  for (size_t pos = 8; png.size() - pos >= 12;) {
    const uint32_t length = static_cast<uint32_t>(png[pos]) << 24 | static_cast<uint32_t>(png[pos + 1]) << 16 |
                            static_cast<uint32_t>(png[pos + 2]) << 8 | png[pos + 3];
    if (length > png.size() - pos - 12) break;
    const uint32_t crc = Crc32(&png[pos + 4], 4 + static_cast<size_t>(length));
    uint8_t* at = &png[pos + 8 + length];
    const uint8_t want[4] = {static_cast<uint8_t>(crc >> 24), static_cast<uint8_t>(crc >> 16),
                             static_cast<uint8_t>(crc >> 8), static_cast<uint8_t>(crc)};
    if (std::memcmp(at, want, 4) != 0) {
      std::memcpy(at, want, 4);
      changed = true;
    }
    pos += 12 + static_cast<size_t>(length);
  }
  return changed;
}

void Check(const uint8_t* data, size_t size) {
  tools::Image image;
  image.width = -7;  // a refused image must leave these as they are
  image.height = -9;
  image.rgb.assign(5, 0xAB);
  std::string error;
  if (!tools::LoadImageMemory(data, size, &image, &error)) {
    if (error.empty()) Fail("refused without a reason");
    if (image.width != -7 || image.height != -9 || image.rgb.size() != 5) Fail("a refused image changed the result");
    return;
  }
  if (!error.empty()) Fail("loaded with a reason", error);
  if (image.width < 1 || image.height < 1 || image.width > tools::kMaxImageSide ||
      image.height > tools::kMaxImageSide ||
      static_cast<int64_t>(image.width) * image.height > tools::kMaxImagePixels) {
    Fail("size out of the loader's limits", std::to_string(image.width) + "x" + std::to_string(image.height));
  }
  const size_t pixels = static_cast<size_t>(image.width) * static_cast<size_t>(image.height);
  if (image.rgb.size() != pixels * 3) Fail("pixel buffer of the wrong size");

  // What was read is plain RGB: written as a PNG and read back, it comes
  // back the same. Large images are left out to keep the rate up.
  if (pixels > (1u << 16)) return;
  png_image out;
  std::memset(&out, 0, sizeof out);
  out.version = PNG_IMAGE_VERSION;
  out.width = static_cast<png_uint_32>(image.width);
  out.height = static_cast<png_uint_32>(image.height);
  out.format = PNG_FORMAT_RGB;
  png_alloc_size_t bytes = 0;
  if (!png_image_write_to_memory(&out, nullptr, &bytes, 0, image.rgb.data(), 0, nullptr)) Fail("cannot size a PNG");
  std::vector<uint8_t> encoded(bytes);
  if (!png_image_write_to_memory(&out, encoded.data(), &bytes, 0, image.rgb.data(), 0, nullptr)) {
    Fail("cannot write a PNG");
  }
  encoded.resize(bytes);
  tools::Image again;
  if (!tools::LoadImageMemory(encoded.data(), encoded.size(), &again, &error)) Fail("own PNG refused", error);
  if (again.width != image.width || again.height != image.height || again.rgb != image.rgb) {
    Fail("own PNG read back differently");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Check(data, size);
  static const uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  if (size >= 8 && std::memcmp(data, kSignature, 8) == 0) {
    std::vector<uint8_t> fixed(data, data + size);
    if (FixCrcs(fixed)) Check(fixed.data(), fixed.size());
  }
  return 0;
}
