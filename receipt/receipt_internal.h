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
// Bytes of one page row of width dots in format pixels.
size_t receipt_row_bytes(int width, int pixels);

// dither.cpp: head_width grey levels to row_bytes of bits (1 black, MSB
// first); y is the row's index in its page. Returns 1 when any dot is
// black. errors holds two rows of head_width + 2 carries, zeroed at the
// start of each page.
int receipt_dither_row(const unsigned char *grey, int head_width,
                       const receipt_settings *settings, long y, int *errors,
                       unsigned char *bits);

// The same for a row without a black dot anywhere (all white): nothing
// to dither, only the carries it would hand on (none) to set.
void receipt_dither_blank_row(int head_width, const receipt_settings *settings, long y,
                              int *errors);

// fit.cpp: 1 when a page row of width dots in format pixels is all white.
int receipt_row_is_white(const unsigned char *row, int width, int pixels);

#endif
