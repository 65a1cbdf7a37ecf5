// How korvprint hands a client's document to korvprint-decode, the small
// program that reads it in a confined process of its own: the document on
// standard input (the spool file), the job's settings as arguments, and
// back on standard output the receipt's kept rows in the receipt
// library's packed form (receipt_write_packed), or on failure one line
// "ERROR: <sentence>" on standard error and one of the exit statuses below.
//
//   korvprint-decode FORMAT head=DOTS dpi=N dither=N threshold=N
//                    darkness=N trim=N scaling=WORD length=ROWS
//                    first=PAGE last=PAGE
//
// FORMAT: one of the DECODE_FORMAT_* words. head, dither, threshold,
// darkness and trim are the receipt settings (receipt.h); dpi is the
// printer's resolution, which an image's own resolution is measured
// against; scaling is the job's print-scaling (auto, auto-fit, fit, fill,
// none) and length the rows of the job's paper, which an image is fitted
// to and centred on; first and last the pages of a PDF to print (last 0:
// to the end).
#ifndef DECODE_PROTOCOL_H
#define DECODE_PROTOCOL_H

#define DECODE_FORMAT_PDF "pdf"
#define DECODE_FORMAT_PNG "png"
#define DECODE_FORMAT_JPEG "jpeg"
#define DECODE_FORMAT_RASTER "raster" // PWG raster or Apple raster (URF)
#define DECODE_FORMAT_AUTO "auto"     // whichever of them the bytes are

// Exit statuses; a signal means a limit ended it (SIGXCPU, SIGKILL: its
// processor time) or it failed.
#define DECODE_STATUS_OK 0
#define DECODE_STATUS_FAILED 1       // it could not do its work (arguments, output)
#define DECODE_STATUS_BAD_DOCUMENT 2 // damaged, cut short or not of its format
#define DECODE_STATUS_TOO_LARGE 3    // beyond what the printer or the limits take
#define DECODE_STATUS_NO_MEMORY 4    // the document needs more memory than allowed

// The prefix of the failure's sentence on standard error.
#define DECODE_ERROR_PREFIX "ERROR: "

#endif
