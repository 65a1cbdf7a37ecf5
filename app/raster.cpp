// The raster callbacks: PAPPL's rendered pages (from PWG and Apple raster,
// PNG, JPEG, and PDF through pdf.cpp) go row by row into the receipt
// library, which writes the whole job as the printer's one BMP at the end.
#include <new>
#include <string.h>

#include "korvprint.h"

// What a job holds between the callbacks (papplJobGetData).
struct raster_job {
  job_settings settings;
  receipt_job receipt;
  bool failed;         // a callback failed: the job is not printed
  bool page_skipped;   // the current page is not handed to the library
  bool copies_as_pages; // PAPPL repeats the page for each copy
  int pages_started;    // pages begun so far
  pappl_device_t *device;
};

static raster_job *job_data(pappl_job_t *job) {
  return static_cast<raster_job *>(papplJobGetData(job));
}

static void fail(pappl_job_t *job, raster_job *data, int code,
                 const char *what) {
  data->failed = true;
  papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "%s: %s", what,
              receipt_error_text(code));
  papplJobSetMessage(job, "%s: %s", what, receipt_error_text(code));
  if (code == RECEIPT_ERROR_UNSUPPORTED || code == RECEIPT_ERROR_TOO_LONG)
    papplJobSetReasons(job, PAPPL_JREASON_DOCUMENT_UNPRINTABLE_ERROR,
                       PAPPL_JREASON_NONE);
}

bool raster_start_job(pappl_job_t *job, pappl_pr_options_t *options,
                      pappl_device_t *device) {
  pappl_pr_driver_data_t driver;
  papplPrinterGetDriverData(papplJobGetPrinter(job), &driver);
  const driver_model *model = static_cast<const driver_model *>(driver.extension);
  if (model == nullptr)
    return false;

  raster_job *data = new (std::nothrow) raster_job;
  if (data == nullptr)
    return false;
  memset(&data->receipt, 0, sizeof(data->receipt));
  data->failed = false;
  data->page_skipped = false;
  data->pages_started = 0;
  data->device = device;
  // PAPPL's PNG and JPEG filters print a one-page image once per copy; the
  // library joins copies itself, with the tear-off gap between them.
  const char *format = papplJobGetFormat(job);
  data->copies_as_pages =
      format != nullptr &&
      (strcmp(format, "image/png") == 0 || strcmp(format, "image/jpeg") == 0);
  settings_for_job(job, options, model->head_width, &data->settings);
  papplJobSetData(job, data);

  int code = receipt_begin(&data->receipt, &data->settings.receipt);
  if (code != RECEIPT_OK) {
    fail(job, data, code, "Unable to start the receipt");
    // PAPPL ends a job whose start failed without the end callback.
    receipt_end(&data->receipt);
    papplJobSetData(job, nullptr);
    delete data;
    return false;
  }
  papplLogJob(job, PAPPL_LOGLEVEL_DEBUG,
              "Receipt: head %d dots, dither %d, threshold %d, darkness %d, "
              "trim %d, finish wait %d s.",
              data->settings.receipt.head_width, data->settings.receipt.dither,
              data->settings.receipt.threshold, data->settings.receipt.darkness,
              data->settings.receipt.trim, data->settings.finish_wait);
  device_begin_job(device, job, data->settings.finish_wait);
  return true;
}

// The library's pixel format of a page header, or -1.
static int page_pixels(const cups_page_header2_t *header) {
  if (header->cupsBitsPerPixel == 1 && header->cupsColorSpace == CUPS_CSPACE_K)
    return RECEIPT_BLACK1;
  if (header->cupsBitsPerPixel != 8 || header->cupsBitsPerColor != 8)
    return -1;
  switch (header->cupsColorSpace) {
  case CUPS_CSPACE_W:
  case CUPS_CSPACE_SW:
    return RECEIPT_GREY8_WHITE255;
  case CUPS_CSPACE_K:
    return RECEIPT_GREY8_WHITE0;
  default:
    return -1;
  }
}

bool raster_start_page(pappl_job_t *job, pappl_pr_options_t *options,
                       pappl_device_t *device, unsigned page) {
  (void)device;
  raster_job *data = job_data(job);
  if (data == nullptr || data->failed)
    return false;
  // PAPPL numbers every copy of an image page 1.
  (void)page;
  data->page_skipped = data->copies_as_pages && data->pages_started > 0;
  ++data->pages_started;
  if (data->page_skipped)
    return true;
  int pixels = page_pixels(&options->header);
  if (pixels < 0) {
    fail(job, data, RECEIPT_ERROR_UNSUPPORTED, "Unsupported raster page");
    return false;
  }
  if (options->header.cupsWidth > 0x7fffffffu) {
    fail(job, data, RECEIPT_ERROR_ARGUMENT, "Raster page too wide");
    return false;
  }
  int code = receipt_begin_page(&data->receipt,
                                static_cast<int>(options->header.cupsWidth),
                                pixels);
  if (code != RECEIPT_OK) {
    fail(job, data, code, "Unable to start a page");
    return false;
  }
  return true;
}

bool raster_write_line(pappl_job_t *job, pappl_pr_options_t *options,
                       pappl_device_t *device, unsigned y,
                       const unsigned char *line) {
  (void)options;
  (void)device;
  (void)y;
  raster_job *data = job_data(job);
  if (data == nullptr || data->failed)
    return false;
  if (data->page_skipped)
    return true;
  int code = receipt_add_row(&data->receipt, line);
  if (code != RECEIPT_OK) {
    fail(job, data, code, "Unable to add a row");
    return false;
  }
  return true;
}

bool raster_end_page(pappl_job_t *job, pappl_pr_options_t *options,
                     pappl_device_t *device, unsigned page) {
  (void)options;
  (void)device;
  (void)page;
  raster_job *data = job_data(job);
  if (data == nullptr || data->failed)
    return false;
  if (data->page_skipped)
    return true;
  int code = receipt_end_page(&data->receipt);
  if (code != RECEIPT_OK) {
    fail(job, data, code, "Unable to end a page");
    return false;
  }
  return true;
}

void raster_discard_job(pappl_job_t *job, pappl_device_t *device) {
  raster_job *data = job_data(job);
  if (data == nullptr)
    return;
  device_end_job(device, true);
  receipt_end(&data->receipt);
  papplJobSetData(job, nullptr);
  delete data;
}

static int write_to_device(void *context, const void *bytes, size_t len) {
  pappl_device_t *device = static_cast<pappl_device_t *>(context);
  return papplDeviceWrite(device, bytes, len) == static_cast<ssize_t>(len) ? 0
                                                                           : -1;
}

bool raster_end_job(pappl_job_t *job, pappl_pr_options_t *options,
                    pappl_device_t *device) {
  raster_job *data = job_data(job);
  if (data == nullptr)
    return false;
  bool ok = !data->failed;
  if (ok && papplJobIsCanceled(job)) {
    ok = false; // nothing of a cancelled job goes to the printer
  } else if (ok) {
    int copies = options->copies > 0 ? options->copies : 1;
    long height = receipt_height(&data->receipt, copies);
    if (height > 0) {
      int code = receipt_write_bmp(&data->receipt, copies, write_to_device,
                                   device);
      if (code != RECEIPT_OK) {
        if (!papplJobIsCanceled(job))
          fail(job, data, code, "Unable to send the receipt");
        ok = false;
      }
    } else {
      fail(job, data, static_cast<int>(height), "Unable to make the receipt");
      ok = false;
    }
  }
  // The backend run ends here; a cancelled or broken job's run is stopped.
  bool printed = device_end_job(device, !ok);
  if (ok && !printed && !papplJobIsCanceled(job)) {
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "The printer did not print the job.");
    ok = false;
  }
  receipt_end(&data->receipt);
  papplJobSetData(job, nullptr);
  delete data;
  // A cancelled job is not a failed one: PAPPL marks it cancelled.
  return ok || papplJobIsCanceled(job);
}
