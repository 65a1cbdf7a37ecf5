// Test fixture of the port tests that talk to virtual printers.
#ifndef KORV_TESTS_PORT_FIXTURE_H
#define KORV_TESTS_PORT_FIXTURE_H

#include <gtest/gtest.h>
#include <stdlib.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "port_support.h"
#include "usbqrp.h"

// Waits are divided by 1000 and recorded; the port is reset and the
// printers stopped after every test.
class PortTest : public ::testing::Test {
protected:
  void SetUp() override { porttest::ClearTrace(); }
  void TearDown() override {
    setenv("KORV_TIME_DIVISOR", "1", 1); // a real monitor stop at the close
    porttest::ResetPort();
    server_.reset();
  }
  korvtest::VPrinterServer &Serve(const std::vector<std::string> &profiles) {
    server_.reset(); // the old server unsets UMOCKDEV_DIR as it goes
    server_ = porttest::Serve(profiles);
    if (!server_)
      throw std::runtime_error("no virtual printer");
    return *server_;
  }
  // Starts one printer and opens it; the trace and the time record start
  // empty after the open.
  korvtest::VPrinterServer &Open(const std::string &profile) {
    korvtest::VPrinterServer &server = Serve({profile});
    const char *uri = profile.rfind("kelpin", 0) == 0 ? "usbkorv:/tr3200ax/1"
                                                   : "usbkorv:/tr3000ax/1";
    if (QRP_OpenUsbPort(uri, 500000) != QRP_OPENPORT_OK)
      throw std::runtime_error("open failed");
    porttest::ClearTrace();
    time_.Clear();
    return server;
  }
  // Events on the wire after the first mark events of the printer.
  std::vector<std::string> WireSince(size_t mark) {
    std::vector<std::string> wire = porttest::Wire(*server_);
    if (mark > wire.size())
      mark = wire.size();
    return std::vector<std::string>(wire.begin() + mark, wire.end());
  }

  porttest::TimeRecord time_{1000};
  std::unique_ptr<korvtest::VPrinterServer> server_;
};

#endif
