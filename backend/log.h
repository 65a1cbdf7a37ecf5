// The backend log /tmp/usbkorv.log: one stream per run, written only by the
// main thread, bracketed by the start and end banners.
#ifndef USBKORV_LOG_H
#define USBKORV_LOG_H

#include <stdio.h>

#define USBKORV_LOG_PATH "/tmp/usbkorv.log"

// The log's stream; null when the file could not be opened, and then every
// message is skipped.
extern FILE *debug;

// Opens the log for appending. A failure leaves debug null and is silent.
void log_open(void);
// Closes the log if it is open.
void log_close(void);

// Writes one formatted message when the log is open.
void log_message(const char *format, ...) __attribute__((format(printf, 1, 2)));

// The banners that bracket a run. job_id may be null (no job, as in
// discovery mode): it is then shown as the text (null).
void log_start_banner(const char *job_id);
void log_end_banner(const char *job_id);

#endif
