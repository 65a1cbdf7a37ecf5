// An image as one page of the receipt. Its size on the paper follows the
// job's print-scaling and the image's resolution; it is centred across the
// head and down the job's paper. Its rows are scaled as they come in: a
// kept dot is the average of the source pixels it covers (or a repeat of
// one, when the image grows), so no image is ever held whole.
#include <stdlib.h>
#include <string.h>

#include "decode.h"

int image_size_on_paper(const decode_request *request, long width, long height, int ppi_x,
                        int ppi_y, int *out_width, int *out_height, decode_error *error) {
  if (width < 1 || height < 1 || width > DECODE_MAX_SIDE || height > DECODE_MAX_SIDE ||
      width > DECODE_MAX_PIXELS / height)
    return decode_fail(error, DECODE_STATUS_TOO_LARGE,
                       "The document is too large: an image of %ld x %ld pixels; images of up "
                       "to %ld million pixels, %ld on a side, are printed.",
                       width, height, DECODE_MAX_PIXELS / 1000000, DECODE_MAX_SIDE);
  const long head = request->settings.head_width;
  const long paper = request->paper_rows;
  int scaling = request->scaling;
  long w = 0, h = 0;
  if (scaling == SCALING_NONE && (ppi_x <= 0 || ppi_y <= 0))
    ppi_x = ppi_y = 200; // what a screenshot usually is
  if (ppi_x > 0 && ppi_y > 0) {
    w = width * request->dpi / ppi_x;
    h = height * request->dpi / ppi_y;
  }
  if (scaling == SCALING_AUTO)
    scaling = w >= 1 && h >= 1 && w <= head && h <= paper ? SCALING_NONE : SCALING_FIT;
  if (scaling == SCALING_FIT || scaling == SCALING_FILL) {
    w = head;
    h = head * height / width;
    if (scaling == SCALING_FIT && h > paper) {
      h = paper;
      w = paper * width / height;
    }
  }
  w = w < 1 ? 1 : w;
  h = h < 1 ? 1 : h;
  // Beyond the longest receipt, however much of it were blank.
  if (h > request->settings.max_rows || w > DECODE_MAX_PIXELS / h)
    return decode_fail(error, DECODE_STATUS_TOO_LARGE,
                       "The document is too large: the image would be %ld mm long; the "
                       "longest receipt is %ld mm.",
                       h / RECEIPT_ROWS_PER_MM, request->settings.max_rows / RECEIPT_ROWS_PER_MM);
  *out_width = static_cast<int>(w);
  *out_height = static_cast<int>(h);
  return DECODE_STATUS_OK;
}

void image_page_free(image_page *page) {
  free(page->from_x);
  free(page->to_x);
  free(page->sum);
  free(page->out);
  page->from_x = page->to_x = nullptr;
  page->sum = nullptr;
  page->out = nullptr;
}

// The source range [from, to) that output index i of out covers in in.
static void source_range(long i, long in, long out, long *from, long *to) {
  *from = i * in / out;
  *to = (i + 1) * in / out;
  if (*to <= *from)
    *to = *from + 1;
}

// count white rows of the page's width.
static int add_white(image_page *page, long count, decode_error *error) {
  memset(page->out, 255, static_cast<size_t>(page->window_width));
  for (long i = 0; i < count; ++i) {
    int code = receipt_add_row(page->job, page->out);
    if (code != RECEIPT_OK)
      return decode_receipt_failure(error, code);
  }
  return DECODE_STATUS_OK;
}

int image_page_begin(image_page *page, receipt_job *job, const decode_request *request,
                     int in_width, int in_height, int out_width, int out_height,
                     decode_error *error) {
  memset(page, 0, sizeof *page);
  page->job = job;
  page->in_width = in_width;
  page->in_height = in_height;
  page->out_width = out_width;
  page->out_height = out_height;
  // Only the columns the head prints are made: the middle of a wider image.
  const int head = request->settings.head_width;
  page->window_width = out_width < head ? out_width : head;
  page->window_x = (out_width - page->window_width) / 2;
  if (out_height < request->paper_rows) {
    page->top_rows = (request->paper_rows - out_height) / 2;
    page->bottom_rows = request->paper_rows - out_height - page->top_rows;
  }
  const size_t n = static_cast<size_t>(page->window_width);
  page->from_x = static_cast<int *>(malloc(n * sizeof(int)));
  page->to_x = static_cast<int *>(malloc(n * sizeof(int)));
  page->sum = static_cast<unsigned *>(calloc(n, sizeof(unsigned)));
  page->out = static_cast<unsigned char *>(malloc(n));
  if (page->from_x == nullptr || page->to_x == nullptr || page->sum == nullptr ||
      page->out == nullptr) {
    image_page_free(page);
    return decode_receipt_failure(error, RECEIPT_ERROR_MEMORY);
  }
  for (int i = 0; i < page->window_width; ++i) {
    long from, to;
    source_range(page->window_x + i, in_width, out_width, &from, &to);
    page->from_x[i] = static_cast<int>(from);
    page->to_x[i] = static_cast<int>(to);
  }
  int code = receipt_begin_page(job, page->window_width, RECEIPT_GREY8_WHITE255);
  if (code != RECEIPT_OK) {
    image_page_free(page);
    return decode_receipt_failure(error, code);
  }
  int status = add_white(page, page->top_rows, error);
  if (status != DECODE_STATUS_OK)
    image_page_free(page);
  return status;
}

int image_page_add_row(image_page *page, const unsigned char *row, decode_error *error) {
  if (page->in_y >= page->in_height)
    return DECODE_STATUS_OK;
  const long y = page->in_y++;
  // Each kept column sums its source pixels, averaged over them.
  for (int i = 0; i < page->window_width; ++i) {
    const int from = page->from_x[i], to = page->to_x[i];
    unsigned column = 0;
    for (int x = from; x < to; ++x)
      column += row[x];
    page->sum[i] += column / static_cast<unsigned>(to - from);
  }
  ++page->summed;
  // The output rows whose source rows end here: one when shrinking (after
  // all its rows), one or more when growing (each a repeat of this one).
  while (page->out_y < page->out_height) {
    long from, to;
    source_range(page->out_y, page->in_height, page->out_height, &from, &to);
    if (to != y + 1)
      break;
    for (int i = 0; i < page->window_width; ++i)
      page->out[i] = static_cast<unsigned char>(page->sum[i] / static_cast<unsigned>(page->summed));
    int code = receipt_add_row(page->job, page->out);
    if (code != RECEIPT_OK)
      return decode_receipt_failure(error, code);
    ++page->out_y;
  }
  long next_from = 0, next_to = 0;
  if (page->out_y < page->out_height)
    source_range(page->out_y, page->in_height, page->out_height, &next_from, &next_to);
  if (page->out_y >= page->out_height || next_from > y) {
    memset(page->sum, 0, static_cast<size_t>(page->window_width) * sizeof(unsigned));
    page->summed = 0;
  }
  return DECODE_STATUS_OK;
}

int image_page_end(image_page *page, decode_error *error) {
  int status = DECODE_STATUS_OK;
  if (page->in_y < page->in_height)
    status = decode_fail(error, DECODE_STATUS_BAD_DOCUMENT,
                         "The image ends after %ld of its %d rows.", page->in_y, page->in_height);
  if (status == DECODE_STATUS_OK)
    status = add_white(page, page->bottom_rows, error);
  if (status == DECODE_STATUS_OK) {
    int code = receipt_end_page(page->job);
    if (code != RECEIPT_OK)
      status = decode_receipt_failure(error, code);
  }
  image_page_free(page);
  return status;
}
