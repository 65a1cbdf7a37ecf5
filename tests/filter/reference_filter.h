// The filter's passes written the plain way, one bitmap-module call per
// pixel, column by column: what the filter's row-wise passes must match
// byte for byte.
#pragma once

#include <cstdint>

#include "bitmap.h"

void reference_threshold_pass(BMP* image, uint32_t threshold);
// Source pixels outside the input give white.
void reference_scale_pass(BMP* input, BMP* output, float factor);
