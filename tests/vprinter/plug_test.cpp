// Serve mode's plug command: a printer added while the server runs is
// found by the next bus scan and served like the others; a refused
// description adds nothing.
#include "usb_access.h"

#include <gtest/gtest.h>

using namespace korvtest;

namespace {

std::string at(UsbAddress a) {
  return ",bus=" + std::to_string(a.bus) + ",dev=" + std::to_string(a.dev);
}

TEST(Plug, APrinterPluggedInWhileServingIsFoundAndServed) {
  VPrinterServer server({"ostrel,name=O"});
  ASSERT_TRUE(server.ok()) << server.error();
  ASSERT_EQ(list_usb_devices().size(), 1u);

  // Refused: a name in use, an unknown key, an address in use. Nothing
  // appears and the server goes on.
  UsbAddress taken = server.addresses()[0];
  server.command("plug kelpin,name=O");
  server.command("plug kelpin,colour=red");
  server.command("plug kelpin,name=X" + at(taken));

  UsbAddress late = next_usb_address();
  ASSERT_TRUE(server.plug("kelpin,name=late,pid=0x0005,serial=LATE" + at(late), "late"));
  // Unnamed, it is named after its place among all the printers.
  UsbAddress third = next_usb_address();
  ASSERT_TRUE(server.plug("ostrel" + at(third), "P3"));
  EXPECT_EQ(server.transcript("", "plug").size(), 2u);
  EXPECT_EQ(list_usb_devices().size(), 3u);

  struct usb_device *dev = find_usb_device(late);
  ASSERT_NE(dev, nullptr);
  EXPECT_EQ(dev->descriptor.idProduct, 0x0005);
  Handle h(dev);
  int result = 0;
  EXPECT_EQ(h.string(dev->descriptor.iSerialNumber, result), "LATE");
  ASSERT_EQ(usb_claim_interface(h.get(), 0), 0);
  ASSERT_EQ(usb_claim_interface(h.get(), 1), 0);
  EXPECT_EQ(h.write(0x01, {0x02, 'h', 'i'}), 3);
  EXPECT_EQ(server.captured("late"), (std::vector<uint8_t>{0x02, 'h', 'i'}));
  EXPECT_TRUE(server.captured("O").empty());
}

} // namespace
