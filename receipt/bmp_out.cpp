// Writing the job as the printer's image: one uncompressed 24-bit BMP
// (54-byte header, no palette, rows bottom-up and padded to 4 bytes), as
// wide as the head, black 0,0,0 and white 255,255,255, with every copy in
// it one after the other.
#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include "bmp_header.h"
#include "receipt_internal.h"

namespace {

// Bytes handed to the write callback at a time.
constexpr size_t kChunkBytes = 64 * 1024;

// 24 bytes of pixels for each byte of eight kept dots.
struct Expansion {
  unsigned char pixels[256][24];
};

const Expansion &expansion() {
  static const Expansion table = [] {
    Expansion t;
    for (int byte = 0; byte < 256; ++byte)
      for (int dot = 0; dot < 8; ++dot)
        memset(t.pixels[byte] + dot * 3, (byte & (0x80 >> dot)) ? 0 : 255, 3);
    return t;
  }();
  return table;
}

// Writes one kept row (bits) as 24-bit pixels into out, stride bytes.
void expand_row(const unsigned char *bits, int width, size_t stride, unsigned char *out) {
  const Expansion &table = expansion();
  const int whole = width / 8;
  for (int k = 0; k < whole; ++k)
    memcpy(out + (size_t)k * 24, table.pixels[bits[k]], 24);
  if (width % 8 != 0)
    memcpy(out + (size_t)whole * 24, table.pixels[bits[whole]], (size_t)(width % 8) * 3);
  memset(out + (size_t)width * 3, 0, stride - (size_t)width * 3);
}

void white_row(int width, size_t stride, unsigned char *out) {
  memset(out, 255, (size_t)width * 3);
  memset(out + (size_t)width * 3, 0, stride - (size_t)width * 3);
}

struct Output {
  receipt_write_fn write;
  void *context;
  unsigned char *buffer; // kChunkBytes
  size_t used;
  int failed;
};

void flush(Output *out) {
  if (out->used > 0 && !out->failed && out->write(out->context, out->buffer, out->used) != 0)
    out->failed = 1;
  out->used = 0;
}

// Room for the next size bytes in the buffer (size <= kChunkBytes).
unsigned char *next_bytes(Output *out, size_t size) {
  if (out->used + size > kChunkBytes)
    flush(out);
  unsigned char *at = out->buffer + out->used;
  out->used += size;
  return at;
}

} // namespace

long receipt_height(const receipt_job *job, int copies) {
  if (job == nullptr || !job->begun || copies < 1)
    return RECEIPT_ERROR_ARGUMENT;
  if (job->rows == 0)
    return 1;
  // rows * copies + gap * (copies - 1), held below LONG_MAX.
  const long per_copy = job->rows + job->settings.copy_gap_rows;
  if (per_copy > (LONG_MAX - job->rows) / copies)
    return LONG_MAX;
  return per_copy * (copies - 1) + job->rows;
}

int receipt_write_bmp(receipt_job *job, int copies, receipt_write_fn write, void *context) {
  if (job == nullptr || write == nullptr || copies < 1)
    return RECEIPT_ERROR_ARGUMENT;
  if (!job->begun)
    return RECEIPT_ERROR_ARGUMENT;
  if (job->failed != RECEIPT_OK)
    return job->failed;
  if (job->page_open)
    return RECEIPT_ERROR_ARGUMENT;
  if (job->pages == 0)
    return RECEIPT_ERROR_EMPTY;

  const int width = job->settings.head_width;
  const size_t stride = bmp_row_bytes((uint64_t)width, 24);
  const long height = receipt_height(job, copies);
  // The file's sizes are 32-bit fields.
  if (height > job->settings.max_rows ||
      (unsigned long)height > (0xFFFFFFFFul - BMP_HEADER_BYTES) / stride)
    return RECEIPT_ERROR_TOO_LONG;

  Output out = {write, context, (unsigned char *)malloc(kChunkBytes), 0, 0};
  if (out.buffer == nullptr)
    return RECEIPT_ERROR_MEMORY;
  // The same header as korvbmpthreshold writes.
  bmp_header header;
  bmp_header_for_image(&header, (uint64_t)width, (uint64_t)height, 24);
  bmp_header_encode(&header, next_bytes(&out, BMP_HEADER_BYTES));

  if (job->rows == 0) {
    // All pages blank: one white row, so the printer still gets a whole
    // image after its start byte.
    white_row(width, stride, next_bytes(&out, stride));
  } else {
    // Bottom-up: the last row of the last copy comes first. All copies are
    // alike, so each is written from its last row to its first.
    for (int copy = 0; copy < copies && !out.failed; ++copy) {
      for (int k = 0; copy > 0 && k < job->settings.copy_gap_rows; ++k)
        white_row(width, stride, next_bytes(&out, stride));
      for (long y = job->rows - 1; y >= 0 && !out.failed; --y)
        expand_row(job->bits + (size_t)y * job->row_bytes, width, stride, next_bytes(&out, stride));
    }
  }
  flush(&out);
  free(out.buffer);
  return out.failed ? RECEIPT_ERROR_WRITE : RECEIPT_OK;
}
