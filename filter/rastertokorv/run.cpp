// The raster filter's run as CUPS starts it: argv[1..5] job id, user,
// title, copies and job options, optional argv[6] raster file (else
// standard input); the queue's PPD in the environment variable PPD. The
// whole job is read before anything is written, so a failure leaves
// standard output empty and the printer never gets half an image.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "catalogue.h"
#include "rastertokorv.h"

namespace {

constexpr int kStatusUsage = 1;

int fail(const char *message) {
  fprintf(stderr, "ERROR: %s\n", message);
  return kRasterStatusFailed;
}

// Writes all of data to the descriptor in *context.
int write_all(void *context, const void *data, size_t len) {
  const int fd = *static_cast<int *>(context);
  const char *at = static_cast<const char *>(data);
  while (len > 0) {
    const ssize_t n = write(fd, at, len);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return -1;
    at += n;
    len -= size_t(n);
  }
  return 0;
}

// The head width of the queue's printer, from its PPD model number; 0
// with message set when there is none.
int head_width(ppd_file_t *ppd, char *message, size_t size) {
  if (ppd == nullptr) {
    snprintf(message, size, "No usable PPD (environment variable PPD: %s).",
             getenv("PPD") != nullptr ? getenv("PPD") : "not set");
    return 0;
  }
  const int width = KORV_PpdHeadWidth(ppd->model_number);
  if (width == 0)
    snprintf(message, size, "The PPD names no known printer (model number %d).", ppd->model_number);
  return width;
}

} // namespace

int rastertokorv_main(int argc, char **argv) {
  // A reader that went away must give a failed write, not a dead filter.
  signal(SIGPIPE, SIG_IGN);
  setbuf(stderr, nullptr);
  if (argc != 6 && argc != 7) {
    fprintf(stderr, "Usage: %s job-id user title copies options [file]\n",
            argc > 0 && argv[0] != nullptr ? argv[0] : "rastertokorv");
    return kStatusUsage;
  }

  char message[256] = "";
  const char *ppd_path = getenv("PPD");
  ppd_file_t *ppd = ppd_path != nullptr ? ppdOpenFile(ppd_path) : nullptr;
  const int width = head_width(ppd, message, sizeof message);
  cups_option_t *options = nullptr;
  const int num_options = cupsParseOptions(argv[5], 0, &options);
  receipt_settings settings;
  const int options_status = width > 0 ? raster_settings(num_options, options, ppd, width,
                                                         &settings, message, sizeof message)
                                       : -1;
  cupsFreeOptions(num_options, options);
  ppdClose(ppd);
  if (options_status != 0)
    return fail(message);

  int fd = STDIN_FILENO;
  if (argc == 7) {
    fd = open(argv[6], O_RDONLY);
    if (fd < 0) {
      snprintf(message, sizeof message, "Cannot open %s: %s.", argv[6], strerror(errno));
      return fail(message);
    }
  }
  static raster_input input;
  raster_input_init(&input, raster_fd_read, &fd);
  cups_raster_t *raster = cupsRasterOpenIO(raster_input_read, &input, CUPS_RASTER_READ);
  if (raster == nullptr) {
    if (fd != STDIN_FILENO)
      close(fd);
    return fail("The input is not CUPS raster.");
  }

  receipt_job job = {};
  int header_copies = 0;
  int status = receipt_begin(&job, &settings);
  if (status == RECEIPT_OK)
    status = raster_read_pages(raster, &input, &job, &header_copies, message, sizeof message);
  else
    snprintf(message, sizeof message, "%s.", receipt_error_text(status));
  cupsRasterClose(raster);
  if (fd != STDIN_FILENO)
    close(fd);

  if (status == RECEIPT_OK) {
    const int copies = raster_copies(header_copies, argv[4]);
    fprintf(stderr, "DEBUG: rastertokorv: %d page(s), %d printed, %ld rows, %d copies\n", job.pages,
            job.printed_pages, job.rows, copies);
    int out = STDOUT_FILENO;
    status = receipt_write_bmp(&job, copies, write_all, &out);
    if (status == RECEIPT_ERROR_TOO_LONG)
      snprintf(message, sizeof message,
               "%d copies make a receipt of %ld rows; the printer takes %ld rows (%ld mm) "
               "at most.",
               copies, receipt_height(&job, copies), settings.max_rows,
               settings.max_rows / RECEIPT_ROWS_PER_MM);
    else if (status != RECEIPT_OK)
      snprintf(message, sizeof message, "%s.", receipt_error_text(status));
  }
  receipt_end(&job);
  return status == RECEIPT_OK ? 0 : fail(message);
}
