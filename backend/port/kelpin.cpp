// Kelpin family: the communications-class set-up (line coding, control
// lines, DSR wait) and the serial-state notification reads.
#include <sched.h>
#include <string.h>
#include <unistd.h>

#include "internal.h"
#include "usbqrp.h"

namespace {

// Class request types: device to host / host to device, to the interface.
const int class_in = 0xA1;
const int class_out = 0x21;

const int request_set_line_coding = 0x20;
const int request_get_line_coding = 0x21;
const int request_set_control_line_state = 0x22;

// Line coding block: 115200 bit/s, 1 stop bit, no parity, 8 data bits.
const unsigned char line_coding_115200_8n1[7] = {0x00, 0xC2, 0x01, 0x00,
                                                 0x00, 0x00, 0x08};

const int endpoint_data_out = 0x01;
const int endpoint_data_in = 0x82;
const int endpoint_notify = 0x83;
const int notify_length = 10;
const int notify_timeout_ms = 10;
const unsigned int dsr_bit = 0x0002;

// Polls of the set-up's DSR wait.
const int setup_dsr_polls = 40;

struct Notification {
  unsigned int reqtype;
  unsigned int notify;
  unsigned int val;
  unsigned int inx;
  unsigned int len;
  unsigned int data;
};

int control_timeout(QRP_UsbPort *port) {
  return static_cast<int>(QRP_GetReadWriteTimeout(port));
}

int get_line_coding(QRP_UsbPort *port, unsigned char block[7]) {
  return usb_control_msg(port->handle, class_in, request_get_line_coding, 0,
                         QRP_GetUSBInterfaceNumber(port, 0),
                         reinterpret_cast<char *>(block), 7,
                         control_timeout(port));
}

// Reads one serial-state record. The record is cleared first, so the
// fields of a short notification read as 0. Returns the transfer result.
int read_notification(QRP_UsbPort *port, Notification *out) {
  unsigned char raw[notify_length];
  memset(raw, 0, sizeof raw);
  int result = usb_interrupt_read(port->handle, endpoint_notify,
                                  reinterpret_cast<char *>(raw), notify_length,
                                  notify_timeout_ms);
  out->reqtype = raw[0];
  out->notify = raw[1];
  out->val = raw[2] | (raw[3] << 8);
  out->inx = raw[4] | (raw[5] << 8);
  out->len = raw[6] | (raw[7] << 8);
  out->data = raw[8] | (raw[9] << 8);
  return result;
}

// Traces a notification under the name of the reader that got it and
// takes its DSR bit into dsr. Any notification's data word counts.
void take_notification(QRP_UsbPort *port, const char *reader,
                       const Notification &n) {
  QRP_UsbDebugf("[%s]: result >0", reader);
  QRP_UsbDebugf("[%s]: read: reqtype=%X, notify=%X, val=%u, inx=%u, len=%u, "
                "data=%u",
                reader, n.reqtype, n.notify, n.val, n.inx, n.len, n.data);
  pthread_mutex_lock(&port->dsrLock);
  port->dsr = (n.data & dsr_bit) != 0 ? 1 : 0;
  pthread_mutex_unlock(&port->dsrLock);
}

} // namespace

int QRP_Init_Kelpin(QRP_UsbPort *port, int baudRate) {
  (void)baudRate; // the line coding is fixed
  QRP_UsbDebug("-> [QRP_Init_Kelpin]The USB protocol to use is tr3200ax:");
  QRP_UsbDebug("  -> Do an USB 'halt' on the device.");
  int result = usb_clear_halt(port->handle2, endpoint_data_out);
  if (result < 0)
    QRP_UsbDebugf("    -> WARNING, could not do a 'usb_clear_halt()' on the "
                  "device, result=%d.",
                  result);
  if (usb_clear_halt(port->handle2, endpoint_data_in) < 0)
    QRP_UsbDebug("   -> Can not clear read ep");
  if (usb_clear_halt(port->handle, endpoint_notify) < 0)
    QRP_UsbDebug("   -> Can not clear interrupt ep");
  usleep(1000);

  result = QRP_Kelpin_SetBaudrate(port, 0);
  if (result != 0) {
    QRP_UsbDebug("   -> Can not set baud rate");
    return result;
  }

  pthread_mutex_init(&port->dsrLock, nullptr);
  QRP_UsbDebug("   -> init mutex");

  (void)QRP_Kelpin_SetCarrierAndPresent(port, 0, 0);
  usleep(30000);
  // Takes away a notification left from before the lines were lowered.
  (void)QRP_UsbGetKelpinDSR2(port);
  pthread_mutex_lock(&port->dsrLock);
  port->dsr = 0;
  pthread_mutex_unlock(&port->dsrLock);

  (void)QRP_Kelpin_SetCarrierAndPresent(port, 2, 1);
  usleep(10000);

  // A printer that never raises DSR does not fail the set-up: the write's
  // own DSR wait deals with it.
  for (int poll = 0; poll < setup_dsr_polls; ++poll) {
    pthread_mutex_lock(&port->dsrLock);
    int ready = port->dsr;
    pthread_mutex_unlock(&port->dsrLock);
    if (ready != 0)
      break;
    (void)QRP_UsbGetKelpinDSR2(port);
    usleep(10000);
  }

  (void)QRP_StartKelpinDSRThread();
  usleep(10000);
  return QRP_OPENPORT_OK;
}

int QRP_Kelpin_SetBaudrate(QRP_UsbPort *port, int baudRate) {
  (void)baudRate; // the line coding is fixed
  unsigned char block[7];
  // Cleared, so a short answer shows 0 in the fields it did not fill.
  memset(block, 0, sizeof block);
  int result = get_line_coding(port, block);
  if (result < 0) {
    QRP_UsbDebugf("    -> ERROR, could not get line coding from the device, "
                  "result=%d.",
                  result);
    QRP_TraceOpenExit(QRP_OPENPORT_ERROR_GENERAL);
    return QRP_OPENPORT_ERROR_GENERAL;
  }
  int rate = static_cast<int>(static_cast<unsigned int>(block[0]) |
                              (static_cast<unsigned int>(block[1]) << 8) |
                              (static_cast<unsigned int>(block[2]) << 16) |
                              (static_cast<unsigned int>(block[3]) << 24));
  QRP_UsbDebugf("    -> Info, Current Setting: baud=%d, stopbits=%d, "
                "parity=%d, databits=%d",
                rate, block[4], block[5], block[6]);
  usleep(20000);

  QRP_UsbDebug("  -> Setting the baudrate pins low (active) on the UART.");
  unsigned char coding[7];
  memcpy(coding, line_coding_115200_8n1, sizeof coding);
  result = usb_control_msg(port->handle, class_out, request_set_line_coding, 0,
                           QRP_GetUSBInterfaceNumber(port, 0),
                           reinterpret_cast<char *>(coding), 7,
                           control_timeout(port));
  if (result < 0) {
    QRP_UsbDebugf("    -> ERROR, could not set line coding on the UART, "
                  "result=%d.",
                  result);
    QRP_TraceOpenExit(QRP_OPENPORT_ERROR_GENERAL);
    return QRP_OPENPORT_ERROR_GENERAL;
  }

  usleep(20000);
  QRP_UsbDebug("  -> Get Line code");
  memset(block, 0, sizeof block);
  (void)get_line_coding(port, block);
  usleep(20000);
  return QRP_OPENPORT_OK;
}

int QRP_Kelpin_SetCarrierAndPresent(QRP_UsbPort *port, unsigned char carrier,
                                    unsigned char present) {
  int value = static_cast<unsigned char>(carrier | present);
  int result = usb_control_msg(port->handle, class_out,
                               request_set_control_line_state, value,
                               QRP_GetUSBInterfaceNumber(port, 0), nullptr, 0,
                               control_timeout(port));
  if (result < 0) {
    QRP_UsbDebugf("      -> ERROR, could not set carrier on the UART, "
                  "result=%d.",
                  result);
    QRP_UsbDebug("*** Exiting function SetCarrierPresent() = "
                 "QRP_OPENPORT_ERROR_GENERAL");
    return QRP_OPENPORT_ERROR_GENERAL;
  }
  return 0;
}

// The monitor thread's read: the caller holds mutex_usb (except for the
// thread's last poll), and dsr is shared with the writer under dsrLock.
int QRP_UsbGetKelpinDSR(QRP_UsbPort *port) {
  Notification n;
  int result = read_notification(port, &n);
  if (result <= 0) {
    sched_yield();
    return 0;
  }
  take_notification(port, "QRP_UsbGetKelpinDSR", n);
  sched_yield();
  return 1;
}

// The set-up's and the close's read, made while no monitor polls. dsr is
// still updated under dsrLock (which exists whenever this runs), so that
// the update stays safe even beside a monitor that failed to stop.
int QRP_UsbGetKelpinDSR2(QRP_UsbPort *port) {
  QRP_UsbDebug("[QRP_UsbGetKelpinDSR2]: enter");
  Notification n;
  int result = read_notification(port, &n);
  if (result <= 0) {
    QRP_UsbDebug("[QRP_UsbGetKelpinDSR2]: reslt <=0");
    return 0;
  }
  take_notification(port, "QRP_UsbGetKelpinDSR2", n);
  return 1;
}
