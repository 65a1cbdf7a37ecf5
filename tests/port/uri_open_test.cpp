// The trace lines and results that the port open gives for each device
// URI the parser refuses.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "port_support.h"
#include "usbqrp.h"

namespace {

// The open's answers to refused URIs: whole trace lines and results. No
// printer is needed, the open stops before the bus scan.
class UriOpen : public ::testing::Test {
protected:
  void SetUp() override { porttest::ClearTrace(); }
  void TearDown() override { porttest::ResetPort(); }

  // Lines of the open after its entry line and the three argument lines.
  std::vector<std::string> OpenLines(const char *uri, int expected) {
    EXPECT_EQ(QRP_OpenUsbPort(uri, 500000), expected);
    std::vector<std::string> lines = porttest::TraceLines();
    EXPECT_GE(lines.size(), 5u);
    EXPECT_EQ(lines[0], "");
    EXPECT_EQ(lines[1], "*** Entering function QRP_OpenUsbPort() ***");
    EXPECT_EQ(lines[2], "-> Process arguments received.");
    EXPECT_EQ(lines[3], std::string("  -> Got parameter uri=") + uri + ".");
    EXPECT_EQ(lines[4], "  -> Start parsing arguments from URI.");
    EXPECT_EQ(g_printer.opened, 0);
    return std::vector<std::string>(lines.begin() + 5, lines.end());
  }
};

TEST_F(UriOpen, MissingMethodOrResource) {
  EXPECT_EQ(OpenLines("", QRP_OPENPORT_ERROR_NOTFOUND),
            (std::vector<std::string>{
                "-> ERROR, could not get a valid URI 'method' component.",
                "*** Exiting function QRP_OpenUsbPort() = "
                "QRP_OPENPORT_ERROR_NOTFOUND"}));
  porttest::ClearTrace();
  EXPECT_EQ(OpenLines("usbkorv", QRP_OPENPORT_ERROR_NOTFOUND),
            (std::vector<std::string>{
                "-> ERROR, could not get a valid URI 'resource' component.",
                "*** Exiting function QRP_OpenUsbPort() = "
                "QRP_OPENPORT_ERROR_NOTFOUND"}));
}

TEST_F(UriOpen, UnsupportedMethodAndProtocol) {
  EXPECT_EQ(OpenLines("USBKORV:/tr3000ax/1", QRP_OPENPORT_ERROR_UNSUPPORTED),
            (std::vector<std::string>{
                "    -> Got method=USBKORV from URI.",
                "    -> Got resource=/tr3000ax/1 from URI.",
                "    -> ERROR, didn't find a supported URI 'method' "
                "component, method=USBKORV.",
                "*** Exiting function QRP_OpenUsbPort() = "
                "QRP_OPENPORT_ERROR_UNSUPPORTED"}));
  porttest::ClearTrace();
  EXPECT_EQ(OpenLines("usbkorv:/tr9999/1", QRP_OPENPORT_ERROR_UNSUPPORTED),
            (std::vector<std::string>{
                "    -> Got method=usbkorv from URI.",
                "    -> Got resource=/tr9999/1 from URI.",
                "    -> ERROR, didn't find a supported 'protocol' into URI "
                "'resource' component, protocol=tr9999.",
                "*** Exiting function QRP_OpenUsbPort() = "
                "QRP_OPENPORT_ERROR_UNSUPPORTED"}));
}

TEST_F(UriOpen, MissingTokensPrintNull) {
  for (const char *uri : {"usbkorv:/", "usbkorv:///"}) {
    porttest::ClearTrace();
    std::vector<std::string> lines =
        OpenLines(uri, QRP_OPENPORT_ERROR_NOTFOUND);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[2], "    -> ERROR, could not get a valid 'protocol' into "
                        "URI 'resource' component, protocol=(null).");
  }
  for (const char *uri : {"usbkorv:/tr3000ax", "usbkorv:/tr3000ax/"}) {
    porttest::ClearTrace();
    std::vector<std::string> lines =
        OpenLines(uri, QRP_OPENPORT_ERROR_NOTFOUND);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[2], "    -> ERROR, could not get a valid 'printer id' "
                        "into URI 'resource' component, printerid=(null).");
  }
}

TEST_F(UriOpen, PrinterIdOutOfRange) {
  for (const char *uri : {"usbkorv:/tr3000ax/0", "usbkorv:/tr3000ax/100",
                          "usbkorv:/tr3000ax/abc", "usbkorv:/tr3000ax/-3"}) {
    porttest::ClearTrace();
    std::vector<std::string> lines =
        OpenLines(uri, QRP_OPENPORT_ERROR_NOTFOUND);
    ASSERT_EQ(lines.size(), 4u) << uri;
    EXPECT_EQ(lines[2], "    -> ERROR, didn't find a supported 'printer id' "
                        "into URI 'resource' component.");
  }
}

TEST_F(UriOpen, BaudRateIsCheckedBeforeTheUri) {
  for (int baud : {9600, -1, 115201}) {
    porttest::ClearTrace();
    EXPECT_EQ(QRP_OpenUsbPort("no uri at all", baud),
              QRP_OPENPORT_ERROR_GENERAL);
    EXPECT_EQ(porttest::TraceLines(),
              (std::vector<std::string>{
                  "", "*** Entering function QRP_OpenUsbPort() ***",
                  "-> ERROR, the baud rate parameter is invalid.",
                  "*** Exiting function QRP_OpenUsbPort() = "
                  "QRP_OPENPORT_ERROR_GENERAL"}));
  }
}

TEST_F(UriOpen, LongUriLinesStayWithin254Characters) {
  std::string uri = "usbkorv:/tr9999" + std::string(300, 'z') + "/1";
  EXPECT_EQ(QRP_OpenUsbPort(uri.c_str(), 0), QRP_OPENPORT_ERROR_UNSUPPORTED);
  std::vector<std::string> lines = porttest::TraceLines();
  ASSERT_GE(lines.size(), 4u);
  // "  -> Got parameter uri=" plus the first 231 characters of the URI.
  EXPECT_EQ(lines[3].size(), 254u);
  EXPECT_EQ(lines[3], "  -> Got parameter uri=" + uri.substr(0, 231));
  for (const std::string &line : lines)
    EXPECT_LE(line.size(), 254u);
}

} // namespace
