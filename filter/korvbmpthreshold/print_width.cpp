// The printer's print-line width from the queue's PPD model number, as the
// printer catalogue gives it.
#include <cups/ppd.h>

#include "catalogue.h"
#include "korvbmpthreshold.h"

int32_t model_output_width(int model_number) { return KORV_PpdHeadWidth(model_number); }

int32_t ppd_output_width(const char *path) {
  if (path == nullptr) {
    return -1;
  }
  // ppdOpenFile is deprecated in libcups 2.4, but the model number of the
  // queue's PPD is what names the printer's width.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  ppd_file_t *ppd = ppdOpenFile(path);
  if (ppd == nullptr) {
    return -1;
  }
  const int model_number = ppd->model_number;
  ppdClose(ppd);
#pragma GCC diagnostic pop
  return model_output_width(model_number);
}
