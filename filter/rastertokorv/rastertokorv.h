// rastertokorv: the CUPS filter that turns CUPS raster (pages rendered by
// the standard filters from PDF, images and text) into the printer's
// image, one 24-bit BMP for the whole job, through the receipt library.
// The steps live in their own files so that tests and the fuzzer reach
// them.
//
// Error convention: functions return 0 (RECEIPT_OK) on success, and on
// failure -1 or a negative receipt error code with a sentence for the
// ERROR: line in the caller's message buffer; rastertokorv_main returns the
// process's exit status.
#pragma once

#include <cups/ppd.h>
#include <cups/raster.h>

#include <cstddef>

#include "receipt.h"

// Exit status of a failed run (CUPS stops the job and keeps its file).
constexpr int kRasterStatusFailed = 1;

// raster_read.cpp
// The raster's byte source, read through cupsRasterOpenIO(raster_input_read,
// input, CUPS_RASTER_READ). It reads the source in large blocks (libcups
// asks for an uncompressed stream one row at a time) and counts what it
// hands over, so that a stream cut inside a page header is told from one
// that ends after its last page (libcups reports both as "no more pages").
//
// It also guards libcups: a page header is taken whole from the source
// and its sizes checked before libcups sees a byte of it, since libcups
// allocates a line of the size a header claims (gigabytes, for a hostile
// one) before anything checks it. So that no header can reach libcups
// unchecked inside its own read buffer, the buffer of a compressed stream
// is fed one byte at a time.
struct raster_input {
  cups_raster_iocb_t read; // the real source
  void *context;
  long long delivered; // bytes handed to libcups so far
  size_t start, end;   // unread bytes of block
  unsigned char block[65536];
  unsigned char sync[4]; // the stream's first bytes: its kind
  size_t sync_seen;
  size_t header_size;  // bytes of one page header in this stream
  bool reading_header; // raster_read_pages is reading a header
  unsigned char header[sizeof(cups_page_header2_t)];
  size_t header_got, header_given; // bytes of it taken and handed over
  int headers;                     // page headers begun
  char refused[160];               // why a header was refused; empty when none
};
// Sets up input to read from the source.
void raster_input_init(raster_input *input, cups_raster_iocb_t read, void *context);
ssize_t raster_input_read(void *input, unsigned char *buffer, size_t length);
// A cups_raster_iocb_t for a descriptor held in an int.
ssize_t raster_fd_read(void *fd, unsigned char *buffer, size_t length);

// Reads every page of the raster stream into the begun job, page by page,
// and sets *copies to the copies the first page header asks the printer
// for (NumCopies, 0 when unset). The result is RECEIPT_OK or a receipt
// error code; on failure, message (size bytes) says what was wrong in a
// sentence for the ERROR: line. Pages taller than max_rows are refused as
// absurd.
int raster_read_pages(cups_raster_t *raster, raster_input *input, receipt_job *job, int *copies,
                      char *message, size_t size);

// options.cpp
// The job's settings for a head of head_width dots from the job options,
// falling back on the PPD's defaults (ppd may be null) and then on the
// library's. Returns 0, or -1 with message set for a value out of range.
int raster_settings(int num_options, cups_option_t *options, ppd_file_t *ppd, int head_width,
                    receipt_settings *settings, char *message, size_t size);
// The copies the filter makes: those the raster's header asks for
// (header_copies, from the rasterizer, which already made any copies that
// it had to collate itself), else the filter's copies argument; at least
// 1, at most 9999.
int raster_copies(int header_copies, const char *argument);

// run.cpp
// The filter's whole run; the result is the exit status.
int rastertokorv_main(int argc, char **argv);
