#include "test_image.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace korvtest {

Image make_image(uint32_t width, uint32_t height, uint16_t bitsPerPixel) {
  Image image;
  image.width = width;
  image.height = height;
  image.bitsPerPixel = bitsPerPixel;
  if (bitsPerPixel == 8) {
    image.palette.assign(1024, 0);
  }
  image.pixels.assign(static_cast<size_t>(width) * height * (bitsPerPixel / 8u), 0);
  return image;
}

void set_grey_palette(Image& image) {
  image.palette.assign(1024, 0);
  for (int k = 0; k < 256; ++k) {
    image.palette[4 * k] = image.palette[4 * k + 1] = image.palette[4 * k + 2] =
        static_cast<uint8_t>(k);
  }
}

Image random_image(std::mt19937& rng, uint32_t width, uint32_t height, uint16_t bitsPerPixel) {
  Image image = make_image(width, height, bitsPerPixel);
  std::uniform_int_distribution<int> byte(0, 255);
  for (auto& b : image.palette) {
    b = static_cast<uint8_t>(byte(rng));
  }
  for (auto& b : image.pixels) {
    b = static_cast<uint8_t>(byte(rng));
  }
  return image;
}

uint64_t padded_row(uint32_t width, uint16_t bitsPerPixel) {
  return (static_cast<uint64_t>(width) * (bitsPerPixel / 8u) + 3) / 4 * 4;
}

void put16(Bytes& bytes, size_t offset, uint16_t value) {
  bytes.at(offset) = static_cast<uint8_t>(value);
  bytes.at(offset + 1) = static_cast<uint8_t>(value >> 8);
}

void put32(Bytes& bytes, size_t offset, uint32_t value) {
  for (int i = 0; i < 4; ++i) {
    bytes.at(offset + i) = static_cast<uint8_t>(value >> (8 * i));
  }
}

uint32_t get32(const Bytes& bytes, size_t offset) {
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i) {
    value = value << 8 | bytes.at(offset + i);
  }
  return value;
}

Bytes encode(const Image& image) {
  const uint64_t row = padded_row(image.width, image.bitsPerPixel);
  const uint64_t imageSize = row * image.height;
  const uint32_t paletteBytes = image.bitsPerPixel == 8 ? 1024 : 0;
  const size_t paletteSize = paletteBytes != 0 ? image.palette.size() : 0;
  // Sized once and filled in place: growing the vector by inserts draws
  // false -Warray-bounds reports from GCC 12 at -O3.
  Bytes out(54 + paletteSize + imageSize, 0);
  out[0] = 'B';
  out[1] = 'M';
  put32(out, 2, static_cast<uint32_t>(54 + paletteBytes + imageSize));
  put32(out, 10, 54 + paletteBytes);
  put32(out, 14, 40);
  put32(out, 18, image.width);
  put32(out, 22, image.height);
  put16(out, 26, 1);
  put16(out, 28, image.bitsPerPixel);
  put32(out, 34, static_cast<uint32_t>(imageSize));
  std::copy_n(image.palette.begin(), paletteSize, out.begin() + 54);
  const size_t pixelBytes = static_cast<size_t>(image.width) * image.bytes_per_pixel();
  size_t at = 54 + paletteSize;
  for (uint32_t k = 0; k < image.height; ++k) {
    const uint32_t y = image.height - 1 - k;
    std::copy_n(image.pixels.begin() + y * pixelBytes, pixelBytes, out.begin() + at);
    at += row;
  }
  return out;
}

Image expected_output(const Image& input, std::optional<uint32_t> threshold,
                      uint32_t outputWidth) {
  uint32_t factor = input.width / outputWidth;
  if (factor < 1) {
    factor = 1;
  }
  Image out = make_image(outputWidth, input.height / factor, 24);
  for (uint32_t j = 0; j < out.height; ++j) {
    for (uint32_t i = 0; i < out.width; ++i) {
      uint8_t* o = out.at(i, j);
      const uint32_t x = i * factor;
      const uint32_t y = j * factor;
      if (x >= input.width) {
        o[0] = o[1] = o[2] = 255;
        continue;
      }
      const uint8_t* p = input.at(x, y);
      if (input.bitsPerPixel == 8) {
        uint32_t index = p[0];
        if (threshold) {
          index = index > *threshold ? 255 : 0;
        }
        p = input.palette.data() + 4 * index;
      }
      o[0] = p[0];
      o[1] = p[1];
      o[2] = p[2];
    }
  }
  return out;
}

TempDir::TempDir() {
  const char* base = getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr && base[0] != '\0' ? base : "/tmp") +
                        "/korvfilter-XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  if (mkdtemp(name.data()) == nullptr) {
    throw std::runtime_error("mkdtemp failed");
  }
  dir_ = name.data();
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

void write_file(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out) {
    throw std::runtime_error("cannot write " + path);
  }
}

Bytes read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace korvtest
