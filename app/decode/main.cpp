// korvprint-decode: one client document in, the receipt's kept rows out
// (see decode_protocol.h). korvprint runs it for every document, in a
// process of its own with limits on its time, memory and output, so that
// nothing a document does reaches the server.
#include <errno.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "decode.h"

int decode_fail(decode_error *error, int status, const char *format, ...) {
  va_list args;
  va_start(args, format);
  vsnprintf(error->message, sizeof error->message, format, args);
  va_end(args);
  error->status = status;
  return status;
}

int decode_receipt_failure(decode_error *error, int code) {
  switch (code) {
  case RECEIPT_ERROR_TOO_LONG:
    return decode_fail(error, DECODE_STATUS_TOO_LARGE,
                       "The document is too large: the receipt grows longer than %ld rows "
                       "(%ld mm), the longest the printer takes.",
                       RECEIPT_DEFAULT_MAX_ROWS, RECEIPT_DEFAULT_MAX_ROWS / RECEIPT_ROWS_PER_MM);
  case RECEIPT_ERROR_MEMORY:
    return decode_fail(error, DECODE_STATUS_NO_MEMORY,
                       "The document needs more memory than it may have.");
  case RECEIPT_ERROR_UNSUPPORTED:
    return decode_fail(error, DECODE_STATUS_TOO_LARGE, "The document has pixels the printer "
                                                       "cannot take.");
  default:
    return decode_fail(error, DECODE_STATUS_BAD_DOCUMENT, "The document could not be read: %s.",
                       receipt_error_text(code));
  }
}

namespace {

// A whole number within [low, high] from the text after "name=".
bool number_argument(const char *arg, const char *name, long low, long high, long *value) {
  size_t len = strlen(name);
  if (strncmp(arg, name, len) != 0 || arg[len] != '=' || arg[len + 1] == '\0')
    return false;
  char *end = nullptr;
  errno = 0;
  long parsed = strtol(arg + len + 1, &end, 10);
  if (errno != 0 || *end != '\0' || parsed < low || parsed > high)
    return false;
  *value = parsed;
  return true;
}

bool parse_arguments(int argc, char **argv, decode_request *request) {
  if (argc < 2)
    return false;
  request->format = argv[1];
  long head = 0, dpi = 0, dither = -1, threshold = -1, darkness = 0, trim = -1, length = 0,
       first = 1, last = 0;
  int scaling = -1;
  static const struct {
    const char *word;
    int scaling;
  } scalings[] = {{"auto", SCALING_AUTO}, {"auto-fit", SCALING_AUTO}, {"fit", SCALING_FIT},
                  {"fill", SCALING_FILL}, {"none", SCALING_NONE}};
  for (int i = 2; i < argc; ++i) {
    const char *a = argv[i];
    bool known = number_argument(a, "head", 1, RECEIPT_MAX_HEAD_WIDTH, &head) ||
                 number_argument(a, "dpi", 1, 10000, &dpi) ||
                 // The receipt library checks that it names a dithering.
                 number_argument(a, "dither", 0, 255, &dither) ||
                 number_argument(a, "threshold", 0, 255, &threshold) ||
                 number_argument(a, "darkness", -100, 100, &darkness) ||
                 number_argument(a, "trim", 0, 2, &trim) ||
                 number_argument(a, "length", 1, RECEIPT_DEFAULT_MAX_ROWS, &length) ||
                 number_argument(a, "first", 1, 0x7fffffff, &first) ||
                 number_argument(a, "last", 0, 0x7fffffff, &last);
    if (!known && strncmp(a, "scaling=", 8) == 0)
      for (const auto &s : scalings)
        if (strcmp(a + 8, s.word) == 0) {
          scaling = s.scaling;
          known = true;
        }
    if (!known)
      return false;
  }
  if (head == 0 || dpi == 0 || dither < 0 || threshold < 0 || trim < 0 || length == 0 ||
      scaling < 0)
    return false;
  receipt_default_settings(&request->settings, static_cast<int>(head));
  request->settings.dither = static_cast<int>(dither);
  request->settings.threshold = static_cast<int>(threshold);
  request->settings.darkness = static_cast<int>(darkness);
  request->settings.trim = static_cast<int>(trim);
  request->dpi = static_cast<int>(dpi);
  request->scaling = scaling;
  request->paper_rows = length;
  request->first_page = static_cast<int>(first);
  request->last_page = static_cast<int>(last);
  return true;
}

// The format the document's first bytes show, or nullptr. Standard input
// is the spool file: read where it is without moving on.
const char *sniff_format(void) {
  unsigned char head[8] = {0};
  ssize_t got = pread(0, head, sizeof head, 0);
  if (got < 4)
    return nullptr;
  if (memcmp(head, "%PDF", 4) == 0)
    return DECODE_FORMAT_PDF;
  if (memcmp(head, "\x89PNG", 4) == 0)
    return DECODE_FORMAT_PNG;
  if (memcmp(head, "\xff\xd8\xff", 3) == 0)
    return DECODE_FORMAT_JPEG;
  static const char *const raster_syncs[] = {"RaSt", "tSaR", "RaS2", "2SaR", "RaS3", "3SaR"};
  for (const char *sync : raster_syncs)
    if (memcmp(head, sync, 4) == 0)
      return DECODE_FORMAT_RASTER;
  if (got == 8 && memcmp(head, "UNIRAST", 8) == 0)
    return DECODE_FORMAT_RASTER;
  return nullptr;
}

int write_stdout(void *context, const void *data, size_t len) {
  (void)context;
  const char *bytes = static_cast<const char *>(data);
  while (len > 0) {
    ssize_t put = write(1, bytes, len);
    if (put < 0 && errno == EINTR)
      continue;
    if (put <= 0)
      return -1;
    bytes += put;
    len -= static_cast<size_t>(put);
  }
  return 0;
}

int decode(const decode_request *request, receipt_job *job, decode_error *error) {
  const char *format = request->format;
  if (strcmp(format, DECODE_FORMAT_AUTO) == 0) {
    format = sniff_format();
    if (format == nullptr)
      return decode_fail(error, DECODE_STATUS_BAD_DOCUMENT,
                         "The document is of no format the printer takes (PDF, PNG, JPEG, "
                         "PWG raster or Apple raster).");
  }
  if (strcmp(format, DECODE_FORMAT_PDF) == 0)
    return decode_pdf(request, job, error);
  if (strcmp(format, DECODE_FORMAT_PNG) == 0)
    return decode_png(request, job, error);
  if (strcmp(format, DECODE_FORMAT_JPEG) == 0)
    return decode_jpeg(request, job, error);
  if (strcmp(format, DECODE_FORMAT_RASTER) == 0)
    return decode_raster(request, job, error);
  return decode_fail(error, DECODE_STATUS_FAILED, "Unknown document format '%s'.", format);
}

} // namespace

int main(int argc, char **argv) {
  decode_request request;
  decode_error error = {DECODE_STATUS_OK, ""};
  if (!parse_arguments(argc, argv, &request)) {
    fprintf(stderr, DECODE_ERROR_PREFIX "korvprint-decode: bad arguments.\n");
    return DECODE_STATUS_FAILED;
  }
  // A reader that stops early must not stop this process before it says why.
  signal(SIGPIPE, SIG_IGN);
  receipt_job job = {};
  int code = receipt_begin(&job, &request.settings);
  int status = code == RECEIPT_OK ? decode(&request, &job, &error)
                                  : decode_fail(&error, DECODE_STATUS_FAILED,
                                                "The job's settings are not valid.");
  if (status == DECODE_STATUS_OK) {
    code = receipt_write_packed(&job, write_stdout, nullptr);
    if (code != RECEIPT_OK)
      status = code == RECEIPT_ERROR_WRITE
                   ? decode_fail(&error, DECODE_STATUS_FAILED, "The receipt could not be handed on.")
                   : decode_receipt_failure(&error, code);
  }
  receipt_end(&job);
  if (status != DECODE_STATUS_OK)
    fprintf(stderr, DECODE_ERROR_PREFIX "%s\n", error.message);
  return status;
}
