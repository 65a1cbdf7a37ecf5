// Writing the job as the printer's image: one uncompressed 24-bit BMP
// (54-byte header, no palette, rows bottom-up and padded to 4 bytes), as
// wide as the head, black 0,0,0 and white 255,255,255, with every copy in
// it one after the other.
#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include "receipt_internal.h"

namespace {

constexpr size_t kHeaderBytes = 54;
// Bytes handed to the write callback at a time.
constexpr size_t kChunkBytes = 64 * 1024;

void put16(unsigned char *at, unsigned value) {
  at[0] = (unsigned char)value;
  at[1] = (unsigned char)(value >> 8);
}

void put32(unsigned char *at, unsigned long value) {
  for (int k = 0; k < 4; ++k)
    at[k] = (unsigned char)(value >> (8 * k));
}

// The same header fields korvbmpthreshold writes: sizes, 40-byte info
// header, one plane, 24 bits, no compression, resolutions and colour
// counts 0.
void make_header(unsigned char *header, int width, long height, size_t stride) {
  const unsigned long image = (unsigned long)stride * (unsigned long)height;
  memset(header, 0, kHeaderBytes);
  header[0] = 'B';
  header[1] = 'M';
  put32(header + 2, image + kHeaderBytes);
  put32(header + 10, kHeaderBytes);
  put32(header + 14, 40);
  put32(header + 18, (unsigned long)width);
  put32(header + 22, (unsigned long)height);
  put16(header + 26, 1);
  put16(header + 28, 24);
  put32(header + 34, image);
}

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

int receipt_write_bmp(receipt_job *job, int copies, receipt_write_fn write,
                      void *context) {
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
  const size_t stride = ((size_t)width * 3 + 3) / 4 * 4;
  const long height = receipt_height(job, copies);
  // The file's sizes are 32-bit fields.
  if (height > job->settings.max_rows ||
      (unsigned long)height > (0xFFFFFFFFul - kHeaderBytes) / stride)
    return RECEIPT_ERROR_TOO_LONG;

  Output out = {write, context, (unsigned char *)malloc(kChunkBytes), 0, 0};
  if (out.buffer == nullptr)
    return RECEIPT_ERROR_MEMORY;
  make_header(next_bytes(&out, kHeaderBytes), width, height, stride);

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
        expand_row(job->bits + (size_t)y * job->row_bytes, width, stride,
                   next_bytes(&out, stride));
    }
  }
  flush(&out);
  free(out.buffer);
  return out.failed ? RECEIPT_ERROR_WRITE : RECEIPT_OK;
}
