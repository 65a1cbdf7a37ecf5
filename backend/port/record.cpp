// The port record g_printer, the process-wide locks, the trace log writer
// and the record's interface and endpoint lookups.
#include <stdarg.h>
#include <string.h>

#include "internal.h"
#include "logfile.h"
#include "usbqrp.h"

// Zero-filled at program start: not open, Ostrel family, no monitor.
QRP_UsbPort g_printer{};

pthread_mutex_t mutex_usb = PTHREAD_MUTEX_INITIALIZER;
pthread_mutex_t mutex_file = PTHREAD_MUTEX_INITIALIZER;

void lock_usb(void) { (void)pthread_mutex_lock(&mutex_usb); }
void unlock_usb(void) { (void)pthread_mutex_unlock(&mutex_usb); }
void lock_file(void) { (void)pthread_mutex_lock(&mutex_file); }
void unlock_file(void) { (void)pthread_mutex_unlock(&mutex_file); }

// The file is opened and closed for every line, so each line is on disk
// when this returns and a lost /tmp never stops the port layer.
void QRP_UsbDebug(const char *text) {
  lock_file();
  if (g_printer.logFile == nullptr)
    g_printer.logFile = QRP_OpenLogFile(QRP_TRACE_LOG_PATH);
  if (g_printer.logFile != nullptr) {
    fprintf(g_printer.logFile, "%s\n", text != nullptr ? text : "(null)");
    fflush(g_printer.logFile);
    fclose(g_printer.logFile);
    g_printer.logFile = nullptr;
  }
  unlock_file();
}

void QRP_UsbDebugf(const char *format, ...) {
  char line[QRP_TRACE_LINE_SIZE];
  va_list args;
  va_start(args, format);
  vsnprintf(line, QRP_TRACE_LINE_SIZE - 1, format, args);
  va_end(args);
  QRP_UsbDebug(line);
}

unsigned int QRP_GetReadWriteTimeout(QRP_UsbPort *port) {
  (void)port;
  return QRP_READWRITE_TIMEOUT_MS;
}

int QRP_GetUSBInterfaceNumber(QRP_UsbPort *port, int which) {
  if (port->family == QRP_FAMILY_KELPIN)
    return which == 0 ? 0 : 1;

  // The bridge has one interface: take its number from the descriptors
  // that libusb read during enumeration.
  const struct usb_device *device = port->device;
  if (device == nullptr || device->config == nullptr ||
      device->config[0].interface == nullptr ||
      device->config[0].interface[0].altsetting == nullptr)
    return 0;
  return device->config[0].interface[0].altsetting[0].bInterfaceNumber;
}

unsigned char QRP_GetReadEP(QRP_UsbPort *port) {
  return port->family == QRP_FAMILY_KELPIN ? 0x82 : 0x01;
}

unsigned char QRP_GetWriteEP(QRP_UsbPort *port) {
  (void)port;
  return 0x01;
}
