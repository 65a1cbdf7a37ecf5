#include "usb_access.h"

#include <cstdio>
#include <cstring>

namespace korvtest {

struct usb_device *find_usb_device(UsbAddress addr) {
  usb_init();
  usb_find_busses();
  usb_find_devices();
  char bus[16], dev[16];
  snprintf(bus, sizeof bus, "%03d", addr.bus);
  snprintf(dev, sizeof dev, "%03d", addr.dev);
  for (struct usb_bus *b = usb_get_busses(); b; b = b->next)
    for (struct usb_device *d = b->devices; d; d = d->next)
      if (strcmp(b->dirname, bus) == 0 && strcmp(d->filename, dev) == 0)
        return d;
  return nullptr;
}

std::vector<std::string> list_usb_devices() {
  usb_init();
  usb_find_busses();
  usb_find_devices();
  std::vector<std::string> out;
  for (struct usb_bus *b = usb_get_busses(); b; b = b->next)
    for (struct usb_device *d = b->devices; d; d = d->next) {
      char ids[16];
      snprintf(ids, sizeof ids, " %04x:%04x", d->descriptor.idVendor, d->descriptor.idProduct);
      out.push_back(std::string(b->dirname) + "/" + d->filename + ids);
    }
  return out;
}

int Handle::control(int type, int request, int value, int index, std::vector<uint8_t> &data,
                    int timeout) {
  int r = usb_control_msg(h_, type, request, value, index,
                          data.empty() ? nullptr : reinterpret_cast<char *>(data.data()),
                          int(data.size()), timeout);
  if ((type & 0x80) && r >= 0)
    data.resize(size_t(r));
  return r;
}

int Handle::write(int ep, const std::vector<uint8_t> &data, int timeout) {
  std::vector<uint8_t> copy = data;
  return usb_bulk_write(h_, ep, reinterpret_cast<char *>(copy.data()), int(copy.size()), timeout);
}

int Handle::read(int ep, int length, std::vector<uint8_t> &data, int timeout) {
  data.assign(size_t(length), 0);
  int r = usb_bulk_read(h_, ep, reinterpret_cast<char *>(data.data()), length, timeout);
  data.resize(r > 0 ? size_t(r) : 0);
  return r;
}

int Handle::interrupt(int ep, std::vector<uint8_t> &data, int timeout) {
  data.assign(10, 0);
  int r = usb_interrupt_read(h_, ep, reinterpret_cast<char *>(data.data()), 10, timeout);
  data.resize(r > 0 ? size_t(r) : 0);
  return r;
}

std::string Handle::string(int index, int &result) {
  char buf[61] = "";
  result = usb_get_string_simple(h_, index, buf, sizeof buf);
  return buf;
}

std::string hex_of(const std::vector<uint8_t> &data) {
  std::string out;
  char b[3];
  for (uint8_t x : data) {
    snprintf(b, sizeof b, "%02x", x);
    out += b;
  }
  return out;
}

} // namespace korvtest
