// The compact form of a job's kept rows (see receipt.h): what one process
// makes of a document, handed to another that only prints it.
#include <stdlib.h>
#include <string.h>

#include "receipt_internal.h"

namespace {

constexpr size_t kMagicBytes = 4;

void put32(unsigned char *at, unsigned long value) {
  for (int k = 0; k < 4; ++k)
    at[k] = (unsigned char)(value >> (8 * k));
}

unsigned long get32(const unsigned char *at) {
  return (unsigned long)at[0] | (unsigned long)at[1] << 8 | (unsigned long)at[2] << 16 |
         (unsigned long)at[3] << 24;
}

} // namespace

int receipt_write_packed(const receipt_job *job, receipt_write_fn write, void *context) {
  if (job == nullptr || write == nullptr || !job->begun || job->page_open)
    return RECEIPT_ERROR_ARGUMENT;
  if (job->failed != RECEIPT_OK)
    return job->failed;
  if (job->pages == 0)
    return RECEIPT_ERROR_EMPTY;
  unsigned char header[RECEIPT_PACKED_HEADER_BYTES];
  memcpy(header, RECEIPT_PACKED_MAGIC, kMagicBytes);
  put32(header + 4, (unsigned long)job->settings.head_width);
  put32(header + 8, (unsigned long)job->rows);
  put32(header + 12, (unsigned long)job->pages);
  if (write(context, header, sizeof header) != 0)
    return RECEIPT_ERROR_WRITE;
  const size_t bytes = (size_t)job->rows * job->row_bytes;
  if (bytes > 0 && write(context, job->bits, bytes) != 0)
    return RECEIPT_ERROR_WRITE;
  return RECEIPT_OK;
}

long receipt_packed_size(const unsigned char header[RECEIPT_PACKED_HEADER_BYTES],
                         const receipt_settings *settings) {
  if (header == nullptr || receipt_check_settings(settings) != RECEIPT_OK ||
      memcmp(header, RECEIPT_PACKED_MAGIC, kMagicBytes) != 0 ||
      get32(header + 4) != (unsigned long)settings->head_width || get32(header + 12) == 0)
    return RECEIPT_ERROR_ARGUMENT;
  const unsigned long rows = get32(header + 8);
  if (rows > (unsigned long)settings->max_rows)
    return RECEIPT_ERROR_TOO_LONG;
  const long row_bytes = ((long)settings->head_width + 7) / 8;
  return RECEIPT_PACKED_HEADER_BYTES + (long)rows * row_bytes;
}

int receipt_read_packed(receipt_job *job, const unsigned char *data, size_t len) {
  if (job == nullptr || data == nullptr || !job->begun || job->page_open || job->pages != 0 ||
      job->failed != RECEIPT_OK || len < RECEIPT_PACKED_HEADER_BYTES)
    return RECEIPT_ERROR_ARGUMENT;
  const long size = receipt_packed_size(data, &job->settings);
  if (size < 0)
    return (int)size;
  if ((size_t)size != len)
    return RECEIPT_ERROR_ARGUMENT;
  const long rows = (long)get32(data + 8);
  if (rows > 0) {
    void *bits = malloc((size_t)rows * job->row_bytes);
    if (bits == nullptr)
      return RECEIPT_ERROR_MEMORY;
    memcpy(bits, data + RECEIPT_PACKED_HEADER_BYTES, (size_t)rows * job->row_bytes);
    free(job->bits);
    job->bits = (unsigned char *)bits;
    job->capacity = rows;
  }
  job->rows = rows;
  job->pages = (int)(get32(data + 12) > 0x7fffffffUL ? 0x7fffffffUL : get32(data + 12));
  job->printed_pages = rows > 0 ? 1 : 0;
  return RECEIPT_OK;
}
