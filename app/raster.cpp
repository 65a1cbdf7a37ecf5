// The raster callbacks: the pages of PWG and Apple raster streams that
// PAPPL reads itself (only those its domain socket's clients send, see
// intake.cpp) go row by row into the receipt library; and the finished
// receipt of any job, written as the printer's one BMP.
#include <new>
#include <string.h>

#include "korvprint.h"
#include "page_header.h"

// What a job holds between the callbacks (papplJobGetData).
struct raster_job {
  job_settings settings;
  receipt_job receipt;
  bool failed; // a callback failed: the job is not printed
};

static raster_job *job_data(pappl_job_t *job) {
  return static_cast<raster_job *>(papplJobGetData(job));
}

// The job's message and reasons for a receipt library error.
static void report(pappl_job_t *job, int code, const char *what) {
  papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "%s: %s", what, receipt_error_text(code));
  papplJobSetMessage(job, "%s: %s", what, receipt_error_text(code));
  if (code == RECEIPT_ERROR_UNSUPPORTED || code == RECEIPT_ERROR_TOO_LONG)
    papplJobSetReasons(job, PAPPL_JREASON_DOCUMENT_UNPRINTABLE_ERROR, PAPPL_JREASON_NONE);
}

static void fail(pappl_job_t *job, raster_job *data, int code, const char *what) {
  data->failed = true;
  report(job, code, what);
}

bool raster_start_job(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device) {
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

bool raster_start_page(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device,
                       unsigned page) {
  (void)device;
  raster_job *data = job_data(job);
  if (data == nullptr || data->failed)
    return false;
  (void)page;
  int pixels = page_header_pixels(&options->header);
  if (pixels < 0) {
    fail(job, data, RECEIPT_ERROR_UNSUPPORTED, "Unsupported raster page");
    return false;
  }
  if (options->header.cupsWidth > 0x7fffffffu) {
    fail(job, data, RECEIPT_ERROR_ARGUMENT, "Raster page too wide");
    return false;
  }
  int code =
      receipt_begin_page(&data->receipt, static_cast<int>(options->header.cupsWidth), pixels);
  if (code != RECEIPT_OK) {
    fail(job, data, code, "Unable to start a page");
    return false;
  }
  return true;
}

bool raster_write_line(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device,
                       unsigned y, const unsigned char *line) {
  (void)options;
  (void)device;
  (void)y;
  raster_job *data = job_data(job);
  if (data == nullptr || data->failed)
    return false;
  int code = receipt_add_row(&data->receipt, line);
  if (code != RECEIPT_OK) {
    fail(job, data, code, "Unable to add a row");
    return false;
  }
  return true;
}

bool raster_end_page(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device,
                     unsigned page) {
  (void)options;
  (void)device;
  (void)page;
  raster_job *data = job_data(job);
  if (data == nullptr || data->failed)
    return false;
  int code = receipt_end_page(&data->receipt);
  if (code != RECEIPT_OK) {
    fail(job, data, code, "Unable to end a page");
    return false;
  }
  return true;
}

static int write_to_device(void *context, const void *bytes, size_t len) {
  pappl_device_t *device = static_cast<pappl_device_t *>(context);
  return papplDeviceWrite(device, bytes, len) == static_cast<ssize_t>(len) ? 0 : -1;
}

bool raster_print_receipt(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device,
                          receipt_job *receipt, const job_settings *settings) {
  device_begin_job(device, job, settings->finish_wait);
  bool ok = !papplJobIsCanceled(job); // nothing of a cancelled job goes out
  if (ok) {
    int copies = options->copies > 0 ? options->copies : 1;
    long height = receipt_height(receipt, copies);
    int code = height > 0 ? receipt_write_bmp(receipt, copies, write_to_device, device)
                          : static_cast<int>(height);
    if (code != RECEIPT_OK) {
      if (!papplJobIsCanceled(job))
        report(job, code, height > 0 ? "Unable to send the receipt" : "Unable to make the receipt");
      ok = false;
    }
  }
  // The backend run ends here; a cancelled or broken job's run is stopped.
  bool printed = device_end_job(device, !ok);
  if (ok && !printed && !papplJobIsCanceled(job)) {
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "The printer did not print the job.");
    ok = false;
  }
  // A cancelled job is not a failed one: PAPPL marks it cancelled.
  return ok || papplJobIsCanceled(job);
}

bool raster_end_job(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device) {
  raster_job *data = job_data(job);
  if (data == nullptr)
    return false;
  bool ok;
  if (data->failed || papplJobIsCanceled(job)) {
    device_end_job(device, true);
    ok = papplJobIsCanceled(job);
  } else {
    ok = raster_print_receipt(job, options, device, &data->receipt, &data->settings);
  }
  receipt_end(&data->receipt);
  papplJobSetData(job, nullptr);
  delete data;
  return ok;
}
