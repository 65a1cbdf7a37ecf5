// Dithering one fitted grey row to the printer's dots: error diffusion
// (Floyd-Steinberg, serpentine), the same with edges kept sharp, an 8 x 8
// ordered (Bayer) dither, or a plain threshold.
#include <string.h>

#include "receipt_internal.h"

namespace {

// Bayer matrix: ranks 0..63 of an 8 x 8 ordered dither.
const unsigned char kBayer8[8][8] = {
    {0, 32, 8, 40, 2, 34, 10, 42},  {48, 16, 56, 24, 50, 18, 58, 26},
    {12, 44, 4, 36, 14, 46, 6, 38}, {60, 28, 52, 20, 62, 30, 54, 22},
    {3, 35, 11, 43, 1, 33, 9, 41},  {51, 19, 59, 27, 49, 17, 57, 25},
    {15, 47, 7, 39, 13, 45, 5, 37}, {63, 31, 55, 23, 61, 29, 53, 21},
};

inline void set_black(unsigned char *bits, int x) {
  bits[x >> 3] |= (unsigned char)(0x80u >> (x & 7));
}

// The sharp dither's edges. Anti-aliasing leaves a rim of grey between
// black and white one or two dots wide (three when a renderer or the
// page's scaling blurs more), so a 5 x 5 neighbourhood holds both sides
// of it; levels up to kNearBlack and from kNearWhite count as the two
// sides, so that a photograph's or a compressed image's black and white
// do too. A stroke too thin to have a black core (thin or grey text, a
// hairline) is told by near-white (or near-black) on both sides within
// two dots, across it horizontally or vertically; it needs kThinContrast
// levels between its darkest and lightest neighbour, so faint tints stay
// grey areas.
// A dot within kPlateau levels of the darkest or the lightest around it
// is not in the rim but on one of its sides: a grey area that reaches up
// to the edge (shading behind text) keeps its dither.
constexpr int kNearBlack = 48;
constexpr int kNearWhite = 207;
constexpr int kThinContrast = 48;
constexpr int kPlateau = 8;

inline int at_most(int a, int b) { return a < b ? a : b; }
inline int at_least(int a, int b) { return a > b ? a : b; }

// low[x] and high[x], the darkest and lightest of grey[x - 2] .. grey[x +
// 2] (columns beyond the row left out).
void spread_row(const unsigned char *grey, int width, unsigned char *low, unsigned char *high) {
  for (int x = 0; x < width && x < 2; ++x) {
    int darkest = 255, lightest = 0;
    for (int k = 0; k <= at_most(x + 2, width - 1); ++k) {
      darkest = at_most(darkest, grey[k]);
      lightest = at_least(lightest, grey[k]);
    }
    low[x] = (unsigned char)darkest;
    high[x] = (unsigned char)lightest;
  }
  for (int x = 2; x < width - 2; ++x) {
    const unsigned char *g = grey + x - 2;
    low[x] = (unsigned char)at_most(at_most(at_most(g[0], g[1]), at_most(g[2], g[3])), g[4]);
    high[x] = (unsigned char)at_least(at_least(at_least(g[0], g[1]), at_least(g[2], g[3])), g[4]);
  }
  for (int x = width - 2 > 2 ? width - 2 : 2; x < width; ++x) {
    int darkest = 255, lightest = 0;
    for (int k = x - 2; k < width; ++k) {
      darkest = at_most(darkest, grey[k]);
      lightest = at_least(lightest, grey[k]);
    }
    low[x] = (unsigned char)darkest;
    high[x] = (unsigned char)lightest;
  }
}

// low[x] and high[x], the darkest and lightest level of the 5 x 5 dots
// around column x of the middle row.
void spread_rows(const receipt_rows_around *rows, int width, unsigned char *low,
                 unsigned char *high) {
  for (int k = 0; k < 5; ++k) {
    if (*rows->spread[k])
      continue;
    spread_row(rows->grey[k], width, rows->low[k], rows->high[k]);
    *rows->spread[k] = 1;
  }
  memcpy(low, rows->low[0], (size_t)width);
  memcpy(high, rows->high[0], (size_t)width);
  for (int k = 1; k < 5; ++k)
    for (int x = 0; x < width; ++x) {
      low[x] = (unsigned char)at_most(low[x], rows->low[k][x]);
      high[x] = (unsigned char)at_least(high[x], rows->high[k][x]);
    }
}

// -1 when the grey dot g at column x of the middle row is not part of an
// edge; else 1 when it prints black (darker than the middle of the
// darkest and lightest level around it, low and high), 0 when white.
int edge_dot(const receipt_rows_around *rows, int width, int x, int g, int low, int high) {
  const int black = 2 * g <= low + high;
  if (low <= kNearBlack && high >= kNearWhite)
    return g - low > kPlateau && high - g > kPlateau ? black : -1;
  if (high - low < kThinContrast)
    return -1;
  // Either side of the dot, two dots deep, across and along the row.
  const unsigned char *row = rows->grey[2];
  const int left1 = row[at_least(x - 1, 0)], left2 = row[at_least(x - 2, 0)];
  const int right1 = row[at_most(x + 1, width - 1)], right2 = row[at_most(x + 2, width - 1)];
  const int up1 = rows->grey[1][x], up2 = rows->grey[0][x];
  const int down1 = rows->grey[3][x], down2 = rows->grey[4][x];
  // Lighter (darker) than both sides by more than kPlateau, as a stroke
  // is; shading beside a stroke is as light as its own side.
  const int light = g + kPlateau, dark = g - kPlateau;
  const bool on_white =
      (at_least(left1, left2) >= kNearWhite && at_least(right1, right2) >= kNearWhite &&
       at_least(left1, left2) > light && at_least(right1, right2) > light) ||
      (at_least(up1, up2) >= kNearWhite && at_least(down1, down2) >= kNearWhite &&
       at_least(up1, up2) > light && at_least(down1, down2) > light);
  const bool on_black =
      (at_most(left1, left2) <= kNearBlack && at_most(right1, right2) <= kNearBlack &&
       at_most(left1, left2) < dark && at_most(right1, right2) < dark) ||
      (at_most(up1, up2) <= kNearBlack && at_most(down1, down2) <= kNearBlack &&
       at_most(up1, up2) < dark && at_most(down1, down2) < dark);
  return on_white || on_black ? black : -1;
}

// Errors are kept in sixteenths of a grey level, so the 7/3/5/1 split
// loses nothing to rounding. Pure black and pure white print as they are
// and take no carried error, so the edges of text and bar codes stay
// clean; only grey spreads its error. With sharp set (rows around given),
// grey of an edge prints as edge_dot says, also without carried error.
void diffuse(const receipt_rows_around *rows, bool sharp, int width, long y, int *errors,
             unsigned char *bits) {
  const unsigned char *grey = rows->grey[2];
  unsigned char low[RECEIPT_MAX_HEAD_WIDTH], high[RECEIPT_MAX_HEAD_WIDTH];
  if (sharp)
    spread_rows(rows, width, low, high);
  // Row y takes its carries from one half of errors and hands the next
  // row its carries in the other half; index x + 1 is column x.
  int *here = errors + (y & 1) * (width + 2);
  int *next = errors + ((y + 1) & 1) * (width + 2);
  memset(next, 0, sizeof(int) * (size_t)(width + 2));
  const int step = (y & 1) ? -1 : 1;
  int x = (y & 1) ? width - 1 : 0;
  for (int n = 0; n < width; ++n, x += step) {
    const int g = grey[x];
    if (g == 0) {
      set_black(bits, x);
      continue;
    }
    if (g == 255)
      continue;
    if (sharp) {
      const int edge = edge_dot(rows, width, x, g, low[x], high[x]);
      if (edge >= 0) {
        if (edge)
          set_black(bits, x);
        continue;
      }
    }
    int value = g * 16 + here[x + 1];
    int error;
    if (value < 128 * 16) {
      set_black(bits, x);
      error = value;
    } else {
      error = value - 255 * 16;
    }
    // Keep a run of saturated greys from piling up an error that would
    // take rows to pay back.
    if (error > 255 * 16)
      error = 255 * 16;
    if (error < -255 * 16)
      error = -255 * 16;
    here[x + 1 + step] += error * 7 / 16;
    next[x + 1 - step] += error * 3 / 16;
    next[x + 1] += error * 5 / 16;
    next[x + 1 + step] += error / 16;
  }
}

// Rows of pure black and pure white (text, rules, bar codes) need no
// dithering: each dot is black where its level is 0. Eight levels at a
// time: a byte is 0 or 255 when its bits 1..7 equal its bits 0..6.
constexpr unsigned long long kLowBitsClear = 0xFEFEFEFEFEFEFEFEull;
constexpr unsigned long long kHighBits = 0x8080808080808080ull;
// Gathers the lowest bit of eight bytes into one byte, the first byte's
// bit on top (the dots' order in a kept row).
constexpr unsigned long long kGather = 0x8040201008040201ull;

// Sets the row's dots and returns 1 when the row is pure black and white;
// returns 0, with bits partly set, when it holds grey.
int pack_pure(const unsigned char *grey, int width, unsigned char *bits) {
  int x = 0;
  for (; x + 8 <= width; x += 8) {
    unsigned long long w;
    memcpy(&w, grey + x, sizeof w);
    if (((w ^ (w << 1)) & kLowBitsClear) != 0)
      return 0;
    const unsigned long long black = (~w & kHighBits) >> 7;
    bits[x >> 3] = (unsigned char)((black * kGather) >> 56);
  }
  for (; x < width; ++x) {
    if (grey[x] != 0 && grey[x] != 255)
      return 0;
    if (grey[x] == 0)
      set_black(bits, x);
  }
  return 1;
}

void ordered(const unsigned char *grey, int width, long y, unsigned char *bits) {
  const unsigned char *ranks = kBayer8[y & 7];
  for (int x = 0; x < width; ++x) {
    // Thresholds 2..254: level 0 is always black, 255 always white.
    const int limit = ranks[x & 7] * 4 + 2;
    if (grey[x] < limit)
      set_black(bits, x);
  }
}

void threshold(const unsigned char *grey, int width, int level, unsigned char *bits) {
  for (int x = 0; x < width; ++x)
    if (grey[x] <= level)
      set_black(bits, x);
}

} // namespace

int receipt_dither_row(const receipt_rows_around *rows, int head_width,
                       const receipt_settings *settings, long y, int *errors,
                       unsigned char *bits) {
  const unsigned char *grey = rows->grey[2];
  const size_t bytes = ((size_t)head_width + 7) / 8;
  memset(bits, 0, bytes);
  switch (settings->dither) {
  case RECEIPT_DITHER_DIFFUSION:
  case RECEIPT_DITHER_SHARP:
    if (pack_pure(grey, head_width, bits)) {
      // What diffusion makes of it: the same dots and no carried error.
      memset(errors + ((y + 1) & 1) * (head_width + 2), 0, sizeof(int) * (size_t)(head_width + 2));
    } else {
      memset(bits, 0, bytes);
      diffuse(rows, settings->dither == RECEIPT_DITHER_SHARP, head_width, y, errors, bits);
    }
    break;
  case RECEIPT_DITHER_ORDERED:
    ordered(grey, head_width, y, bits);
    break;
  default:
    threshold(grey, head_width, settings->threshold, bits);
    break;
  }
  for (size_t k = 0; k < bytes; ++k)
    if (bits[k] != 0)
      return 1;
  return 0;
}

void receipt_dither_blank_row(int head_width, const receipt_settings *settings, long y,
                              int *errors) {
  // Pure white takes and hands on no error: the next row starts afresh.
  if (settings->dither == RECEIPT_DITHER_DIFFUSION || settings->dither == RECEIPT_DITHER_SHARP)
    memset(errors + ((y + 1) & 1) * (head_width + 2), 0, sizeof(int) * (size_t)(head_width + 2));
}
