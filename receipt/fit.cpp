// Width fitting: a page row no wider than the head becomes one head row,
// centred, in grey levels with 0 black and 255 white; rows of wider pages
// become grey levels for the held page (held.cpp).
#include <string.h>

#include "receipt_internal.h"

size_t receipt_row_bytes(int width, int pixels) {
  if (pixels == RECEIPT_BLACK1)
    return ((size_t)width + 7) / 8;
  return (size_t)width;
}

int receipt_row_is_white(const unsigned char *row, int width, int pixels) {
  const unsigned char white = pixels == RECEIPT_GREY8_WHITE255 ? 255 : 0;
  size_t bytes = receipt_row_bytes(width, pixels);
  // Whole words first: most rows of a document are blank paper.
  unsigned long long word;
  memset(&word, white, sizeof word);
  while (bytes >= sizeof word) {
    unsigned long long part;
    memcpy(&part, row, sizeof part);
    if (part != word)
      return 0;
    row += sizeof part;
    bytes -= sizeof part;
  }
  for (; bytes > 0; --bytes, ++row)
    if (*row != white)
      return 0;
  return 1;
}

namespace {

// Page columns [first, first + count) of row to grey levels at out.
void convert(const unsigned char *row, int first, int count, int pixels,
             const unsigned char curve[256], unsigned char *out) {
  switch (pixels) {
  case RECEIPT_GREY8_WHITE255:
    if (curve == nullptr)
      memcpy(out, row + first, (size_t)count);
    else
      for (int x = 0; x < count; ++x)
        out[x] = curve[row[first + x]];
    break;
  case RECEIPT_GREY8_WHITE0:
    if (curve == nullptr)
      for (int x = 0; x < count; ++x)
        out[x] = (unsigned char)(255 - row[first + x]);
    else
      for (int x = 0; x < count; ++x)
        out[x] = curve[255 - row[first + x]];
    break;
  default: // RECEIPT_BLACK1
    for (int x = 0; x < count; ++x) {
      const int column = first + x;
      const int black = (row[column >> 3] >> (7 - (column & 7))) & 1;
      out[x] = black ? 0 : 255;
    }
    break;
  }
}

} // namespace

void receipt_fit_row(const unsigned char *row, int width, int pixels,
                     const unsigned char curve[256], unsigned char *grey,
                     int head_width) {
  // Columns [first, first + count) of the page land on head columns
  // [at, at + count); the rest of the head stays white.
  int first = 0, at = 0, count = width;
  if (width > head_width) {
    first = (width - head_width) / 2;
    count = head_width;
  } else if (width < head_width) {
    at = (head_width - width) / 2;
  }
  memset(grey, 255, (size_t)at);
  memset(grey + at + count, 255, (size_t)(head_width - at - count));
  convert(row, first, count, pixels, curve, grey + at);
}

void receipt_grey_columns(const unsigned char *row, int first, int count, int pixels,
                          const unsigned char curve[256], unsigned char *grey) {
  convert(row, first, count, pixels, curve, grey + first);
}

void receipt_ink_values(int pixels, const unsigned char curve[256], unsigned char ink[256]) {
  for (int v = 0; v < 256; ++v) {
    const int grey = pixels == RECEIPT_GREY8_WHITE0 ? 255 - v : v;
    ink[v] = (curve != nullptr ? curve[grey] : grey) <= RECEIPT_INK_LEVEL;
  }
}

int receipt_ink_span(const unsigned char *row, int width, int pixels,
                     const unsigned char ink[256], int *first, int *last) {
  // Raw values are looked up, so that a row is not converted to find it.
  auto is_ink = [&](int x) {
    if (pixels == RECEIPT_BLACK1)
      return ((row[x >> 3] >> (7 - (x & 7))) & 1) != 0;
    return ink[row[x]] != 0;
  };
  int x = 0;
  while (x < width && !is_ink(x))
    ++x;
  if (x == width)
    return 0;
  *first = x;
  x = width - 1;
  while (!is_ink(x))
    --x;
  *last = x;
  return 1;
}
