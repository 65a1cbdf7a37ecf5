// Internals shared by bitmap.cpp and pixels.cpp (and their tests): the
// last-error code and the header routines, over the package's BMP header
// reader and writer.
#pragma once

#include <cstdint>
#include <cstdio>

#include "bitmap.h"

void bmp_set_error(BMP_ERROR_CODE code);

// The 54 header bytes into the record's header fields and back: a
// BMP_ERROR_CODE (0, 3 for a short read or failed write, 7 for a null
// argument); they never set the last-error code.
BMP_ERROR_CODE ReadHeader(BMP *bmp, FILE *stream);
BMP_ERROR_CODE WriteHeader(BMP *bmp, FILE *stream);
