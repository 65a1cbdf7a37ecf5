// Discovery as libusb 0.1 sees the virtual printers: buses, device
// numbers, descriptors of both families, and every kind of string.
#include "usb_access.h"

#include <gtest/gtest.h>

using namespace korvtest;

namespace {

const struct usb_interface_descriptor &alt(struct usb_device *d, int iface) {
  return d->config[0].interface[iface].altsetting[0];
}

TEST(Enumeration, BothFamiliesAndForeignDevicesOnTwoBuses) {
  UsbAddress a = next_usb_address(), b = next_usb_address(), c = next_usb_address();
  int other_bus = a.bus + 100;
  VPrinterServer server({"kelpin,name=K,bcd=0x0203,bus=" + std::to_string(a.bus) + ",dev=" + std::to_string(a.dev),
                         "ostrel,name=O,vid=0x3a07,bus=" + std::to_string(b.bus) + ",dev=" + std::to_string(b.dev),
                         "ostrel,name=X,vid=0x1234,pid=0x0002,bus=" + std::to_string(other_bus) + ",dev=" + std::to_string(c.dev)});
  ASSERT_TRUE(server.ok()) << server.error();

  struct usb_device *k = find_usb_device(a), *o = find_usb_device(b),
                    *x = find_usb_device({other_bus, c.dev});
  ASSERT_NE(k, nullptr);
  ASSERT_NE(o, nullptr);
  ASSERT_NE(x, nullptr);
  EXPECT_EQ(list_usb_devices().size(), 3u);

  EXPECT_EQ(k->devnum, a.dev);
  EXPECT_EQ(k->descriptor.idVendor, 0x2F1C);
  EXPECT_EQ(k->descriptor.idProduct, 0x0003);
  EXPECT_EQ(k->descriptor.bcdDevice, 0x0203);
  EXPECT_EQ(k->descriptor.bDeviceClass, 0x02);
  EXPECT_EQ(k->descriptor.bcdUSB, 0x0200);
  ASSERT_EQ(k->config[0].bNumInterfaces, 2);
  EXPECT_EQ(alt(k, 0).bInterfaceClass, 0x02);
  EXPECT_EQ(alt(k, 0).bInterfaceSubClass, 0x02);
  ASSERT_EQ(alt(k, 0).bNumEndpoints, 1);
  EXPECT_EQ(alt(k, 0).endpoint[0].bEndpointAddress, 0x83);
  EXPECT_EQ(alt(k, 0).endpoint[0].bmAttributes, 0x03);
  EXPECT_EQ(alt(k, 0).endpoint[0].wMaxPacketSize, 16);
  // The CDC functional descriptors sit between interface and endpoint.
  EXPECT_EQ(alt(k, 0).extralen, 19);
  EXPECT_EQ(alt(k, 1).bInterfaceNumber, 1);
  EXPECT_EQ(alt(k, 1).bInterfaceClass, 0x0A);
  ASSERT_EQ(alt(k, 1).bNumEndpoints, 2);
  EXPECT_EQ(alt(k, 1).endpoint[0].bEndpointAddress, 0x01);
  EXPECT_EQ(alt(k, 1).endpoint[1].bEndpointAddress, 0x82);
  EXPECT_EQ(alt(k, 1).endpoint[1].wMaxPacketSize, 512);

  EXPECT_EQ(o->descriptor.idVendor, 0x3A07);
  EXPECT_EQ(o->descriptor.idProduct, 0x0001);
  EXPECT_EQ(o->descriptor.bDeviceClass, 0x00);
  ASSERT_EQ(o->config[0].bNumInterfaces, 1);
  EXPECT_EQ(alt(o, 0).bInterfaceNumber, 0);
  EXPECT_EQ(alt(o, 0).bInterfaceClass, 0xFF);
  ASSERT_EQ(alt(o, 0).bNumEndpoints, 2);
  EXPECT_EQ(alt(o, 0).endpoint[0].bEndpointAddress, 0x81);
  EXPECT_EQ(alt(o, 0).endpoint[1].bEndpointAddress, 0x01);
  EXPECT_EQ(alt(o, 0).endpoint[1].wMaxPacketSize, 64);

  EXPECT_EQ(x->descriptor.idVendor, 0x1234);
  EXPECT_EQ(x->descriptor.idProduct, 0x0002);

  // A scan opens each node: the transcript shows it.
  EXPECT_FALSE(server.transcript("K", "open").empty());
  EXPECT_TRUE(server.wait_for("X", "close"));
}

TEST(Enumeration, StringsOfEveryKind) {
  const std::string tricky = "He said \"hi\", then \\ left";
  const std::string long62(62, 'L'), long70(70, 'W');
  VPrinterServer server({"ostrel,name=A,manufacturer=\"" + std::string("He said \\\"hi\\\", then \\\\ left") +
                             "\",product=\"\",serial=@stall",
                         "kelpin,name=B,manufacturer=@none,product=" + long62 + ",serial=" + long70,
                         "ostrel,name=C,product=\"@stall\",serial=\"caf\xc3\xa9 \xe2\x82\xac\""});
  ASSERT_TRUE(server.ok()) << server.error();
  auto addr = server.addresses();
  ASSERT_EQ(addr.size(), 3u);

  struct usb_device *a = find_usb_device(addr[0]);
  ASSERT_NE(a, nullptr);
  Handle ha(a);
  ASSERT_TRUE(ha);
  int r;
  EXPECT_EQ(ha.string(a->descriptor.iManufacturer, r), tricky);
  EXPECT_EQ(r, int(tricky.size()));
  EXPECT_EQ(ha.string(a->descriptor.iProduct, r), "");
  EXPECT_EQ(r, 0);
  EXPECT_NE(a->descriptor.iSerialNumber, 0);
  ha.string(a->descriptor.iSerialNumber, r);
  EXPECT_EQ(r, -32);
  auto gets = server.transcript("A", "control");
  ASSERT_FALSE(gets.empty());
  EXPECT_NE(gets.back().find("result=-32"), std::string::npos) << gets.back();

  struct usb_device *b = find_usb_device(addr[1]);
  ASSERT_NE(b, nullptr);
  Handle hb(b);
  EXPECT_EQ(b->descriptor.iManufacturer, 0);
  // libusb's 61-byte buffer keeps 60 characters; a descriptor over 127
  // bytes comes back empty from libusb itself.
  EXPECT_EQ(hb.string(b->descriptor.iProduct, r), std::string(60, 'L'));
  EXPECT_EQ(r, 60);
  EXPECT_EQ(hb.string(b->descriptor.iSerialNumber, r), "");
  EXPECT_EQ(r, 0);

  struct usb_device *c = find_usb_device(addr[2]);
  ASSERT_NE(c, nullptr);
  Handle hc(c);
  EXPECT_EQ(hc.string(c->descriptor.iProduct, r), "@stall"); // quoted: literal text
  // UTF-8 text becomes UTF-16; libusb 0.1 turns it back into Latin-1
  // and shows '?' for the rest.
  EXPECT_EQ(hc.string(c->descriptor.iSerialNumber, r), "caf\xe9 ?");
}

} // namespace
