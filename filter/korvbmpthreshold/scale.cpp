// The scale pass: every output pixel takes the top-left pixel of its
// factor x factor block of the input.
#include <cstring>
#include <vector>

#include "korvbmpthreshold.h"

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

namespace {

// One output row from one input row: `columns` holds the source column of
// each output column; the first `inside` of them lie within the input.
template <unsigned Bytes>
void copy_row(const uint8_t *in, uint8_t *out, const uint64_t *columns, uint64_t inside) {
  for (uint64_t i = 0; i < inside; ++i, out += 3) {
    const uint8_t *p = in + columns[i] * Bytes;
    out[0] = p[0];
    out[1] = p[1];
    out[2] = p[2];
  }
}

void copy_row_indexed(const uint8_t *in, uint8_t *out, const uint64_t *columns, uint64_t inside,
                      const uint8_t (*colours)[3]) {
  for (uint64_t i = 0; i < inside; ++i, out += 3) {
    const uint8_t *c = colours[in[columns[i]]];
    out[0] = c[0];
    out[1] = c[1];
    out[2] = c[2];
  }
}

} // namespace

void scale_pass(BMP *input, BMP *output, float factor, const uint32_t *threshold) {
  const uint64_t outWidth = BMP_GetWidth(output);
  const uint64_t outHeight = BMP_GetHeight(output);
  if (input == nullptr || output == nullptr || BMP_GetDepth(output) != 24) {
    return;
  }
  const uint64_t inWidth = BMP_GetWidth(input);
  const uint64_t inHeight = BMP_GetHeight(input);
  const uint16_t depth = BMP_GetDepth(input);

  // Source column of every output column. They only grow, so the columns
  // past the input's right edge, which stay white (blank paper), are the
  // last ones.
  std::vector<uint64_t> columns(outWidth);
  uint64_t inside = 0;
  for (uint64_t i = 0; i < outWidth; ++i) {
    columns[i] = scaled_coordinate(i, factor);
    if (columns[i] < inWidth) {
      inside = i + 1;
    }
  }
  // Blue, green, red of each palette index of an 8-bit input. The
  // threshold maps an index to 255 or 0 before its colour is looked up, so
  // only the pixels the scale keeps (one in factor x factor) are
  // thresholded, each once, at no cost per pixel.
  uint8_t colours[256][3] = {};
  if (depth == 8) {
    for (uint32_t k = 0; k < 256; ++k) {
      uint8_t index = static_cast<uint8_t>(k);
      if (threshold != nullptr) {
        index = k > *threshold ? 255 : 0;
      }
      BMP_GetPaletteColor(input, index, &colours[k][2], &colours[k][1], &colours[k][0]);
    }
  }

  for (uint64_t j = 0; j < outHeight; ++j) {
    uint8_t *out = BMP_GetRow(output, j);
    if (out == nullptr) {
      continue;
    }
    const uint64_t y = scaled_coordinate(j, factor);
    const uint8_t *in = y < inHeight ? BMP_GetRow(input, y) : nullptr;
    uint64_t done = 0;
    if (in != nullptr) {
      done = inside;
      if (depth == 8) {
        copy_row_indexed(in, out, columns.data(), inside, colours);
      } else if (depth == 24) {
        copy_row<3>(in, out, columns.data(), inside);
      } else if (depth == 32) {
        copy_row<4>(in, out, columns.data(), inside);
      } else {
        done = 0;
      }
    }
    memset(out + 3 * done, 255, 3 * (outWidth - done));
  }
}
