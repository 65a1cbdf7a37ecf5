// Reading CUPS raster pages into the receipt: each page header is checked
// (colour space, depth, sizes) before any of its rows is taken, and a
// stream that ends inside a page is an error, not a shorter page.
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "page_header.h"
#include "rastertokorv.h"

// libcups fills its read buffer with requests of at least this many bytes;
// page headers and pixel runs (at most 128 pixels of 240 bits, 3840
// bytes, once the header is checked) it reads straight into its caller's
// memory with smaller requests.
static const size_t kBufferFill = 65536;
// The longest line a checked header may have: the widest page at the
// deepest pixels libcups reads (240 bits).
static const unsigned long kMaxLineBytes = RECEIPT_MAX_PAGE_WIDTH * 30ul;
// Apple raster: a 32-byte page header of big-endian fields.
static const size_t kAppleHeaderBytes = 32;

void raster_input_init(raster_input *input, cups_raster_iocb_t read, void *context) {
  input->read = read;
  input->context = context;
  input->delivered = 0;
  input->start = input->end = 0;
  input->sync_seen = 0;
  input->header_size = 0;
  input->reading_header = false;
  input->header_got = input->header_given = 0;
  input->headers = 0;
  input->refused[0] = '\0';
}

// Up to length bytes from the source, through the block.
static ssize_t take(raster_input *in, unsigned char *buffer, size_t length) {
  if (in->start == in->end) {
    const ssize_t n = in->read(in->context, in->block, sizeof in->block);
    if (n <= 0)
      return n;
    in->start = 0;
    in->end = size_t(n);
  }
  const size_t n = length < in->end - in->start ? length : in->end - in->start;
  memcpy(buffer, in->block + in->start, n);
  in->start += n;
  return ssize_t(n);
}

static bool sync_is(const raster_input *in, const char *word) {
  return memcmp(in->sync, word, 4) == 0;
}

// The kind of stream the sync word names: the size of its page headers,
// 0 when libcups will refuse it anyway.
static size_t header_size_of(const raster_input *in) {
  if (sync_is(in, "RaSt") || sync_is(in, "tSaR"))
    return sizeof(cups_page_header_t);
  if (sync_is(in, "RaS2") || sync_is(in, "2SaR") || sync_is(in, "RaS3") || sync_is(in, "3SaR"))
    return sizeof(cups_page_header2_t);
  if (sync_is(in, "UNIR"))
    return kAppleHeaderBytes;
  return 0;
}

static bool compressed(const raster_input *in) {
  return sync_is(in, "RaS2") || sync_is(in, "2SaR") || sync_is(in, "UNIR");
}

// A 32-bit field of the header as the stream stores it: in the writer's
// order, which the sync word shows (it reads as "RaS..." when the writer's
// order is big-endian).
static unsigned long field(const raster_input *in, size_t offset) {
  const unsigned char *p = in->header + offset;
  const bool big = in->sync[0] == 'R';
  if (big)
    return (unsigned long)p[0] << 24 | (unsigned long)p[1] << 16 | (unsigned long)p[2] << 8 | p[3];
  return (unsigned long)p[3] << 24 | (unsigned long)p[2] << 16 | (unsigned long)p[1] << 8 | p[0];
}

// Checks the sizes of the whole header just taken; on a refusal the
// reason is kept in in->refused.
static bool header_acceptable(raster_input *in) {
  unsigned long width, height, bits, line;
  if (in->header_size == kAppleHeaderBytes) {
    const unsigned char *h = in->header;
    bits = h[0];
    width =
        (unsigned long)h[12] << 24 | (unsigned long)h[13] << 16 | (unsigned long)h[14] << 8 | h[15];
    height =
        (unsigned long)h[16] << 24 | (unsigned long)h[17] << 16 | (unsigned long)h[18] << 8 | h[19];
    line = width * bits / 8;
  } else {
    width = field(in, offsetof(cups_page_header2_t, cupsWidth));
    height = field(in, offsetof(cups_page_header2_t, cupsHeight));
    bits = field(in, offsetof(cups_page_header2_t, cupsBitsPerPixel));
    line = field(in, offsetof(cups_page_header2_t, cupsBytesPerLine));
  }
  if (width >= 1 && width <= RECEIPT_MAX_PAGE_WIDTH && height >= 1 && bits >= 1 && bits <= 240 &&
      line >= 1 && line <= kMaxLineBytes)
    return true;
  snprintf(in->refused, sizeof in->refused,
           "Page %d has an impossible size: %lu x %lu dots of %lu bits in %lu bytes per line.",
           in->headers, width, height, bits, line);
  return false;
}

ssize_t raster_input_read(void *input, unsigned char *buffer, size_t length) {
  raster_input *in = static_cast<raster_input *>(input);
  ssize_t n;
  if (in->sync_seen < sizeof in->sync) {
    // The sync word: what kind of stream this is.
    const size_t want = sizeof in->sync - in->sync_seen;
    n = take(in, buffer, length < want ? length : want);
    if (n > 0) {
      memcpy(in->sync + in->sync_seen, buffer, size_t(n));
      in->sync_seen += size_t(n);
      if (in->sync_seen == sizeof in->sync)
        in->header_size = header_size_of(in);
    }
  } else if (in->reading_header && in->header_size > 0) {
    // A page header: all of it from the source and checked first.
    if (in->header_got == 0 && in->header_given == 0)
      ++in->headers;
    while (in->header_got < in->header_size) {
      n = take(in, in->header + in->header_got, in->header_size - in->header_got);
      if (n < 0)
        return n;
      if (n == 0)
        break;
      in->header_got += size_t(n);
      if (in->header_got == in->header_size && !header_acceptable(in))
        return -1;
    }
    const size_t left = in->header_got - in->header_given;
    n = ssize_t(length < left ? length : left);
    memcpy(buffer, in->header + in->header_given, size_t(n));
    in->header_given += size_t(n);
  } else {
    if (compressed(in) && length >= kBufferFill)
      length = 1;
    n = take(in, buffer, length);
  }
  if (n > 0)
    in->delivered += n;
  return n;
}

// cupsRasterReadHeader2 with its header checked on the way in (see
// raster_input). false at the end of the stream or on a bad header.
static bool read_header(cups_raster_t *raster, raster_input *input, cups_page_header2_t *header) {
  input->reading_header = true;
  input->header_got = input->header_given = 0;
  const bool read = cupsRasterReadHeader2(raster, header) != 0;
  input->reading_header = false;
  // A header libcups did not take from here whole was never checked.
  if (read && input->header_given != input->header_size) {
    snprintf(input->refused, sizeof input->refused, "The header of page %d could not be checked.",
             input->headers);
    return false;
  }
  return read;
}

ssize_t raster_fd_read(void *fd, unsigned char *buffer, size_t length) {
  ssize_t n;
  do
    n = read(*static_cast<int *>(fd), buffer, length);
  while (n < 0 && errno == EINTR);
  return n;
}

int raster_read_pages(cups_raster_t *raster, raster_input *input, receipt_job *job, int *copies,
                      char *message, size_t size) {
  cups_page_header2_t header;
  unsigned char *row = nullptr;
  size_t row_size = 0;
  int page = 0;
  int status = RECEIPT_OK;
  if (size > 0)
    message[0] = '\0';
  *copies = 0;

  for (;;) {
    const long long before = input->delivered;
    if (!read_header(raster, input, &header)) {
      // Bytes that came in but made no header: the stream was cut inside
      // one, or holds something else after its last page.
      if (input->refused[0] != '\0') {
        snprintf(message, size, "%s", input->refused);
        status = RECEIPT_ERROR_ARGUMENT;
      } else if (input->delivered > before) {
        snprintf(message, size, "The raster ends inside the header of page %d.", page + 1);
        status = RECEIPT_ERROR_ARGUMENT;
      }
      break;
    }
    ++page;
    if (page == 1)
      *copies = page_header_copies(&header);
    const int pixels = page_header_pixels(&header);
    if (pixels < 0) {
      snprintf(message, size,
               "Page %d has colour space %u with %u bits per colour; the printer "
               "takes 8-bit grey or 1-bit black only.",
               page, page_header_color_space(&header), header.cupsBitsPerColor);
      status = RECEIPT_ERROR_UNSUPPORTED;
      break;
    }
    // The row size only of a width already known to be in range.
    if (header.cupsWidth < 1 || header.cupsWidth > RECEIPT_MAX_PAGE_WIDTH ||
        header.cupsHeight < 1 ||
        header.cupsBytesPerLine != receipt_row_bytes((int)header.cupsWidth, pixels)) {
      snprintf(message, size, "Page %d has an impossible size: %u x %u dots in %u bytes per line.",
               page, header.cupsWidth, header.cupsHeight, header.cupsBytesPerLine);
      status = RECEIPT_ERROR_ARGUMENT;
      break;
    }
    if ((long)header.cupsHeight > job->settings.max_rows) {
      snprintf(message, size, "Page %d is %u rows long; a receipt may be %ld rows long at most.",
               page, header.cupsHeight, job->settings.max_rows);
      status = RECEIPT_ERROR_TOO_LONG;
      break;
    }
    if (header.cupsBytesPerLine > row_size) {
      unsigned char *bigger = (unsigned char *)realloc(row, header.cupsBytesPerLine);
      if (bigger == nullptr) {
        snprintf(message, size, "No memory for a row of page %d.", page);
        status = RECEIPT_ERROR_MEMORY;
        break;
      }
      row = bigger;
      row_size = header.cupsBytesPerLine;
    }

    status = receipt_begin_page(job, (int)header.cupsWidth, pixels);
    for (unsigned y = 0; status == RECEIPT_OK && y < header.cupsHeight; ++y) {
      if (cupsRasterReadPixels(raster, row, header.cupsBytesPerLine) != header.cupsBytesPerLine) {
        snprintf(message, size, "The raster ends in page %d, at row %u of %u.", page, y,
                 header.cupsHeight);
        status = RECEIPT_ERROR_ARGUMENT;
        break;
      }
      status = receipt_add_row(job, row);
    }
    if (status == RECEIPT_OK)
      status = receipt_end_page(job);
    if (status == RECEIPT_OK)
      continue;
    if (status == RECEIPT_ERROR_TOO_LONG)
      snprintf(message, size,
               "The receipt grows longer than %ld rows (%ld mm) in page %d; that is the "
               "longest the printer takes.",
               job->settings.max_rows, job->settings.max_rows / RECEIPT_ROWS_PER_MM, page);
    else if (message[0] == '\0')
      snprintf(message, size, "Page %d: %s.", page, receipt_error_text(status));
    break;
  }
  free(row);
  if (status == RECEIPT_OK && page == 0) {
    snprintf(message, size, "The raster has no pages.");
    status = RECEIPT_ERROR_EMPTY;
  }
  return status;
}
