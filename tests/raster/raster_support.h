// Test helpers for the raster path: CUPS raster streams written with the
// CUPS raster API, the receipt library run on them, and the 24-bit BMP
// that comes out, read back pixel by pixel.
#pragma once

#include <cups/raster.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "receipt.h"

namespace korvtest {

// One synthetic page: grey(x, y) gives 0 black .. 255 white; it is written
// in the page's colour space and depth (W, SW: 255 white; K 8-bit: 0 white;
// K 1-bit: black where grey < 128).
struct RasterPage {
  unsigned width = 576;
  unsigned height = 10;
  cups_cspace_t space = CUPS_CSPACE_SW;
  unsigned bits = 8;
  unsigned copies = 1;  // NumCopies
  std::function<int(unsigned x, unsigned y)> grey = [](unsigned, unsigned) { return 255; };
};

// A CUPS raster stream of the pages, written with cupsRasterWriteHeader2
// and cupsRasterWritePixels (compressed when compressed is set).
std::string write_raster(const std::vector<RasterPage> &pages, bool compressed = true);

// A decoded 24-bit BMP: header fields and dots top-down (1 black, 0 white,
// 2 any other colour).
struct Picture {
  std::string error;  // empty when the bytes are a 24-bit BMP as the printer takes it
  uint32_t width = 0, height = 0;
  std::vector<uint8_t> dots;
  int at(unsigned x, unsigned y) const { return dots[size_t(y) * width + x]; }
  // Black dots in rows [y0, y1) and columns [x0, x1).
  long black(unsigned x0, unsigned y0, unsigned x1, unsigned y1) const;
  // Rows with a black dot.
  std::vector<unsigned> inked_rows() const;
};
// Checks every header field the printer relies on (54 bytes, 40-byte
// info header, 24 bits, no compression, sizes) and decodes the pixels.
Picture read_bmp(const std::string &bytes);

// The receipt library on a raster stream: settings, copies -> BMP bytes.
struct Conversion {
  int status = RECEIPT_OK;
  std::string message;  // raster_read_pages' sentence on failure
  std::string bmp;
  int header_copies = 0;
};
Conversion convert_raster(const std::string &raster, const receipt_settings &settings,
                          int copies = 1);

// Default settings for a head, with overrides applied by the caller.
receipt_settings settings_for(int head_width);

}  // namespace korvtest
