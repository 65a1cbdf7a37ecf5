// libFuzzer target for the bitmap module's reader: any file either is
// refused with a code, or reads into a record whose every pixel can be
// reached, and which writes back into a file that reads the same.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "bitmap.h"

namespace {

std::string g_dir;
std::string g_input;
std::string g_output;

void remove_dir() {
  std::error_code ignored;
  std::filesystem::remove_all(g_dir, ignored);
}

void write_all(const std::string& path, const uint8_t* data, size_t size) {
  FILE* f = fopen(path.c_str(), "wb");
  if (f == nullptr || fwrite(data, 1, size, f) != size || fclose(f) != 0) {
    abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char dir[] = "/tmp/korv-bmpfuzz-XXXXXX";
  if (mkdtemp(dir) == nullptr) {
    abort();
  }
  g_dir = dir;
  atexit(remove_dir);
  g_input = std::string(dir) + "/in.bmp";
  g_output = std::string(dir) + "/out.bmp";
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  write_all(g_input, data, size);
  BMP* bmp = BMP_ReadFile(g_input.c_str());
  const BMP_ERROR_CODE code = BMP_GetError();
  if ((bmp == nullptr) != (code != BMP_ERR_NONE) || (bmp == nullptr && code == BMP_ERR_GENERAL)) {
    abort();
  }
  if (bmp == nullptr) {
    return 0;
  }
  const uint64_t width = BMP_GetWidth(bmp);
  const uint64_t height = BMP_GetHeight(bmp);
  const uint16_t depth = BMP_GetDepth(bmp);
  if (width >= 0x80000000u || height >= 0x80000000u ||
      (depth != 8 && depth != 24 && depth != 32)) {
    abort();
  }
  // The first and last rows (a zero-width image can claim millions of
  // rows without any data) and the corners, through every accessor.
  for (uint64_t y = 0; y < height; y = (y == 64 && height > 128) ? height - 64 : y + 1) {
    if (BMP_GetRow(bmp, y) == nullptr) {
      abort();
    }
  }
  const uint64_t xs[] = {0, width - 1, width / 2, width};
  const uint64_t ys[] = {0, height - 1, height / 2, height};
  for (uint64_t x : xs) {
    for (uint64_t y : ys) {
      uint8_t r = 0, g = 0, b = 0, index = 0;
      BMP_GetPixelRGB(bmp, x, y, &r, &g, &b);
      const bool inside = x < width && y < height;
      if ((BMP_GetError() == BMP_ERR_NONE) != inside) {
        abort();
      }
      BMP_GetPixelIndex(bmp, x, y, &index);
      BMP_SetPixelIndex(bmp, x, y, index);
      BMP_SetPixelRGB(bmp, x, y, b, g, r);
    }
  }

  BMP_WriteFile(bmp, g_output.c_str());
  if (BMP_GetError() != BMP_ERR_NONE) {
    abort();
  }
  BMP* again = BMP_ReadFile(g_output.c_str());
  if (again == nullptr || again->width != bmp->width || again->height != bmp->height ||
      again->imageSize != bmp->imageSize ||
      memcmp(again->data, bmp->data, bmp->imageSize) != 0 ||
      (bmp->palette != nullptr && memcmp(again->palette, bmp->palette, 1024) != 0)) {
    abort();
  }
  BMP_Free(again);
  BMP_Free(bmp);
  return 0;
}
