// korvprint-decode: reads one client document into the receipt library
// and writes the kept rows for korvprint (see decode_protocol.h). What its
// files share.
//
// main.cpp    arguments, the format, the packed output, the exit status
// image.cpp   an image's size on the paper, scaled while its rows stream in
// png.cpp     PNG through libpng, row by row
// jpeg.cpp    JPEG through libjpeg, row by row
// raster.cpp  PWG and Apple raster through libcups
// pdf.cpp     PDF rendered by pdftoppm, a child of this process
// pdf_args.cpp pdftoppm's command line (shared with the tests)
#ifndef DECODE_H
#define DECODE_H

#include <stddef.h>

#include "decode_protocol.h"
#include "receipt.h"

// Images of more pixels than this, or wider or taller than the largest
// side, are refused: reading one costs time in proportion, whatever
// becomes of it, and a row is held in full.
#define DECODE_MAX_PIXELS 100000000L
#define DECODE_MAX_SIDE 65535L
// An image that can only be read whole (an interlaced PNG) is held in
// memory only up to this many bytes.
#define DECODE_MAX_HELD_BYTES (32L * 1024 * 1024)

// print-scaling
#define SCALING_AUTO 0 // as it is when its resolution fits it on the paper, else fit
#define SCALING_FIT 1  // as large as fits the head's width and the paper's length
#define SCALING_FILL 2 // as wide as the head, however long
#define SCALING_NONE 3 // at its own resolution (200 ppi when it names none)

// What the job asks for.
struct decode_request {
  const char *format;
  receipt_settings settings;
  int dpi;           // the printer's resolution
  int scaling;       // SCALING_*
  long paper_rows;   // rows of the job's paper
  int first_page;    // PDF pages to print
  int last_page;     // 0: to the end
};

// A failure: the exit status and the sentence for the job's message.
struct decode_error {
  int status;
  char message[256];
};
// Sets the failure; returns status.
int decode_fail(decode_error *error, int status, const char *format, ...)
    __attribute__((format(printf, 3, 4)));
// The status and sentence for a receipt library error while reading.
int decode_receipt_failure(decode_error *error, int code);

// Each reads standard input into the begun job; DECODE_STATUS_OK or the
// failure's status with error filled in.
int decode_png(const decode_request *request, receipt_job *job, decode_error *error);
int decode_jpeg(const decode_request *request, receipt_job *job, decode_error *error);
int decode_raster(const decode_request *request, receipt_job *job, decode_error *error);
int decode_pdf(const decode_request *request, receipt_job *job, decode_error *error);

// ---- image.cpp ----
// One image as a page of the receipt: scaled (averaged down, repeated
// up) to its size on the paper while its rows come in, never held.
struct image_page {
  receipt_job *job;
  int in_width, in_height;   // rows handed in: grey, 255 white
  int out_width, out_height; // the image on the paper, in dots
  int window_x, window_width; // the columns kept: at most the head's
  long top_rows, bottom_rows; // white paper above and below it
  int *from_x, *to_x;        // source columns of each kept column
  unsigned *sum;             // the rows being averaged, summed
  unsigned char *out;        // one row handed to the library
  int summed;                // rows in sum
  long in_y, out_y;          // rows taken and given so far
};

// The image's size on the paper for the request, from its pixels and
// resolution (0: unknown). DECODE_STATUS_OK, or TOO_LARGE with error set.
int image_size_on_paper(const decode_request *request, long width, long height, int ppi_x,
                        int ppi_y, int *out_width, int *out_height, decode_error *error);
// Begins the page: rows of in_width pixels, in_height of them, become
// out_width x out_height dots.
int image_page_begin(image_page *page, receipt_job *job, const decode_request *request,
                     int in_width, int in_height, int out_width, int out_height,
                     decode_error *error);
// One row of in_width grey levels.
int image_page_add_row(image_page *page, const unsigned char *row, decode_error *error);
// After the last row: ends the page. Frees what it holds either way.
int image_page_end(image_page *page, decode_error *error);
void image_page_free(image_page *page);

#endif
