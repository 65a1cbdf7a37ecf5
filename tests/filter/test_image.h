// Test helpers of the filter tests: BMP files built byte by byte without
// the bitmap module, the filter's expected output worked out the plain way,
// temporary folders and file I/O.
#pragma once

#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace korvtest {

using Bytes = std::vector<uint8_t>;

// An image as the tests think of it: rows from the top, each pixel
// bitsPerPixel / 8 bytes (index, or blue green red [unused]).
struct Image {
  uint32_t width = 0;
  uint32_t height = 0;
  uint16_t bitsPerPixel = 24;
  Bytes palette;  // 1024 bytes for 8 bits per pixel
  Bytes pixels;   // width * height * bytes per pixel

  uint32_t bytes_per_pixel() const { return bitsPerPixel / 8u; }
  uint8_t* at(uint32_t x, uint32_t y) {
    return pixels.data() + (static_cast<size_t>(y) * width + x) * bytes_per_pixel();
  }
  const uint8_t* at(uint32_t x, uint32_t y) const {
    return pixels.data() + (static_cast<size_t>(y) * width + x) * bytes_per_pixel();
  }
};

Image make_image(uint32_t width, uint32_t height, uint16_t bitsPerPixel);
// Palette entry k = k, k, k.
void set_grey_palette(Image& image);
Image random_image(std::mt19937& rng, uint32_t width, uint32_t height, uint16_t bitsPerPixel);

// The BMP file of an image: 54-byte header with a 40-byte info header,
// the palette for 8 bits, rows bottom-up padded to 4 bytes.
Bytes encode(const Image& image);
uint64_t padded_row(uint32_t width, uint16_t bitsPerPixel);

// Little-endian patching of a header field.
void put16(Bytes& bytes, size_t offset, uint16_t value);
void put32(Bytes& bytes, size_t offset, uint32_t value);
uint32_t get32(const Bytes& bytes, size_t offset);

// What the filter should make of `input` for a print line of `outputWidth`
// dots, with the threshold pass when `threshold` is set: the top-left
// pixel of every factor x factor block, white beyond the input's right
// edge, as a 24-bit image.
Image expected_output(const Image& input, std::optional<uint32_t> threshold,
                      uint32_t outputWidth);

// A fresh folder under $TMPDIR or /tmp, removed with its files.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string path(const std::string& name) const { return dir_ + "/" + name; }

 private:
  std::string dir_;
};

void write_file(const std::string& path, const Bytes& bytes);
Bytes read_file(const std::string& path);

}  // namespace korvtest
