// Discovery listing: one CUPS device line per supported printer on USB.
//
// Uses libusb directly; the port layer's record, locks and trace log are
// left alone, only its serial-number read is shared. The printers, their
// URIs and the line come from the printer catalogue.
#include <stdio.h>
#include <string.h>
#include <usb.h>

#include <string>
#include <vector>

#include "log.h"
#include "uri.h"
#include "usbkorv.h"
#include "usbqrp.h"

// Device strings: 60 characters and the terminating NUL.
#define DEVICE_TEXT_SIZE 61

#define TAG "[CUPS][usbkorvqrp][list_devices]"

// Device strings are untrusted: control characters would let a device
// break a device line or forge backend log lines, so they are left out.
static void drop_control_characters(char *text) {
  char *out = text;
  for (const char *in = text; *in != '\0'; ++in) {
    unsigned char c = static_cast<unsigned char>(*in);
    if (c < 0x20 || c == 0x7F)
      continue;
    *out++ = *in;
  }
  *out = '\0';
}

// Reads one string descriptor into text (DEVICE_TEXT_SIZE bytes); the text
// stays empty when the read fails. Returns the read's result.
static int read_device_text(usb_dev_handle *handle, int index, char *text) {
  text[0] = '\0';
  // Index 0 means the device has no such string; reading it would return
  // the language table, which libusb shows as "?".
  if (index == 0)
    return 0;
  int result = usb_get_string_simple(handle, index, text, DEVICE_TEXT_SIZE);
  if (result < 0)
    text[0] = '\0';
  text[DEVICE_TEXT_SIZE - 1] = '\0';
  drop_control_characters(text);
  return result;
}

void list_devices(void) {
  log_message(TAG " About to do usb_init().\n");
  usb_init();
  int busses = usb_find_busses();
  log_message(TAG "Did usb_find_busses() and found %d busses.\n", busses);
  int devices = usb_find_devices();
  log_message(TAG "Did usb_find_devices() and found %d devices.\n", devices);
  log_message(TAG " About to do usb_get_busses().\n");
  struct usb_bus *bus_list = usb_get_busses();

  // The description number counts the listed lines. The URI's number is
  // the printer's position among every supported printer of its family,
  // in libusb's order and whether or not it could be opened here: the
  // same count the port open makes, so a listed URI always names the
  // printer it was listed for.
  int listed = 0;
  int family_count[2] = {0, 0};
  // A printer with a serial number is listed by it; its number counts the
  // printers of its family with that serial number (1 unless two share
  // one), so the URI stays the same wherever the printer is plugged in.
  struct SerialCount {
    int family;
    std::string serial;
    int count;
  };
  std::vector<SerialCount> serial_counts;

  log_message(TAG " About to iterate through busses.\n");
  for (struct usb_bus *bus = bus_list; bus != nullptr; bus = bus->next) {
    log_message(TAG " In one bus, about to iterate through devices.\n");
    for (struct usb_device *device = bus->devices; device != nullptr;
         device = device->next) {
      const struct usb_device_descriptor &descriptor = device->descriptor;
      log_message(TAG " In one device: DEV=%03d, bDeviceClass=%02Xh, "
                      "bDeviceSubClass=%02Xh, bDeviceProtocol=%02Xh, "
                      "idVendor=%04Xh, idProduct=%04Xh, idRevision=%04Xh\n",
                  static_cast<int>(device->devnum), descriptor.bDeviceClass,
                  descriptor.bDeviceSubClass, descriptor.bDeviceProtocol,
                  descriptor.idVendor, descriptor.idProduct,
                  descriptor.bcdDevice);
      if (!KORV_IsSupportedVendor(descriptor.idVendor))
        continue;

      const KORV_Model *model =
          KORV_FindModelByProduct(descriptor.idProduct);
      int number = 0;
      if (model != nullptr)
        number = ++family_count[model->family == KORV_FAMILY_KELPIN ? 1 : 0];

      log_message(TAG " Found a KorvaNIX/Mirel Works Printer: VendorId=%04Xh, "
                      "ProductId=%04Xh.\n",
                  descriptor.idVendor, descriptor.idProduct);
      log_message(TAG " Opening the device.\n");
      usb_dev_handle *handle = usb_open(device);
      if (handle == nullptr) {
        log_message(TAG " -> ERROR, could not open the device.\n");
        continue;
      }

      log_message(TAG " -> Getting the device strings.\n");
      char manufacturer[DEVICE_TEXT_SIZE];
      char product[DEVICE_TEXT_SIZE];
      if (read_device_text(handle, descriptor.iManufacturer, manufacturer) < 0)
        log_message(TAG " -> ERROR, could not get the device manufacturer "
                        "string.\n");
      if (read_device_text(handle, descriptor.iProduct, product) < 0)
        log_message(TAG " -> ERROR, could not get the device product "
                        "string.\n");
      log_message(TAG " Device is opened: Manufacturer=%s, Product=%s.\n",
                  manufacturer, product);

      if (model == nullptr) {
        log_message(TAG " -> ERROR, the MirelWorks device is not any "
                        "supported printer model.\n");
        usb_close(handle);
        continue;
      }
      const char *make_and_model = product;
      if (product[0] == '\0')
        make_and_model = model->fallbackProduct;
      log_message(TAG " -> Discovered a supported printer model: Maker=%s, "
                      "Model=%s.\n",
                  manufacturer, make_and_model);

      char serial[QRP_SERIAL_SIZE];
      QRP_ReadSerialNumber(handle, device, serial);
      if (serial[0] != '\0') {
        number = 0;
        for (SerialCount &seen : serial_counts)
          if (seen.family == model->family && seen.serial == serial)
            number = ++seen.count;
        if (number == 0) {
          serial_counts.push_back({model->family, serial, 1});
          number = 1;
        }
      }
      ++listed;
      // Both always fit: every part of them is bounded.
      char uri[64 + 3 * QRP_SERIAL_SIZE];
      char line[KORV_DISCOVERY_LINE_SIZE];
      int cut =
          KORV_FormatUri(model->protocol, number, serial, uri, sizeof uri);
      cut |= KORV_FormatDiscoveryLine(uri, make_and_model, listed,
                                      model->deviceId, line, sizeof line);
      if (cut == 0)
        fputs(line, stdout);
      usb_close(handle);
    }
  }

  if (listed == 0)
    log_message(TAG " -> NOTE, no KorvaNIX supported devices were found.\n");
}
