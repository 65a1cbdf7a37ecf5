// The Kelpin DSR monitor thread: polls the notification endpoint for the
// whole time a Kelpin port is open and keeps g_printer.dsr current.
//
// Its stop is cooperative: dsrThreadState goes to 0 and the thread sets 2
// as it ends. After that report the thread is joined; a thread that does
// not report is waited for a bounded time, and one that still runs then is
// remembered, so that the close leaves the handles and dsrLock it may use
// alone and the next open can finish the job.
#include <errno.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include "internal.h"
#include "usbqrp.h"

namespace {

// Touched only by the caller's thread (start, stop, close, open).
bool monitor_unjoined = false;

const int stop_checks = 100;
const useconds_t stop_check_pause_us = 1000;
const useconds_t poll_pause_us = 4000;

// How long a thread that was told to stop may take beyond the checks.
const long join_grace_ms = 2000;

bool join_monitor(long wait_ms) {
  struct timespec deadline;
  clock_gettime(CLOCK_REALTIME, &deadline);
  deadline.tv_sec += wait_ms / 1000;
  deadline.tv_nsec += (wait_ms % 1000) * 1000000L;
  if (deadline.tv_nsec >= 1000000000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000L;
  }
  int result;
  do {
    result = pthread_timedjoin_np(g_printer.dsrThread, nullptr, &deadline);
  } while (result == EINTR);
  if (result == 0 || result == ESRCH || result == EINVAL)
    monitor_unjoined = false;
  return !monitor_unjoined;
}

} // namespace

void *QRP_KelpinThread(void *arg) {
  (void)arg;
  QRP_UsbDebug("QRP_KelpinThread: Enter");
  while (g_printer.dsrThreadState.load() != 0) {
    lock_usb();
    (void)QRP_UsbGetKelpinDSR(&g_printer);
    unlock_usb();
    usleep(poll_pause_us);
  }
  // The caller's thread waits in the stop and makes no USB request now.
  (void)QRP_UsbGetKelpinDSR(&g_printer);
  g_printer.dsrThreadState.store(2);
  QRP_UsbDebug("QRP_KelpinThread: Exit");
  return nullptr;
}

int QRP_StartKelpinDSRThread(void) {
  QRP_UsbDebug("QRP_StartKelpinDSRThread: Enter");
  // Set before the creation, so the thread finds it running.
  g_printer.dsrThreadState.store(1);
  // The thread takes no signals (it inherits this mask): a cancel or a
  // timer meant to end one of the caller's waits must reach the caller.
  sigset_t all, before;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &before);
  int created = pthread_create(&g_printer.dsrThread, nullptr,
                               QRP_KelpinThread, nullptr);
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  if (created != 0) {
    QRP_UsbDebug("QRP_StartKelpinDSRThread: failed");
    g_printer.dsrThreadState.store(0);
    return 0;
  }
  monitor_unjoined = true;
  QRP_UsbDebug("QRP_StartKelpinDSRThread: OK");
  return 1;
}

int QRP_StopKelpinDSRThread(void) {
  g_printer.dsrThreadState.store(0);
  QRP_UsbDebug("QRP_StopKelpinDSRThread: Enter");
  bool reported = false;
  for (int check = 0; check < stop_checks; ++check) {
    if (g_printer.dsrThreadState.load() == 2) {
      QRP_UsbDebug("QRP_StopKelpinDSRThread: exit 2");
      reported = true;
      break;
    }
    usleep(stop_check_pause_us);
  }
  QRP_UsbDebug(reported ? "QRP_StopKelpinDSRThread: OK"
                        : "QRP_StopKelpinDSRThread: FAILED");
  // No thread may outlive the port: a reporting thread ends right after
  // its report, a late one gets a bounded grace period.
  if (monitor_unjoined)
    (void)join_monitor(join_grace_ms);
  return reported ? 1 : 0;
}

int QRP_KelpinMonitorLingers(void) { return monitor_unjoined ? 1 : 0; }

int QRP_ReapLingeringMonitor(void) {
  if (!monitor_unjoined)
    return 0;
  g_printer.dsrThreadState.store(0);
  if (!join_monitor(join_grace_ms))
    return -1;
  // Finish the close that had to leave the device to the thread.
  pthread_mutex_destroy(&g_printer.dsrLock);
  if (g_printer.handle2 != nullptr && g_printer.handle2 != g_printer.handle) {
    (void)usb_release_interface(g_printer.handle2,
                                QRP_GetUSBInterfaceNumber(&g_printer, 1));
    (void)usb_close(g_printer.handle2);
  }
  if (g_printer.handle != nullptr) {
    (void)usb_release_interface(g_printer.handle,
                                QRP_GetUSBInterfaceNumber(&g_printer, 0));
    (void)usb_close(g_printer.handle);
  }
  g_printer.handle = nullptr;
  g_printer.handle2 = nullptr;
  g_printer.device = nullptr;
  g_printer.family = KORV_FAMILY_OSTREL;
  return 0;
}
