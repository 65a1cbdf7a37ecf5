// The backend log /tmp/usbkorv.log.
#include "log.h"

#include <stdarg.h>

#include "logfile.h"

FILE *debug = nullptr;

void log_open(void) {
  // The backend often runs as root with a fixed name in /tmp: the safe
  // open refuses links and anything but a regular file.
  debug = QRP_OpenLogFile(USBKORV_LOG_PATH);
}

void log_close(void) {
  if (debug == nullptr)
    return;
  fclose(debug);
  debug = nullptr;
}

void log_message(const char *format, ...) {
  if (debug == nullptr)
    return;
  va_list arguments;
  va_start(arguments, format);
  vfprintf(debug, format, arguments);
  va_end(arguments);
}

// Never hand a null pointer to %s.
static const char *job_id_text(const char *job_id) {
  return job_id != nullptr ? job_id : "(null)";
}

void log_start_banner(const char *job_id) {
  log_message("*** Starting KORVUSB/QRPUSB CUPS backend, job_id=%s ***\n",
              job_id_text(job_id));
}

void log_end_banner(const char *job_id) {
  log_message("*** Ending KORVUSB/QRPUSB CUPS backend, job_id=%s ***\n",
              job_id_text(job_id));
}
