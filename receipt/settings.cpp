// The default settings of a job and the ranges every setting must keep.
#include "receipt_internal.h"

void receipt_default_settings(receipt_settings *settings, int head_width) {
  settings->head_width = head_width;
  settings->dither = RECEIPT_DITHER_SHARP;
  settings->threshold = 127;
  settings->darkness = 0;
  settings->trim = RECEIPT_TRIM_BOTH;
  settings->page_gap_rows = RECEIPT_DEFAULT_PAGE_GAP_ROWS;
  settings->copy_gap_rows = RECEIPT_DEFAULT_COPY_GAP_ROWS;
  settings->max_rows = RECEIPT_DEFAULT_MAX_ROWS;
}

int receipt_threshold_from_percent(int percent) { return percent * 255 / 100; }

int receipt_check_settings(const receipt_settings *s) {
  if (s == nullptr || s->head_width < 1 || s->head_width > RECEIPT_MAX_HEAD_WIDTH)
    return RECEIPT_ERROR_ARGUMENT;
  if (s->dither != RECEIPT_DITHER_DIFFUSION && s->dither != RECEIPT_DITHER_ORDERED &&
      s->dither != RECEIPT_DITHER_THRESHOLD && s->dither != RECEIPT_DITHER_SHARP)
    return RECEIPT_ERROR_ARGUMENT;
  if (s->threshold < 0 || s->threshold > 255 || s->darkness < -100 || s->darkness > 100)
    return RECEIPT_ERROR_ARGUMENT;
  if (s->trim != RECEIPT_TRIM_BOTH && s->trim != RECEIPT_TRIM_BOTTOM &&
      s->trim != RECEIPT_TRIM_NONE)
    return RECEIPT_ERROR_ARGUMENT;
  if (s->page_gap_rows < 0 || s->page_gap_rows > RECEIPT_MAX_GAP_ROWS || s->copy_gap_rows < 0 ||
      s->copy_gap_rows > RECEIPT_MAX_GAP_ROWS)
    return RECEIPT_ERROR_ARGUMENT;
  if (s->max_rows < 1)
    return RECEIPT_ERROR_ARGUMENT;
  return RECEIPT_OK;
}
