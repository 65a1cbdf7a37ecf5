// Page headers to the receipt library's page.
#include "page_header.h"

#include <string.h>

#include "receipt.h"

unsigned page_header_color_space(const cups_page_header2_t *header) {
  unsigned space;
  memcpy(&space, &header->cupsColorSpace, sizeof space);
  return space;
}

int page_header_pixels(const cups_page_header2_t *header) {
  const unsigned bits = header->cupsBitsPerColor;
  if (header->cupsBitsPerPixel != bits || header->cupsNumColors > 1)
    return -1;
  switch (page_header_color_space(header)) {
  case CUPS_CSPACE_W:
  case CUPS_CSPACE_SW:
    return bits == 8 ? RECEIPT_GREY8_WHITE255 : -1;
  case CUPS_CSPACE_K:
    if (bits == 8)
      return RECEIPT_GREY8_WHITE0;
    return bits == 1 ? RECEIPT_BLACK1 : -1;
  default:
    return -1;
  }
}

int page_header_copies(const cups_page_header2_t *header) {
  return (int)(header->NumCopies > 9999 ? 9999 : header->NumCopies);
}
