// Reading from the printer's bulk IN endpoint, with up to five failed
// bulk reads in a row.
#include <stdio.h>
#include <unistd.h>

#include "internal.h"
#include "usbqrp.h"

namespace {

const int failed_reads_max = 5;
const useconds_t failed_read_pause_us = 5000;

int fail(const char *line) {
  QRP_UsbDebug(line);
  QRP_UsbDebug("*** Exiting function QRP_ReadUsbPort() = "
               "QRP_READPORT_ERROR_GENERAL");
  return QRP_READPORT_ERROR_GENERAL;
}

} // namespace

int QRP_ReadUsbPort(unsigned char *buffer, int size) {
  QRP_UsbPort *port = &g_printer;

  QRP_UsbDebug("\n*** Entering function = QRP_ReadUsbPort() ***");
  if (port->opened == 0)
    return fail("-> ERROR, device was not successfully opened, claimed and "
                "prepared for reading.");
  if (buffer == nullptr || size <= 0)
    return fail("-> ERROR, the buffer passed to the function is NULL.");

  QRP_UsbDebug("-> Start reading the data from the printer:");
  int got = 0;
  QRP_UsbDebugf("  -> Going to read %d bytes from the USB device.", size);
  const int timeout = static_cast<int>(QRP_GetReadWriteTimeout(port));
  const int endpoint = QRP_GetReadEP(port);
  int failures = 0;
  while (got < size && failures < failed_reads_max) {
    ++failures;
    QRP_UsbDebug("  -> Calling usb_bulk_read().");
    // The library's error text is one shared buffer that the monitor's
    // polls overwrite too: copy it while the transfers are still held off.
    char error_text[128] = "";
    lock_usb();
    // Through handle2: it holds the interface of the bulk IN endpoint (a
    // Kelpin printer's interface 1; for an Ostrel printer it is handle).
    int result = usb_bulk_read(port->handle2, endpoint,
                               reinterpret_cast<char *>(buffer + got),
                               size - got, timeout);
    if (result <= 0) {
      const char *text = usb_strerror();
      snprintf(error_text, sizeof error_text, "%s", text != nullptr ? text : "");
    }
    unlock_usb();
    if (result <= 0) {
      QRP_UsbDebugf("    -> WARNING, could not read %d bytes, try #%d, "
                    "result=%d, usb_strerror()=%s.",
                    size - got, failures, result, error_text);
      usleep(failed_read_pause_us);
      continue;
    }
    if (result > size - got)
      result = size - got;
    QRP_UsbDebugf("    -> Read %d bytes successfully, try #%d.", result,
                  failures);
    got += result;
    failures = 0;
  }

  QRP_UsbDebugf("  -> Read total of %d bytes from the USB device.", got);
  if (got == 0) {
    QRP_UsbDebugf("    -> ERROR, no data was read after %d retries.",
                  failures);
    QRP_UsbDebug("*** Exiting function QRP_ReadUsbPort() = "
                 "QRP_READPORT_ERROR_GENERAL");
    return QRP_READPORT_ERROR_GENERAL;
  }
  if (got < size) {
    QRP_UsbDebugf("    -> WARNING, only read %d out of %d bytes after %d "
                  "retries.",
                  got, size, failures);
    QRP_UsbDebug("*** Exiting function QRP_ReadUsbPort() = "
                 "QRP_READPORT_ERROR_NODATA");
    buffer[got] = '\0';
    return QRP_READPORT_ERROR_NODATA;
  }
  QRP_UsbDebug("*** Exiting function QRP_ReadUsbPort() = QRP_READPORT_OK");
  return QRP_READPORT_OK;
}
