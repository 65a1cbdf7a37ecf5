// The receipt library on synthetic CUPS rasters: width fitting and the
// size rule, both grey polarities and 1-bit input, trimming, pages and
// copies, the dithers and their edges, the darkness curve, and bad input
// that must leave nothing written.
#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <cstring>

#include "catalogue.h"
#include "raster_support.h"

namespace korvtest {
namespace {

// A black bar of rows [y0, y1) and columns [x0, x1), white elsewhere.
RasterPage bar_page(unsigned width, unsigned height, unsigned x0, unsigned x1, unsigned y0,
                    unsigned y1) {
  RasterPage p;
  p.width = width;
  p.height = height;
  p.grey = [=](unsigned x, unsigned y) { return x >= x0 && x < x1 && y >= y0 && y < y1 ? 0 : 255; };
  return p;
}

Picture converted(const std::vector<RasterPage> &pages, const receipt_settings &s, int copies = 1) {
  Conversion c = convert_raster(write_raster(pages), s, copies);
  EXPECT_EQ(c.status, RECEIPT_OK) << c.message;
  Picture p = read_bmp(c.bmp);
  EXPECT_EQ(p.error, "");
  return p;
}

TEST(ReceiptTest, FitsEveryWidthToTheHeadCentredWithoutScaling) {
  for (int head : {KORV_HEAD_DOTS_58MM, KORV_HEAD_DOTS_80MM}) {
    // Ink a few dots wider than the head (a rasterizer's rounding) is cut.
    for (int delta : {-192, -2, -1, 0, 1, 2, 5}) {
      const unsigned width = unsigned(head + delta);
      SCOPED_TRACE("head " + std::to_string(head) + ", page width " + std::to_string(width));
      // A 3-dot bar in the page's middle, and a dot at each page edge.
      const unsigned mid = width / 2;
      RasterPage page = bar_page(width, 4, mid - 1, mid + 2, 0, 4);
      page.grey = [=](unsigned x, unsigned y) {
        return (x >= mid - 1 && x < mid + 2) || (y == 0 && (x == 0 || x == width - 1)) ? 0 : 255;
      };
      Picture p = converted({page}, settings_for(head));
      ASSERT_EQ(p.width, unsigned(head));
      ASSERT_EQ(p.height, 4u);
      // Page column c lands on head column c + offset.
      const int offset = int(width) <= head ? (head - int(width)) / 2 : -((int(width) - head) / 2);
      const int first = int(mid) - 1 + offset;
      EXPECT_EQ(p.black(0, 1, p.width, 2), 3);
      EXPECT_EQ(p.at(unsigned(first), 1), 1);
      EXPECT_EQ(p.at(unsigned(first + 2), 1), 1);
      // No scaling: edge dots beyond the head are cut off, the others kept.
      const int edges = (offset >= 0) + (int(width) - 1 + offset < head);
      EXPECT_EQ(p.black(0, 0, p.width, 1), 3 + edges);
    }
  }
}

// An 80 mm page (639 dots) on an 80 mm head: true size while its ink fits,
// centred on the page, or on the ink when the page's middle would cut it;
// a page whose ink is wider than the head is scaled down to it.
TEST(ReceiptTest, APageWiderThanTheHeadPrintsAtTrueSizeUnlessItsInkIsWider) {
  const int head = KORV_HEAD_DOTS_80MM;
  auto page_of = [](unsigned width, unsigned left, unsigned right) {
    // A frame of ink from column left to right, 40 rows, 2 dots thick.
    RasterPage page = bar_page(width, 40, 0, 0, 0, 0);
    page.grey = [=](unsigned x, unsigned y) {
      const bool inside = x >= left && x <= right;
      return inside && (y < 2 || y >= 38 || x < left + 2 || x > right - 2) ? 0 : 255;
    };
    return page;
  };
  struct Case {
    unsigned left, right; // the ink on a 639-dot page
    int first;            // head column of its left edge
  };
  // In the page's middle 576 columns (31 .. 606): where the page puts it.
  // Out of it: centred on the ink.
  for (const Case &c :
       {Case{40, 600, 40 - 31}, Case{0, 400, (576 - 401) / 2}, Case{100, 638, (576 - 539) / 2}}) {
    SCOPED_TRACE("ink " + std::to_string(c.left) + " .. " + std::to_string(c.right));
    Picture p = converted({page_of(639, c.left, c.right)}, settings_for(head));
    ASSERT_EQ(p.height, 40u) << "not scaled";
    const int width = int(c.right - c.left) + 1;
    EXPECT_EQ(p.black(0, 0, head, 1), width) << "the whole top edge";
    EXPECT_EQ(p.at(unsigned(c.first), 20), 1);
    EXPECT_EQ(p.at(unsigned(c.first + width - 1), 20), 1);
    EXPECT_EQ(p.black(0, 2, head, 38), 4 * 36);
  }
  // Ink twice as wide as the head: half the size, from edge to edge.
  Picture half = converted({page_of(2 * head + 40, 20, 2 * head + 19)}, settings_for(head));
  ASSERT_EQ(half.height, 20u);
  EXPECT_EQ(half.black(0, 0, head, 1), head);
  EXPECT_EQ(half.black(0, 2, head, 18), 2 * 16);
  EXPECT_EQ(half.at(0, 10), 1);
  EXPECT_EQ(half.at(head - 1, 10), 1);
}

// However wide and long a page, what the library holds of it stays near
// two bytes a dot of the head's width; a page wider than the head may not
// be longer than the longest receipt.
TEST(ReceiptTest, AWidePageIsHeldWithinItsBound) {
  receipt_settings s = settings_for(KORV_HEAD_DOTS_80MM);
  s.max_rows = 1500;
  std::vector<unsigned char> row(RECEIPT_MAX_PAGE_WIDTH);
  for (size_t x = 0; x < row.size(); ++x)
    row[x] = uint8_t(x * 7 % 251); // grey from edge to edge
  receipt_job job = {};
  ASSERT_EQ(receipt_begin(&job, &s), RECEIPT_OK);
  ASSERT_EQ(receipt_begin_page(&job, RECEIPT_MAX_PAGE_WIDTH, RECEIPT_GREY8_WHITE255), RECEIPT_OK);
  for (long y = 0; y < s.max_rows; ++y)
    ASSERT_EQ(receipt_add_row(&job, row.data()), RECEIPT_OK);
  EXPECT_LE(job.held_capacity, size_t(s.max_rows) * (2 * KORV_HEAD_DOTS_80MM + 9));
  EXPECT_EQ(receipt_add_row(&job, row.data()), RECEIPT_ERROR_TOO_LONG);
  receipt_end(&job);

  ASSERT_EQ(receipt_begin(&job, &s), RECEIPT_OK);
  ASSERT_EQ(receipt_begin_page(&job, RECEIPT_MAX_PAGE_WIDTH, RECEIPT_GREY8_WHITE255), RECEIPT_OK);
  for (long y = 0; y < 1000; ++y)
    ASSERT_EQ(receipt_add_row(&job, row.data()), RECEIPT_OK);
  ASSERT_EQ(receipt_end_page(&job), RECEIPT_OK);
  EXPECT_EQ(job.rows, lround(1000.0 * KORV_HEAD_DOTS_80MM / RECEIPT_MAX_PAGE_WIDTH));
  receipt_end(&job);
}

// The sharp dither on small hand-made pages, against plain diffusion.
receipt_settings dithered(int dither) {
  receipt_settings s = settings_for(KORV_HEAD_DOTS_58MM);
  s.dither = dither;
  s.trim = RECEIPT_TRIM_NONE;
  return s;
}

TEST(ReceiptTest, SharpDitherPrintsAnAntiAliasedEdgeWhereItLies) {
  // A disc of radius 15 whose rim is grey by how much of each dot it
  // covers (sixteen samples a side), as a renderer anti-aliases text.
  RasterPage disc = bar_page(384, 40, 0, 0, 0, 0);
  auto coverage = [](unsigned x, unsigned y) {
    int in = 0;
    for (int i = 0; i < 16; ++i)
      for (int j = 0; j < 16; ++j) {
        const double dx = x + (i + 0.5) / 16 - 200, dy = y + (j + 0.5) / 16 - 20;
        in += dx * dx + dy * dy <= 15 * 15;
      }
    return in / 256.0;
  };
  disc.grey = [=](unsigned x, unsigned y) { return int(lround(255 * (1 - coverage(x, y)))); };
  Picture sharp = converted({disc}, dithered(RECEIPT_DITHER_SHARP));
  long wrong = 0, rim = 0;
  for (unsigned y = 0; y < 40; ++y)
    for (unsigned x = 0; x < 384; ++x) {
      const int g = disc.grey(x, y);
      rim += g > 0 && g < 255;
      wrong += sharp.at(x, y) != (g <= 127);
    }
  EXPECT_GT(rim, 60);
  EXPECT_EQ(wrong, 0) << "each rim dot black when the disc covers most of it";
  Picture diffused = converted({disc}, dithered(RECEIPT_DITHER_DIFFUSION));
  EXPECT_NE(diffused.dots, sharp.dots) << "plain diffusion dithers the rim";
}

TEST(ReceiptTest, SharpDitherKeepsThinGreyLinesAndDithersGreyAreas) {
  // A hairline as a renderer leaves it (one grey column), one across two
  // columns, and a grey square of 128 and one of 200.
  RasterPage page = bar_page(384, 60, 0, 0, 0, 0);
  page.grey = [](unsigned x, unsigned y) {
    if (x == 20)
      return 170;
    if (x == 40 || x == 41)
      return 200;
    if (y >= 10 && y < 50 && x >= 100 && x < 140)
      return 128;
    if (y >= 10 && y < 50 && x >= 200 && x < 240)
      return 200;
    return 255;
  };
  Picture sharp = converted({page}, dithered(RECEIPT_DITHER_SHARP));
  for (unsigned y = 0; y < 60; ++y) {
    EXPECT_EQ(sharp.at(20, y), 1) << "row " << y;
    EXPECT_GE(sharp.black(40, y, 42, y + 1), 1) << "row " << y;
  }
  EXPECT_EQ(sharp.black(0, 0, 20, 60) + sharp.black(21, 0, 40, 60) + sharp.black(42, 0, 100, 60),
            0);
  // The squares: dithered to their level, dot for dot as plain diffusion
  // does it.
  Picture diffused = converted({page}, dithered(RECEIPT_DITHER_DIFFUSION));
  EXPECT_LT(diffused.black(20, 0, 21, 60), 40) << "plain diffusion breaks the hairline";
  for (unsigned left : {100u, 200u}) {
    SCOPED_TRACE("square at " + std::to_string(left));
    for (unsigned y = 10; y < 50; ++y)
      for (unsigned x = left; x < left + 40; ++x)
        ASSERT_EQ(sharp.at(x, y), diffused.at(x, y)) << x << "," << y;
  }
  EXPECT_NEAR(sharp.black(100, 10, 140, 50) / 1600.0, 127.0 / 255, 0.04);
  EXPECT_NEAR(sharp.black(200, 10, 240, 50) / 1600.0, 55.0 / 255, 0.04);
}

TEST(ReceiptTest, SharpDitherKeepsAGradientsToneBesideBlackText) {
  // Light grey shading, a gradient from 16 % to 2 % ink, and in it a black
  // stroke of text 6 dots wide with anti-aliased sides.
  RasterPage page = bar_page(384, 60, 0, 0, 0, 0);
  page.grey = [](unsigned x, unsigned) {
    if (x == 189 || x == 196)
      return 100;
    if (x >= 190 && x < 196)
      return 0;
    return int(215 + x * 35 / 384);
  };
  Picture sharp = converted({page}, dithered(RECEIPT_DITHER_SHARP));
  Picture diffused = converted({page}, dithered(RECEIPT_DITHER_DIFFUSION));
  EXPECT_EQ(sharp.black(189, 0, 197, 60), 8 * 60) << "the stroke and its dark rim";
  // The shading keeps its dots up to the stroke (no white halo), and its
  // tone, in bands of 32 columns, is what plain diffusion prints.
  auto beside = [](const Picture &p) {
    return p.black(186, 0, 189, 60) + p.black(197, 0, 200, 60);
  };
  EXPECT_GT(beside(diffused), 10);
  EXPECT_GE(beside(sharp), beside(diffused) * 3 / 4);
  for (unsigned left = 0; left + 32 <= 384; left += 32) {
    SCOPED_TRACE("band at " + std::to_string(left));
    EXPECT_NEAR(sharp.black(left, 0, left + 32, 60), diffused.black(left, 0, left + 32, 60),
                32 * 60 / 50);
  }
}

TEST(ReceiptTest, BothGreyPolaritiesAndOneBitBlackGiveTheSameReceipt) {
  // Black, white and a 1-bit-friendly pattern: checkerboard blocks.
  auto pattern = [](unsigned x, unsigned y) { return ((x / 5) + (y / 3)) % 2 ? 0 : 255; };
  std::string reference;
  for (auto [space, bits] : {std::pair{CUPS_CSPACE_SW, 8u}, std::pair{CUPS_CSPACE_W, 8u},
                             std::pair{CUPS_CSPACE_K, 8u}, std::pair{CUPS_CSPACE_K, 1u}}) {
    SCOPED_TRACE("colour space " + std::to_string(int(space)) + ", " + std::to_string(bits) +
                 " bits");
    RasterPage page;
    page.width = 575;
    page.height = 30;
    page.space = space;
    page.bits = bits;
    page.grey = pattern;
    Conversion c = convert_raster(write_raster({page}), settings_for(576));
    ASSERT_EQ(c.status, RECEIPT_OK) << c.message;
    Picture p = read_bmp(c.bmp);
    ASSERT_EQ(p.error, "");
    EXPECT_GT(p.black(0, 0, p.width, p.height), 575 * 30 / 3);
    if (reference.empty())
      reference = c.bmp;
    EXPECT_TRUE(c.bmp == reference) << "differs from 8-bit sGray";
  }
}

TEST(ReceiptTest, TrimsBlankPaperAtTheEndsOfEachPageAsChosen) {
  // 100 blank rows, 10 rows of ink with a blank row inside, 50 blank rows.
  RasterPage page = bar_page(576, 160, 10, 50, 100, 110);
  auto grey = page.grey;
  page.grey = [grey](unsigned x, unsigned y) { return y == 105 ? 255 : grey(x, y); };
  RasterPage blank = bar_page(576, 80, 0, 0, 0, 0);

  receipt_settings s = settings_for(576);
  Picture both = converted({page}, s);
  EXPECT_EQ(both.height, 10u);
  EXPECT_EQ(both.black(0, 5, 576, 6), 0) << "a blank row inside the page is kept";
  EXPECT_EQ(both.black(0, 0, 576, 1), 40);

  s.trim = RECEIPT_TRIM_BOTTOM;
  Picture bottom = converted({page}, s);
  EXPECT_EQ(bottom.height, 110u);
  EXPECT_EQ(bottom.inked_rows().front(), 100u);

  s.trim = RECEIPT_TRIM_NONE;
  Picture none = converted({page, blank}, s);
  EXPECT_EQ(none.height, 160u + RECEIPT_DEFAULT_PAGE_GAP_ROWS + 80u)
      << "without trim a blank page keeps its paper";

  // A blank page prints nothing, not even a gap; a job of blank pages is
  // still one whole image: one white row.
  s.trim = RECEIPT_TRIM_BOTH;
  Picture skipped = converted({page, blank, page}, s);
  EXPECT_EQ(skipped.height, 10u + RECEIPT_DEFAULT_PAGE_GAP_ROWS + 10u);
  for (int trim : {RECEIPT_TRIM_BOTH, RECEIPT_TRIM_BOTTOM}) {
    s.trim = trim;
    Picture empty = converted({blank, blank}, s, 3);
    EXPECT_EQ(empty.height, 1u);
    EXPECT_EQ(empty.width, 576u);
    EXPECT_EQ(empty.black(0, 0, 576, 1), 0);
  }
}

TEST(ReceiptTest, JoinsPagesInOrderAndRepeatsTheWholeJobPerCopy) {
  // Page 1: a bar at the left, 20 rows; page 2: a bar at the right, 30 rows.
  RasterPage one = bar_page(384, 200, 0, 50, 40, 60);
  RasterPage two = bar_page(384, 300, 300, 384, 10, 40);
  receipt_settings s = settings_for(384);
  s.page_gap_rows = 5;
  s.copy_gap_rows = 40;
  Picture p = converted({one, two}, s, 3);
  const unsigned copy = 20 + 5 + 30;
  ASSERT_EQ(p.height, 3 * copy + 2 * 40);
  for (unsigned c = 0; c < 3; ++c) {
    SCOPED_TRACE("copy " + std::to_string(c + 1));
    const unsigned top = c * (copy + 40);
    EXPECT_EQ(p.black(0, top, 50, top + 20), 50 * 20);
    EXPECT_EQ(p.black(0, top, 384, top + 20), 50 * 20);
    EXPECT_EQ(p.black(0, top + 20, 384, top + 25), 0) << "page gap";
    EXPECT_EQ(p.black(300, top + 25, 384, top + 55), 84 * 30);
    if (c < 2) {
      EXPECT_EQ(p.black(0, top + copy, 384, top + copy + 40), 0) << "tear-off gap";
    }
  }
  // The height receipt_height announces is the one written.
  receipt_job job = {};
  ASSERT_EQ(receipt_begin(&job, &s), RECEIPT_OK);
  EXPECT_EQ(receipt_height(&job, 0), RECEIPT_ERROR_ARGUMENT);
  receipt_end(&job);
}

// Grey levels: the left third pure black, the middle third mid-grey, the
// right third pure white, with pure-white rows above and below.
RasterPage thirds_page(int mid_grey) {
  RasterPage page;
  page.width = 576;
  page.height = 96;
  page.grey = [mid_grey](unsigned x, unsigned y) {
    if (y < 8 || y >= 88)
      return 255;
    return x < 192 ? 0 : x < 384 ? mid_grey : 255;
  };
  return page;
}

TEST(ReceiptTest, DithersKeepPureBlackAndWhiteExactAndGreyNearItsLevel) {
  receipt_settings s = settings_for(576);
  s.trim = RECEIPT_TRIM_NONE;
  for (int dither : {RECEIPT_DITHER_SHARP, RECEIPT_DITHER_DIFFUSION, RECEIPT_DITHER_ORDERED}) {
    SCOPED_TRACE("dither " + std::to_string(dither));
    s.dither = dither;
    Picture p = converted({thirds_page(128)}, s);
    ASSERT_EQ(p.height, 96u);
    EXPECT_EQ(p.black(0, 8, 192, 88), 192 * 80) << "pure black lost dots";
    EXPECT_EQ(p.black(384, 0, 576, 96), 0) << "pure white got dots";
    EXPECT_EQ(p.black(0, 0, 576, 8) + p.black(0, 88, 576, 96), 0) << "white rows got dots";
    const double share = double(p.black(192, 8, 384, 88)) / (192 * 80);
    EXPECT_NEAR(share, 127.0 / 255.0, 0.03);
    // Light and dark greys keep their order.
    const double light =
        double(converted({thirds_page(200)}, s).black(192, 8, 384, 88)) / (192 * 80);
    EXPECT_NEAR(light, 55.0 / 255.0, 0.03);
  }
  s.dither = RECEIPT_DITHER_THRESHOLD;
  s.threshold = 127;
  EXPECT_EQ(converted({thirds_page(127)}, s).black(192, 8, 384, 88), 192 * 80);
  EXPECT_EQ(converted({thirds_page(128)}, s).black(192, 8, 384, 88), 0);
}

TEST(ReceiptTest, DarknessMovesGreyButNeverPureBlackOrWhite) {
  receipt_settings s = settings_for(576);
  s.trim = RECEIPT_TRIM_NONE;
  long previous = -1;
  for (int darkness : {-100, -50, 0, 50, 100}) {
    SCOPED_TRACE("darkness " + std::to_string(darkness));
    s.darkness = darkness;
    Picture p = converted({thirds_page(128)}, s);
    const long grey = p.black(192, 8, 384, 88);
    EXPECT_GT(grey, previous);
    previous = grey;
    EXPECT_EQ(p.black(0, 8, 192, 88), 192 * 80);
    EXPECT_EQ(p.black(384, 0, 576, 96), 0);
  }
  // The curve's ends: a near-white grey still prints some dots when darker.
  s.darkness = 100;
  EXPECT_NEAR(double(converted({thirds_page(128)}, s).black(192, 8, 384, 88)) / (192 * 80),
              1.0 - 32.0 / 255.0, 0.03);
}

TEST(ReceiptTest, RefusesBadInputAndWritesNothing) {
  receipt_settings s = settings_for(576);
  RasterPage good = bar_page(576, 40, 0, 576, 0, 40);

  RasterPage rgb = good;
  rgb.space = CUPS_CSPACE_RGB;
  rgb.bits = 8;
  RasterPage deep = good;
  deep.bits = 16;
  RasterPage oneBitWhite = good;
  oneBitWhite.space = CUPS_CSPACE_W;
  oneBitWhite.bits = 1;
  for (const RasterPage &page : {rgb, deep, oneBitWhite}) {
    Conversion c = convert_raster(write_raster({good, page}), s);
    EXPECT_EQ(c.status, RECEIPT_ERROR_UNSUPPORTED);
    EXPECT_NE(c.message.find("Page 2"), std::string::npos) << c.message;
    EXPECT_EQ(c.bmp.size(), 0u);
  }

  // Cut off inside the rows of page 2, compressed or not, and inside its
  // header.
  RasterPage noisy = good;
  noisy.grey = [](unsigned x, unsigned y) { return int((x * 7 + y * 13) % 256); };
  for (bool compressed : {false, true}) {
    std::string whole = write_raster({good, noisy}, compressed);
    Conversion c = convert_raster(whole.substr(0, whole.size() - 20), s);
    EXPECT_EQ(c.status, RECEIPT_ERROR_ARGUMENT);
    EXPECT_NE(c.message.find("ends in page 2"), std::string::npos) << c.message;
    EXPECT_EQ(c.bmp.size(), 0u);
  }
  const std::string one = write_raster({good}, false);
  Conversion cut_header =
      convert_raster(write_raster({good, good}, false).substr(0, one.size() + 100), s);
  EXPECT_EQ(cut_header.status, RECEIPT_ERROR_ARGUMENT);
  EXPECT_NE(cut_header.message.find("header of page 2"), std::string::npos) << cut_header.message;

  // No pages at all.
  Conversion empty = convert_raster(write_raster({}), s);
  EXPECT_EQ(empty.status, RECEIPT_ERROR_EMPTY);
  EXPECT_EQ(empty.bmp.size(), 0u);

  // Absurd sizes: wider than any page, taller than any receipt.
  RasterPage wide = good;
  wide.width = RECEIPT_MAX_PAGE_WIDTH + 1;
  wide.height = 1;
  EXPECT_EQ(convert_raster(write_raster({wide}), s).status, RECEIPT_ERROR_ARGUMENT);
  // A page header claiming a line of 2 GiB is refused before libcups takes
  // it (libcups would allocate that line first).
  std::string huge = write_raster({good, good});
  const size_t at = 4 + offsetof(cups_page_header2_t, cupsBytesPerLine);
  for (int k = 0; k < 4; ++k)
    huge[at + size_t(k)] = char(k == (huge[0] == 'R' ? 0 : 3) ? 0x7f : 0xff);
  Conversion absurd = convert_raster(huge, s);
  EXPECT_EQ(absurd.status, RECEIPT_ERROR_ARGUMENT);
  EXPECT_NE(absurd.message.find("of 8 bits in 2147483647 bytes per line"), std::string::npos)
      << absurd.message;
  RasterPage tall = bar_page(576, unsigned(s.max_rows) + 1, 0, 0, 0, 0);
  Conversion too_tall = convert_raster(write_raster({tall}), s);
  EXPECT_EQ(too_tall.status, RECEIPT_ERROR_TOO_LONG);

  // Longer than the maximum: by ink, and by copies.
  s.max_rows = 100;
  Conversion inked = convert_raster(write_raster({good, good, good}), s);
  EXPECT_EQ(inked.status, RECEIPT_ERROR_TOO_LONG) << inked.message;
  EXPECT_EQ(inked.bmp.size(), 0u);
  Conversion copies = convert_raster(write_raster({good}), s, 3);
  EXPECT_EQ(copies.status, RECEIPT_ERROR_TOO_LONG);
  EXPECT_EQ(copies.bmp.size(), 0u);
  EXPECT_EQ(convert_raster(write_raster({good}), s, 2).status, RECEIPT_ERROR_TOO_LONG)
      << "the tear-off gap counts too";
}

// The packed form carries a job to another process: read back into a job
// of the same settings it writes the same BMP; a header that does not fit
// those settings, or bytes missing, are refused.
TEST(ReceiptTest, PackedRowsWriteTheSameReceipt) {
  receipt_settings s = settings_for(576);
  RasterPage page = bar_page(576, 30, 10, 300, 5, 25);
  receipt_job job = {};
  ASSERT_EQ(receipt_begin(&job, &s), RECEIPT_OK);
  ASSERT_EQ(receipt_begin_page(&job, 576, RECEIPT_GREY8_WHITE255), RECEIPT_OK);
  std::vector<unsigned char> row(576);
  for (unsigned y = 0; y < page.height; ++y) {
    for (unsigned x = 0; x < 576; ++x)
      row[x] = (unsigned char)page.grey(x, y);
    ASSERT_EQ(receipt_add_row(&job, row.data()), RECEIPT_OK);
  }
  ASSERT_EQ(receipt_end_page(&job), RECEIPT_OK);
  std::string packed, direct, carried;
  auto append = [](void *out, const void *data, size_t len) {
    static_cast<std::string *>(out)->append(static_cast<const char *>(data), len);
    return 0;
  };
  ASSERT_EQ(receipt_write_packed(&job, append, &packed), RECEIPT_OK);
  ASSERT_EQ(receipt_write_bmp(&job, 2, append, &direct), RECEIPT_OK);
  receipt_end(&job);
  const auto *bytes = reinterpret_cast<const unsigned char *>(packed.data());
  EXPECT_EQ(receipt_packed_size(bytes, &s), long(packed.size()));

  receipt_job back = {};
  ASSERT_EQ(receipt_begin(&back, &s), RECEIPT_OK);
  EXPECT_EQ(receipt_read_packed(&back, bytes, packed.size() - 1), RECEIPT_ERROR_ARGUMENT);
  ASSERT_EQ(receipt_read_packed(&back, bytes, packed.size()), RECEIPT_OK);
  ASSERT_EQ(receipt_write_bmp(&back, 2, append, &carried), RECEIPT_OK);
  EXPECT_EQ(carried, direct);
  receipt_end(&back);

  receipt_settings narrow = settings_for(384), shorter = s;
  shorter.max_rows = 10;
  EXPECT_EQ(receipt_packed_size(bytes, &narrow), RECEIPT_ERROR_ARGUMENT);
  EXPECT_EQ(receipt_packed_size(bytes, &shorter), RECEIPT_ERROR_TOO_LONG);
}

TEST(ReceiptTest, CallsOutOfOrderAndFailingWritesAreReported) {
  receipt_settings s = settings_for(384);
  receipt_job job = {};
  receipt_end(&job); // never begun: nothing to free
  s.head_width = 0;
  EXPECT_EQ(receipt_begin(&job, &s), RECEIPT_ERROR_ARGUMENT);
  receipt_end(&job);
  s = settings_for(384);
  s.darkness = 101;
  EXPECT_EQ(receipt_begin(&job, &s), RECEIPT_ERROR_ARGUMENT);

  s = settings_for(384);
  ASSERT_EQ(receipt_begin(&job, &s), RECEIPT_OK);
  unsigned char row[384];
  memset(row, 255, sizeof row); // black in a white-0 page
  auto sink = [](void *, const void *, size_t) { return 0; };
  EXPECT_EQ(receipt_add_row(&job, row), RECEIPT_ERROR_ARGUMENT) << "row outside a page";
  EXPECT_EQ(receipt_write_bmp(&job, 1, sink, nullptr), RECEIPT_ERROR_EMPTY);
  EXPECT_EQ(receipt_begin_page(&job, 384, 7), RECEIPT_ERROR_UNSUPPORTED);
  ASSERT_EQ(receipt_begin_page(&job, 384, RECEIPT_GREY8_WHITE0), RECEIPT_OK);
  EXPECT_EQ(receipt_begin_page(&job, 384, RECEIPT_GREY8_WHITE0), RECEIPT_ERROR_ARGUMENT);
  for (int y = 0; y < 10; ++y)
    ASSERT_EQ(receipt_add_row(&job, row), RECEIPT_OK);
  EXPECT_EQ(receipt_write_bmp(&job, 1, sink, nullptr), RECEIPT_ERROR_ARGUMENT) << "page open";
  ASSERT_EQ(receipt_end_page(&job), RECEIPT_OK);
  EXPECT_EQ(receipt_write_bmp(&job, 0, sink, nullptr), RECEIPT_ERROR_ARGUMENT);

  // A write that fails part-way is reported, not taken for success.
  int calls = 0;
  auto failing = [](void *context, const void *, size_t) -> int {
    return ++*static_cast<int *>(context) > 1 ? -1 : 0;
  };
  EXPECT_EQ(receipt_write_bmp(&job, 200, failing, &calls), RECEIPT_ERROR_WRITE);
  EXPECT_GE(calls, 2);
  receipt_end(&job);
  receipt_end(&job);
  EXPECT_STRNE(receipt_error_text(RECEIPT_ERROR_TOO_LONG), receipt_error_text(RECEIPT_OK));
}

} // namespace
} // namespace korvtest
