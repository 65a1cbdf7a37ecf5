// The receipt conversion: rows of rendered pages in, the printer's image
// out. Shared by the CUPS raster filter and the printer application, so it
// knows nothing of CUPS argument lists, PPDs or IPP.
//
// A job is a sequence of pages, each handed in row by row at 203 dpi. A
// page prints at its true size: a page no wider than the head is centred
// on it; a wider page is held until its end to find its ink, then printed
// unscaled (centred on the page, or on its ink when that would cut ink
// off) if its ink fits the head, and scaled down to the head's width if
// its ink is wider. Each row is mapped through the darkness curve,
// dithered to one bit per dot and kept at that size; blank paper at the
// ends of each page is trimmed. At the end the whole job (all pages, all
// copies) is written as one 24-bit BMP exactly as wide as the head,
// because the printer takes one BMP after its start byte.
//
// Memory: the kept rows, one bit per dot of the receipt (at most
// head_width * max_rows / 8 bytes), a few rows of work space, and while a
// page wider than the head is open, its rows from the first to the last
// ink in grey, each cut to its own ink and held at most twice as wide as
// the head (columns are averaged in pairs, then fours, ... while the
// page's ink grows wider, since it will be scaled down at least as much):
// at most max_rows * (2 * head_width + 9) bytes, 46 MB for an 80 mm head
// and the default length. Such a page may be at most max_rows rows long
// before scaling.
//
// Use:
//   receipt_settings s; receipt_default_settings(&s, 576);
//   receipt_job job;    receipt_begin(&job, &s);
//   for each page: receipt_begin_page(&job, width, pixels);
//                  receipt_add_row(&job, row) for every row;
//                  receipt_end_page(&job);
//   receipt_write_bmp(&job, copies, write, context);
//   receipt_end(&job);
// Every call returns RECEIPT_OK or one of the negative codes below. A call
// that fails changes nothing, except when rows were lost (the receipt grew
// too long, or memory ran out while adding rows): the job then keeps that
// error and every later call but receipt_end returns it. The rows of a
// page wider than the head reach the receipt only at receipt_end_page, so
// that call may be the one to report such a loss.
// receipt_end is safe after any failure and on a job never begun (a record
// that receipt_begin never saw must be zero-filled: receipt_job job = {}).
#ifndef RECEIPT_H
#define RECEIPT_H

#include <stddef.h>

#define RECEIPT_OK 0
#define RECEIPT_ERROR_ARGUMENT -1    // settings, page width or call order wrong
#define RECEIPT_ERROR_UNSUPPORTED -2 // pixel format the printer path cannot take
#define RECEIPT_ERROR_TOO_LONG -3    // receipt longer than settings.max_rows
#define RECEIPT_ERROR_MEMORY -4      // the job's rows could not be held
#define RECEIPT_ERROR_EMPTY -5       // no page was added
#define RECEIPT_ERROR_WRITE -6       // the write callback failed

// How grey becomes black and white.
#define RECEIPT_DITHER_DIFFUSION 0 // error diffusion; pure black/white stay exact
#define RECEIPT_DITHER_ORDERED 1   // ordered (Bayer) dither
#define RECEIPT_DITHER_THRESHOLD 2 // plain threshold at settings.threshold
// Sharp (the default): error diffusion as above, except for grey that
// belongs to an edge, which becomes black or white by where the edge
// lies. A grey dot is part of an edge when the 5 x 5 dots around it hold
// both near-black and near-white (the anti-aliased rim of text, rules and
// bar codes), or when it lies in a stroke at most three dots wide with
// near-white (or near-black) on both sides and enough contrast (thin or
// grey text, a thin grey line): it prints black when it is darker than
// the middle of the darkest and lightest level around it. Grey areas
// (photographs, logos, shading) are diffused as they are with
// RECEIPT_DITHER_DIFFUSION.
#define RECEIPT_DITHER_SHARP 3

// Which blank paper of a page is dropped. Blank rows inside a page always
// stay; a page without a black dot prints nothing (no gap either) unless
// RECEIPT_TRIM_NONE, which keeps every page at its full length.
#define RECEIPT_TRIM_BOTH 0
#define RECEIPT_TRIM_BOTTOM 1
#define RECEIPT_TRIM_NONE 2

// Pixel formats of the rows handed in.
#define RECEIPT_GREY8_WHITE255 0 // 8-bit grey, 255 white (sGray, CUPS W)
#define RECEIPT_GREY8_WHITE0 1   // 8-bit grey, 0 white (CUPS K)
#define RECEIPT_BLACK1 2         // 1 bit per dot, 1 black, MSB first

// Rows of paper per millimetre at 203 dpi (7.99, taken as 8).
#define RECEIPT_ROWS_PER_MM 8
// Defaults of receipt_default_settings:
//   a 3 mm gap between two printed pages of a job;
#define RECEIPT_DEFAULT_PAGE_GAP_ROWS 24
//   a 12 mm gap between two copies, room to tear them apart;
#define RECEIPT_DEFAULT_COPY_GAP_ROWS 96
//   at most 40000 rows (5 m of paper, 2.9 MB held for an 80 mm head) for
//   the whole receipt, all copies and gaps included.
#define RECEIPT_DEFAULT_MAX_ROWS 40000L
// Limits of the settings and pages the library takes.
#define RECEIPT_MAX_HEAD_WIDTH 4096  // dots of the widest head
#define RECEIPT_MAX_PAGE_WIDTH 16384 // dots of the widest page row
#define RECEIPT_MAX_GAP_ROWS 8000    // rows of the longest gap (1 m)

// The size rule's ink: dots at or below this grey level (after the
// darkness curve; 6 % grey) decide where a page wider than the head has
// its ink. Lighter dots are paper to it, and at the sides of such a page
// they print white beyond the ink of their row.
#define RECEIPT_INK_LEVEL 240
// Ink wider than the head by at most 1/64 of its width (9 dots on an
// 80 mm head) is cut at both sides rather than scaled: a rasterizer's
// rounding must not blur every dot of a page for a scale of 99 %.
#define RECEIPT_SCALE_TOLERANCE_DIVISOR 64

// The darkness curve: every grey level g (0 black .. 255 white) becomes
// 255 * (g / 255) ^ (3 ^ (darkness / 100)), so darkness 100 cubes the
// level (mid-grey 128 prints as 32), -100 takes its cube root (128 prints
// as 202) and 0 leaves it alone. Pure black and pure white never move.

// One job's settings; receipt_default_settings fills in the defaults.
struct receipt_settings {
  int head_width;    // dots of the head: the BMP's width
  int dither;        // RECEIPT_DITHER_*
  int threshold;     // grey level 0..255: at or below it prints black (threshold dither)
  int darkness;      // -100 (lighter) .. 0 (as rendered) .. 100 (darker)
  int trim;          // RECEIPT_TRIM_*
  int page_gap_rows; // white rows between two printed pages
  int copy_gap_rows; // white rows between two copies (tear-off)
  long max_rows;     // longest receipt, all copies and gaps included
};

// One job in progress. The fields belong to the library and may change;
// callers only pass the record to the functions below.
struct receipt_job {
  receipt_settings settings;
  int begun;                // receipt_begin succeeded and receipt_end not yet called
  int failed;               // error that lost rows; RECEIPT_OK while none
  unsigned char *bits;      // kept rows, 1 bit per dot, 1 = black, MSB first
  size_t row_bytes;         // bytes of one kept row: (head_width + 7) / 8
  long rows;                // rows kept so far (pages and page gaps)
  long capacity;            // rows the buffer holds
  int pages;                // pages ended so far (blank ones included)
  int printed_pages;        // pages that left at least one row
  int page_open;            // inside begin_page .. end_page
  int page_width;           // dots of the current page's rows
  int page_pixels;          // RECEIPT_GREY8_* or RECEIPT_BLACK1
  long page_row;            // rows of the current page handed in
  long page_kept;           // rows of the current page kept so far
  long pending_blank;       // blank rows of the page not yet kept (trimmed if
                            // no ink follows; kept when ink or the page end
                            // without bottom trim comes)
  int seen_ink;             // the current page has had a black dot
  int *errors;              // error-diffusion carry: two rows of head_width + 2
  unsigned char *row_bits;  // one dithered row, row_bytes
  unsigned char curve[256]; // the darkness curve on 0 black .. 255 white
  // The page's head rows on their way to the dither, which looks two rows
  // up and down: the last five, each with the darkest and the lightest
  // level of the five columns around every dot (made when a row beside
  // grey needs them).
  unsigned char *window;      // 5 rows of head_width grey levels
  unsigned char *window_low;  // 5 rows of head_width
  unsigned char *window_high; // 5 rows of head_width
  int window_white[5];        // the row is all white
  int window_spread[5];       // its darkest and lightest levels are made
  long fitted;                // head rows of the page handed to the dither
  long dithered;              // head rows of the page dithered and kept
  // A page wider than the head, held until its end.
  unsigned char *page_grey;    // one page row in grey, page_width entries
  unsigned char page_ink[256]; // its raw values that are ink to the size rule
  unsigned char *held;         // held rows: each its ink span, then its levels
  size_t held_used;            // bytes of held in use
  size_t held_capacity;        // bytes held can take
  long held_rows;              // rows of the page held
  int held_reduction;          // page columns averaged into one held column
  int ink_left, ink_right;     // page columns of the page's ink (none: left > right)
};

// Writes len bytes; returns 0 on success, anything else on failure.
typedef int (*receipt_write_fn)(void *context, const void *data, size_t len);

// The defaults for a head of head_width dots: sharp error diffusion,
// threshold 127, darkness 0, both ends trimmed, the standard gaps and
// length limit.
void receipt_default_settings(receipt_settings *settings, int head_width);
// The threshold setting (0..255) of a Threshold percentage (0..100, percent
// of the grey range), as korvprint and both CUPS filters take it.
int receipt_threshold_from_percent(int percent);

int receipt_begin(receipt_job *job, const receipt_settings *settings);
// width: dots of each row of this page (at most RECEIPT_MAX_PAGE_WIDTH);
// pixels: RECEIPT_GREY8_WHITE255, RECEIPT_GREY8_WHITE0 or RECEIPT_BLACK1.
int receipt_begin_page(receipt_job *job, int width, int pixels);
// row: one row of the page, width dots in the page's pixel format.
int receipt_add_row(receipt_job *job, const unsigned char *row);
// Bytes of one page row of width dots in format pixels.
size_t receipt_row_bytes(int width, int pixels);
int receipt_end_page(receipt_job *job);

// Height in rows of the BMP receipt_write_bmp writes for copies copies.
// A job whose pages are all blank is written as one white row, so the
// printer still gets the whole image it waits for after its start byte.
// Negative (RECEIPT_ERROR_ARGUMENT) for copies below 1 or a job that was
// not begun; the height may exceed settings.max_rows (receipt_write_bmp
// then refuses the job).
long receipt_height(const receipt_job *job, int copies);
// Writes the whole job, copies times, as one bottom-up 24-bit BMP through
// write. Nothing is written when the job cannot be written whole.
int receipt_write_bmp(receipt_job *job, int copies, receipt_write_fn write, void *context);

// The kept rows of a job in a compact form, for a program that converts
// a document in one process and prints it from another: a 16-byte header
// (RECEIPT_PACKED_MAGIC, then the head width, the rows and the pages ended,
// each a 32-bit little-endian number) followed by the rows, row_bytes each,
// as they are kept. Only a job with every page ended is written.
#define RECEIPT_PACKED_MAGIC "KRP1"
#define RECEIPT_PACKED_HEADER_BYTES 16
int receipt_write_packed(const receipt_job *job, receipt_write_fn write, void *context);
// The bytes a packed job of the header's rows takes, header included, for
// a job begun with settings; negative (RECEIPT_ERROR_ARGUMENT, or
// RECEIPT_ERROR_TOO_LONG for more rows than settings.max_rows) when the
// header does not describe such a job.
long receipt_packed_size(const unsigned char header[RECEIPT_PACKED_HEADER_BYTES],
                         const receipt_settings *settings);
// Takes a packed job (len bytes, exactly as receipt_packed_size says) into
// a job begun with the same settings and without pages yet, which can then
// be written with receipt_write_bmp.
int receipt_read_packed(receipt_job *job, const unsigned char *data, size_t len);

// Frees what the job holds; the job may be begun again.
void receipt_end(receipt_job *job);

// A short English text for a result code.
const char *receipt_error_text(int code);

#endif
