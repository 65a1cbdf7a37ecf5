// A page wider than the head: its rows are held until the page ends, to
// find where its ink lies, and then handed to the dither at true size
// (centred on the page, or on its ink when the page's middle would cut
// ink off) or, when the ink is wider than the head, scaled down to fit.
//
// Each held row keeps only its ink, from its first to its last dot at or
// below RECEIPT_INK_LEVEL: a record of its first held column, its count of
// columns, then their grey levels. While the page's ink grows wider than
// twice the head's width times the reduction, pairs of held columns are
// averaged into one (the page will be scaled down by at least that
// much), so a held row never takes much more than twice the head's width.
#include <math.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "receipt_internal.h"

namespace {

struct Span {
  int first;  // first held column
  int count;  // held columns; 0 for a row without ink
};

constexpr size_t kRecordHead = sizeof(Span);

// Room for want more bytes of held rows, never more than the longest
// page can need.
int reserve(receipt_job *job, size_t want) {
  if (job->held_used + want <= job->held_capacity)
    return RECEIPT_OK;
  const size_t row_most = kRecordHead + 2 * (size_t)job->settings.head_width + 1;
  const size_t most = (size_t)job->settings.max_rows > SIZE_MAX / row_most
                          ? SIZE_MAX
                          : (size_t)job->settings.max_rows * row_most;
  size_t grown = job->held_capacity < 65536 ? 65536 : job->held_capacity * 2;
  if (grown > most)
    grown = most;
  if (grown < job->held_used + want)
    grown = job->held_used + want;
  unsigned char *bigger = (unsigned char *)realloc(job->held, grown);
  if (bigger == nullptr)
    return RECEIPT_ERROR_MEMORY;
  job->held = bigger;
  job->held_capacity = grown;
  return RECEIPT_OK;
}

Span span_at(const unsigned char *record) {
  Span span;
  memcpy(&span, record, sizeof span);
  return span;
}

// Averages pairs of held columns of every held row, in place (a record
// never grows, so it is written no further on than it was read).
void halve(receipt_job *job) {
  size_t read = 0, write = 0;
  for (long r = 0; r < job->held_rows; ++r) {
    const Span old = span_at(job->held + read);
    const unsigned char *levels = job->held + read + kRecordHead;
    read += kRecordHead + (size_t)old.count;
    Span span = {0, 0};
    if (old.count > 0) {
      span.first = old.first / 2;
      span.count = (old.first + old.count + 1) / 2 - span.first;
    }
    unsigned char *out = job->held + write + kRecordHead;
    for (int c = 0; c < span.count; ++c) {
      int sum = 0;
      for (int k = 0; k < 2; ++k) {
        const int column = 2 * (span.first + c) + k - old.first;
        sum += column >= 0 && column < old.count ? levels[column] : 255;
      }
      out[c] = (unsigned char)((sum + 1) / 2);
    }
    memcpy(job->held + write, &span, sizeof span);
    write += kRecordHead + (size_t)span.count;
  }
  job->held_used = write;
  job->held_reduction *= 2;
}

// The page's head rows, unscaled: head column c shows page column
// first + c.
int release_unscaled(receipt_job *job, int first) {
  const int head = job->settings.head_width;
  size_t read = 0;
  int status = RECEIPT_OK;
  for (long r = 0; r < job->held_rows && status == RECEIPT_OK; ++r) {
    const Span span = span_at(job->held + read);
    const unsigned char *levels = job->held + read + kRecordHead;
    read += kRecordHead + (size_t)span.count;
    const int from = span.first > first ? span.first : first;
    const int to = span.first + span.count < first + head ? span.first + span.count : first + head;
    if (from >= to) {
      status = receipt_push_row(job, nullptr);
      continue;
    }
    unsigned char *grey = job->window + (size_t)(job->fitted % 5) * (size_t)head;
    memset(grey, 255, (size_t)head);
    memcpy(grey + (from - first), levels + (from - span.first), (size_t)(to - from));
    status = receipt_push_row(job, grey);
  }
  return status;
}

// One held row resampled to the head: column c averages the held columns
// that [left + c * step, left + (c + 1) * step) covers, partly covered
// ones by their share.
void resample_row(const Span &span, const unsigned char *levels, double left, double step,
                  int head, unsigned char *out) {
  for (int c = 0; c < head; ++c) {
    const double a = left + c * step, b = a + step;
    double sum = 0;
    for (int column = (int)floor(a); column < b; ++column) {
      const double share = fmin(b, column + 1.0) - fmax(a, (double)column);
      const int at = column - span.first;
      sum += share * (at >= 0 && at < span.count ? levels[at] : 255);
    }
    out[c] = (unsigned char)lround(sum / step);
  }
}

// The page's ink scaled to the head's width: factor held rows (and
// factor / reduction held columns) to each head row and column.
int release_scaled(receipt_job *job, double factor) {
  const int head = job->settings.head_width;
  const double step = factor / job->held_reduction;
  const double left = (double)job->ink_left / job->held_reduction;
  long out_rows = lround(job->held_rows / factor);
  if (out_rows < 1)
    out_rows = 1;
  // The held row resampled last, and the sums of the head row being made.
  unsigned char *resampled = (unsigned char *)malloc((size_t)head);
  double *sums = (double *)malloc(sizeof(double) * (size_t)head);
  if (resampled == nullptr || sums == nullptr) {
    free(resampled);
    free(sums);
    job->failed = RECEIPT_ERROR_MEMORY;
    return job->failed;
  }
  size_t read = 0;
  long resampled_row = -1;
  int status = RECEIPT_OK;
  for (long y = 0; y < out_rows && status == RECEIPT_OK; ++y) {
    const double top = y * factor;
    const double bottom = fmin((y + 1) * factor, (double)job->held_rows);
    for (int c = 0; c < head; ++c)
      sums[c] = 0;
    double weight = 0;
    for (long r = (long)floor(top); r < bottom; ++r) {
      // Held rows are read in order; a row across two head rows is
      // resampled once.
      while (resampled_row < r) {
        const Span span = span_at(job->held + read);
        resample_row(span, job->held + read + kRecordHead, left, step, head, resampled);
        read += kRecordHead + (size_t)span.count;
        ++resampled_row;
      }
      const double share = fmin(bottom, r + 1.0) - fmax(top, (double)r);
      for (int c = 0; c < head; ++c)
        sums[c] += share * resampled[c];
      weight += share;
    }
    unsigned char *grey = job->window + (size_t)(job->fitted % 5) * (size_t)head;
    int white = 1;
    for (int c = 0; c < head; ++c) {
      grey[c] = (unsigned char)lround(sums[c] / weight);
      white = white && grey[c] == 255;
    }
    status = receipt_push_row(job, white ? nullptr : grey);
  }
  free(resampled);
  free(sums);
  return status;
}

} // namespace

int receipt_hold_row(receipt_job *job, const unsigned char *row) {
  if (job->held_rows >= job->settings.max_rows) {
    job->failed = RECEIPT_ERROR_TOO_LONG;
    return job->failed;
  }
  const int width = job->page_width;
  const int head = job->settings.head_width;
  const unsigned char *curve = job->settings.darkness != 0 ? job->curve : nullptr;
  unsigned char *grey = job->page_grey;
  int first = 0, last = -1;
  Span span = {0, 0};
  if (!receipt_row_is_white(row, width, job->page_pixels) &&
      receipt_ink_span(row, width, job->page_pixels, job->page_ink, &first, &last)) {
    if (first < job->ink_left)
      job->ink_left = first;
    if (last > job->ink_right)
      job->ink_right = last;
    while (job->ink_right - job->ink_left + 1 > 2 * head * job->held_reduction)
      halve(job);
    const int reduction = job->held_reduction;
    span.first = first / reduction;
    span.count = last / reduction - span.first + 1;
    // The page columns the held ones average.
    const int from = span.first * reduction;
    const int to = (span.first + span.count) * reduction;
    receipt_grey_columns(row, from, (to < width ? to : width) - from, job->page_pixels, curve,
                         grey);
  }
  if (reserve(job, kRecordHead + (size_t)span.count) != RECEIPT_OK) {
    job->failed = RECEIPT_ERROR_MEMORY;
    return job->failed;
  }
  unsigned char *record = job->held + job->held_used;
  memcpy(record, &span, sizeof span);
  const int reduction = job->held_reduction;
  if (reduction == 1)
    memcpy(record + kRecordHead, grey + span.first, (size_t)span.count);
  for (int c = 0; c < span.count && reduction > 1; ++c) {
    // Page columns beyond the page are white paper.
    int sum = 0;
    for (int k = 0; k < reduction; ++k) {
      const int column = (span.first + c) * reduction + k;
      sum += column < width ? grey[column] : 255;
    }
    record[kRecordHead + c] = (unsigned char)((sum + reduction / 2) / reduction);
  }
  job->held_used += kRecordHead + (size_t)span.count;
  ++job->held_rows;
  return RECEIPT_OK;
}

int receipt_release_page(receipt_job *job) {
  const int head = job->settings.head_width;
  const int width = job->page_width;
  int status = RECEIPT_OK;
  if (job->ink_left > job->ink_right) {
    // No ink: white paper, as long as the page.
    for (long r = 0; r < job->held_rows && status == RECEIPT_OK; ++r)
      status = receipt_push_row(job, nullptr);
  } else {
    const int ink = job->ink_right - job->ink_left + 1;
    if (ink <= head + head / RECEIPT_SCALE_TOLERANCE_DIVISOR) {
      // The page's middle as a narrower page is fitted, if that keeps all
      // its ink; else the ink's middle.
      int first = (width - head) / 2;
      if (first > job->ink_left || first + head <= job->ink_right)
        first = job->ink_left - (head - ink) / 2;
      status = release_unscaled(job, first);
    } else {
      status = release_scaled(job, (double)ink / head);
    }
  }
  job->held_used = 0;
  job->held_rows = 0;
  return status;
}
