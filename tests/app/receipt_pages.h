// Test pages for the printer application and what the receipt library
// makes of them: grey images written as PNG, JPEG, PWG raster and PDF
// documents, and the printer bytes expected for them (the start byte
// 0x02, then the library's BMP of the same rows).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "receipt.h"

namespace korvtest {

// One 8-bit grey page, 255 white, rows top first.
struct GreyPage {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> pixels; // width * height
};

// A page with black bars, a grey ramp and white margins, different for
// each seed.
GreyPage pattern_page(int width, int height, int seed);
// A page of black and white blocks only (for lossy or resampled formats).
GreyPage blocks_page(int width, int height, int seed);

// Files; false when the tool that writes them failed.
bool write_pgm(const std::string &path, const GreyPage &page);
bool write_png(const std::string &path, const GreyPage &page); // 203 ppi
bool write_jpeg(const std::string &path, const GreyPage &page); // quality 100
bool write_pwg_raster(const std::string &path, const std::vector<GreyPage> &pages);
// A PDF whose pages each hold one grey page as an image.
bool write_pdf(const std::string &path, const std::vector<GreyPage> &pages);

// Reads the pages of a PGM stream (several concatenated, as pdftoppm
// writes them); empty on bad data.
std::vector<GreyPage> read_pgm_pages(const std::string &bytes);
// Decodes an image file to grey with ImageMagick.
GreyPage decode_grey(const std::string &path);

// What the printer receives for these pages: 0x02 and the library's BMP.
// settings: the job's receipt settings (receipt_default_settings + changes).
std::vector<uint8_t> expected_printer_bytes(const std::vector<GreyPage> &pages,
                                            const receipt_settings &settings,
                                            int copies);

} // namespace korvtest
