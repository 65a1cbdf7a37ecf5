// Following the BMP images of a job's data: which headers are trusted for
// completing a cut-off image, and how many bytes are still missing.
#include <gtest/gtest.h>

#include <string>

#include "catalogue.h"
#include "image.h"
#include "receipt.h"

namespace {

// The BMP the receipt library writes for a job of rows black rows on a
// head of head dots, kept whole (a few MB at most).
std::string receipt_bmp(int head, long rows) {
  receipt_settings settings;
  receipt_default_settings(&settings, head);
  receipt_job job = {};
  std::string out;
  EXPECT_EQ(receipt_begin(&job, &settings), RECEIPT_OK);
  EXPECT_EQ(receipt_begin_page(&job, head, RECEIPT_GREY8_WHITE255), RECEIPT_OK);
  const std::string black(size_t(head), '\0');
  for (long y = 0; y < rows; ++y)
    EXPECT_EQ(receipt_add_row(&job, reinterpret_cast<const unsigned char *>(black.data())),
              RECEIPT_OK);
  EXPECT_EQ(receipt_end_page(&job), RECEIPT_OK);
  auto keep = [](void *context, const void *data, size_t len) {
    static_cast<std::string *>(context)->append(static_cast<const char *>(data), len);
    return 0;
  };
  EXPECT_EQ(receipt_write_bmp(&job, 1, keep, &out), RECEIPT_OK);
  receipt_end(&job);
  return out;
}

long long missing_after(const std::string &data, size_t sent, size_t step) {
  image_track track;
  image_track_start(&track);
  for (size_t at = 0; at < sent; at += step) {
    const size_t n = std::min(step, sent - at);
    image_track_feed(&track, reinterpret_cast<const unsigned char *>(data.data()) + at, n);
  }
  return image_track_missing(&track);
}

// The longest receipt the raster path makes must be completed when it is
// cut off: its header may not look implausibly large.
TEST(ImageTrack, TheLongestReceiptIsCompleted) {
  const std::string longest = receipt_bmp(KORV_HEAD_DOTS_80MM, RECEIPT_DEFAULT_MAX_ROWS);
  ASSERT_EQ(longest.size(), 54u + size_t(KORV_HEAD_DOTS_80MM) * 3 * RECEIPT_DEFAULT_MAX_ROWS);
  for (size_t sent : {size_t(54), size_t(10000), longest.size() - 1})
    EXPECT_EQ(missing_after(longest, sent, 4096), (long long)(longest.size() - sent)) << sent;
  EXPECT_EQ(missing_after(longest, longest.size(), 65536), 0);

  // A header that claims more than any receipt is not trusted.
  std::string beyond = longest.substr(0, 54);
  const uint32_t rows = uint32_t(IMAGE_MAX_BYTES / (KORV_HEAD_DOTS_80MM * 3) + 1);
  const uint32_t size = 54 + rows * KORV_HEAD_DOTS_80MM * 3;
  for (int k = 0; k < 4; ++k) {
    beyond[2 + k] = char(size >> (8 * k));
    beyond[22 + k] = char(rows >> (8 * k));
  }
  EXPECT_EQ(missing_after(beyond, 54, 54), 0);
}

// However the data is cut into writes, the count is the same; after a
// complete image the next one is followed too, and data that is not a
// BMP is never completed.
TEST(ImageTrack, CountsAcrossWritesAndImages) {
  const std::string image = receipt_bmp(KORV_HEAD_DOTS_58MM, 30);
  const std::string two = image + image;
  for (size_t step : {size_t(1), size_t(7), size_t(54), size_t(1000)}) {
    SCOPED_TRACE(step);
    EXPECT_EQ(missing_after(image, 30, step), 0); // header incomplete
    EXPECT_EQ(missing_after(image, 100, step), (long long)image.size() - 100);
    EXPECT_EQ(missing_after(two, image.size() + 60, step), (long long)image.size() - 60);
  }
  EXPECT_EQ(missing_after("BX" + image.substr(2), 100, 10), 0);
  EXPECT_EQ(missing_after(image + "junk" + image, 2 * image.size(), 100), 0);
}

} // namespace
