// Images for printing: PNG (any colour type, alpha composed over white) and
// binary PNM (P4, P5, P6), held as 8-bit RGB rows from the top.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tools {

struct Image {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> rgb;  // width * height * 3, R G B, top row first

  const uint8_t* Pixel(int x, int y) const { return &rgb[(static_cast<size_t>(y) * width + x) * 3]; }
};

// Largest image accepted, in pixels per side; larger files are refused rather
// than allocated.
constexpr int kMaxImageSide = 20000;
// Largest image accepted in pixels (192 MB of RGB): a small file may declare
// a huge image, and the pixels are allocated before they are decoded.
constexpr int64_t kMaxImagePixels = 64'000'000;

// Reads PNG or PNM, decided by the file's first bytes. On failure returns
// false and *error holds the reason (without the file name).
bool LoadImageFile(const std::string& path, Image* image, std::string* error);
bool LoadImageMemory(const uint8_t* data, size_t size, Image* image, std::string* error);

// Places the image on a white page of width x height: 1:1 at the top-left
// corner, or scaled to fit keeping its aspect ratio.
Image PlaceOnPage(const Image& image, int width, int height, bool fit);

bool WritePng(const std::string& path, const Image& image, std::string* error);

}  // namespace tools
