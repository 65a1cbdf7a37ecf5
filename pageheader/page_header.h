// A raster page header (cups_page_header2_t, as libcups reads CUPS, PWG and
// Apple raster and as PAPPL hands its pages over) as the receipt library's
// page: the pixel format its rows are read in and the copies the header
// asks for. The raster filter, korvprint's decoder
// (through the filter's reader) and korvprint's own raster callbacks all
// read page headers through it.
//
// Error convention: a header the printer path cannot take gives -1 where a
// pixel format is asked for; nothing else fails.
#ifndef PAGE_HEADER_H
#define PAGE_HEADER_H

#include <cups/raster.h>

// The receipt pixel format (RECEIPT_GREY8_WHITE255, RECEIPT_GREY8_WHITE0 or
// RECEIPT_BLACK1) of a page header, or -1 when the printer path cannot take
// its colour space and depth: one colour of 8 bits in white or black, or of
// 1 bit in black.
int page_header_pixels(const cups_page_header2_t *header);

// The header's colour space as the number stored in the stream, which need
// not be one of the enumeration's values.
unsigned page_header_color_space(const cups_page_header2_t *header);

// The copies the header asks the printer for (NumCopies), at most 9999; 0
// when unset.
int page_header_copies(const cups_page_header2_t *header);

#endif
