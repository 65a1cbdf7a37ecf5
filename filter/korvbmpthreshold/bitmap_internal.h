// Internals shared by bitmap.cpp and pixels.cpp (and their tests): the
// last-error code, the header and field routines, the row size rule.
#pragma once

#include <cstdint>
#include <cstdio>

#include "bitmap.h"

void bmp_set_error(BMP_ERROR_CODE code);

// Header routines: a BMP_ERROR_CODE (0, 3 or 7); they never set the
// last-error code.
BMP_ERROR_CODE ReadHeader(BMP *bmp, FILE *stream);
BMP_ERROR_CODE WriteHeader(BMP *bmp, FILE *stream);

// Little-endian field routines: 1 on success, 0 on failure.
int ReadUINT(uint64_t *destination, FILE *stream);
int ReadUSHORT(uint16_t *destination, FILE *stream);
int WriteUINT(uint64_t value, FILE *stream);
int WriteUSHORT(uint16_t value, FILE *stream);

// Bytes of one stored row: width x bytes per pixel, raised to a multiple
// of 4. The caller keeps width below 2^31.
inline uint64_t bmp_padded_row_size(uint64_t width, uint16_t bitsPerPixel) {
  uint64_t row = width * (bitsPerPixel / 8u);
  if (row % 4 != 0) {
    row += 4 - row % 4;
  }
  return row;
}
