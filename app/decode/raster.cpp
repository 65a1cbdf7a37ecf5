// PWG raster and Apple raster (URF), and CUPS raster, through libcups as
// the CUPS filter rastertokorv reads them: every page header is checked
// before libcups takes it, and a stream cut short is an error.
#include <string.h>

#include "decode.h"
#include "rastertokorv.h"

int decode_raster(const decode_request *request, receipt_job *job, decode_error *error) {
  (void)request;
  static int input_fd = 0;
  // The reader's block is large: not on the stack.
  static raster_input input;
  raster_input_init(&input, raster_fd_read, &input_fd);
  cups_raster_t *raster = cupsRasterOpenIO(raster_input_read, &input, CUPS_RASTER_READ);
  if (raster == nullptr)
    return decode_fail(error, DECODE_STATUS_BAD_DOCUMENT,
                       "The document is not a PWG or Apple raster stream.");
  int copies = 0;
  char message[200];
  int code = raster_read_pages(raster, &input, job, &copies, message, sizeof message);
  cupsRasterClose(raster);
  if (code == RECEIPT_OK)
    return DECODE_STATUS_OK;
  int status = code == RECEIPT_ERROR_TOO_LONG || code == RECEIPT_ERROR_UNSUPPORTED
                   ? DECODE_STATUS_TOO_LARGE
               : code == RECEIPT_ERROR_MEMORY ? DECODE_STATUS_NO_MEMORY
                                              : DECODE_STATUS_BAD_DOCUMENT;
  if (code == RECEIPT_ERROR_TOO_LONG)
    return decode_fail(error, status, "The document is too large: %s", message);
  return decode_fail(error, status, "The raster document is damaged or cut short: %s", message);
}
