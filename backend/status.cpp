// The backend's messages to CUPS on standard error (see status.h).
#include "status.h"

#include <ctype.h>
#include <stdio.h>
#include <string.h>

#include "uri.h"
#include "usbqrp.h"

void status_describe(const char *uri, char *printer) {
  KORV_UriParts parts;
  const KORV_UriParts *parsed = &parts;
  int status = KORV_ParseUri(uri, &parts);
  if (status != KORV_URI_OK && status != KORV_URI_BAD_OPTION) {
    size_t used = 0;
    for (const char *p = uri != nullptr ? uri : ""; *p != '\0' && used + 1 < STATUS_PRINTER_SIZE;
         ++p) {
      unsigned char c = static_cast<unsigned char>(*p);
      printer[used++] = c < 0x20 || c == 0x7F ? '?' : static_cast<char>(c);
    }
    printer[used] = '\0';
    return;
  }
  char protocol[16];
  size_t length = strlen(parsed->protocol);
  for (size_t i = 0; i <= length && i < sizeof protocol; ++i)
    protocol[i] = static_cast<char>(
        tolower(static_cast<unsigned char>(parsed->protocol[i])));
  protocol[sizeof protocol - 1] = '\0';
  if (!parsed->hasSerial) {
    snprintf(printer, STATUS_PRINTER_SIZE, "%s #%d", protocol,
             parsed->printerId);
    return;
  }
  char serial[3 * KORV_URI_SERIAL_MAX_LENGTH + 1];
  KORV_EncodeUriText(parsed->serial, serial, sizeof serial);
  if (parsed->printerId == 1)
    snprintf(printer, STATUS_PRINTER_SIZE, "%s with serial number %s",
             protocol, serial);
  else
    snprintf(printer, STATUS_PRINTER_SIZE, "%s #%d with serial number %s",
             protocol, parsed->printerId, serial);
}

void status_bad_options(const char *why) { fprintf(stderr, "ERROR: %s\n", why); }

void status_connecting(const char *printer) {
  fputs("STATE: +connecting-to-device\n", stderr);
  fprintf(stderr, "INFO: Connecting to printer %s\n", printer);
}

void status_connected(int was_offline) {
  if (was_offline)
    fputs("STATE: -offline-report\n", stderr);
  fputs("STATE: -connecting-to-device\n", stderr);
}

void status_retrying(const char *printer, int busy, int seconds) {
  fputs("STATE: +offline-report\n", stderr);
  if (busy)
    fprintf(stderr,
            "INFO: Printer %s is busy or cannot be opened, trying again in "
            "%d seconds\n",
            printer, seconds);
  else
    fprintf(stderr, "INFO: Printer %s not found, trying again in %d seconds\n",
            printer, seconds);
}

void status_cancelled_waiting(int was_offline) {
  if (was_offline)
    fputs("STATE: -offline-report\n", stderr);
  fputs("STATE: -connecting-to-device\n", stderr);
  fputs("INFO: " STATUS_CANCELLED_WAITING "\n", stderr);
}

void status_open_failed(const char *printer, int open_result, int uri_status) {
  fputs("STATE: -connecting-to-device\n", stderr);
  if (uri_status != KORV_URI_OK)
    fprintf(stderr, "ERROR: Bad device URI %s\n", printer);
  else if (open_result == QRP_OPENPORT_ERROR_NOTFOUND)
    fprintf(stderr, "ERROR: Printer %s not found\n", printer);
  else if (open_result == QRP_OPENPORT_ERROR_NORESOURCE)
    fprintf(stderr, "ERROR: Printer %s is busy or cannot be opened\n",
            printer);
  else
    fprintf(stderr, "ERROR: Printer %s could not be set up\n", printer);
}

void status_sending(const char *printer, int copy, int copies) {
  if (copies == 1)
    fprintf(stderr, "INFO: Sending the job to printer %s\n", printer);
  else
    fprintf(stderr, "INFO: Sending copy %d of %d to printer %s\n", copy,
            copies, printer);
}

void status_paper(int seconds_left) {
  fprintf(stderr,
          "INFO: Waiting for the printer to finish the paper, %d seconds "
          "left\n",
          seconds_left);
}

void status_image_completing(long long added, long long missing) {
  fprintf(stderr, "INFO: Completing the image with white, %lld of %lld bytes\n", added,
          missing);
}

void status_image_completed(long long sent, long long declared,
                            long long added) {
  fprintf(stderr,
          "WARNING: Image cut short after %lld of %lld bytes, completed with "
          "%lld bytes of white\n",
          sent, declared, added);
}

void status_image_not_completed(void) {
  fputs("WARNING: Image cut short and its header incomplete or implausible, "
        "not completed: the printer may need to be switched off and on\n",
        stderr);
}

void status_write_failed(const char *printer) {
  fprintf(stderr, "ERROR: Sending to printer %s failed\n", printer);
}

void status_read_failed(const char *reason) {
  fprintf(stderr, "ERROR: Could not read the job's data: %s\n", reason);
}

void status_rewind_failed(int copy) {
  fprintf(stderr,
          "ERROR: Could not read the print file again for copy %d\n", copy);
}

void status_cancelled(const char *printer) {
  fprintf(stderr, "INFO: Job cancelled, printer %s released\n", printer);
}

void status_done(const char *printer) {
  fprintf(stderr, "INFO: Job sent to printer %s\n", printer);
}
