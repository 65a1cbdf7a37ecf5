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
                     const unsigned char curve[256], unsigned char *grey,
                     int head_width);
// The same for the whole row, width grey levels into grey.
void receipt_grey_row(const unsigned char *row, int width, int pixels,
                      const unsigned char curve[256], unsigned char *grey);
// Bytes of one page row of width dots in format pixels.
size_t receipt_row_bytes(int width, int pixels);

// fit.cpp: 1 when a page row of width dots in format pixels is all white.
int receipt_row_is_white(const unsigned char *row, int width, int pixels);

// The five head rows around the row being dithered, top to bottom (the
// page's first and last rows stand in for rows beyond them), each with
// the darkest and the lightest level of the five columns around every
// dot (receipt_spread_row).
struct receipt_rows_around {
  const unsigned char *grey[5];
  const unsigned char *low[5];
  const unsigned char *high[5];
};

// dither.cpp: low[x] and high[x], the darkest and lightest of grey[x - 2]
// .. grey[x + 2] (columns beyond the row left out).
void receipt_spread_row(const unsigned char *grey, int head_width, unsigned char *low,
                        unsigned char *high);

// dither.cpp: the middle one of the rows around (grey[2]), head_width grey
// levels, to row_bytes of bits (1 black, MSB first); y is the row's index
// in its page. Returns 1 when any dot is black. errors holds two rows of
// head_width + 2 carries, zeroed at the start of each page.
int receipt_dither_row(const receipt_rows_around *rows, int head_width,
                       const receipt_settings *settings, long y, int *errors,
                       unsigned char *bits);

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
