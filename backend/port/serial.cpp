// The USB serial-number string of a printer, read the same way by the
// discovery listing and by the open's selection by serial number.
#include <string.h>

#include "usbqrp.h"

void QRP_ReadSerialNumber(usb_dev_handle *handle, struct usb_device *device,
                          char *text) {
  text[0] = '\0';
  // Index 0: the device has no serial number (reading it would return the
  // language table).
  int index = device->descriptor.iSerialNumber;
  if (handle == nullptr || index == 0)
    return;
  // libusb 0.1 converts the UTF-16 string to one byte per character (a
  // character beyond Latin-1 becomes '?') and gives at most 62 of them.
  int result = usb_get_string_simple(handle, index, text, QRP_SERIAL_SIZE);
  if (result < 0)
    text[0] = '\0';
  text[QRP_SERIAL_SIZE - 1] = '\0';
}
