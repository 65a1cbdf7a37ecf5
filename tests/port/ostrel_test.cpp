// Ostrel set-up (clear halt, UART enable, DTR and RTS, 8N1, baud divisor)
// and the modem-status DSR reading, against a virtual Ostrel printer.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "port_fixture.h"
#include "port_support.h"
#include "usbqrp.h"

namespace {

using porttest::FindLine;
using porttest::HasRun;
using porttest::TraceLines;
using porttest::Wire;

const char *kExitGeneral =
    "*** Exiting function QRP_OpenUsbPort() = QRP_OPENPORT_ERROR_GENERAL";

std::string Control(int type, int request, int value, int length = 0,
                    const std::string &data = "", int result = 0) {
  char text[160];
  snprintf(text, sizeof text,
           "control type=0x%02x request=0x%02x value=0x%04x index=0x0000 "
           "length=%d data=%s result=%d",
           type, request, value, length, data.c_str(), result);
  return text;
}

class OstrelTest : public PortTest {
protected:
  // The set-up's part of the wire: from the claim to the first bulk write.
  std::vector<std::string> SetupWire() {
    std::vector<std::string> wire = Wire(*server_);
    std::vector<std::string> out;
    bool in = false;
    for (const std::string &event : wire) {
      if (event.rfind("claim", 0) == 0) {
        in = true;
        continue;
      }
      if (event.rfind("bulk_out", 0) == 0 ||
          event.rfind("control type=0xc1", 0) == 0)
        break;
      if (in)
        out.push_back(event);
    }
    return out;
  }

};

TEST_F(OstrelTest, BaudRatesGiveTheExactRequests) {
  struct Case {
    int baud;
    int divisor;
    const char *line;
  } cases[] = {
      {0, 0x0007, "    -> Trying QRP_PORTTYPE_USB_OSTREL_BAUD_500 bps."},
      {500000, 0x0007, "    -> Trying QRP_PORTTYPE_USB_OSTREL_BAUD_500 bps."},
      {115200, 0x0020, "    -> Trying QRP_PORTTYPE_USB_OSTREL_BAUD_115 bps."},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.baud);
    porttest::ClearTrace();
    Serve({"ostrel"});
    ASSERT_EQ(QRP_OpenUsbPort("usbkorv:/tr3000ax/1", c.baud), QRP_OPENPORT_OK);
    EXPECT_EQ(SetupWire(), (std::vector<std::string>{
        "clear_halt endpoint=0x01 result=0", Control(0x41, 0x00, 0x0001),
        Control(0x41, 0x07, 0x0383), Control(0x41, 0x03, 0x0800),
        Control(0x41, 0x01, c.divisor)}));
    EXPECT_TRUE(HasRun(TraceLines(), {
        "-> [QRP_Init_Ostrel]The USB protocol to use is tr3000ax:",
        "  -> Do an USB 'halt' on the device.",
        "  -> Enable the UART on the USB device.",
        "  -> Setting the DTR and RTS pins low (active) on the UART.",
        "  -> Setting the data bits, parity and stop bits on the UART.",
        "  -> Setting the baud rate on the UART.", c.line,
        "*** Exiting function QRP_OpenUsbPort() = QRP_OPENPORT_OK"}));
    porttest::ResetPort();
  }
}

TEST_F(OstrelTest, FailingRequestEndsTheSetUp) {
  struct Case {
    int request;
    const char *progress; // last progress line before the error
    const char *error;
    size_t sent;          // control requests sent, the failing one included
  } cases[] = {
      {0x00, "  -> Enable the UART on the USB device.",
       "    -> ERROR, could not enable the UART on the device, result=-32.", 1},
      {0x07, "  -> Setting the DTR and RTS pins low (active) on the UART.",
       "    -> ERROR, could not set DTR and RTS pins on the UART, result=-32.", 2},
      {0x03, "  -> Setting the data bits, parity and stop bits on the UART.",
       "    -> ERROR, could not set the data bits, parity and stop bits on the "
       "UART, result=-32.", 3},
      {0x01, "    -> Trying QRP_PORTTYPE_USB_OSTREL_BAUD_500 bps.",
       "      -> ERROR, could not set the baud rate on the UART, result=-32.", 4},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.request);
    porttest::ClearTrace();
    char rule[64];
    snprintf(rule, sizeof rule, "ostrel,fail=control/0x41/0x%02x:stall", c.request);
    Serve({rule});
    EXPECT_EQ(QRP_OpenUsbPort("usbkorv:/tr3000ax/1", 500000),
              QRP_OPENPORT_ERROR_GENERAL);
    std::vector<std::string> lines = TraceLines();
    EXPECT_TRUE(HasRun(lines, {c.progress, c.error, kExitGeneral}));
    EXPECT_EQ(lines.back(), kExitGeneral);
    std::vector<std::string> wire = SetupWire();
    EXPECT_EQ(wire.size(), c.sent + 1); // the clear halt comes first
    EXPECT_EQ(g_printer.handle2, g_printer.handle);
    EXPECT_NE(g_printer.handle, nullptr);
    EXPECT_EQ(g_printer.opened, 0);
    EXPECT_TRUE(server_->captured("P1").empty());
    porttest::ResetPort();
  }
}

TEST_F(OstrelTest, FailingClearHaltIsOnlyAWarning) {
  Serve({"ostrel,fail=clear_halt:stall"});
  ASSERT_EQ(QRP_OpenUsbPort("usbkorv:/tr3000ax/1", 0), QRP_OPENPORT_OK);
  EXPECT_TRUE(HasRun(TraceLines(), {
      "  -> Do an USB 'halt' on the device.",
      "    -> WARNING, could not do a 'usb_clear_halt()' on the device, result=-32.",
      "  -> Enable the UART on the USB device."}));
  EXPECT_EQ(SetupWire().size(), 5u);
}

TEST_F(OstrelTest, DsrReadingOutcomes) {
  auto &server = Serve({"ostrel"});
  ASSERT_EQ(QRP_OpenUsbPort("usbkorv:/tr3000ax/1", 0), QRP_OPENPORT_OK);
  EXPECT_EQ(QRP_UsbGetOstrelDSR(&g_printer), 1);
  EXPECT_EQ(QRP_UsbGetDSR(&g_printer), 1);
  std::vector<std::string> wire = Wire(server);
  // DTR and RTS are up, DSR too: 0x23.
  EXPECT_EQ(wire.back(), "control type=0xc1 request=0x08 value=0x0000 "
                         "index=0x0000 length=1 data=23 result=1");

  server.command("dsr P1 0");
  ASSERT_TRUE(porttest::Eventually(
      [] { return QRP_UsbGetOstrelDSR(&g_printer) == 0; }));
  EXPECT_EQ(Wire(server).back(), "control type=0xc1 request=0x08 value=0x0000 "
                                 "index=0x0000 length=1 data=03 result=1");

  // A record of the Kelpin family reads 1 without a transfer.
  size_t events = server.transcript().size();
  g_printer.family = KORV_FAMILY_KELPIN;
  EXPECT_EQ(QRP_UsbGetOstrelDSR(&g_printer), 1);
  g_printer.family = KORV_FAMILY_OSTREL;
  EXPECT_EQ(server.transcript().size(), events);
  // The DSR reading writes no trace lines.
  porttest::ClearTrace();
  EXPECT_EQ(QRP_UsbGetOstrelDSR(&g_printer), 0);
  EXPECT_TRUE(TraceLines().empty());
}

TEST_F(OstrelTest, DsrReadingWithoutAByteOrStalled) {
  Serve({"ostrel,modem_status=empty"});
  ASSERT_EQ(QRP_OpenUsbPort("usbkorv:/tr3000ax/1", 0), QRP_OPENPORT_OK);
  EXPECT_EQ(QRP_UsbGetOstrelDSR(&g_printer), -1);
  porttest::ResetPort();

  Serve({"ostrel,modem_status=stall"});
  ASSERT_EQ(QRP_OpenUsbPort("usbkorv:/tr3000ax/1", 0), QRP_OPENPORT_OK);
  EXPECT_EQ(QRP_UsbGetOstrelDSR(&g_printer), -2);
  EXPECT_EQ(QRP_UsbGetDSR(&g_printer), -2);
}

} // namespace
