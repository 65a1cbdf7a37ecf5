// PDF documents: poppler's pdftoppm renders each page in 8-bit grey at
// the printer's resolution, and the pages go through the same raster
// callbacks as PAPPL's own formats, where the receipt library prints each
// at true size or scales it down to the head. The renderer runs as a
// child process, so a hostile PDF can at worst end that process, never
// the server.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include "korvprint.h"

#ifndef KORV_PDFTOPPM_PATH
#define KORV_PDFTOPPM_PATH "/usr/bin/pdftoppm"
#endif

#define DPI 203
#define TEXT_OF(number) #number
#define NUMBER_TEXT(number) TEXT_OF(number)

void pdf_render_arguments(pdf_render_args *args, const char *file, unsigned first,
                          unsigned last, long max_rows) {
  snprintf(args->width, sizeof(args->width), "%d", PDF_MAX_WIDTH);
  snprintf(args->height, sizeof(args->height), "%ld", max_rows + 1);
  snprintf(args->first, sizeof(args->first), "%u", first > 0 ? first : 1);
  snprintf(args->last, sizeof(args->last), "%u", last);
  const char **argv = args->argv;
  int argc = 0;
  argv[argc++] = "pdftoppm";
  argv[argc++] = "-gray";
  // The printer's own resolution: a page prints at its true size.
  argv[argc++] = "-r";
  argv[argc++] = NUMBER_TEXT(DPI);
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

// Reads one PGM header ("P5", width, height, 255; pdftoppm writes no
// comments). 1 for a header, 0 at the end of the stream, -1 on bad data.
static int read_pgm_header(FILE *in, unsigned *width, unsigned *height) {
  int c = fgetc(in);
  if (c == EOF)
    return 0;
  unsigned maxval = 0;
  if (c != 'P' || fgetc(in) != '5' ||
      fscanf(in, "%u %u %u", width, height, &maxval) != 3 || maxval != 255)
    return -1;
  c = fgetc(in); // the one blank before the pixels
  if (c != ' ' && c != '\n' && c != '\r' && c != '\t')
    return -1;
  return 1;
}

// The page header the raster callbacks get for a rendered page.
static void set_page_header(pappl_pr_options_t *options, unsigned width,
                            unsigned height) {
  cups_page_header2_t *h = &options->header;
  h->cupsWidth = width;
  h->cupsHeight = height;
  h->cupsBitsPerColor = 8;
  h->cupsBitsPerPixel = 8;
  h->cupsBytesPerLine = width;
  h->cupsColorOrder = CUPS_ORDER_CHUNKED;
  h->cupsColorSpace = CUPS_CSPACE_SW;
  h->cupsNumColors = 1;
  h->HWResolution[0] = h->HWResolution[1] = DPI;
}

bool pdf_filter(pappl_job_t *job, pappl_device_t *device, void *context) {
  (void)context;
  pappl_printer_t *printer = papplJobGetPrinter(job);
  pappl_pr_driver_data_t driver;
  papplPrinterGetDriverData(printer, &driver);
  const driver_model *model = static_cast<const driver_model *>(driver.extension);
  if (model == nullptr)
    return false;

  pappl_pr_options_t *options = papplJobCreatePrintOptions(job, 0, false);
  if (options == nullptr)
    return false;

  receipt_settings limits;
  receipt_default_settings(&limits, model->head_width);
  pdf_render_args render;
  pdf_render_arguments(&render, papplJobGetFilename(job), options->first_page,
                       options->last_page, limits.max_rows);

  int out_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) < 0) {
    papplJobDeletePrintOptions(options);
    return false;
  }
  extern char **environ;
  int pid = process_spawn(KORV_PDFTOPPM_PATH, const_cast<char **>(render.argv),
                          environ, -1, out_pipe[1], -1);
  close(out_pipe[1]);
  if (pid < 0) {
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Unable to run %s: %s",
                KORV_PDFTOPPM_PATH, strerror(errno));
    close(out_pipe[0]);
    papplJobDeletePrintOptions(options);
    return false;
  }
  FILE *in = fdopen(out_pipe[0], "rb");

  bool ok = in != nullptr && raster_start_job(job, options, device);
  bool started = ok;
  unsigned page = 0;
  unsigned char *row = nullptr;
  bool bad_data = false;
  while (ok && !papplJobIsCanceled(job)) {
    unsigned width = 0, height = 0;
    int got = read_pgm_header(in, &width, &height);
    if (got == 0)
      break;
    if (got < 0 || width == 0 || width > 65536 || height == 0) {
      bad_data = true;
      break;
    }
    ++page;
    set_page_header(options, width, height);
    unsigned char *bigger = static_cast<unsigned char *>(realloc(row, width));
    if (bigger == nullptr) {
      ok = false;
      break;
    }
    row = bigger;
    papplJobSetImpressionsCompleted(job, 1);
    if (!raster_start_page(job, options, device, page)) {
      ok = false;
      break;
    }
    for (unsigned y = 0; y < height && ok; ++y) {
      if (fread(row, 1, width, in) != width) {
        bad_data = true;
        break;
      }
      if (papplJobIsCanceled(job))
        break;
      ok = raster_write_line(job, options, device, y, row);
    }
    if (bad_data || papplJobIsCanceled(job))
      break;
    ok = ok && raster_end_page(job, options, device, page);
  }
  free(row);

  // The renderer is not needed any more: a cancelled job or a failure
  // stops it.
  if (!ok || bad_data || papplJobIsCanceled(job))
    kill(pid, SIGTERM);
  if (in != nullptr)
    fclose(in);
  else
    close(out_pipe[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  bool rendered = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  if (ok && !papplJobIsCanceled(job) && (!rendered || bad_data || page == 0)) {
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR,
                "The PDF could not be rendered (pdftoppm status %d, %u pages).",
                WIFEXITED(status) ? WEXITSTATUS(status) : -1, page);
    papplJobSetMessage(job, "The PDF document could not be read.");
    papplJobSetReasons(job, PAPPL_JREASON_DOCUMENT_FORMAT_ERROR,
                       PAPPL_JREASON_NONE);
    ok = false;
  }
  if (started) {
    if (ok)
      ok = raster_end_job(job, options, device);
    else
      raster_discard_job(job, device); // nothing goes to the printer
  }
  papplJobSetImpressions(job, static_cast<int>(page));
  papplJobDeletePrintOptions(options);
  return ok;
}
