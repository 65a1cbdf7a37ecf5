// pdftoppm's command line for the printer (see pdf_args.h).
#include "pdf_args.h"

#include <limits.h>
#include <stdio.h>

void pdf_render_arguments(pdf_render_args *args, const char *file, unsigned first,
                          unsigned last, long max_rows) {
  snprintf(args->width, sizeof(args->width), "%d", PDF_MAX_WIDTH);
  snprintf(args->height, sizeof(args->height), "%ld", max_rows + 1);
  snprintf(args->first, sizeof(args->first), "%u", first > 0 ? first : 1);
  snprintf(args->last, sizeof(args->last), "%u", last);
  snprintf(args->dpi, sizeof(args->dpi), "%d", PDF_DPI);
  const char **argv = args->argv;
  int argc = 0;
  argv[argc++] = "pdftoppm";
  argv[argc++] = "-gray";
  // The printer's own resolution: a page prints at its true size, and the
  // receipt library scales down only a page whose ink is wider than the
  // head.
  argv[argc++] = "-r";
  argv[argc++] = args->dpi;
  // Text and line art as the CUPS rasterizer draws them, without the grey
  // rim of anti-aliasing, which the dither would turn into stray dots.
  argv[argc++] = "-aa";
  argv[argc++] = "no";
  argv[argc++] = "-aaVector";
  argv[argc++] = "no";
  argv[argc++] = "-W";
  argv[argc++] = args->width;
  argv[argc++] = "-H";
  argv[argc++] = args->height;
  argv[argc++] = "-f";
  argv[argc++] = args->first;
  if (last > 0 && last < INT_MAX) {
    argv[argc++] = "-l";
    argv[argc++] = args->last;
  }
  argv[argc++] = file;
  argv[argc] = nullptr;
}
