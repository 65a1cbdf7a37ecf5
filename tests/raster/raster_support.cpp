#include "raster_support.h"

#include "test_helpers.h"

#include <cstring>
#include <memory>

#include "rastertokorv.h"

namespace korvtest {
namespace {

struct Sink {
  std::string bytes;
};

ssize_t write_cb(void *ctx, unsigned char *buffer, size_t length) {
  static_cast<Sink *>(ctx)->bytes.append(reinterpret_cast<char *>(buffer), length);
  return ssize_t(length);
}

struct Source {
  const std::string *bytes;
  size_t at = 0;
};

ssize_t read_cb(void *ctx, unsigned char *buffer, size_t length) {
  auto *source = static_cast<Source *>(ctx);
  size_t n = std::min(length, source->bytes->size() - source->at);
  memcpy(buffer, source->bytes->data() + source->at, n);
  source->at += n;
  return ssize_t(n);
}

uint16_t le16(const std::string &s, size_t at) {
  return uint16_t(uint8_t(s[at]) | uint8_t(s[at + 1]) << 8);
}

int write_bytes(void *context, const void *data, size_t len) {
  static_cast<std::string *>(context)->append(static_cast<const char *>(data), len);
  return 0;
}

}  // namespace

std::string write_raster(const std::vector<RasterPage> &pages, bool compressed) {
  Sink sink;
  cups_raster_t *r =
      cupsRasterOpenIO(write_cb, &sink, compressed ? CUPS_RASTER_WRITE_COMPRESSED : CUPS_RASTER_WRITE);
  for (const RasterPage &page : pages) {
    cups_page_header2_t h;
    memset(&h, 0, sizeof h);
    h.HWResolution[0] = h.HWResolution[1] = 203;
    h.cupsWidth = page.width;
    h.cupsHeight = page.height;
    h.cupsColorSpace = page.space;
    h.cupsColorOrder = CUPS_ORDER_CHUNKED;
    h.cupsBitsPerColor = page.bits;
    h.cupsBitsPerPixel = page.bits;
    h.cupsNumColors = 1;
    h.NumCopies = page.copies;
    h.cupsBytesPerLine = page.bits == 1 ? (page.width + 7) / 8 : page.width * (page.bits / 8);
    cupsRasterWriteHeader2(r, &h);
    std::vector<unsigned char> row(h.cupsBytesPerLine);
    for (unsigned y = 0; y < page.height; ++y) {
      std::fill(row.begin(), row.end(), 0);
      for (unsigned x = 0; x < page.width; ++x) {
        int g = page.grey(x, y);
        if (page.bits == 1) {
          if (g < 128)
            row[x / 8] |= uint8_t(0x80 >> (x % 8));
        } else if (page.bits == 8) {
          row[x] = uint8_t(page.space == CUPS_CSPACE_K ? 255 - g : g);
        }
      }
      cupsRasterWritePixels(r, row.data(), unsigned(row.size()));
    }
  }
  cupsRasterClose(r);
  return sink.bytes;
}

long Picture::black(unsigned x0, unsigned y0, unsigned x1, unsigned y1) const {
  long n = 0;
  for (unsigned y = y0; y < y1; ++y)
    for (unsigned x = x0; x < x1; ++x)
      n += at(x, y) == 1;
  return n;
}

std::vector<unsigned> Picture::inked_rows() const {
  std::vector<unsigned> rows;
  for (unsigned y = 0; y < height; ++y)
    if (black(0, y, width, y + 1) > 0)
      rows.push_back(y);
  return rows;
}

Picture read_bmp(const std::string &b) {
  Picture p;
  if (b.size() < 54 || b[0] != 'B' || b[1] != 'M') {
    p.error = "no BMP signature";
    return p;
  }
  p.width = le32(b, 18);
  p.height = le32(b, 22);
  const size_t stride = (size_t(p.width) * 3 + 3) / 4 * 4;
  const size_t image = stride * p.height;
  if (le32(b, 2) != b.size() || le32(b, 10) != 54 || le32(b, 14) != 40 || le16(b, 26) != 1 ||
      le16(b, 28) != 24 || le32(b, 30) != 0 || le32(b, 34) != image || b.size() != 54 + image ||
      le32(b, 38) != 0 || le32(b, 42) != 0 || le32(b, 46) != 0 || le32(b, 50) != 0 ||
      le16(b, 6) != 0 || le16(b, 8) != 0 || p.height == 0 || int32_t(p.height) < 0) {
    p.error = "header fields differ from the printer's 24-bit BMP";
    return p;
  }
  p.dots.resize(size_t(p.width) * p.height);
  for (uint32_t y = 0; y < p.height; ++y) {
    // Rows are stored bottom-up.
    const size_t row = 54 + size_t(p.height - 1 - y) * stride;
    for (uint32_t x = 0; x < p.width; ++x) {
      const unsigned char *px = reinterpret_cast<const unsigned char *>(b.data()) + row + 3 * x;
      int dot = 2;
      if (px[0] == 0 && px[1] == 0 && px[2] == 0)
        dot = 1;
      else if (px[0] == 255 && px[1] == 255 && px[2] == 255)
        dot = 0;
      p.dots[size_t(y) * p.width + x] = uint8_t(dot);
    }
    for (size_t k = 3 * size_t(p.width); k < stride; ++k)
      if (b[row + k] != 0)
        p.error = "row padding is not zero";
  }
  return p;
}

receipt_settings settings_for(int head_width) {
  receipt_settings s;
  receipt_default_settings(&s, head_width);
  return s;
}

Conversion convert_raster(const std::string &raster, const receipt_settings &settings,
                          int copies) {
  Conversion c;
  Source source{&raster};
  auto input_block = std::make_unique<raster_input>();
  raster_input &input = *input_block;
  raster_input_init(&input, read_cb, &source);
  cups_raster_t *r = cupsRasterOpenIO(raster_input_read, &input, CUPS_RASTER_READ);
  if (r == nullptr) {
    c.status = RECEIPT_ERROR_ARGUMENT;
    c.message = "not a raster stream";
    return c;
  }
  receipt_job job = {};
  char message[256] = "";
  c.status = receipt_begin(&job, &settings);
  if (c.status == RECEIPT_OK)
    c.status = raster_read_pages(r, &input, &job, &c.header_copies, message, sizeof message);
  cupsRasterClose(r);
  c.message = message;
  if (c.status == RECEIPT_OK)
    c.status = receipt_write_bmp(&job, copies, write_bytes, &c.bmp);
  receipt_end(&job);
  return c;
}

}  // namespace korvtest
