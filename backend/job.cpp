// Job mode: sends a CUPS job from standard input or a file to the printer
// named by the device URI, copy by copy, through the port layer.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "log.h"
#include "usbkorv.h"
#include "usbqrp.h"

#define TAG "[CUPS][usbkorvqrp]"
#define PRINT_TAG "[CUPS][usbkorvqrp][print_device]"

// The copies argument read like atoi (leading blanks, a sign, digits up to
// the first other character, 0 without digits), but without the undefined
// result of atoi on overflow: out-of-range values are held at the limits.
static int parse_copies(const char *text) {
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
static ssize_t read_block(int fd, unsigned char *block) {
  ssize_t count;
  do {
    count = read(fd, block, USBKORV_BLOCK_SIZE);
  } while (count < 0 && errno == EINTR);
  return count;
}

int print_device(const char *uri, int fd, int copies) {
  unsigned char block[USBKORV_BLOCK_SIZE];

  log_message(PRINT_TAG " About to call QRP_OpenUsbPort().\n");
  if (QRP_OpenUsbPort(uri, USBKORV_BAUD_RATE) != QRP_OPENPORT_OK) {
    log_message(PRINT_TAG " -> ERROR returned from QRP_OpenPort(), exiting.\n");
    return 1;
  }

  // An int counter: any copies value the argument can hold is reached.
  for (int copy = 0; copy < copies; ++copy) {
    // Every copy sends the whole file: reading on from the end would
    // print one copy and report all of them as done.
    if (copy > 0 && lseek(fd, 0, SEEK_SET) < 0) {
      log_message(PRINT_TAG " -> ERROR, could not go back to the start of "
                            "the input for copy %d, exiting.\n",
                  copy + 1);
      QRP_CloseUsbPort();
      return 1;
    }
    log_message(PRINT_TAG " Start sending data via QRP_WriteUsbPort()\n");
    long long total = 0;
    for (;;) {
      ssize_t count = read_block(fd, block);
      if (count == 0)
        break;
      // A read error would otherwise end the copy early and report a
      // truncated job as printed.
      if (count < 0) {
        log_message(PRINT_TAG " -> ERROR, could not read the input stream "
                              "(%s), exiting.\n",
                    strerror(errno));
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
        QRP_CloseUsbPort();
        return 1;
      }
      total += count;
    }
    log_message(PRINT_TAG " Sent total of %lld bytes via QRP_WriteUsbPort().\n",
                total);

    // The printer needs the time to print what it has buffered.
    usleep(USBKORV_COPY_WAIT_US);
    ssize_t late = read_block(fd, block);
    if (late > 0)
      log_message(PRINT_TAG " -> WARNING, after waiting %d miliseconds, there "
                            "were %d bytes remaining to read.\n",
                  static_cast<int>(USBKORV_COPY_WAIT_US / 1000),
                  static_cast<int>(late));
  }

  log_message(PRINT_TAG " Calling QRP_CloseUsbPort().\n");
  if (QRP_CloseUsbPort() != QRP_CLOSEPORT_OK)
    log_message(PRINT_TAG " -> WARNING, error returned from "
                          "QRP_CloseUsbPort().\n");
  return 0;
}

int job_mode(int argc, char *argv[]) {
  const char *uri = argv[0];
  log_message(TAG " Process arguments received, got uri=%s from argv[0].\n",
              uri);

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
