// Pixel and palette access: addressing from the top-left corner, depths,
// ranges, and the row access the filter's passes use.
#include <gtest/gtest.h>

#include <memory>

#include "bitmap.h"
#include "test_image.h"

namespace {

struct BmpDeleter {
  void operator()(BMP* bmp) const { BMP_Free(bmp); }
};
using BmpPtr = std::unique_ptr<BMP, BmpDeleter>;

BmpPtr grey8(uint64_t width, uint64_t height) {
  BmpPtr bmp(BMP_Create(width, height, 8));
  for (int k = 0; k < 256; ++k) {
    const auto v = static_cast<uint8_t>(k);
    BMP_SetPaletteColor(bmp.get(), v, v, v, v);
  }
  return bmp;
}

}  // namespace

TEST(PixelAddressing, TopLeftIsTheLastStoredRow) {
  BmpPtr bmp(BMP_Create(3, 2, 24));  // stride 12
  BMP_SetPixelRGB(bmp.get(), 0, 0, 30, 20, 10);
  EXPECT_EQ(BMP_GetError(), BMP_ERR_NONE);
  BMP_SetPixelRGB(bmp.get(), 2, 1, 3, 2, 1);
  const uint8_t* data = bmp->data;
  EXPECT_EQ(data[12], 10);  // blue, green, red
  EXPECT_EQ(data[13], 20);
  EXPECT_EQ(data[14], 30);
  EXPECT_EQ(data[6], 1);
  EXPECT_EQ(data[8], 3);
  EXPECT_EQ(data[9], 0);  // fill bytes untouched
  EXPECT_EQ(data[21], 0);

  uint8_t r = 0, g = 0, b = 0;
  BMP_GetPixelRGB(bmp.get(), 0, 0, &r, &g, &b);
  EXPECT_EQ(std::tuple(r, g, b), std::tuple(30, 20, 10));
  EXPECT_EQ(BMP_GetRow(bmp.get(), 0), data + 12);
  EXPECT_EQ(BMP_GetRow(bmp.get(), 1), data);
}

TEST(PixelAddressing, EveryPixelOfEveryDepthLandsWhereTheFileHasIt) {
  std::mt19937 rng(5);
  for (uint16_t depth : {8, 24, 32}) {
    const korvtest::Image image = korvtest::random_image(rng, 7, 5, depth);
    korvtest::TempDir dir;
    korvtest::write_file(dir.path("in.bmp"), korvtest::encode(image));
    BmpPtr bmp(BMP_ReadFile(dir.path("in.bmp").c_str()));
    ASSERT_NE(bmp, nullptr);
    for (uint32_t y = 0; y < image.height; ++y) {
      const uint8_t* row = BMP_GetRow(bmp.get(), y);
      ASSERT_NE(row, nullptr);
      for (uint32_t x = 0; x < image.width; ++x) {
        const uint8_t* want = image.at(x, y);
        EXPECT_EQ(0, memcmp(row + x * image.bytes_per_pixel(), want, image.bytes_per_pixel()));
        if (depth == 8) {
          uint8_t index = 0;
          BMP_GetPixelIndex(bmp.get(), x, y, &index);
          EXPECT_EQ(index, want[0]);
          want = image.palette.data() + 4 * want[0];
        }
        uint8_t r = 0, g = 0, b = 0;
        BMP_GetPixelRGB(bmp.get(), x, y, &r, &g, &b);
        EXPECT_EQ(std::tuple(b, g, r), std::tuple(want[0], want[1], want[2]))
            << depth << " " << x << "," << y;
      }
    }
  }
}

TEST(PixelPalette, ColourComesThroughThePalette) {
  BmpPtr bmp = grey8(4, 4);
  BMP_SetPixelIndex(bmp.get(), 1, 2, 200);
  uint8_t r = 0, g = 0, b = 0;
  BMP_GetPixelRGB(bmp.get(), 1, 2, &r, &g, &b);
  EXPECT_EQ(std::tuple(r, g, b), std::tuple(200, 200, 200));
  bmp->palette[4 * 200 + 3] = 0x5A;
  BMP_SetPaletteColor(bmp.get(), 200, 255, 0, 0);
  EXPECT_EQ(bmp->palette[4 * 200 + 3], 0x5A);  // fourth byte kept
  BMP_GetPixelRGB(bmp.get(), 1, 2, &r, &g, &b);
  EXPECT_EQ(std::tuple(r, g, b), std::tuple(255, 0, 0));
  BMP_GetPaletteColor(bmp.get(), 200, &r, nullptr, &b);
  EXPECT_EQ(std::tuple(r, b), std::tuple(255, 0));
  BMP_GetPaletteColor(bmp.get(), 255, nullptr, nullptr, nullptr);
  EXPECT_EQ(BMP_GetError(), BMP_ERR_NONE);
  BMP_GetPixelRGB(bmp.get(), 0, 0, nullptr, nullptr, nullptr);
  EXPECT_EQ(BMP_GetError(), BMP_ERR_NONE);
}

TEST(PixelDepths, WrongDepthChangesNothing) {
  BmpPtr rgb(BMP_Create(2, 2, 24));
  BmpPtr rgba(BMP_Create(2, 2, 32));
  BmpPtr indexed = grey8(2, 2);
  uint8_t index = 77, r = 77;
  for (BMP* bmp : {rgb.get(), rgba.get()}) {
    BMP_GetPixelIndex(bmp, 0, 0, &index);
    EXPECT_EQ(BMP_GetError(), BMP_ERR_INCOMPATIBLE_TYPE);
    EXPECT_EQ(index, 77);
    BMP_SetPixelIndex(bmp, 0, 0, 9);
    EXPECT_EQ(BMP_GetError(), BMP_ERR_INCOMPATIBLE_TYPE);
    BMP_GetPaletteColor(bmp, 0, &r, nullptr, nullptr);
    EXPECT_EQ(BMP_GetError(), BMP_ERR_INCOMPATIBLE_TYPE);
    BMP_SetPaletteColor(bmp, 0, 1, 2, 3);
    EXPECT_EQ(BMP_GetError(), BMP_ERR_INCOMPATIBLE_TYPE);
    EXPECT_EQ(std::count(bmp->data, bmp->data + bmp->imageSize, 0), static_cast<long>(bmp->imageSize));
  }
  EXPECT_EQ(r, 77);
  BMP_SetPixelRGB(indexed.get(), 0, 0, 1, 2, 3);
  EXPECT_EQ(BMP_GetError(), BMP_ERR_INCOMPATIBLE_TYPE);
  EXPECT_EQ(indexed->data[0], 0);

  // The fourth byte of a 32-bit pixel is never touched.
  rgba->data[3] = 0xEE;
  BMP_SetPixelRGB(rgba.get(), 0, 1, 1, 2, 3);
  EXPECT_EQ(rgba->data[3], 0xEE);
  EXPECT_EQ(rgba->data[2], 1);
}

TEST(PixelRanges, OutOfRangeAndNullLeaveOutputsAlone) {
  BmpPtr bmp(BMP_Create(3, 2, 8));  // range is tested before the depth
  uint8_t r = 11, g = 12, b = 13, index = 14;
  BMP_GetPixelRGB(bmp.get(), 3, 0, &r, &g, &b);
  EXPECT_EQ(BMP_GetError(), BMP_ERR_INVALID_ARGUMENT);
  BMP_GetPixelRGB(bmp.get(), 0, 2, &r, &g, &b);
  EXPECT_EQ(BMP_GetError(), BMP_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(std::tuple(r, g, b), std::tuple(11, 12, 13));
  BMP_GetPixelIndex(bmp.get(), 0, 2, &index);
  EXPECT_EQ(BMP_GetError(), BMP_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(index, 14);
  BMP_SetPixelIndex(bmp.get(), ~0ull, 0, 1);
  EXPECT_EQ(BMP_GetError(), BMP_ERR_INVALID_ARGUMENT);
  BMP_SetPixelRGB(bmp.get(), 0, 5, 1, 1, 1);  // wrong depth too: range wins
  EXPECT_EQ(BMP_GetError(), BMP_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(BMP_GetRow(bmp.get(), 2), nullptr);
  EXPECT_EQ(BMP_GetError(), BMP_ERR_INVALID_ARGUMENT);

  BMP_GetPixelRGB(nullptr, 0, 0, &r, &g, &b);
  EXPECT_EQ(BMP_GetError(), BMP_ERR_INVALID_ARGUMENT);
  BMP_SetPaletteColor(nullptr, 0, 1, 1, 1);
  EXPECT_EQ(BMP_GetError(), BMP_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(BMP_GetWidth(nullptr), ~0ull);
  EXPECT_EQ(BMP_GetError(), BMP_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(BMP_GetHeight(nullptr), ~0ull);
  EXPECT_EQ(BMP_GetDepth(nullptr), 65535);
  EXPECT_EQ(BMP_GetError(), BMP_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(BMP_GetWidth(bmp.get()), 3u);
  EXPECT_EQ(BMP_GetError(), BMP_ERR_NONE);
  EXPECT_EQ(BMP_GetDepth(bmp.get()), 8);
}
