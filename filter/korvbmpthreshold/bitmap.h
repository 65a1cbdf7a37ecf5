// The filter's bitmap module: uncompressed BMP files of 8, 24 and 32 bits
// per pixel with the 40-byte info header, held whole in memory.
//
// Public operations report through one process-wide last-error code:
// read it with BMP_GetError() right after the operation concerned.
#pragma once

#include <cstdint>

enum BMP_ERROR_CODE : uint32_t {
  BMP_ERR_NONE = 0,
  BMP_ERR_GENERAL = 1,
  BMP_ERR_NO_MEMORY = 2,
  BMP_ERR_IO = 3,
  BMP_ERR_NOT_FOUND = 4,
  BMP_ERR_UNSUPPORTED = 5,
  BMP_ERR_INVALID_FILE = 6,
  BMP_ERR_INVALID_ARGUMENT = 7,
  BMP_ERR_INCOMPATIBLE_TYPE = 8,
};

// Mirrors the 14-byte file header and the 40-byte info header field by
// field, then owns the palette block (8 bits per pixel only, 256 entries of
// blue, green, red, unused) and the pixel block (rows bottom-up, each padded
// to a multiple of 4 bytes).
struct BMP {
  uint16_t magic;
  uint64_t fileSize;
  uint16_t reserved1;
  uint16_t reserved2;
  uint64_t dataOffset;
  uint64_t headerSize;
  uint64_t width;
  uint64_t height;
  uint16_t planes;
  uint16_t bitsPerPixel;
  uint64_t compression;
  uint64_t imageSize;
  uint64_t xPixelsPerMeter;
  uint64_t yPixelsPerMeter;
  uint64_t colorsUsed;
  uint64_t colorsImportant;
  uint8_t *palette;
  uint8_t *data;
};

// Records, files and errors (bitmap.cpp).
BMP *BMP_Create(uint64_t width, uint64_t height, uint16_t bitsPerPixel);
void BMP_Free(BMP *bmp);
BMP *BMP_ReadFile(const char *path);
void BMP_WriteFile(BMP *bmp, const char *path);
BMP_ERROR_CODE BMP_GetError();
const char *BMP_GetErrorDescription();

// Dimensions, pixels and palette (pixels.cpp). x counts columns from the
// left, y rows from the top edge of the image.
uint64_t BMP_GetWidth(BMP *bmp);
uint64_t BMP_GetHeight(BMP *bmp);
uint16_t BMP_GetDepth(BMP *bmp);
void BMP_GetPixelRGB(BMP *bmp, uint64_t x, uint64_t y, uint8_t *r, uint8_t *g, uint8_t *b);
void BMP_SetPixelRGB(BMP *bmp, uint64_t x, uint64_t y, uint8_t r, uint8_t g, uint8_t b);
void BMP_GetPixelIndex(BMP *bmp, uint64_t x, uint64_t y, uint8_t *index);
void BMP_SetPixelIndex(BMP *bmp, uint64_t x, uint64_t y, uint8_t index);
void BMP_GetPaletteColor(BMP *bmp, uint8_t position, uint8_t *r, uint8_t *g, uint8_t *b);
void BMP_SetPaletteColor(BMP *bmp, uint8_t position, uint8_t r, uint8_t g, uint8_t b);

// Row access for whole-image work: the first byte of row y (counted from
// the top), followed by width x bytes-per-pixel bytes of that row, all
// inside the pixel block. Null with code 7 for a null record or y out of
// range; code 0 otherwise.
uint8_t *BMP_GetRow(BMP *bmp, uint64_t y);
