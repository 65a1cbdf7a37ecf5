// Each family's requests as a driver makes them, and the transcript
// lines and captures they leave.
#include "usb_access.h"

#include <gtest/gtest.h>

using namespace korvtest;

namespace {

std::vector<uint8_t> pattern(size_t n, uint8_t seed) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i)
    v[i] = uint8_t(seed + i * 7);
  return v;
}

// The transcript of one printer without the open/close lines and the
// descriptor reads of the scans.
std::vector<std::string> traffic(const VPrinterServer &s, const std::string &name) {
  std::vector<std::string> out;
  for (auto &l : s.transcript(name))
    if (l.find(" open") == std::string::npos && l.find(" close") == std::string::npos &&
        l.find("request=0x06") == std::string::npos)
      out.push_back(l);
  return out;
}

TEST(Requests, OstrelBridgeSetupModemStatusAndData) {
  VPrinterServer server({"ostrel,name=O"});
  ASSERT_TRUE(server.ok()) << server.error();
  struct usb_device *d = find_usb_device(server.addresses()[0]);
  ASSERT_NE(d, nullptr);
  Handle h(d);
  ASSERT_TRUE(h);

  std::vector<uint8_t> status(1);
  EXPECT_EQ(h.control(0xC1, 0x08, 0, 0, status), 1);
  EXPECT_EQ(hex_of(status), "20"); // DSR up, DTR and RTS still low
  EXPECT_EQ(usb_claim_interface(h.get(), 0), 0);
  EXPECT_EQ(usb_clear_halt(h.get(), 0x01), 0);
  EXPECT_EQ(h.control(0x41, 0x00, 0x0001, 0), 0);
  EXPECT_EQ(h.control(0x41, 0x07, 0x0383, 0), 0);
  EXPECT_EQ(h.control(0x41, 0x03, 0x0800, 0), 0);
  EXPECT_EQ(h.control(0x41, 0x01, 0x0007, 0), 0);
  status.assign(1, 0);
  EXPECT_EQ(h.control(0xC1, 0x08, 0, 0, status), 1);
  EXPECT_EQ(hex_of(status), "23");
  std::vector<uint8_t> two(2);
  EXPECT_EQ(h.control(0xC1, 0x02, 0, 0, two), 2);
  EXPECT_EQ(hex_of(two), "0700"); // the divisor set above
  EXPECT_EQ(h.control(0x41, 0x55, 0, 0), -32); // unknown vendor request stalls

  auto data = pattern(200, 3);
  EXPECT_EQ(h.write(0x01, data), 200);
  EXPECT_EQ(h.write(0x01, {0x02}), 1);
  data.push_back(0x02);
  EXPECT_EQ(server.captured("O"), data);
  EXPECT_EQ(usb_release_interface(h.get(), 0), 0);
  EXPECT_EQ(usb_release_interface(h.get(), 0), -22);

  std::vector<std::string> expected = {
      "O control type=0xc1 request=0x08 value=0x0000 index=0x0000 length=1 data=20 result=1",
      "O claim interface=0 result=0",
      "O clear_halt endpoint=0x01 result=0",
      "O control type=0x41 request=0x00 value=0x0001 index=0x0000 length=0 data= result=0",
      "O control type=0x41 request=0x07 value=0x0383 index=0x0000 length=0 data= result=0",
      "O control type=0x41 request=0x03 value=0x0800 index=0x0000 length=0 data= result=0",
      "O control type=0x41 request=0x01 value=0x0007 index=0x0000 length=0 data= result=0",
      "O control type=0xc1 request=0x08 value=0x0000 index=0x0000 length=1 data=23 result=1",
      "O control type=0xc1 request=0x02 value=0x0000 index=0x0000 length=2 data=0700 result=2",
      "O control type=0x41 request=0x55 value=0x0000 index=0x0000 length=0 data= result=-32",
      "O bulk_out endpoint=0x01 length=200 result=200",
      "O bulk_out endpoint=0x01 length=1 result=1",
      "O release interface=0 result=0",
      "O release interface=0 result=-22",
  };
  EXPECT_EQ(traffic(server, "O"), expected);
}

TEST(Requests, KelpinLineCodingControlLinesAndNotifications) {
  VPrinterServer server({"kelpin,name=K,line_coding=9600:8N1"});
  ASSERT_TRUE(server.ok()) << server.error();
  struct usb_device *d = find_usb_device(server.addresses()[0]);
  ASSERT_NE(d, nullptr);
  Handle h(d), h2(d);
  ASSERT_TRUE(h && h2);
  char driver[40];
  EXPECT_EQ(usb_get_driver_np(h.get(), 0, driver, sizeof driver), -61);
  EXPECT_EQ(usb_claim_interface(h.get(), 0), 0);
  EXPECT_EQ(usb_claim_interface(h2.get(), 1), 0);
  EXPECT_EQ(usb_claim_interface(h2.get(), 0), -16); // held by the first handle
  EXPECT_EQ(usb_get_driver_np(h.get(), 1, driver, sizeof driver), 0);
  EXPECT_STREQ(driver, "usbfs");

  std::vector<uint8_t> coding(7);
  EXPECT_EQ(h.control(0xA1, 0x21, 0, 0, coding), 7);
  EXPECT_EQ(hex_of(coding), "80250000000008");
  std::vector<uint8_t> wanted = {0x00, 0xC2, 0x01, 0x00, 0x00, 0x00, 0x08};
  EXPECT_EQ(h.control(0x21, 0x20, 0, 0, wanted), 7);
  coding.assign(7, 0);
  EXPECT_EQ(h.control(0xA1, 0x21, 0, 0, coding), 7);
  EXPECT_EQ(coding, wanted);

  std::vector<uint8_t> n;
  EXPECT_EQ(h.interrupt(0x83, n), -110); // nothing before DTR rises
  EXPECT_EQ(h.control(0x21, 0x22, 3, 0), 0);
  EXPECT_EQ(h.interrupt(0x83, n), 10);
  EXPECT_EQ(hex_of(n), "a1200000000002000200");
  EXPECT_EQ(h.interrupt(0x83, n), -110);
  EXPECT_EQ(h.control(0x21, 0x22, 0, 0), 0);
  EXPECT_EQ(h.interrupt(0x83, n), -110); // lowering DTR says nothing
  EXPECT_EQ(h.control(0x21, 0x22, 3, 0), 0);
  EXPECT_EQ(h.interrupt(0x83, n), 10);

  auto data = pattern(1500, 9);
  EXPECT_EQ(h2.write(0x01, data), 1500);
  EXPECT_EQ(server.captured("K"), data);
  // The data interface belongs to the second handle: usbfs refuses the
  // first one's transfers on it.
  EXPECT_EQ(h.write(0x01, {1, 2}), -16);
  std::vector<uint8_t> in;
  EXPECT_EQ(h.read(0x82, 64, in), -16);
  EXPECT_EQ(h2.read(0x82, 64, in, 20), -110);

  auto lines = server.transcript("K");
  auto has = [&](const std::string &l) {
    return std::find(lines.begin(), lines.end(), l) != lines.end();
  };
  EXPECT_TRUE(has("K getdriver interface=0 result=-61"));
  EXPECT_TRUE(has("K getdriver interface=1 result=0 driver=usbfs"));
  EXPECT_TRUE(has("K claim interface=0 result=-16"));
  EXPECT_TRUE(has("K control type=0x21 request=0x20 value=0x0000 index=0x0000 length=7 data=00c20100000008 result=7"));
  EXPECT_TRUE(has("K control type=0x21 request=0x22 value=0x0003 index=0x0000 length=0 data= result=0"));
  EXPECT_TRUE(has("K interrupt_in endpoint=0x83 length=10 result=10 data=a1200000000002000200"));
  EXPECT_EQ(server.transcript("K", "interrupt_in").size(), 5u);
  EXPECT_TRUE(has("K interrupt_in endpoint=0x83 length=10 result=-110 data="));
  EXPECT_TRUE(has("K bulk_out endpoint=0x01 length=1500 result=1500"));
  EXPECT_TRUE(has("K bulk_out endpoint=0x01 length=2 result=-16"));
  EXPECT_TRUE(has("K bulk_in endpoint=0x82 length=64 result=-16 data="));
  EXPECT_TRUE(has("K bulk_in endpoint=0x82 length=64 result=-110 data="));
}

TEST(Requests, BulkInPiecesStallsAndCommands) {
  VPrinterServer server({"ostrel,name=O,bulk_in=0102/030405/stall"});
  ASSERT_TRUE(server.ok()) << server.error();
  struct usb_device *d = find_usb_device(server.addresses()[0]);
  ASSERT_NE(d, nullptr);
  Handle h(d);
  ASSERT_EQ(usb_claim_interface(h.get(), 0), 0);
  std::vector<uint8_t> in;
  EXPECT_EQ(h.read(0x01, 64, in), 2); // libusb sets the IN bit: 0x81
  EXPECT_EQ(hex_of(in), "0102");
  EXPECT_EQ(h.read(0x81, 2, in), 2);
  EXPECT_EQ(hex_of(in), "0304");
  EXPECT_EQ(h.read(0x81, 64, in), 1);
  EXPECT_EQ(hex_of(in), "05");
  EXPECT_EQ(h.read(0x81, 64, in), 0); // a stall reads as nothing
  EXPECT_EQ(h.read(0x81, 64, in, 20), -110);

  server.command("bulk_in O a0a1a2");
  EXPECT_EQ(h.read(0x81, 64, in, 2000), 3);
  EXPECT_EQ(hex_of(in), "a0a1a2");
  auto lines = server.transcript("O", "bulk_in");
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[0], "O bulk_in endpoint=0x81 length=64 result=2 data=0102");
  EXPECT_EQ(lines[3], "O bulk_in endpoint=0x81 length=64 result=-32 data=");
  EXPECT_EQ(lines[4], "O bulk_in endpoint=0x81 length=64 result=-110 data=");
}

} // namespace
