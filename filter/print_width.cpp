// The printer's print-line width from the queue's PPD model number.
#include <cups/ppd.h>

#include "filter.h"

int32_t model_output_width(int model_number) {
  // Even model numbers are the 58 mm printers, odd ones the 80 mm printers.
  static const int32_t kWidths[] = {384, 576, 384, 576, 384, 576};
  if (model_number < 0 || model_number > 5) {
    return 0;
  }
  return kWidths[model_number];
}

int32_t ppd_output_width(const char* path) {
  if (path == nullptr) {
    return -1;
  }
  // ppdOpenFile is deprecated in libcups 2.4, but the model number of the
  // queue's PPD is what names the printer's width.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  ppd_file_t* ppd = ppdOpenFile(path);
  if (ppd == nullptr) {
    return -1;
  }
  const int model_number = ppd->model_number;
  ppdClose(ppd);
#pragma GCC diagnostic pop
  return model_output_width(model_number);
}
