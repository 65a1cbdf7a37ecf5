// Device URI parsing: accepted and refused forms and the 255-character cut.
#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "catalogue.h"
#include "uri.h"

namespace {

struct UriCase {
  const char *uri;
  int status;
  const char *protocol; // expected when the protocol was taken
  int printerId;        // expected when status is OK
  int family;
};

const UriCase kCases[] = {
    {"usbkorv:/tr3000ax/1", KORV_URI_OK, "tr3000ax", 1, KORV_FAMILY_OSTREL},
    {"usbkorv:/tr3200ax/1", KORV_URI_OK, "tr3200ax", 1, KORV_FAMILY_KELPIN},
    {"usbkorv:/tr090sax/12", KORV_URI_OK, "tr090sax", 12, KORV_FAMILY_KELPIN},
    {"usbkorv:/tr3500ax/99", KORV_URI_OK, "tr3500ax", 99, KORV_FAMILY_KELPIN},
    {"usbkorv://TR3200AX//2/x", KORV_URI_OK, "TR3200AX", 2, KORV_FAMILY_KELPIN},
    {"usbkorv:tr3200ax/1", KORV_URI_OK, "tr3200ax", 1, KORV_FAMILY_KELPIN},
    {"usbkorvx:/tr3000ax/3", KORV_URI_OK, "tr3000ax", 3, KORV_FAMILY_OSTREL},
    {"::usbkorv::/Tr3000Ax/4:ignored", KORV_URI_OK, "Tr3000Ax", 4,
     KORV_FAMILY_OSTREL},
    {"usbkorv:/tr3000ax/7x", KORV_URI_OK, "tr3000ax", 7, KORV_FAMILY_OSTREL},
    {"usbkorv:/tr3000ax/ +5", KORV_URI_OK, "tr3000ax", 5, KORV_FAMILY_OSTREL},
    {"", KORV_URI_NO_METHOD, nullptr, 0, 0},
    {":::", KORV_URI_NO_METHOD, nullptr, 0, 0},
    {"usbkorv", KORV_URI_NO_RESOURCE, nullptr, 0, 0},
    {"usbkorv:", KORV_URI_NO_RESOURCE, nullptr, 0, 0},
    {"usbkorv/tr3000ax/1", KORV_URI_NO_RESOURCE, nullptr, 0, 0},
    {"USBKORV:/tr3000ax/1", KORV_URI_BAD_METHOD, nullptr, 0, 0},
    {"usbkor:/tr3000ax/1", KORV_URI_BAD_METHOD, nullptr, 0, 0},
    {"usb:/tr3000ax/1", KORV_URI_BAD_METHOD, nullptr, 0, 0},
    {"usbkorv:/", KORV_URI_NO_PROTOCOL, nullptr, 0, 0},
    {"usbkorv:///", KORV_URI_NO_PROTOCOL, nullptr, 0, 0},
    {"usbkorv:/tr9999/1", KORV_URI_BAD_PROTOCOL, "tr9999", 0, 0},
    {"usbkorv:/tr3000a/1", KORV_URI_BAD_PROTOCOL, "tr3000a", 0, 0},
    {"usbkorv:/tr3000ax", KORV_URI_NO_PRINTERID, "tr3000ax", 0, 0},
    {"usbkorv:/tr3000ax/", KORV_URI_NO_PRINTERID, "tr3000ax", 0, 0},
    {"usbkorv:/tr3000ax/0", KORV_URI_BAD_PRINTERID, "tr3000ax", 0, 0},
    {"usbkorv:/tr3000ax/100", KORV_URI_BAD_PRINTERID, "tr3000ax", 0, 0},
    {"usbkorv:/tr3000ax/abc", KORV_URI_BAD_PRINTERID, "tr3000ax", 0, 0},
    {"usbkorv:/tr3000ax/-3", KORV_URI_BAD_PRINTERID, "tr3000ax", 0, 0},
    // Values that a 16-bit or 32-bit wrap would bring back into 1..99.
    {"usbkorv:/tr3000ax/65537", KORV_URI_BAD_PRINTERID, "tr3000ax", 0, 0},
    {"usbkorv:/tr3000ax/4294967297", KORV_URI_BAD_PRINTERID, "tr3000ax", 0, 0},
};

TEST(UriParse, AcceptedAndRefusedForms) {
  for (const UriCase &c : kCases) {
    SCOPED_TRACE(c.uri);
    KORV_UriParts parts;
    EXPECT_EQ(KORV_ParseUri(c.uri, &parts), c.status);
    if (c.protocol != nullptr) {
      EXPECT_STREQ(parts.protocol, c.protocol);
    }
    if (c.status == KORV_URI_OK) {
      EXPECT_EQ(parts.printerId, c.printerId);
      EXPECT_EQ(parts.family, c.family);
    }
  }
}

TEST(UriParse, TokensAsTheOpenTracesThem) {
  KORV_UriParts parts;
  ASSERT_EQ(KORV_ParseUri("usbkorvx://TR3200AX//2/x:more", &parts), KORV_URI_OK);
  EXPECT_STREQ(parts.uri, "usbkorvx://TR3200AX//2/x:more");
  EXPECT_STREQ(parts.method, "usbkorvx");
  EXPECT_STREQ(parts.resource, "//TR3200AX//2/x");
  EXPECT_STREQ(parts.printerIdText, "2");
}

TEST(UriParse, NullIsAnEmptyUri) {
  KORV_UriParts parts;
  EXPECT_EQ(KORV_ParseUri(nullptr, &parts), KORV_URI_NO_METHOD);
  EXPECT_STREQ(parts.uri, "");
}

TEST(UriParse, OnlyTheFirst255CharactersAreRead) {
  // The printer id sits right at the cut: the 255th character is its
  // first digit, so "12" becomes "1".
  std::string head = "usbkorv:/tr3000ax";
  std::string uri = head + std::string(254 - head.size() - 1, '/') + "/12";
  ASSERT_EQ(uri.size(), 256u);
  KORV_UriParts parts;
  ASSERT_EQ(KORV_ParseUri(uri.c_str(), &parts), KORV_URI_OK);
  EXPECT_EQ(strlen(parts.uri), 255u);
  EXPECT_EQ(parts.printerId, 1);

  // A protocol name pushed past the cut is not seen at all.
  std::string late = "usbkorv:" + std::string(243, '/') + "tr3000ax/1";
  EXPECT_EQ(KORV_ParseUri(late.c_str(), &parts), KORV_URI_BAD_PROTOCOL);
  EXPECT_STREQ(parts.protocol, "tr30");

  std::string huge(100000, 'u');
  EXPECT_EQ(KORV_ParseUri(huge.c_str(), &parts), KORV_URI_NO_RESOURCE);
  EXPECT_EQ(strlen(parts.method), 255u);
}

} // namespace
