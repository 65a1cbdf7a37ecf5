// The filter's steps: the Threshold option rule (through the real
// cupsParseOptions), the model-number widths, the scale arithmetic, and the
// row-wise passes against the per-pixel ones on random images.
#include <gtest/gtest.h>

#include <memory>
#include <optional>

#include "korvbmpthreshold.h"
#include "reference_filter.h"
#include "test_image.h"

namespace {

struct BmpDeleter {
  void operator()(BMP *bmp) const { BMP_Free(bmp); }
};
using BmpPtr = std::unique_ptr<BMP, BmpDeleter>;

// The threshold the rule picks for a job option string; nullopt when the
// pass does not run.
std::optional<uint32_t> threshold_for(const char *optionString) {
  cups_option_t *options = nullptr;
  const int n = cupsParseOptions(optionString, 0, &options);
  uint32_t threshold = 999;
  const int runs = threshold_from_options(n, options, &threshold);
  cupsFreeOptions(n, options);
  if (!runs) {
    return std::nullopt;
  }
  return threshold;
}

BmpPtr load(const korvtest::Image &image) {
  korvtest::TempDir dir;
  korvtest::write_file(dir.path("in.bmp"), korvtest::encode(image));
  return BmpPtr(BMP_ReadFile(dir.path("in.bmp").c_str()));
}

} // namespace

TEST(ThresholdRule, OptionStrings) {
  struct Case {
    const char *options;
    std::optional<uint32_t> threshold;
  } cases[] = {
      {"", 127}, // no options at all: the default pass
      {"copies=2", std::nullopt},
      {"job-uuid=urn:uuid:1 Threshold=50", 127},
      {"Threshold=10", 25},
      {"Threshold=20", 51},
      {"Threshold=33", 84},
      {"Threshold=99", 252},
      {"Threshold=100", 255},
      {"Threshold=75%", 191},
      {"Threshold=' 60'", 153},
      {"Threshold=+40", 102},
      {"Threshold=101", 257},
      {"Threshold=0", std::nullopt},
      {"Threshold=00", std::nullopt},
      {"Threshold=0.5", std::nullopt},
      {"Threshold=050", std::nullopt},
      {"Threshold=Off", std::nullopt},
      {"Threshold=Offset", std::nullopt},
      {"Threshold=off", 0},
      {"Threshold=OFF", 0},
      {"Threshold=abc", 0},
      {"Threshold=", 0},
      {"Threshold=-0", 0},
      // Negative or beyond 32 bits: above every index.
      {"Threshold=-5", kSaturatedThreshold},
      {"Threshold=-18446744073709551615", kSaturatedThreshold},
      {"Threshold=1684300900", 4294967295u},
      {"Threshold=1684300901", kSaturatedThreshold},
      {"Threshold=99999999999999999999999", kSaturatedThreshold},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(threshold_for(c.options), c.threshold) << "options: " << c.options;
  }
}

TEST(PrintWidth, ModelNumbers) {
  EXPECT_EQ(model_output_width(0), 384);
  EXPECT_EQ(model_output_width(1), 576);
  EXPECT_EQ(model_output_width(2), 384);
  EXPECT_EQ(model_output_width(3), 576);
  EXPECT_EQ(model_output_width(4), 384);
  EXPECT_EQ(model_output_width(5), 576);
  for (int bad : {-1, -2147483647 - 1, 6, 100}) {
    EXPECT_EQ(model_output_width(bad), 0) << bad;
  }
  EXPECT_EQ(ppd_output_width(nullptr), -1);
  EXPECT_EQ(ppd_output_width("/nonexistent/queue.ppd"), -1);
}

TEST(ScaleArithmetic, FactorAndHeight) {
  EXPECT_EQ(scale_factor(1152, 576), 2.0f);
  EXPECT_EQ(scale_factor(1151, 576), 1.0f);
  EXPECT_EQ(scale_factor(1000, 576), 1.0f);
  EXPECT_EQ(scale_factor(100, 576), 1.0f);
  EXPECT_EQ(scale_factor(0, 384), 1.0f);
  EXPECT_EQ(scale_factor(1200, 384), 3.0f);
  EXPECT_EQ(scale_factor(2304, 576), 4.0f);
  EXPECT_EQ(scaled_height(2, 3.0f), 0u);
  EXPECT_EQ(scaled_height(100, 2.0f), 50u);
  EXPECT_EQ(scaled_height(101, 2.0f), 50u);
  EXPECT_EQ(scaled_coordinate(287, 2.0f), 574u);
}

// The row-wise passes give exactly what the per-pixel passes give, for
// every depth, factors 1 to 6, inputs narrower than the print line, with
// and without the threshold pass.
TEST(PassesMatchPerPixel, RandomImagesAllDepthsAndFactors) {
  std::mt19937 rng(2024);
  const uint32_t thresholds[] = {0, 25, 127, 200, 254, 255, kSaturatedThreshold};
  int compared = 0;
  for (uint16_t depth : {8, 24, 32}) {
    for (int32_t outWidth : {384, 576}) {
      for (uint32_t factor = 0; factor <= 6; ++factor) {
        // factor 0 stands for an input narrower than the print line.
        std::uniform_int_distribution<uint32_t> extra(0, factor == 0 ? 0 : outWidth - 1);
        const uint32_t width = factor == 0
                                   ? std::uniform_int_distribution<uint32_t>(1, outWidth - 1)(rng)
                                   : factor * outWidth + extra(rng);
        const uint32_t height = std::uniform_int_distribution<uint32_t>(1, 40)(rng);
        const korvtest::Image image = korvtest::random_image(rng, width, height, depth);
        const bool withThreshold = rng() % 4 != 0;
        const uint32_t threshold = thresholds[rng() % std::size(thresholds)];

        BmpPtr fast = load(image);
        BmpPtr plain = load(image);
        ASSERT_NE(fast, nullptr);
        if (withThreshold) {
          reference_threshold_pass(plain.get(), threshold);
        }

        const float f = scale_factor(width, outWidth);
        const uint64_t outHeight = scaled_height(height, f);
        if (outHeight == 0) {
          continue;
        }
        BmpPtr fastOut(BMP_Create(static_cast<uint64_t>(outWidth), outHeight, 24));
        BmpPtr plainOut(BMP_Create(static_cast<uint64_t>(outWidth), outHeight, 24));
        scale_pass(fast.get(), fastOut.get(), f, withThreshold ? &threshold : nullptr);
        reference_scale_pass(plain.get(), plainOut.get(), f);
        ASSERT_EQ(fastOut->imageSize, plainOut->imageSize);
        ASSERT_EQ(0, memcmp(fastOut->data, plainOut->data, fastOut->imageSize))
            << "depth " << depth << " width " << width << " height " << height << " factor " << f;
        ++compared;
      }
    }
  }
  EXPECT_GT(compared, 30);
}

TEST(PassesMatchPerPixel, ThresholdLeavesDeepImagesAlone) {
  std::mt19937 rng(9);
  const uint32_t threshold = 0;
  for (uint16_t depth : {24, 32}) {
    const korvtest::Image image = korvtest::random_image(rng, 9, 4, depth);
    BmpPtr bmp = load(image);
    BmpPtr with(BMP_Create(9, 4, 24));
    BmpPtr without(BMP_Create(9, 4, 24));
    scale_pass(bmp.get(), with.get(), 1.0f, &threshold);
    scale_pass(bmp.get(), without.get(), 1.0f, nullptr);
    EXPECT_EQ(0, memcmp(with->data, without->data, with->imageSize));
  }
}
