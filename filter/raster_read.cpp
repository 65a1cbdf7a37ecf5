// Reading CUPS raster pages into the receipt: each page header is checked
// (colour space, depth, sizes) before any of its rows is taken, and a
// stream that ends inside a page is an error, not a shorter page.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "rastertokorv.h"

void raster_input_init(raster_input *input, cups_raster_iocb_t read, void *context) {
  input->read = read;
  input->context = context;
  input->delivered = 0;
  input->start = input->end = 0;
}

ssize_t raster_input_read(void *input, unsigned char *buffer, size_t length) {
  raster_input *in = static_cast<raster_input *>(input);
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
  in->delivered += (long long)n;
  return ssize_t(n);
}

ssize_t raster_fd_read(void *fd, unsigned char *buffer, size_t length) {
  ssize_t n;
  do
    n = read(*static_cast<int *>(fd), buffer, length);
  while (n < 0 && errno == EINTR);
  return n;
}

// The header's colour space as the number stored in the stream, which
// need not be one of the enumeration's values.
static unsigned color_space(const cups_page_header2_t *header) {
  unsigned space;
  memcpy(&space, &header->cupsColorSpace, sizeof space);
  return space;
}

int raster_pixel_format(const cups_page_header2_t *header) {
  const unsigned bits = header->cupsBitsPerColor;
  if (header->cupsBitsPerPixel != bits || header->cupsNumColors > 1)
    return -1;
  switch (color_space(header)) {
  case CUPS_CSPACE_W:
  case CUPS_CSPACE_SW:
    return bits == 8 ? RECEIPT_GREY8_WHITE255 : -1;
  case CUPS_CSPACE_K:
    if (bits == 8)
      return RECEIPT_GREY8_WHITE0;
    return bits == 1 ? RECEIPT_BLACK1 : -1;
  default:
    return -1;
  }
}

int raster_read_pages(cups_raster_t *raster, raster_input *input, receipt_job *job,
                      int *copies, char *message, size_t size) {
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
    if (!cupsRasterReadHeader2(raster, &header)) {
      // Bytes that came in but made no header: the stream was cut inside
      // one, or holds something else after its last page. (A compressed
      // stream may already hold such bytes in libcups's buffer, unseen.)
      if (input->delivered > before) {
        snprintf(message, size, "The raster ends inside the header of page %d.", page + 1);
        status = RECEIPT_ERROR_ARGUMENT;
      }
      break;
    }
    ++page;
    if (page == 1)
      *copies = (int)(header.NumCopies > 9999 ? 9999 : header.NumCopies);
    const int pixels = raster_pixel_format(&header);
    if (pixels < 0) {
      snprintf(message, size,
               "Page %d has colour space %u with %u bits per colour; the printer "
               "takes 8-bit grey or 1-bit black only.",
               page, color_space(&header), header.cupsBitsPerColor);
      status = RECEIPT_ERROR_UNSUPPORTED;
      break;
    }
    const unsigned long expected = pixels == RECEIPT_BLACK1
                                       ? (header.cupsWidth + 7ul) / 8
                                       : (unsigned long)header.cupsWidth;
    if (header.cupsWidth < 1 || header.cupsWidth > RECEIPT_MAX_PAGE_WIDTH ||
        header.cupsHeight < 1 || header.cupsBytesPerLine != expected) {
      snprintf(message, size,
               "Page %d has an impossible size: %u x %u dots in %u bytes per line.",
               page, header.cupsWidth, header.cupsHeight, header.cupsBytesPerLine);
      status = RECEIPT_ERROR_ARGUMENT;
      break;
    }
    if ((long)header.cupsHeight > job->settings.max_rows) {
      snprintf(message, size,
               "Page %d is %u rows long; a receipt may be %ld rows long at most.", page,
               header.cupsHeight, job->settings.max_rows);
      status = RECEIPT_ERROR_TOO_LONG;
      break;
    }
    if (expected > row_size) {
      unsigned char *bigger = (unsigned char *)realloc(row, expected);
      if (bigger == nullptr) {
        snprintf(message, size, "No memory for a row of page %d.", page);
        status = RECEIPT_ERROR_MEMORY;
        break;
      }
      row = bigger;
      row_size = expected;
    }

    status = receipt_begin_page(job, (int)header.cupsWidth, pixels);
    for (unsigned y = 0; status == RECEIPT_OK && y < header.cupsHeight; ++y) {
      if (cupsRasterReadPixels(raster, row, header.cupsBytesPerLine) !=
          header.cupsBytesPerLine) {
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
