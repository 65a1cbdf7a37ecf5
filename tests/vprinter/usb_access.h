// libusb 0.1 access for the virtual printer tests: finds a printer by its
// bus and device number and keeps a handle open for one test.
#pragma once

#include "vprinter_client.h"

#include <string>
#include <usb.h>
#include <vector>

namespace korvtest {

// Rescans the buses and returns the device at addr, or null.
struct usb_device *find_usb_device(UsbAddress addr);

// Every device that the current scan lists, as "BBB/DDD vvvv:pppp".
std::vector<std::string> list_usb_devices();

class Handle {
public:
  explicit Handle(struct usb_device *dev) : h_(dev ? usb_open(dev) : nullptr) {}
  ~Handle() {
    if (h_)
      usb_close(h_);
  }
  Handle(const Handle &) = delete;
  Handle &operator=(const Handle &) = delete;
  usb_dev_handle *get() const { return h_; }
  explicit operator bool() const { return h_ != nullptr; }

  int control(int type, int request, int value, int index, std::vector<uint8_t> &data,
              int timeout = 1000);
  int control(int type, int request, int value, int index) {
    std::vector<uint8_t> none;
    return control(type, request, value, index, none);
  }
  int write(int ep, const std::vector<uint8_t> &data, int timeout = 1000);
  // Returns the result; data gets the bytes read.
  int read(int ep, int length, std::vector<uint8_t> &data, int timeout = 100);
  int interrupt(int ep, std::vector<uint8_t> &data, int timeout = 10);
  std::string string(int index, int &result);

private:
  usb_dev_handle *h_;
};

std::string hex_of(const std::vector<uint8_t> &data);

} // namespace korvtest
