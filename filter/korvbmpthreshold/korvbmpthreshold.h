// korvbmpthreshold: the CUPS filter that turns a BMP image black and white
// and scales it to the print line of the queue's printer. The steps live in
// their own files so that tests, the fuzzer and the benchmark reach them.
//
// Error convention: the steps do not fail, except ppd_output_width (-1 for
// no usable PPD); the bitmap module reports through its last-error code
// (bitmap.h); filter_main returns the process's exit status.
#pragma once

#include <cups/cups.h>

#include <cstdint>

#include "bitmap.h"

// Threshold of an empty option string, and the one that turns every index
// to 0 (negative values, and values too large for 32 bits).
constexpr uint32_t kDefaultThreshold = 127;
constexpr uint32_t kSaturatedThreshold = 0xFFFFFFFFu;

// threshold.cpp
// The job option rule: 1 with *threshold set when the image is thresholded,
// 0 when it is not.
int threshold_from_options(int num_options, cups_option_t *options, uint32_t *threshold);
// A Threshold value (percent as decimal text) to a threshold on indices.
uint32_t threshold_from_percent(const char *value);

// print_width.cpp
// Print-line width in dots for a PPD model number, 0 for an unknown one.
int32_t model_output_width(int model_number);
// Opens the PPD at `path` (may be null) and gives the width of its model:
// -1 when there is no usable PPD, otherwise as model_output_width().
int32_t ppd_output_width(const char *path);

// scale.cpp
// Input pixels per output pixel for an input of this width: the whole-number
// quotient, at least 1.
float scale_factor(uint64_t input_width, int32_t output_width);
// Output rows for an input of this height.
uint64_t scaled_height(uint64_t input_height, float factor);
// The source row or column of output row or column `index`.
uint64_t scaled_coordinate(uint64_t index, float factor);
// Fills the 24-bit `output` with the top-left pixel of each factor x factor
// block of `input`; where that pixel lies outside the input, white. With a
// `threshold` (null: none), an 8-bit input is thresholded on the way: an
// index above it prints in the colour of index 255, any other in that of
// index 0. A 24- or 32-bit input ignores it.
void scale_pass(BMP *input, BMP *output, float factor, const uint32_t *threshold);

// run.cpp
// The filter's whole run; the result is the exit status (0, 1 or -2).
int filter_main(int argc, char **argv);
