// Opening the port: URI checks, bus scan and printer selection, kernel
// driver detach, interface claims, the family set-up and the start byte.
#include <stdint.h>
#include <string.h>
#include <unistd.h>

#include "internal.h"
#include "uri.h"
#include "usbqrp.h"

namespace {

// Byte that every successful open sends first.
const unsigned char start_byte[1] = {0x02};

// Pause before every claim try, in microseconds.
const useconds_t claim_pause_us = 300000;
const int claim_tries = 3;

int fail(int result) {
  QRP_TraceOpenExit(result);
  return result;
}

int fail(int result, const char *line) {
  QRP_UsbDebug(line);
  return fail(result);
}

// Turns a parse failure into the open's trace lines and result.
int uri_failure(int status, const KORV_UriParts &uri) {
  switch (status) {
  case KORV_URI_NO_METHOD:
    return fail(QRP_OPENPORT_ERROR_NOTFOUND,
                "-> ERROR, could not get a valid URI 'method' component.");
  case KORV_URI_NO_RESOURCE:
    return fail(QRP_OPENPORT_ERROR_NOTFOUND,
                "-> ERROR, could not get a valid URI 'resource' component.");
  default:
    break;
  }
  QRP_UsbDebugf("    -> Got method=%s from URI.", uri.method);
  QRP_UsbDebugf("    -> Got resource=%s from URI.", uri.resource);
  switch (status) {
  case KORV_URI_BAD_METHOD:
    QRP_UsbDebugf("    -> ERROR, didn't find a supported URI 'method' "
                  "component, method=%s.",
                  uri.method);
    return fail(QRP_OPENPORT_ERROR_UNSUPPORTED);
  case KORV_URI_NO_PROTOCOL:
    QRP_UsbDebug("    -> ERROR, could not get a valid 'protocol' into URI "
                 "'resource' component, protocol=(null).");
    return fail(QRP_OPENPORT_ERROR_NOTFOUND);
  case KORV_URI_BAD_PROTOCOL:
    QRP_UsbDebugf("    -> ERROR, didn't find a supported 'protocol' into URI "
                  "'resource' component, protocol=%s.",
                  uri.protocol);
    return fail(QRP_OPENPORT_ERROR_UNSUPPORTED);
  case KORV_URI_NO_PRINTERID:
    QRP_UsbDebug("    -> ERROR, could not get a valid 'printer id' into URI "
                 "'resource' component, printerid=(null).");
    return fail(QRP_OPENPORT_ERROR_NOTFOUND);
  default:
    return fail(QRP_OPENPORT_ERROR_NOTFOUND,
                "    -> ERROR, didn't find a supported 'printer id' into URI "
                "'resource' component.");
  }
}

// Opens the device briefly to compare its serial number with serial.
bool has_serial(struct usb_device *device, const char *serial) {
  usb_dev_handle *probe = usb_open(device);
  char found[QRP_SERIAL_SIZE];
  QRP_ReadSerialNumber(probe, device, found);
  if (probe != nullptr)
    usb_close(probe);
  char shown[3 * QRP_SERIAL_SIZE];
  KORV_EncodeUriText(found, shown, sizeof shown);
  QRP_UsbDebugf("        -> Serial number=%s.", shown);
  if (strcmp(found, serial) == 0)
    return true;
  QRP_UsbDebug("        -> Not the serial number asked for.");
  return false;
}

unsigned int low32(const void *pointer) {
  return static_cast<unsigned int>(reinterpret_cast<uintptr_t>(pointer));
}

} // namespace

void QRP_TraceOpenExit(int result) {
  switch (result) {
  case QRP_OPENPORT_OK:
    QRP_UsbDebug("*** Exiting function QRP_OpenUsbPort() = QRP_OPENPORT_OK");
    break;
  case QRP_OPENPORT_ERROR_NORESOURCE:
    QRP_UsbDebug("*** Exiting function QRP_OpenUsbPort() = "
                 "QRP_OPENPORT_ERROR_NORESOURCE");
    break;
  case QRP_OPENPORT_ERROR_NOTFOUND:
    QRP_UsbDebug("*** Exiting function QRP_OpenUsbPort() = "
                 "QRP_OPENPORT_ERROR_NOTFOUND");
    break;
  case QRP_OPENPORT_ERROR_GENERAL:
    QRP_UsbDebug("*** Exiting function QRP_OpenUsbPort() = "
                 "QRP_OPENPORT_ERROR_GENERAL");
    break;
  default:
    QRP_UsbDebug("*** Exiting function QRP_OpenUsbPort() = "
                 "QRP_OPENPORT_ERROR_UNSUPPORTED");
    break;
  }
}

int QRP_OpenUsbPort(const char *uri, int baudRate) {
  QRP_UsbPort *port = &g_printer;

  QRP_UsbDebug("\n*** Entering function QRP_OpenUsbPort() ***");
  if (port->opened != 0)
    return fail(QRP_OPENPORT_ERROR_NORESOURCE,
                "-> ERROR, device was already opened, close it first.");
  if (QRP_ReapLingeringMonitor() != 0)
    return fail(QRP_OPENPORT_ERROR_NORESOURCE,
                "-> ERROR, the DSR monitor thread of the last port is still "
                "running.");
  if (baudRate != 0 && baudRate != 115200 && baudRate != 500000)
    return fail(QRP_OPENPORT_ERROR_GENERAL,
                "-> ERROR, the baud rate parameter is invalid.");

  KORV_UriParts parsed;
  int status = KORV_ParseUri(uri, &parsed);
  QRP_UsbDebug("-> Process arguments received.");
  QRP_UsbDebugf("  -> Got parameter uri=%s.", parsed.uri);
  QRP_UsbDebug("  -> Start parsing arguments from URI.");
  if (status != KORV_URI_OK && status != KORV_URI_BAD_OPTION)
    return uri_failure(status, parsed);
  QRP_UsbDebugf("    -> Got method=%s from URI.", parsed.method);
  QRP_UsbDebugf("    -> Got resource=%s from URI.", parsed.resource);
  QRP_UsbDebugf("    -> Got protocol=%s from URI 'resource'.", parsed.protocol);
  QRP_UsbDebugf("    -> Got printerid=%d from URI 'resource'.",
                parsed.printerId);
  if (status == KORV_URI_BAD_OPTION) {
    QRP_UsbDebugf("    -> ERROR, %s.", parsed.optionError);
    return fail(QRP_OPENPORT_ERROR_UNSUPPORTED);
  }

  port->family = parsed.family;

  int result;
  if (parsed.hasSerial) {
    char shown[3 * KORV_URI_SERIAL_MAX_LENGTH + 1];
    KORV_EncodeUriText(parsed.serial, shown, sizeof shown);
    QRP_UsbDebugf("    -> Got serial=%s from URI options.", shown);
    result = QRP_OpenUsbDeviceBySerial(port, parsed.printerId, parsed.serial);
  } else {
    result = QRP_OpenUsbDeviceThroughLibusb(port, parsed.printerId);
  }
  if (result != 0)
    return result;

  if (port->family == KORV_FAMILY_KELPIN) {
    result = QRP_ClaimInterface(port->handle, QRP_GetUSBInterfaceNumber(port, 0));
    if (result != 0)
      return result;
    result = QRP_ClaimInterface(port->handle2, QRP_GetUSBInterfaceNumber(port, 1));
    if (result != 0)
      return result;
    result = QRP_Init_Kelpin(port, 115200);
    if (result != 0)
      return result;
  } else {
    result = QRP_ClaimInterface(port->handle, QRP_GetUSBInterfaceNumber(port, 0));
    if (result != 0)
      return result;
    result = QRP_Init_Ostrel(port, baudRate);
    if (result != 0)
      return result;
  }

  port->opened = 1;
  QRP_TraceOpenExit(QRP_OPENPORT_OK);
  // A lost start byte shows only in the write's own trace lines.
  (void)QRP_WriteUsbPort(start_byte, 1);
  return QRP_OPENPORT_OK;
}

int QRP_OpenUsbDeviceThroughLibusb(QRP_UsbPort *port, int printerId) {
  return QRP_OpenUsbDeviceBySerial(port, printerId, nullptr);
}

// With a serial number, every printer of the family is opened briefly to
// read its own; the printer id then counts only the printers that carry
// that serial number (1 unless two printers share one).
int QRP_OpenUsbDeviceBySerial(QRP_UsbPort *port, int printerId,
                              const char *serial) {
  QRP_UsbDebug("-> About to do usb_init().");
  usb_init();

  int count = 0;
  int busses = usb_find_busses();
  QRP_UsbDebugf("-> Did usb_find_busses() and found %d busses.", busses);
  int devices = usb_find_devices();
  QRP_UsbDebugf("-> Did usb_find_devices() and found %d devices.", devices);

  QRP_UsbDebug("-> About to do usb_get_busses().");
  struct usb_bus *bus_list = usb_get_busses();
  QRP_UsbDebug("-> About to iterate through busses.");

  struct usb_device *chosen = nullptr;
  for (struct usb_bus *bus = bus_list; bus != nullptr && chosen == nullptr;
       bus = bus->next) {
    QRP_UsbDebug("  -> In one bus, about to iterate through devices.");
    for (struct usb_device *dev = bus->devices; dev != nullptr;
         dev = dev->next) {
      const struct usb_device_descriptor &d = dev->descriptor;
      QRP_UsbDebugf("    -> In one device: bDeviceClass=%02Xh, "
                    "bDeviceSubClass=%02Xh, bDeviceProtocol=%02Xh, "
                    "idVendor=%04Xh, idProduct=%04Xh, idRevision=%04Xh",
                    d.bDeviceClass, d.bDeviceSubClass, d.bDeviceProtocol,
                    d.idVendor, d.idProduct, d.bcdDevice);
      if (!KORV_IsSupportedVendor(d.idVendor))
        continue;
      if (!KORV_ProductInFamily(d.idProduct, port->family))
        continue;
      QRP_UsbDebugf("      -> Found a korvcli Printer: VendorId=%04Xh, "
                    "ProductId=%04Xh.",
                    d.idVendor, d.idProduct);
      if (serial != nullptr && !has_serial(dev, serial))
        continue;
      ++count;
      QRP_UsbDebugf("        -> MirelWorks printer count=%d.", count);
      if (count != printerId)
        continue;

      QRP_UsbDebugf("        -> Printer is the one specified in id=%d, "
                    "count=%d.",
                    printerId, count);
      QRP_UsbDebug("          -> Opening the device.");
      port->handle = usb_open(dev);
      if (port->handle == nullptr)
        return fail(QRP_OPENPORT_ERROR_NORESOURCE,
                    "          -> ERROR, could not open the device.");
      if (port->family == KORV_FAMILY_KELPIN) {
        port->handle2 = usb_open(dev);
        if (port->handle2 == nullptr)
          return fail(QRP_OPENPORT_ERROR_NORESOURCE,
                      "          -> ERROR, could not open the device 2.");
      }
      QRP_UsbDebugf("          -> Device opened successfully, saving handler "
                    "for later use %x %x.",
                    low32(port->handle), low32(port->handle2));
      port->device = dev;
      chosen = dev;
      break;
    }
  }
  if (chosen == nullptr) {
    if (serial != nullptr) {
      char shown[3 * QRP_SERIAL_SIZE];
      KORV_EncodeUriText(serial, shown, sizeof shown);
      QRP_UsbDebugf("-> ERROR, no printer number %d with serial number %s.",
                    printerId, shown);
    }
    return fail(QRP_OPENPORT_ERROR_NOTFOUND,
                "-> ERROR, didn't find our printer id device.");
  }

  return QRP_Detach_USB_Driver(port, QRP_GetUSBInterfaceNumber(port, 0));
}

int QRP_Detach_USB_Driver(QRP_UsbPort *port, int interfaceNumber) {
  QRP_UsbDebug("-> Check to see if there is any kernel device driver attached "
               "to our device.");
  char name[40] = {0};
  if (usb_get_driver_np(port->handle, interfaceNumber, name, sizeof name) != 0)
    return 0;
  name[sizeof name - 1] = '\0';
  QRP_UsbDebugf("  -> There is an attached kernel device driver, module "
                "name=%s.",
                name);
  int result = usb_detach_kernel_driver_np(port->handle, interfaceNumber);
  if (result < 0) {
    QRP_UsbDebugf("    -> ERROR, could not detach the kernel device driver "
                  "from the device, result=%d.",
                  result);
    return fail(QRP_OPENPORT_ERROR_NORESOURCE);
  }
  QRP_UsbDebugf("  -> Kernel device driver, module name=%s, detached "
                "successfully from the USB device.",
                name);
  return 0;
}

int QRP_ClaimInterface(usb_dev_handle *handle, int interfaceNumber) {
  QRP_UsbDebugf("[QRP_ClaimInterface]-> Interface=%d .", interfaceNumber);
  for (int attempt = 1; attempt <= claim_tries; ++attempt) {
    QRP_UsbDebug("-> Claim the device USB interface.");
    usleep(claim_pause_us);
    int result = usb_claim_interface(handle, interfaceNumber);
    if (result >= 0)
      return 0;
    QRP_UsbDebugf("  -> Warning, could not claim the USB interface from the "
                  "device, result=%d, try #%d.",
                  result, attempt);
  }
  return fail(QRP_OPENPORT_ERROR_NORESOURCE);
}
