// Job mode: sends a CUPS job from standard input or a file to the printer
// named by the device URI, copy by copy, through the port layer; waits for
// an absent printer when the URI asks for it, and never leaves an image
// cut short when the job is cancelled or its data ends early.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "cancel.h"
#include "image.h"
#include "log.h"
#include "status.h"
#include "uri.h"
#include "usbkorv.h"
#include "usbqrp.h"

#define TAG "[CUPS][usbkorvqrp]"
#define PRINT_TAG "[CUPS][usbkorvqrp][print_device]"

namespace {

// The copies argument read like atoi (leading blanks, a sign, digits up to
// the first other character, 0 without digits), but without the undefined
// result of atoi on overflow: out-of-range values are held at the limits.
int parse_copies(const char *text) {
  if (text == nullptr)
    return 0;
  long value = strtol(text, nullptr, 10);
  if (value > INT_MAX)
    return INT_MAX;
  if (value < INT_MIN)
    return INT_MIN;
  return static_cast<int>(value);
}

// One read of at most a block; a signal that interrupts it is no error.
ssize_t read_block(int fd, unsigned char *block) {
  ssize_t count;
  do {
    count = read(fd, block, USBKORV_BLOCK_SIZE);
  } while (count < 0 && errno == EINTR);
  return count;
}

enum open_outcome { OPEN_OK, OPEN_FAILED, OPEN_CANCELLED };

// While an image is completed with white: a progress message after this
// many bytes or this long, whichever comes first.
const long long PROGRESS_BYTES = 64 * 1024;
const long long PROGRESS_MS = 1000;

long long now_ms(void) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Opens the port. With waitprinter, a printer that is absent or busy is
// looked for again every few seconds until it is there or the job is
// cancelled; what a failed open took is given back before each new try.
int open_printer(const char *uri, const KORV_UriParts &parsed, int uri_status,
                 const char *printer) {
  status_connecting(printer);
  int offline = 0;
  for (;;) {
    int result = QRP_OpenUsbPort(uri, USBKORV_BAUD_RATE);
    if (result == QRP_OPENPORT_OK) {
      status_connected(offline);
      return OPEN_OK;
    }
    bool absent = result == QRP_OPENPORT_ERROR_NOTFOUND;
    bool busy = result == QRP_OPENPORT_ERROR_NORESOURCE;
    if (!parsed.waitPrinter || uri_status != KORV_URI_OK || !(absent || busy)) {
      status_open_failed(printer, result, uri_status);
      return OPEN_FAILED;
    }
    (void)QRP_ResetUsbPort();
    offline = 1;
    status_retrying(printer, busy, USBKORV_RETRY_WAIT_US / 1000000);
    log_message(PRINT_TAG " -> NOTE, printer not available (result %d), "
                          "trying again in %d seconds.\n",
                result, USBKORV_RETRY_WAIT_US / 1000000);
    if (cancel_sleep(USBKORV_RETRY_WAIT_US, nullptr)) {
      log_message(PRINT_TAG " -> NOTE, job cancelled while waiting for the "
                            "printer.\n");
      status_cancelled_waiting(offline);
      return OPEN_CANCELLED;
    }
  }
}

// Sends the white bytes that complete an image cut short. Returns 0, or -1
// when a write failed. cancelled: the job was cancelled (a header that
// cannot be trusted is then reported too; at the end of the data such a
// header may as well belong to a complete file that only looks odd).
int complete_image(const struct image_track &track, int cancelled,
                   unsigned char *block) {
  if (track.state == IMAGE_HEADER_CUT ||
      (track.state == IMAGE_UNCHECKED && cancelled)) {
    log_message(PRINT_TAG " -> WARNING, the data ended inside an image whose "
                          "header is %s, the image was not completed.\n",
                track.state == IMAGE_HEADER_CUT ? "incomplete"
                                                : "not plausible");
    status_image_not_completed();
    return 0;
  }
  long long missing = image_track_missing(&track);
  if (missing <= 0)
    return 0;
  memset(block, IMAGE_FILL_BYTE, USBKORV_BLOCK_SIZE);
  // The white takes as long as the rest of the image would have: the
  // progress tells whoever waits for this process that it still moves.
  long long reported_bytes = 0, reported_at = now_ms();
  status_image_completing(0, missing);
  for (long long left = missing; left > 0;) {
    int size = left < USBKORV_BLOCK_SIZE ? static_cast<int>(left)
                                         : USBKORV_BLOCK_SIZE;
    if (QRP_WriteUsbPort(block, size) != QRP_WRITEPORT_OK)
      return -1;
    left -= size;
    const long long done = missing - left;
    if (left > 0 && (done - reported_bytes >= PROGRESS_BYTES ||
                     now_ms() - reported_at >= PROGRESS_MS)) {
      status_image_completing(done, missing);
      reported_bytes = done;
      reported_at = now_ms();
    }
  }
  log_message(PRINT_TAG " -> WARNING, the image was cut short after %lld of "
                        "%lld bytes, added %lld bytes of white to complete "
                        "it.\n",
              track.sent, track.declared, missing);
  status_image_completed(track.sent, track.declared, missing);
  return 0;
}

} // namespace

int print_device(const char *uri, int fd, int copies) {
  unsigned char block[USBKORV_BLOCK_SIZE];
  KORV_UriParts parsed;
  int uri_status = KORV_ParseUri(uri, &parsed);
  int wait_seconds =
      parsed.waitSeconds >= 0 ? parsed.waitSeconds : KORV_URI_WAIT_DEFAULT;
  char printer[STATUS_PRINTER_SIZE];
  status_describe(uri, printer);

  log_message(PRINT_TAG " About to call QRP_OpenUsbPort().\n");
  int opened = open_printer(uri, parsed, uri_status, printer);
  if (opened == OPEN_CANCELLED)
    return 0;
  if (opened != OPEN_OK) {
    log_message(PRINT_TAG " -> ERROR returned from QRP_OpenPort(), exiting.\n");
    return 1;
  }

  // An int counter: any copies value the argument can hold is reached.
  for (int copy = 0; copy < copies && !cancel_requested(); ++copy) {
    // Every copy sends the whole file: reading on from the end would
    // print one copy and report all of them as done.
    if (copy > 0 && lseek(fd, 0, SEEK_SET) < 0) {
      log_message(PRINT_TAG " -> ERROR, could not go back to the start of "
                            "the input for copy %d, exiting.\n",
                  copy + 1);
      status_rewind_failed(copy + 1);
      QRP_CloseUsbPort();
      return 1;
    }
    log_message(PRINT_TAG " Start sending data via QRP_WriteUsbPort()\n");
    status_sending(printer, copy + 1, copies);
    struct image_track track;
    image_track_start(&track);
    long long total = 0;
    // A cancel stops the reading; the block being written is finished.
    while (!cancel_wait_input(fd)) {
      ssize_t count = read_block(fd, block);
      if (count == 0)
        break;
      // A read error would otherwise end the copy early and report a
      // truncated job as printed.
      if (count < 0) {
        int error = errno;
        log_message(PRINT_TAG " -> ERROR, could not read the input stream "
                              "(%s), exiting.\n",
                    strerror(error));
        status_read_failed(strerror(error));
        QRP_CloseUsbPort();
        return 1;
      }
      log_message(PRINT_TAG " Read %d bytes from the input stream, sending "
                            "to USB device.\n",
                  static_cast<int>(count));
      if (QRP_WriteUsbPort(block, static_cast<int>(count)) !=
          QRP_WRITEPORT_OK) {
        log_message(PRINT_TAG " -> ERROR returned from QRP_WriteUsbPort(), "
                              "exiting.\n");
        status_write_failed(printer);
        QRP_CloseUsbPort();
        return 1;
      }
      image_track_feed(&track, block, static_cast<size_t>(count));
      total += count;
    }
    if (cancel_requested())
      log_message(PRINT_TAG " -> NOTE, job cancelled after %lld bytes of "
                            "copy %d.\n",
                  total, copy + 1);
    else
      log_message(PRINT_TAG " Sent total of %lld bytes via "
                            "QRP_WriteUsbPort().\n",
                  total);
    if (complete_image(track, cancel_requested(), block) != 0) {
      log_message(PRINT_TAG " -> ERROR returned from QRP_WriteUsbPort(), "
                            "exiting.\n");
      status_write_failed(printer);
      QRP_CloseUsbPort();
      return 1;
    }
    if (cancel_requested())
      break;

    // The printer needs the time to print what it has buffered; a cancel
    // ends the wait.
    if (wait_seconds > 0 &&
        cancel_sleep(static_cast<long long>(wait_seconds) * 1000000LL,
                     status_paper)) {
      log_message(PRINT_TAG " -> NOTE, job cancelled while waiting for the "
                            "printer to finish the paper.\n");
      break;
    }
    ssize_t late = read_block(fd, block);
    if (late > 0)
      log_message(PRINT_TAG " -> WARNING, after waiting %d miliseconds, there "
                            "were %d bytes remaining to read.\n",
                  wait_seconds * 1000, static_cast<int>(late));
  }

  log_message(PRINT_TAG " Calling QRP_CloseUsbPort().\n");
  if (QRP_CloseUsbPort() != QRP_CLOSEPORT_OK)
    log_message(PRINT_TAG " -> WARNING, error returned from "
                          "QRP_CloseUsbPort().\n");
  if (cancel_requested())
    status_cancelled(printer);
  else
    status_done(printer);
  return 0;
}

int job_mode(int argc, char *argv[]) {
  const char *uri = argv[0];
  log_message(TAG " Process arguments received, got uri=%s from argv[0].\n",
              uri);

  // Refused options end the job before anything is opened or sent.
  KORV_UriParts parsed;
  if (KORV_ParseUri(uri, &parsed) == KORV_URI_BAD_OPTION) {
    log_message(TAG " -> ERROR, %s.\n", parsed.optionError);
    log_end_banner(argv[1]);
    log_close();
    status_bad_options(parsed.optionError);
    return 1;
  }
  cancel_setup();

  int fd = 0;
  int copies = 1;
  if (argc == 6) {
    log_message(TAG " Will read data from stdin.\n");
  } else {
    const char *path = argv[6];
    log_message(TAG " Will read data from file=argv[6]=%s.\n", path);
    fd = open(path, O_RDONLY);
    if (fd < 0) {
      int error = errno;
      log_message(TAG " -> ERROR, could not open file=%s.\n", path);
      log_end_banner(argv[1]);
      fprintf(stderr, "ERROR: unable to open print file %s - %s\n", path,
              strerror(error));
      return 1;
    }
    copies = parse_copies(argv[4]);
  }

  log_message(TAG " Ready to print, entering print_device().\n");
  int status = print_device(uri, fd, copies);
  log_message("[CUPS][usbkorv] Returned from print_device(), status=%d.\n",
              status);

  // Standard input belongs to the caller.
  if (fd != 0)
    close(fd);
  log_message(TAG " Closed input file, fd=%d.\n", fd);
  log_end_banner(argv[1]);
  log_close();
  return status;
}
