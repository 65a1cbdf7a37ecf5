// libFuzzer target for the raster filter's reading and the receipt
// conversion: byte 0 picks the head width, dither, trim and darkness, the
// rest is the raster stream, read through libcups as rastertokorv reads
// it. A job that converts must write one whole BMP of the head's width
// whose header tells its size; one that fails must write nothing.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "catalogue.h"
#include "rastertokorv.h"

namespace {

struct Source {
  const uint8_t *data;
  size_t size;
  size_t at;
};

ssize_t read_source(void *context, unsigned char *buffer, size_t length) {
  Source *s = static_cast<Source *>(context);
  const size_t n = length < s->size - s->at ? length : s->size - s->at;
  memcpy(buffer, s->data + s->at, n);
  s->at += n;
  return ssize_t(n);
}

int collect(void *context, const void *data, size_t len) {
  static_cast<std::string *>(context)->append(static_cast<const char *>(data), len);
  return 0;
}

uint32_t le32(const std::string &s, size_t at) {
  return uint8_t(s[at]) | uint8_t(s[at + 1]) << 8 | uint8_t(s[at + 2]) << 16 |
         uint32_t(uint8_t(s[at + 3])) << 24;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1)
    return 0;
  const uint8_t choice = data[0];
  receipt_settings settings;
  receipt_default_settings(&settings, choice & 1 ? KORV_HEAD_DOTS_80MM : KORV_HEAD_DOTS_58MM);
  settings.dither = (choice >> 1) % 4;
  settings.trim = (choice >> 3) % 3;
  settings.darkness = ((choice >> 5) - 4) * 25;
  // Short receipts keep every run quick; the limits are what is fuzzed.
  settings.max_rows = 400;

  Source source = {data + 1, size - 1, 0};
  static raster_input input;
  raster_input_init(&input, read_source, &source);
  cups_raster_t *raster = cupsRasterOpenIO(raster_input_read, &input, CUPS_RASTER_READ);
  if (raster == nullptr)
    return 0;
  receipt_job job = {};
  char message[256];
  int copies = 0;
  int status = receipt_begin(&job, &settings);
  if (status != RECEIPT_OK)
    abort();
  status = raster_read_pages(raster, &input, &job, &copies, message, sizeof message);
  cupsRasterClose(raster);
  if (status != RECEIPT_OK && message[0] == '\0')
    abort(); // every failure says why

  // As the filter: only a job read whole is written.
  std::string bmp;
  const int copy_count = copies >= 1 && copies <= 3 ? copies : 1;
  const int written =
      status == RECEIPT_OK ? receipt_write_bmp(&job, copy_count, collect, &bmp) : status;
  if (written != RECEIPT_OK) {
    if (!bmp.empty())
      abort();
  } else {
    const long height = receipt_height(&job, copy_count);
    if (bmp.size() < 54 || le32(bmp, 2) != bmp.size() ||
        le32(bmp, 18) != uint32_t(settings.head_width) || le32(bmp, 22) != uint32_t(height) ||
        height > settings.max_rows)
      abort();
  }
  receipt_end(&job);
  return 0;
}
