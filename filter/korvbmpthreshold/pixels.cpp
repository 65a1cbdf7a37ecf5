// Pixel and palette access on a bitmap record, by coordinates from the
// top-left corner. Every operation sets the last-error code.
#include <cstddef>

#include "bitmap.h"
#include "bitmap_internal.h"

namespace {

constexpr uint64_t kAllOnes64 = ~static_cast<uint64_t>(0);

// Byte offset of pixel (x, y) in the pixel block, or null when the record
// is missing, the coordinates are out of range or the pixel would not lie
// wholly inside the block.
uint8_t *pixel_at(BMP *bmp, uint64_t x, uint64_t y) {
  if (bmp == nullptr || x >= bmp->width || y >= bmp->height || bmp->data == nullptr) {
    return nullptr;
  }
  const uint64_t bytes = bmp->bitsPerPixel / 8u;
  const uint64_t stride = bmp->imageSize / bmp->height;
  const uint64_t offset = (bmp->height - y - 1) * stride + x * bytes;
  if (bytes == 0 || offset > bmp->imageSize || bmp->imageSize - offset < bytes) {
    return nullptr;
  }
  return bmp->data + offset;
}

} // namespace

uint64_t BMP_GetWidth(BMP *bmp) {
  if (bmp == nullptr) {
    bmp_set_error(BMP_ERR_INVALID_ARGUMENT);
    return kAllOnes64;
  }
  bmp_set_error(BMP_ERR_NONE);
  return bmp->width;
}

uint64_t BMP_GetHeight(BMP *bmp) {
  if (bmp == nullptr) {
    bmp_set_error(BMP_ERR_INVALID_ARGUMENT);
    return kAllOnes64;
  }
  bmp_set_error(BMP_ERR_NONE);
  return bmp->height;
}

uint16_t BMP_GetDepth(BMP *bmp) {
  if (bmp == nullptr) {
    bmp_set_error(BMP_ERR_INVALID_ARGUMENT);
    return 0xFFFF;
  }
  bmp_set_error(BMP_ERR_NONE);
  return bmp->bitsPerPixel;
}

void BMP_GetPixelRGB(BMP *bmp, uint64_t x, uint64_t y, uint8_t *r, uint8_t *g, uint8_t *b) {
  const uint8_t *pixel = pixel_at(bmp, x, y);
  if (pixel == nullptr) {
    bmp_set_error(BMP_ERR_INVALID_ARGUMENT);
    return;
  }
  if (bmp->bitsPerPixel == 8) {
    if (bmp->palette == nullptr) {
      bmp_set_error(BMP_ERR_INCOMPATIBLE_TYPE);
      return;
    }
    pixel = bmp->palette + 4u * pixel[0];
  }
  bmp_set_error(BMP_ERR_NONE);
  if (r != nullptr) {
    *r = pixel[2];
  }
  if (g != nullptr) {
    *g = pixel[1];
  }
  if (b != nullptr) {
    *b = pixel[0];
  }
}

void BMP_SetPixelRGB(BMP *bmp, uint64_t x, uint64_t y, uint8_t r, uint8_t g, uint8_t b) {
  uint8_t *pixel = pixel_at(bmp, x, y);
  if (pixel == nullptr) {
    bmp_set_error(BMP_ERR_INVALID_ARGUMENT);
    return;
  }
  if (bmp->bitsPerPixel != 24 && bmp->bitsPerPixel != 32) {
    bmp_set_error(BMP_ERR_INCOMPATIBLE_TYPE);
    return;
  }
  bmp_set_error(BMP_ERR_NONE);
  pixel[2] = r;
  pixel[1] = g;
  pixel[0] = b;
}

void BMP_GetPixelIndex(BMP *bmp, uint64_t x, uint64_t y, uint8_t *index) {
  const uint8_t *pixel = pixel_at(bmp, x, y);
  if (pixel == nullptr) {
    bmp_set_error(BMP_ERR_INVALID_ARGUMENT);
    return;
  }
  if (bmp->bitsPerPixel != 8) {
    bmp_set_error(BMP_ERR_INCOMPATIBLE_TYPE);
    return;
  }
  bmp_set_error(BMP_ERR_NONE);
  if (index != nullptr) {
    *index = pixel[0];
  }
}

void BMP_SetPixelIndex(BMP *bmp, uint64_t x, uint64_t y, uint8_t index) {
  uint8_t *pixel = pixel_at(bmp, x, y);
  if (pixel == nullptr) {
    bmp_set_error(BMP_ERR_INVALID_ARGUMENT);
    return;
  }
  if (bmp->bitsPerPixel != 8) {
    bmp_set_error(BMP_ERR_INCOMPATIBLE_TYPE);
    return;
  }
  bmp_set_error(BMP_ERR_NONE);
  pixel[0] = index;
}

void BMP_GetPaletteColor(BMP *bmp, uint8_t position, uint8_t *r, uint8_t *g, uint8_t *b) {
  if (bmp == nullptr) {
    bmp_set_error(BMP_ERR_INVALID_ARGUMENT);
    return;
  }
  if (bmp->bitsPerPixel != 8 || bmp->palette == nullptr) {
    bmp_set_error(BMP_ERR_INCOMPATIBLE_TYPE);
    return;
  }
  const uint8_t *entry = bmp->palette + 4u * position;
  if (r != nullptr) {
    *r = entry[2];
  }
  if (g != nullptr) {
    *g = entry[1];
  }
  if (b != nullptr) {
    *b = entry[0];
  }
  bmp_set_error(BMP_ERR_NONE);
}

void BMP_SetPaletteColor(BMP *bmp, uint8_t position, uint8_t r, uint8_t g, uint8_t b) {
  if (bmp == nullptr) {
    bmp_set_error(BMP_ERR_INVALID_ARGUMENT);
    return;
  }
  if (bmp->bitsPerPixel != 8 || bmp->palette == nullptr) {
    bmp_set_error(BMP_ERR_INCOMPATIBLE_TYPE);
    return;
  }
  uint8_t *entry = bmp->palette + 4u * position;
  entry[2] = r;
  entry[1] = g;
  entry[0] = b;
  bmp_set_error(BMP_ERR_NONE);
}

uint8_t *BMP_GetRow(BMP *bmp, uint64_t y) {
  if (bmp == nullptr || y >= bmp->height || bmp->data == nullptr) {
    bmp_set_error(BMP_ERR_INVALID_ARGUMENT);
    return nullptr;
  }
  const uint64_t stride = bmp->imageSize / bmp->height;
  const uint64_t offset = (bmp->height - y - 1) * stride;
  const uint64_t rowBytes = bmp->width * (bmp->bitsPerPixel / 8u);
  if (bmp->width > bmp->imageSize || offset > bmp->imageSize ||
      bmp->imageSize - offset < rowBytes) {
    bmp_set_error(BMP_ERR_INVALID_ARGUMENT);
    return nullptr;
  }
  bmp_set_error(BMP_ERR_NONE);
  return bmp->data + offset;
}
