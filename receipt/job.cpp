// A job's life and its pages: rows are fitted (or held, for a page wider
// than the head), dithered two rows behind and kept at one bit per dot;
// blank paper at the ends of each page is trimmed, pages are joined with
// a gap, and the receipt's length is held to the maximum.
#include <stdlib.h>
#include <string.h>

#include "receipt_internal.h"

namespace {

void clear(receipt_job *job) { memset(job, 0, sizeof *job); }

// Room for at least want rows, growing the buffer by half again each time.
int reserve(receipt_job *job, long want) {
  if (want <= job->capacity)
    return RECEIPT_OK;
  long grown = job->capacity < 256 ? 256 : job->capacity + job->capacity / 2;
  if (grown < want)
    grown = want;
  if (grown > job->settings.max_rows)
    grown = job->settings.max_rows;
  void *bigger = realloc(job->bits, (size_t)grown * job->row_bytes);
  if (bigger == nullptr)
    return RECEIPT_ERROR_MEMORY;
  job->bits = (unsigned char *)bigger;
  job->capacity = grown;
  return RECEIPT_OK;
}

// Appends count white rows and then, unless null, one row of bits. A job
// that would grow past the maximum length keeps the error for good.
int append(receipt_job *job, long count, const unsigned char *bits) {
  const long want = job->rows + count + (bits != nullptr ? 1 : 0);
  if (want > job->settings.max_rows) {
    job->failed = RECEIPT_ERROR_TOO_LONG;
    return job->failed;
  }
  if (reserve(job, want) != RECEIPT_OK) {
    job->failed = RECEIPT_ERROR_MEMORY;
    return job->failed;
  }
  unsigned char *at = job->bits + (size_t)job->rows * job->row_bytes;
  memset(at, 0, (size_t)count * job->row_bytes);
  if (bits != nullptr)
    memcpy(at + (size_t)count * job->row_bytes, bits, job->row_bytes);
  job->rows = want;
  job->page_kept += count + (bits != nullptr ? 1 : 0);
  return RECEIPT_OK;
}

// Before a page's first kept row: the gap after the previous printed page.
int start_printed_page(receipt_job *job) {
  if (job->page_kept != 0 || job->printed_pages == 0)
    return RECEIPT_OK;
  const long kept = job->page_kept;
  const int status = append(job, job->settings.page_gap_rows, nullptr);
  job->page_kept = kept;
  return status;
}

int usable(const receipt_job *job) {
  if (!job->begun)
    return RECEIPT_ERROR_ARGUMENT;
  return job->failed;
}

// Keeps or trims one dithered row of the page: blank rows wait until ink
// shows whether they sit inside the page (kept) or at its end (trimmed);
// with top trim, those before the first ink are dropped at once.
int keep_row(receipt_job *job, int ink) {
  if (!ink) {
    if (job->seen_ink || job->settings.trim != RECEIPT_TRIM_BOTH)
      ++job->pending_blank;
    return RECEIPT_OK;
  }
  job->seen_ink = 1;
  int status = start_printed_page(job);
  if (status == RECEIPT_OK)
    status = append(job, job->pending_blank, job->row_bits);
  job->pending_blank = 0;
  return status;
}

// Dithers head row y of the page, whose rows up to y + 2 (or the page's
// last) are in the window, and keeps it.
int dither_next(receipt_job *job) {
  const int head = job->settings.head_width;
  const long y = job->dithered++;
  const int slot = (int)(y % 5);
  if (job->window_white[slot]) {
    receipt_dither_blank_row(head, &job->settings, y, job->errors);
    return keep_row(job, 0);
  }
  receipt_rows_around rows;
  for (int k = 0; k < 5; ++k) {
    long around = y - 2 + k;
    if (around < 0)
      around = 0;
    if (around > job->fitted - 1)
      around = job->fitted - 1;
    const size_t at = (size_t)(around % 5) * (size_t)head;
    rows.grey[k] = job->window + at;
    rows.low[k] = job->window_low + at;
    rows.high[k] = job->window_high + at;
    rows.spread[k] = &job->window_spread[around % 5];
  }
  const int ink = receipt_dither_row(&rows, head, &job->settings, y, job->errors, job->row_bits);
  return keep_row(job, ink);
}

// Frees the job's buffers and clears it.
void release(receipt_job *job) {
  free(job->bits);
  free(job->errors);
  free(job->row_bits);
  free(job->window);
  free(job->window_low);
  free(job->window_high);
  free(job->page_grey);
  free(job->held);
  clear(job);
}

} // namespace

int receipt_push_row(receipt_job *job, const unsigned char *grey) {
  const int head = job->settings.head_width;
  const int slot = (int)(job->fitted % 5);
  unsigned char *at = job->window + (size_t)slot * (size_t)head;
  job->window_white[slot] = grey == nullptr;
  job->window_spread[slot] = 0;
  if (grey == nullptr)
    memset(at, 255, (size_t)head);
  else if (grey != at)
    memcpy(at, grey, (size_t)head);
  ++job->fitted;
  // The row two above this one has all its neighbours now.
  if (job->fitted >= 3)
    return dither_next(job);
  return RECEIPT_OK;
}

int receipt_begin(receipt_job *job, const receipt_settings *settings) {
  if (job == nullptr)
    return RECEIPT_ERROR_ARGUMENT;
  clear(job);
  const int status = receipt_check_settings(settings);
  if (status != RECEIPT_OK)
    return status;
  job->settings = *settings;
  const int width = settings->head_width;
  job->row_bytes = ((size_t)width + 7) / 8;
  job->errors = (int *)calloc(2 * ((size_t)width + 2), sizeof(int));
  job->row_bits = (unsigned char *)malloc(job->row_bytes);
  job->window = (unsigned char *)malloc(5 * (size_t)width);
  job->window_low = (unsigned char *)malloc(5 * (size_t)width);
  job->window_high = (unsigned char *)malloc(5 * (size_t)width);
  if (job->errors == nullptr || job->row_bits == nullptr || job->window == nullptr ||
      job->window_low == nullptr || job->window_high == nullptr) {
    release(job);
    return RECEIPT_ERROR_MEMORY;
  }
  receipt_make_curve(job->curve, settings->darkness);
  job->begun = 1;
  return RECEIPT_OK;
}

int receipt_begin_page(receipt_job *job, int width, int pixels) {
  if (job == nullptr)
    return RECEIPT_ERROR_ARGUMENT;
  int status = usable(job);
  if (status != RECEIPT_OK)
    return status;
  if (job->page_open || width < 1 || width > RECEIPT_MAX_PAGE_WIDTH)
    return RECEIPT_ERROR_ARGUMENT;
  if (pixels != RECEIPT_GREY8_WHITE255 && pixels != RECEIPT_GREY8_WHITE0 &&
      pixels != RECEIPT_BLACK1)
    return RECEIPT_ERROR_UNSUPPORTED;
  if (width > job->settings.head_width) {
    // A row of the page at a time, in grey, to hold its ink.
    unsigned char *row = (unsigned char *)realloc(job->page_grey, (size_t)width);
    if (row == nullptr)
      return RECEIPT_ERROR_MEMORY;
    job->page_grey = row;
    receipt_ink_values(pixels, job->settings.darkness != 0 ? job->curve : nullptr, job->page_ink);
  }
  job->page_open = 1;
  job->page_width = width;
  job->page_pixels = pixels;
  job->page_row = 0;
  job->page_kept = 0;
  job->pending_blank = 0;
  job->seen_ink = 0;
  job->fitted = 0;
  job->dithered = 0;
  job->held_used = 0;
  job->held_rows = 0;
  job->held_reduction = 1;
  job->ink_left = width;
  job->ink_right = -1;
  memset(job->errors, 0, sizeof(int) * 2 * ((size_t)job->settings.head_width + 2));
  return RECEIPT_OK;
}

int receipt_add_row(receipt_job *job, const unsigned char *row) {
  if (job == nullptr)
    return RECEIPT_ERROR_ARGUMENT;
  int status = usable(job);
  if (status != RECEIPT_OK)
    return status;
  if (!job->page_open || row == nullptr)
    return RECEIPT_ERROR_ARGUMENT;
  ++job->page_row;
  if (job->page_width > job->settings.head_width)
    return receipt_hold_row(job, row);
  if (receipt_row_is_white(row, job->page_width, job->page_pixels))
    return receipt_push_row(job, nullptr);
  // Fitted straight into the window's next row.
  const int head = job->settings.head_width;
  unsigned char *grey = job->window + (size_t)(job->fitted % 5) * (size_t)head;
  receipt_fit_row(row, job->page_width, job->page_pixels,
                  job->settings.darkness != 0 ? job->curve : nullptr, grey, head);
  return receipt_push_row(job, grey);
}

int receipt_end_page(receipt_job *job) {
  if (job == nullptr)
    return RECEIPT_ERROR_ARGUMENT;
  int status = usable(job);
  if (status != RECEIPT_OK)
    return status;
  if (!job->page_open)
    return RECEIPT_ERROR_ARGUMENT;
  if (job->page_width > job->settings.head_width)
    status = receipt_release_page(job);
  // The last two rows have all the neighbours they will get.
  while (status == RECEIPT_OK && job->dithered < job->fitted)
    status = dither_next(job);
  if (status != RECEIPT_OK)
    return status;
  // Without any trim a page keeps all its paper, a blank page included.
  if (job->settings.trim == RECEIPT_TRIM_NONE && job->pending_blank > 0) {
    status = start_printed_page(job);
    if (status == RECEIPT_OK)
      status = append(job, job->pending_blank, nullptr);
    if (status != RECEIPT_OK)
      return status;
  }
  job->pending_blank = 0;
  job->page_open = 0;
  ++job->pages;
  if (job->page_kept > 0)
    ++job->printed_pages;
  return RECEIPT_OK;
}

void receipt_end(receipt_job *job) {
  if (job == nullptr)
    return;
  release(job);
}
