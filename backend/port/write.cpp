// Flow-controlled write: the block is cut into USB packets, each packet
// gets up to five bulk writes, and every try after the first waits for
// the printer's DSR line.
#include <sched.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "internal.h"
#include "usbqrp.h"

namespace {

const int ostrel_packet = 64;
const int kelpin_packet = 512;
const int tries_per_packet = 5;
const useconds_t failed_try_pause_us = 5000;

// DSR wait within one try.
const int dsr_readings_max = 300;
const useconds_t dsr_reading_pause_us = 2000;
const int kelpin_line_state_reading = 150;
const useconds_t line_state_pause_us = 50000;

// Ostrel pacing: a pause after every 1936 bytes or more.
const int pacing_bytes = 1936;
const useconds_t pacing_pause_us = 10000;

// Scratch of the buffer line.
const size_t dump_size = 19999;

void trace_write_exit_error() {
  QRP_UsbDebug("*** Exiting function QRP_WriteUsbPort() = "
               "QRP_WRITEPORT_ERROR_GENERAL");
}

int fail(const char *line) {
  QRP_UsbDebug(line);
  trace_write_exit_error();
  return QRP_WRITEPORT_ERROR_GENERAL;
}

// The caller's bytes as text, up to the first NUL and never past size.
void trace_buffer(const unsigned char *buffer, int size) {
  char scratch[dump_size];
  size_t shown = 0;
  if (buffer != nullptr && size > 0)
    shown = strnlen(reinterpret_cast<const char *>(buffer),
                    static_cast<size_t>(size));
  if (shown > dump_size)
    shown = dump_size;
  snprintf(scratch, dump_size, "*** Buffer: %.*s ***\n*** Size: %d ***",
           static_cast<int>(shown),
           buffer != nullptr ? reinterpret_cast<const char *>(buffer) : "",
           size);
  QRP_UsbDebug(scratch);
}

} // namespace

int QRP_UsbGetDSR(QRP_UsbPort *port) {
  if (port->family == KORV_FAMILY_KELPIN) {
    pthread_mutex_lock(&port->dsrLock);
    int ready = port->dsr;
    pthread_mutex_unlock(&port->dsrLock);
    return ready;
  }
  return QRP_UsbGetOstrelDSR(port);
}

int QRP_WriteUsbPort(const unsigned char *buffer, int size) {
  QRP_UsbPort *port = &g_printer;
  const bool kelpin = port->family == KORV_FAMILY_KELPIN;
  const int packet_size = kelpin ? kelpin_packet : ostrel_packet;
  int pacing = 0;

  QRP_UsbDebug("\n*** Entering function = QRP_WriteUsbPort() ***");
  trace_buffer(buffer, size);
  if (port->opened == 0)
    return fail("-> ERROR, device was not successfully opened, claimed and "
                "prepared for writing.");
  if (buffer == nullptr && size > 0)
    return fail("-> ERROR, the buffer passed to the function is NULL.");

  QRP_UsbDebug("-> Start sending the data to the printer:");
  const int timeout = static_cast<int>(QRP_GetReadWriteTimeout(port));
  const int endpoint = QRP_GetWriteEP(port);
  int sent = 0;
  while (sent < size) {
    int left = size - sent < packet_size ? size - sent : packet_size;
    QRP_UsbDebugf("  -> Got %d bytes from the input stream, sending to USB "
                  "device.",
                  left);
    int attempt = 0;
    while (left > 0) {
      ++attempt;
      // On a packet's first try the reading is taken but not acted on.
      int ready = QRP_UsbGetDSR(port);
      int not_ready = 0;
      while (ready != 1 && attempt != 1) {
        ++not_ready;
        QRP_UsbDebug("[QRP_WriteUsbPort] - QRP_UsbGetDSR event detected");
        if (ready < 0)
          return fail("    -> ERROR, could not get the printer's DSR status "
                      "(communication problem?).");
        QRP_UsbDebugf("    -> INFO, DSR is inactive, waiting "
                      "QRP_PORTTYPE_USB_OSTREL_RETRYWAITMS, wait #%d.",
                      not_ready);
        if (not_ready >= dsr_readings_max) {
          QRP_UsbDebugf("      -> ERROR, the printer is busy (DSR inactive) "
                        "for more than %d miliseconds.",
                        10);
          trace_write_exit_error();
          return QRP_WRITEPORT_ERROR_GENERAL;
        }
        sched_yield();
        usleep(dsr_reading_pause_us);
        if (kelpin && not_ready == kelpin_line_state_reading) {
          (void)QRP_Kelpin_SetCarrierAndPresent(port, 2, 1);
          usleep(line_state_pause_us);
        }
        ready = QRP_UsbGetDSR(port);
      }

      lock_usb();
      QRP_UsbDebugf("\nSending message - %d\n", attempt);
      int result = usb_bulk_write(
          port->handle2, endpoint,
          const_cast<char *>(reinterpret_cast<const char *>(buffer + sent)),
          left, timeout);
      unlock_usb();

      if (result <= 0) {
        QRP_UsbDebugf("    -> WARNING, could not send %d bytes, try #%d, "
                      "result=%d.",
                      left, attempt, result);
        usleep(failed_try_pause_us);
        if (attempt == tries_per_packet) {
          QRP_UsbDebugf("    -> ERROR, could not write %d bytes after %d "
                        "retries.",
                        left, tries_per_packet);
          trace_write_exit_error();
          return QRP_WRITEPORT_ERROR_GENERAL;
        }
        continue;
      }
      // Never count more than was asked, whatever the library reports.
      if (result > left)
        result = left;
      QRP_UsbDebugf("    -> Sent %d bytes successfully, try #%d.", result,
                    attempt);
      sent += result;
      pacing += result;
      left -= result;
      // The rest of a partly written packet goes out as a new first try.
      attempt = 0;
      if (!kelpin && pacing >= pacing_bytes) {
        pacing = 0;
        usleep(pacing_pause_us);
      }
    }
  }

  QRP_UsbDebugf("  -> Sent total of %d bytes to the USB device.", sent);
  QRP_UsbDebug("*** Exiting function QRP_WriteUsbPort() = QRP_WRITEPORT_OK");
  return QRP_WRITEPORT_OK;
}
