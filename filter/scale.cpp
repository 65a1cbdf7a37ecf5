// The scale pass: every output pixel takes the top-left pixel of its
// factor x factor block of the input.
#include <vector>

#include "filter.h"

float scale_factor(uint64_t input_width, int32_t output_width) {
  float factor = 1.0f;
  if (output_width > 0) {
    factor = static_cast<float>(input_width / static_cast<uint64_t>(output_width));
  }
  return factor < 1.0f ? 1.0f : factor;
}

// Single precision, truncated toward zero: exact for sizes below 2^24, and
// the same in every pass that uses it.
uint64_t scaled_height(uint64_t input_height, float factor) {
  return static_cast<uint64_t>(static_cast<float>(input_height) / factor);
}

uint64_t scaled_coordinate(uint64_t index, float factor) {
  return static_cast<uint64_t>(static_cast<float>(index) * factor);
}

void scale_pass(BMP* input, BMP* output, float factor) {
  const uint64_t outWidth = BMP_GetWidth(output);
  const uint64_t outHeight = BMP_GetHeight(output);
  if (input == nullptr || output == nullptr || BMP_GetDepth(output) != 24) {
    return;
  }
  const uint64_t inWidth = BMP_GetWidth(input);
  const uint64_t inHeight = BMP_GetHeight(input);
  const uint16_t depth = BMP_GetDepth(input);
  const uint64_t bytes = depth / 8u;

  // Source column of every output column; the input width for those past
  // its right edge, which stay white (blank paper).
  std::vector<uint64_t> columns(outWidth);
  for (uint64_t i = 0; i < outWidth; ++i) {
    const uint64_t x = scaled_coordinate(i, factor);
    columns[i] = x < inWidth ? x : inWidth;
  }
  // Blue, green, red of each palette index of an 8-bit input.
  uint8_t colours[256][3] = {};
  if (depth == 8) {
    for (int k = 0; k < 256; ++k) {
      BMP_GetPaletteColor(input, static_cast<uint8_t>(k), &colours[k][2], &colours[k][1],
                          &colours[k][0]);
    }
  }

  for (uint64_t j = 0; j < outHeight; ++j) {
    uint8_t* out = BMP_GetRow(output, j);
    if (out == nullptr) {
      continue;
    }
    const uint64_t y = scaled_coordinate(j, factor);
    const uint8_t* in = y < inHeight ? BMP_GetRow(input, y) : nullptr;
    for (uint64_t i = 0; i < outWidth; ++i, out += 3) {
      const uint64_t x = columns[i];
      if (in == nullptr || x >= inWidth) {
        out[0] = out[1] = out[2] = 255;
      } else if (depth == 8) {
        const uint8_t* c = colours[in[x]];
        out[0] = c[0];
        out[1] = c[1];
        out[2] = c[2];
      } else {
        const uint8_t* p = in + x * bytes;
        out[0] = p[0];
        out[1] = p[1];
        out[2] = p[2];
      }
    }
  }
}
