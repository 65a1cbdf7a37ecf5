// Device URI parsing: accepted and refused forms, the 255-character cut,
// and the trace lines and results that the open gives for each refusal.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "port_support.h"
#include "uri.h"
#include "usbqrp.h"

namespace {

struct UriCase {
  const char *uri;
  int status;
  const char *protocol; // expected when the protocol was taken
  int printerId;        // expected when status is OK
  int family;
};

const UriCase kCases[] = {
    {"usbkorv:/tr3000ax/1", QRP_URI_OK, "tr3000ax", 1, QRP_FAMILY_OSTREL},
    {"usbkorv:/tr3200ax/1", QRP_URI_OK, "tr3200ax", 1, QRP_FAMILY_KELPIN},
    {"usbkorv:/tr090sax/12", QRP_URI_OK, "tr090sax", 12, QRP_FAMILY_KELPIN},
    {"usbkorv:/tr3500ax/99", QRP_URI_OK, "tr3500ax", 99, QRP_FAMILY_KELPIN},
    {"usbkorv://TR3200AX//2/x", QRP_URI_OK, "TR3200AX", 2, QRP_FAMILY_KELPIN},
    {"usbkorv:tr3200ax/1", QRP_URI_OK, "tr3200ax", 1, QRP_FAMILY_KELPIN},
    {"usbkorvx:/tr3000ax/3", QRP_URI_OK, "tr3000ax", 3, QRP_FAMILY_OSTREL},
    {"::usbkorv::/Tr3000Ax/4:ignored", QRP_URI_OK, "Tr3000Ax", 4,
     QRP_FAMILY_OSTREL},
    {"usbkorv:/tr3000ax/7x", QRP_URI_OK, "tr3000ax", 7, QRP_FAMILY_OSTREL},
    {"usbkorv:/tr3000ax/ +5", QRP_URI_OK, "tr3000ax", 5, QRP_FAMILY_OSTREL},
    {"", QRP_URI_NO_METHOD, nullptr, 0, 0},
    {":::", QRP_URI_NO_METHOD, nullptr, 0, 0},
    {"usbkorv", QRP_URI_NO_RESOURCE, nullptr, 0, 0},
    {"usbkorv:", QRP_URI_NO_RESOURCE, nullptr, 0, 0},
    {"usbkorv/tr3000ax/1", QRP_URI_NO_RESOURCE, nullptr, 0, 0},
    {"USBKORV:/tr3000ax/1", QRP_URI_BAD_METHOD, nullptr, 0, 0},
    {"usbkor:/tr3000ax/1", QRP_URI_BAD_METHOD, nullptr, 0, 0},
    {"usb:/tr3000ax/1", QRP_URI_BAD_METHOD, nullptr, 0, 0},
    {"usbkorv:/", QRP_URI_NO_PROTOCOL, nullptr, 0, 0},
    {"usbkorv:///", QRP_URI_NO_PROTOCOL, nullptr, 0, 0},
    {"usbkorv:/tr9999/1", QRP_URI_BAD_PROTOCOL, "tr9999", 0, 0},
    {"usbkorv:/tr3000a/1", QRP_URI_BAD_PROTOCOL, "tr3000a", 0, 0},
    {"usbkorv:/tr3000ax", QRP_URI_NO_PRINTERID, "tr3000ax", 0, 0},
    {"usbkorv:/tr3000ax/", QRP_URI_NO_PRINTERID, "tr3000ax", 0, 0},
    {"usbkorv:/tr3000ax/0", QRP_URI_BAD_PRINTERID, "tr3000ax", 0, 0},
    {"usbkorv:/tr3000ax/100", QRP_URI_BAD_PRINTERID, "tr3000ax", 0, 0},
    {"usbkorv:/tr3000ax/abc", QRP_URI_BAD_PRINTERID, "tr3000ax", 0, 0},
    {"usbkorv:/tr3000ax/-3", QRP_URI_BAD_PRINTERID, "tr3000ax", 0, 0},
    // Values that a 16-bit or 32-bit wrap would bring back into 1..99.
    {"usbkorv:/tr3000ax/65537", QRP_URI_BAD_PRINTERID, "tr3000ax", 0, 0},
    {"usbkorv:/tr3000ax/4294967297", QRP_URI_BAD_PRINTERID, "tr3000ax", 0, 0},
};

TEST(UriParse, AcceptedAndRefusedForms) {
  for (const UriCase &c : kCases) {
    SCOPED_TRACE(c.uri);
    QRP_UriParts parts;
    EXPECT_EQ(QRP_ParseUri(c.uri, &parts), c.status);
    if (c.protocol != nullptr) {
      EXPECT_STREQ(parts.protocol, c.protocol);
    }
    if (c.status == QRP_URI_OK) {
      EXPECT_EQ(parts.printerId, c.printerId);
      EXPECT_EQ(parts.family, c.family);
    }
  }
}

TEST(UriParse, TokensAsTheOpenTracesThem) {
  QRP_UriParts parts;
  ASSERT_EQ(QRP_ParseUri("usbkorvx://TR3200AX//2/x:more", &parts), QRP_URI_OK);
  EXPECT_STREQ(parts.uri, "usbkorvx://TR3200AX//2/x:more");
  EXPECT_STREQ(parts.method, "usbkorvx");
  EXPECT_STREQ(parts.resource, "//TR3200AX//2/x");
  EXPECT_STREQ(parts.printerIdText, "2");
}

TEST(UriParse, NullIsAnEmptyUri) {
  QRP_UriParts parts;
  EXPECT_EQ(QRP_ParseUri(nullptr, &parts), QRP_URI_NO_METHOD);
  EXPECT_STREQ(parts.uri, "");
}

TEST(UriParse, OnlyTheFirst255CharactersAreRead) {
  // The printer id sits right at the cut: the 255th character is its
  // first digit, so "12" becomes "1".
  std::string head = "usbkorv:/tr3000ax";
  std::string uri = head + std::string(254 - head.size() - 1, '/') + "/12";
  ASSERT_EQ(uri.size(), 256u);
  QRP_UriParts parts;
  ASSERT_EQ(QRP_ParseUri(uri.c_str(), &parts), QRP_URI_OK);
  EXPECT_EQ(strlen(parts.uri), 255u);
  EXPECT_EQ(parts.printerId, 1);

  // A protocol name pushed past the cut is not seen at all.
  std::string late = "usbkorv:" + std::string(243, '/') + "tr3000ax/1";
  EXPECT_EQ(QRP_ParseUri(late.c_str(), &parts), QRP_URI_BAD_PROTOCOL);
  EXPECT_STREQ(parts.protocol, "tr30");

  std::string huge(100000, 'u');
  EXPECT_EQ(QRP_ParseUri(huge.c_str(), &parts), QRP_URI_NO_RESOURCE);
  EXPECT_EQ(strlen(parts.method), 255u);
}

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
