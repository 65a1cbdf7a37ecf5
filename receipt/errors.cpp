// Texts for the receipt library's result codes.
#include "receipt.h"

const char *receipt_error_text(int code) {
  switch (code) {
  case RECEIPT_OK:
    return "success";
  case RECEIPT_ERROR_ARGUMENT:
    return "invalid settings, page width or call order";
  case RECEIPT_ERROR_UNSUPPORTED:
    return "unsupported pixel format";
  case RECEIPT_ERROR_TOO_LONG:
    return "receipt longer than the maximum length";
  case RECEIPT_ERROR_MEMORY:
    return "not enough memory for the receipt";
  case RECEIPT_ERROR_EMPTY:
    return "the job has no pages";
  case RECEIPT_ERROR_WRITE:
    return "the receipt could not be written";
  default:
    return "unknown error";
  }
}
