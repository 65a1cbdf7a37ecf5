#include "reference_filter.h"

void reference_threshold_pass(BMP* image, uint32_t threshold) {
  const uint32_t width = static_cast<uint32_t>(BMP_GetWidth(image));
  const uint32_t height = static_cast<uint32_t>(BMP_GetHeight(image));
  for (uint32_t x = 0; x < width; ++x) {
    for (uint32_t y = 0; y < height; ++y) {
      uint8_t index = 0;
      BMP_GetPixelIndex(image, x, y, &index);
      BMP_SetPixelIndex(image, x, y, index > threshold ? 255 : 0);
    }
  }
}

void reference_scale_pass(BMP* input, BMP* output, float factor) {
  const uint32_t width = static_cast<uint32_t>(BMP_GetWidth(output));
  const uint32_t height = static_cast<uint32_t>(BMP_GetHeight(output));
  for (uint32_t i = 0; i < width; ++i) {
    for (uint32_t j = 0; j < height; ++j) {
      const auto x = static_cast<uint64_t>(static_cast<float>(i) * factor);
      const auto y = static_cast<uint64_t>(static_cast<float>(j) * factor);
      uint8_t r = 255, g = 255, b = 255;
      BMP_GetPixelRGB(input, x, y, &r, &g, &b);
      BMP_SetPixelRGB(output, i, j, r, g, b);
    }
  }
}
