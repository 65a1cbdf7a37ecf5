// Closing the port: the Kelpin monitor stopped and the control lines
// lowered, the last notifications drained, the interfaces released, the
// handles closed and the record cleared for the next open; and the reset
// that gives back what a failed open took.
#include <time.h>
#include <unistd.h>

#include "internal.h"
#include "usbqrp.h"

namespace {

const useconds_t after_stop_pause_us = 30000;
const useconds_t after_lines_pause_us = 30000;
const useconds_t drain_pause_us = 10000;
const useconds_t before_release_pause_us = 50000;
const useconds_t before_close_pause_us = 100000;
const unsigned int not_open_pause_s = 1;

// A printer that keeps sending notifications must not hold the close: the
// drain ends at the first empty read, after 100 reads, or after 2 s.
const int drain_reads_max = 100;
const long drain_time_max_ms = 2000;

long elapsed_ms(const struct timespec &since) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (now.tv_sec - since.tv_sec) * 1000L +
         (now.tv_nsec - since.tv_nsec) / 1000000L;
}

void drain_notifications(QRP_UsbPort *port) {
  struct timespec start;
  clock_gettime(CLOCK_MONOTONIC, &start);
  int reads = 1;
  while (QRP_UsbGetKelpinDSR2(port) == 1 && reads < drain_reads_max &&
         elapsed_ms(start) < drain_time_max_ms) {
    usleep(drain_pause_us);
    ++reads;
  }
}

int fail_exit() {
  QRP_UsbDebug("*** Exiting function QRP_CloseUsbPort() = "
               "QRP_CLOSEPORT_ERROR_GENERAL");
  return QRP_CLOSEPORT_ERROR_GENERAL;
}

} // namespace

int QRP_CloseUsbPort(void) {
  QRP_UsbPort *port = &g_printer;

  QRP_UsbDebug("\n*** Entering function = QRP_CloseUsbPort() ***");
  if (port->opened == 0) {
    QRP_UsbDebug("-> ERROR, cannot close, device was not previously opened.");
    fail_exit();
    port->dsrThreadState.store(0);
    sleep(not_open_pause_s);
    return QRP_CLOSEPORT_ERROR_GENERAL;
  }

  const bool kelpin = port->family == KORV_FAMILY_KELPIN;
  if (kelpin) {
    (void)QRP_StopKelpinDSRThread();
    usleep(after_stop_pause_us);
    if (QRP_KelpinMonitorLingers()) {
      // The thread may still poll through handle and update dsr under
      // dsrLock: leave both to it. The next open finishes this close.
      QRP_UsbDebug("-> ERROR, the DSR monitor thread did not end, the device "
                   "is left open.");
      port->opened = 0;
      return fail_exit();
    }
    (void)QRP_Kelpin_SetCarrierAndPresent(port, 0, 0);
    usleep(after_lines_pause_us);
    drain_notifications(port);
    pthread_mutex_destroy(&port->dsrLock);
  }

  QRP_UsbDebug("-> Release the device USB interface.");
  usleep(before_release_pause_us);
  int released = usb_release_interface(port->handle,
                                       QRP_GetUSBInterfaceNumber(port, 0));
  int released2 = 0;
  if (kelpin)
    released2 = usb_release_interface(port->handle2,
                                      QRP_GetUSBInterfaceNumber(port, 1));
  if (released < 0)
    QRP_UsbDebugf("  -> ERROR, could not release the USB interface 0 from the "
                  "device, result=%d.",
                  released);
  if (released2 < 0)
    QRP_UsbDebugf("  -> ERROR, could not release the USB interface 1 from the "
                  "device, result=%d.",
                  released2);

  QRP_UsbDebug("-> Release USB port structure.");
  port->device = nullptr;
  usleep(before_close_pause_us);

  // An Ostrel port's handle2 is the same handle: never closed twice, and
  // not left dangling in the record either.
  usb_dev_handle *second = kelpin ? port->handle2 : nullptr;
  if (!kelpin)
    port->handle2 = nullptr;

  int result = usb_close(port->handle);
  port->handle = nullptr;
  if (result < 0) {
    QRP_UsbDebugf("  -> ERROR, could not close the USB device, result=%d.",
                  result);
    port->opened = 0;
    return fail_exit();
  }
  if (kelpin) {
    result = usb_close(second);
    port->handle2 = nullptr;
    if (result < 0) {
      QRP_UsbDebugf("  -> ERROR, could not close the USB device2, result=%d.",
                    result);
      port->opened = 0;
      return fail_exit();
    }
  }

  lock_file();
  if (port->logFile != nullptr) {
    fclose(port->logFile);
    port->logFile = nullptr;
  }
  unlock_file();
  port->family = KORV_FAMILY_OSTREL;
  port->opened = 0;

  QRP_UsbDebug("*** Exiting function QRP_CloseUsbPort() = QRP_CLOSEPORT_OK");
  return QRP_CLOSEPORT_OK;
}

int QRP_ResetUsbPort(void) {
  QRP_UsbPort *port = &g_printer;

  QRP_UsbDebug("\n*** Entering function = QRP_ResetUsbPort() ***");
  if (port->opened != 0) {
    QRP_UsbDebug("-> ERROR, the port is open, close it instead.");
    QRP_UsbDebug("*** Exiting function QRP_ResetUsbPort() = "
                 "QRP_CLOSEPORT_ERROR_GENERAL");
    return QRP_CLOSEPORT_ERROR_GENERAL;
  }
  // A failed open never leaves the monitor running or dsrLock alive: the
  // Kelpin set-up starts them last, after its last possible failure.
  // Releasing an interface that was not claimed fails harmlessly.
  const bool kelpin = port->family == KORV_FAMILY_KELPIN;
  if (port->handle != nullptr) {
    QRP_UsbDebug("-> Release what the failed open took.");
    (void)usb_release_interface(port->handle,
                                QRP_GetUSBInterfaceNumber(port, 0));
    if (kelpin && port->handle2 != nullptr && port->handle2 != port->handle) {
      (void)usb_release_interface(port->handle2,
                                  QRP_GetUSBInterfaceNumber(port, 1));
      (void)usb_close(port->handle2);
    }
    (void)usb_close(port->handle);
  }
  port->handle = nullptr;
  port->handle2 = nullptr;
  port->device = nullptr;
  port->family = KORV_FAMILY_OSTREL;
  QRP_UsbDebug("*** Exiting function QRP_ResetUsbPort() = QRP_CLOSEPORT_OK");
  return QRP_CLOSEPORT_OK;
}
