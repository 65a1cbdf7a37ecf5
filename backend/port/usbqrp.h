// usbqrp: the USB printer port layer of the usbkorv backend.
//
// One printer port at a time, kept in the process-wide record g_printer.
// Operations return 0 on success and small negative codes on failure
// (the Kelpin monitor's own operations return 1 for success, 0 for failure).
// Every operation writes its progress to the trace log /tmp/usbqrpdrv.log.
#ifndef USBQRP_H
#define USBQRP_H

#include <pthread.h>
#include <stdio.h>
#include <usb.h>

#include <atomic>

#include "catalogue.h" // the printers: families, vendor and product IDs

// Result codes of QRP_OpenUsbPort.
#define QRP_OPENPORT_OK 0
#define QRP_OPENPORT_ERROR_NORESOURCE (-1)
#define QRP_OPENPORT_ERROR_NOTFOUND (-2)
#define QRP_OPENPORT_ERROR_GENERAL (-3)
#define QRP_OPENPORT_ERROR_UNSUPPORTED (-4)

// Result codes of QRP_ReadUsbPort (there is no -2).
#define QRP_READPORT_OK 0
#define QRP_READPORT_ERROR_GENERAL (-1)
#define QRP_READPORT_ERROR_NODATA (-3)

// Result codes of QRP_WriteUsbPort.
#define QRP_WRITEPORT_OK 0
#define QRP_WRITEPORT_ERROR_GENERAL (-1)

// Result codes of QRP_CloseUsbPort.
#define QRP_CLOSEPORT_OK 0
#define QRP_CLOSEPORT_ERROR_GENERAL (-1)

// Trace log of the port layer.
#define QRP_TRACE_LOG_PATH "/tmp/usbqrpdrv.log"

// Timeout of every control request, bulk read and bulk write, in ms.
#define QRP_READWRITE_TIMEOUT_MS 40000u

// The port layer's device record; one instance, g_printer.
struct QRP_UsbPort {
  struct usb_device *device;  // printer chosen by the open
  usb_dev_handle *handle;     // control requests, bulk reads, Kelpin if 0
  usb_dev_handle *handle2;    // bulk writes, Kelpin if 1; Ostrel: = handle
  int opened;                 // 1 once an open has completed
  int family;                 // KORV_FAMILY_OSTREL or KORV_FAMILY_KELPIN
  FILE *logFile;              // trace log, open only inside QRP_UsbDebug
  std::atomic<int> dsrThreadState; // 0 stop/not running, 1 running, 2 ended
  pthread_t dsrThread;        // the Kelpin DSR monitor thread
  int dsr;                    // cached Kelpin DSR: 1 ready, 0 not; dsrLock
  pthread_mutex_t dsrLock;    // guards dsr; lives from set-up to close
};

// Room for a serial-number string as libusb 0.1 reads it (at most 62
// characters, see QRP_ReadSerialNumber).
#define QRP_SERIAL_SIZE 128

extern QRP_UsbPort g_printer;
extern pthread_mutex_t mutex_usb;
extern pthread_mutex_t mutex_file;

// Lock wrappers; the lock results are ignored.
void lock_usb(void);
void unlock_usb(void);
void lock_file(void);
void unlock_file(void);

// Appends one line (text and a newline) to the trace log.
void QRP_UsbDebug(const char *text);

// Family lookups.
unsigned int QRP_GetReadWriteTimeout(QRP_UsbPort *port);
int QRP_GetUSBInterfaceNumber(QRP_UsbPort *port, int which);
unsigned char QRP_GetReadEP(QRP_UsbPort *port);
unsigned char QRP_GetWriteEP(QRP_UsbPort *port);

// The four port operations (job mode uses open, write and close).
int QRP_OpenUsbPort(const char *uri, int baudRate);
int QRP_WriteUsbPort(const unsigned char *buffer, int size);
int QRP_ReadUsbPort(unsigned char *buffer, int size);
int QRP_CloseUsbPort(void);

// Reads the USB serial-number string of device through handle into text
// (QRP_SERIAL_SIZE bytes). The text is empty when the device has no
// serial number or it cannot be read. The listing and the open read it
// the same way, so a listed serial number always matches.
void QRP_ReadSerialNumber(usb_dev_handle *handle, struct usb_device *device,
                          char *text);

// After an open that failed, gives back what it had taken (claims and
// handles), so that a later open in the same process starts afresh.
// Does nothing to an open port. Returns QRP_CLOSEPORT_OK, or
// QRP_CLOSEPORT_ERROR_GENERAL when the port is open.
int QRP_ResetUsbPort(void);

// Inner steps of the open. serial: choose among the printers of the
// family with this serial number only (null: every printer counts).
int QRP_OpenUsbDeviceThroughLibusb(QRP_UsbPort *port, int printerId);
int QRP_OpenUsbDeviceBySerial(QRP_UsbPort *port, int printerId,
                              const char *serial);
int QRP_Detach_USB_Driver(QRP_UsbPort *port, int interfaceNumber);
int QRP_ClaimInterface(usb_dev_handle *handle, int interfaceNumber);

// Ostrel family set-up and DSR.
int QRP_Init_Ostrel(QRP_UsbPort *port, int baudRate);
int QRP_UsbGetOstrelDSR(QRP_UsbPort *port);

// Kelpin family set-up, control lines and DSR monitor.
int QRP_Init_Kelpin(QRP_UsbPort *port, int baudRate);
int QRP_Kelpin_SetBaudrate(QRP_UsbPort *port, int baudRate);
int QRP_Kelpin_SetCarrierAndPresent(QRP_UsbPort *port, unsigned char carrier,
                                    unsigned char present);
int QRP_UsbGetKelpinDSR(QRP_UsbPort *port);
int QRP_UsbGetKelpinDSR2(QRP_UsbPort *port);
int QRP_StartKelpinDSRThread(void);
int QRP_StopKelpinDSRThread(void);
void *QRP_KelpinThread(void *arg);

// Family-independent DSR query used by the write: 1 ready, 0 busy, <0 error.
int QRP_UsbGetDSR(QRP_UsbPort *port);

#endif
