// Steps of the receipt conversion shared between the library's files;
// callers use receipt.h only.
#ifndef RECEIPT_INTERNAL_H
#define RECEIPT_INTERNAL_H

#include "receipt.h"

// settings.cpp: RECEIPT_OK when every field lies in its range.
int receipt_check_settings(const receipt_settings *settings);

// darkness.cpp: fills curve[g] for every grey level g (0 black, 255 white).
void receipt_make_curve(unsigned char curve[256], int darkness);

// fit.cpp: one page row of width dots in format pixels to head_width grey
// levels (0 black, 255 white) through the curve (null: levels as they
// are): centred, cut at both sides when wider, white at both sides when
// narrower.
void receipt_fit_row(const unsigned char *row, int width, int pixels,
                     const unsigned char curve[256], unsigned char *grey, int head_width);
// Page columns [first, first + count) of a row in format pixels to grey
// levels at grey[first] and on, through the curve (null: as they are).
void receipt_grey_columns(const unsigned char *row, int first, int count, int pixels,
                          const unsigned char curve[256], unsigned char *grey);
// ink[v] = 1 for the raw values v of 8-bit rows in format pixels whose
// grey level (through the curve) is RECEIPT_INK_LEVEL or darker.
void receipt_ink_values(int pixels, const unsigned char curve[256], unsigned char ink[256]);
// The first and last ink column of a row of width dots (ink: the table
// above); 0 when it has none.
int receipt_ink_span(const unsigned char *row, int width, int pixels, const unsigned char ink[256],
                     int *first, int *last);

// fit.cpp: 1 when a page row of width dots in format pixels is all white.
int receipt_row_is_white(const unsigned char *row, int width, int pixels);

// The five head rows around the row being dithered, top to bottom (the
// page's first and last rows stand in for rows beyond them), each with
// room for the darkest and the lightest level of the five columns around
// every dot, made only when the sharp dither meets grey (*spread[k] set
// once they are).
struct receipt_rows_around {
  const unsigned char *grey[5];
  unsigned char *low[5];
  unsigned char *high[5];
  int *spread[5];
};

// dither.cpp: the middle one of the rows around (grey[2]), head_width grey
// levels, to row_bytes of bits (1 black, MSB first); y is the row's index
// in its page. Returns 1 when any dot is black. errors holds two rows of
// head_width + 2 carries, zeroed at the start of each page.
int receipt_dither_row(const receipt_rows_around *rows, int head_width,
                       const receipt_settings *settings, long y, int *errors, unsigned char *bits);

// The same for a row without a black dot anywhere (all white): nothing
// to dither, only the carries it would hand on (none) to set.
void receipt_dither_blank_row(int head_width, const receipt_settings *settings, long y,
                              int *errors);

// job.cpp: hands the dither the page's next head row (head_width grey
// levels; null for an all-white row). Returns RECEIPT_OK or the job's
// error once rows were lost.
int receipt_push_row(receipt_job *job, const unsigned char *grey);

// held.cpp: a page wider than the head, held until its end.
// Takes one page row; RECEIPT_OK, or the job's error once rows were lost.
int receipt_hold_row(receipt_job *job, const unsigned char *row);
// Hands the held page's head rows to the dither (unscaled or scaled, as
// its ink needs) and forgets them.
int receipt_release_page(receipt_job *job);

#endif
