#include "printer/render.h"

#include <png.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace vprinter {

namespace {

bool Dot(const Row* row, uint32_t x) {
  if (row == nullptr) return false;
  const size_t byte = x / 8;
  return byte < row->size() && ((*row)[byte] & (0x80u >> (x % 8))) != 0;
}

}  // namespace

Image Render(const DecodedJob& job, const RenderOptions& options, std::string* error) {
  Image img;
  const size_t rows = job.rows();
  const size_t first = std::min(options.firstRow, rows);
  const size_t height = std::min(options.rowCount, rows - first);
  const uint64_t width = options.dotsPerLine ? options.dotsPerLine : uint64_t{job.bytesPerLine} * 8;
  const uint32_t channels = job.colour ? 3 : 1;
  if (width * height * channels > kMaxImageBytes || height > UINT32_MAX) {
    if (error) *error = "the image of " + std::to_string(width) + " x " + std::to_string(height) + " dots is too large";
    return img;
  }
  img.width = static_cast<uint32_t>(width);
  img.height = static_cast<uint32_t>(height);
  img.channels = channels;
  img.pixels.assign(static_cast<size_t>(width * height * channels), 255);
  for (size_t y = 0; y < height; ++y) {
    const size_t r = first + y;
    const Row* planeRows[4] = {};
    for (size_t p = 0; p < job.planes.size() && p < 4; ++p) {
      if (r < job.planes[p].size()) planeRows[p] = &job.planes[p][r];
    }
    uint8_t* out = &img.pixels[y * img.width * channels];
    for (uint32_t x = 0; x < img.width; ++x, out += channels) {
      if (!job.colour) {
        if (Dot(planeRows[kPlaneK], x)) out[0] = 0;
        continue;
      }
      if (Dot(planeRows[kPlaneK], x)) {
        out[0] = out[1] = out[2] = 0;
        continue;
      }
      // Subtractive inks: each takes away its complementary primary.
      if (Dot(planeRows[kPlaneC], x)) out[0] = 0;
      if (Dot(planeRows[kPlaneM], x)) out[1] = 0;
      if (Dot(planeRows[kPlaneY], x)) out[2] = 0;
    }
  }
  return img;
}

Image RenderPage(const DecodedJob& job, size_t page, uint32_t dotsPerLine, std::string* error) {
  if (page >= job.pageStartRows.size()) {
    if (error) *error = "there is no page " + std::to_string(page + 1);
    return Image{};
  }
  RenderOptions o;
  o.dotsPerLine = dotsPerLine;
  o.firstRow = job.pageStartRows[page];
  o.rowCount = page + 1 < job.pageStartRows.size() ? job.pageStartRows[page + 1] - o.firstRow : SIZE_MAX;
  return Render(job, o, error);
}

namespace {

struct PngWriteState {
  std::string message;
};

void OnPngError(png_structp png, png_const_charp msg) {
  auto* st = static_cast<PngWriteState*>(png_get_error_ptr(png));
  if (st) st->message = msg ? msg : "libpng error";
  png_longjmp(png, 1);
}

void OnPngWarning(png_structp, png_const_charp) {}

struct FileCloser {
  void operator()(FILE* f) const {
    if (f) std::fclose(f);
  }
};

}  // namespace

bool WritePng(const std::string& path, const Image& image, std::string* error) {
  auto fail = [&](const std::string& why) {
    if (error) *error = why;
    return false;
  };
  if (image.width == 0 || image.height == 0) return fail("nothing to write: the image has no pixels");
  if ((image.channels != 1 && image.channels != 3) ||
      image.pixels.size() != size_t{image.width} * image.height * image.channels) {
    return fail("the image's pixel buffer does not match its size");
  }
  std::unique_ptr<FILE, FileCloser> f(std::fopen(path.c_str(), "wb"));
  if (!f) return fail(path + ": " + std::strerror(errno));

  PngWriteState st;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &st, OnPngError, OnPngWarning);
  if (!png) return fail("out of memory");
  png_infop info = png_create_info_struct(png);
  if (!info) {
    png_destroy_write_struct(&png, nullptr);
    return fail("out of memory");
  }
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return fail(path + ": " + st.message);
  }
  png_init_io(png, f.get());
  png_set_IHDR(png, info, image.width, image.height, 8, image.channels == 1 ? PNG_COLOR_TYPE_GRAY : PNG_COLOR_TYPE_RGB,
               PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  const size_t stride = size_t{image.width} * image.channels;
  for (uint32_t y = 0; y < image.height; ++y) {
    png_write_row(png, const_cast<png_bytep>(image.pixels.data() + y * stride));
  }
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  FILE* raw = f.release();
  if (std::fclose(raw) != 0) return fail(path + ": " + std::strerror(errno));
  return true;
}

}  // namespace vprinter
