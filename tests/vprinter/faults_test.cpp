// Every fault a printer can be given, seen through libusb 0.1.
#include "usb_access.h"

#include <chrono>
#include <gtest/gtest.h>
#include <thread>

using namespace korvtest;

namespace {

struct Printer {
  explicit Printer(const std::string &profile) : server({profile}) {
    if (server.ok())
      dev = find_usb_device(server.addresses()[0]);
  }
  VPrinterServer server;
  struct usb_device *dev = nullptr;
};

std::vector<uint8_t> bytes(size_t n) { return std::vector<uint8_t>(n, 0x5A); }

TEST(Faults, DsrNeverReady) {
  Printer p("ostrel,name=O,dsr=never");
  ASSERT_NE(p.dev, nullptr) << p.server.error();
  Handle h(p.dev);
  ASSERT_EQ(usb_claim_interface(h.get(), 0), 0);
  EXPECT_EQ(h.control(0x41, 0x07, 0x0303, 0), 0);
  std::vector<uint8_t> status(1);
  EXPECT_EQ(h.control(0xC1, 0x08, 0, 0, status), 1);
  EXPECT_EQ(hex_of(status), "03");
  EXPECT_EQ(h.write(0x01, bytes(10)), 0); // refused: a stall
  EXPECT_TRUE(p.server.captured("O").empty());
  EXPECT_EQ(p.server.transcript("O", "bulk_out").back(), "O bulk_out endpoint=0x01 length=10 result=-32");
}

TEST(Faults, DsrDelayAfterDtr) {
  Printer p("kelpin,name=K,dsr_delay=50");
  ASSERT_NE(p.dev, nullptr) << p.server.error();
  Handle h(p.dev);
  ASSERT_EQ(usb_claim_interface(h.get(), 0), 0);
  EXPECT_EQ(h.control(0x21, 0x22, 3, 0), 0);
  std::vector<uint8_t> n;
  EXPECT_EQ(h.interrupt(0x83, n), 10);
  EXPECT_EQ(hex_of(n), "a1200000000002000000"); // DTR up, DSR not yet
  EXPECT_EQ(h.interrupt(0x83, n, 2000), 10);
  EXPECT_EQ(hex_of(n), "a1200000000002000200");
}

TEST(Faults, DsrLowAfterEveryNBytes) {
  Printer p("kelpin,name=K,dsr_low=100/150");
  ASSERT_NE(p.dev, nullptr) << p.server.error();
  Handle h(p.dev);
  ASSERT_EQ(usb_claim_interface(h.get(), 0), 0);
  ASSERT_EQ(usb_claim_interface(h.get(), 1), 0);
  std::vector<uint8_t> n;
  EXPECT_EQ(h.write(0x01, bytes(60)), 60);
  EXPECT_EQ(h.interrupt(0x83, n), -110);
  EXPECT_EQ(h.write(0x01, bytes(60)), 60); // 120 bytes: DSR drops
  EXPECT_EQ(h.interrupt(0x83, n), 10);
  EXPECT_EQ(hex_of(n), "a1200000000002000000");
  EXPECT_EQ(h.write(0x01, bytes(60)), 0);
  EXPECT_EQ(h.interrupt(0x83, n, 2000), 10);
  EXPECT_EQ(hex_of(n), "a1200000000002000200");
  EXPECT_EQ(h.write(0x01, bytes(60)), 60);
  EXPECT_EQ(p.server.captured("K").size(), 180u);
}

TEST(Faults, ClaimBusyAndKernelDriver) {
  Printer p("kelpin,name=K,claim_busy=2,driver=cdc_acm");
  ASSERT_NE(p.dev, nullptr) << p.server.error();
  Handle h(p.dev);
  char name[40] = "";
  EXPECT_EQ(usb_claim_interface(h.get(), 1), -16);
  EXPECT_EQ(usb_claim_interface(h.get(), 1), -16);
  EXPECT_EQ(usb_claim_interface(h.get(), 1), 0);
  EXPECT_EQ(usb_get_driver_np(h.get(), 0, name, sizeof name), 0);
  EXPECT_STREQ(name, "cdc_acm");
  EXPECT_EQ(usb_claim_interface(h.get(), 0), -16); // the driver holds it
  EXPECT_EQ(usb_detach_kernel_driver_np(h.get(), 0), 0);
  EXPECT_EQ(usb_get_driver_np(h.get(), 0, name, sizeof name), -61);
  EXPECT_EQ(usb_detach_kernel_driver_np(h.get(), 0), -61);
  EXPECT_EQ(usb_claim_interface(h.get(), 0), 0);
  auto lines = p.server.transcript("K");
  EXPECT_NE(std::find(lines.begin(), lines.end(), "K getdriver interface=0 result=0 driver=cdc_acm"), lines.end());
  EXPECT_NE(std::find(lines.begin(), lines.end(), "K detach interface=0 result=0"), lines.end());
  EXPECT_NE(std::find(lines.begin(), lines.end(), "K detach interface=0 result=-61"), lines.end());
}

TEST(Faults, ChosenControlRequestsFail) {
  Printer p("kelpin,name=K,fail=control/0xa1/0x21@2:EIO,fail=control/0x21/0x22/0/0:stall,"
            "fail=control/0x21/0x20:nak");
  ASSERT_NE(p.dev, nullptr) << p.server.error();
  Handle h(p.dev);
  std::vector<uint8_t> lc(7);
  EXPECT_EQ(h.control(0xA1, 0x21, 0, 0, lc), 7);
  lc.assign(7, 0);
  EXPECT_EQ(h.control(0xA1, 0x21, 0, 0, lc), -5);
  lc.assign(7, 0);
  EXPECT_EQ(h.control(0xA1, 0x21, 0, 0, lc), 7);
  EXPECT_EQ(h.control(0x21, 0x22, 3, 0), 0);
  EXPECT_EQ(h.control(0x21, 0x22, 0, 0), -32);
  std::vector<uint8_t> set = {0, 0xC2, 1, 0, 0, 0, 8};
  EXPECT_EQ(h.control(0x21, 0x20, 0, 0, set, 50), -110);
  EXPECT_EQ(p.server.transcript("K", "control").back(),
            "K control type=0x21 request=0x20 value=0x0000 index=0x0000 length=7 data=00c20100000008 result=-110");
}

TEST(Faults, GetLineCodingStallsAlways) {
  Printer p("kelpin,name=K,fail=control/0xa1/0x21:stall");
  ASSERT_NE(p.dev, nullptr) << p.server.error();
  Handle h(p.dev);
  std::vector<uint8_t> lc(7);
  EXPECT_EQ(h.control(0xA1, 0x21, 0, 0, lc), -32);
  lc.assign(7, 0);
  EXPECT_EQ(h.control(0xA1, 0x21, 0, 0, lc), -32);
}

TEST(Faults, ModemStatusEmptyOrStalled) {
  {
    Printer empty("ostrel,name=E,modem_status=empty");
    ASSERT_NE(empty.dev, nullptr) << empty.server.error();
    Handle he(empty.dev);
    std::vector<uint8_t> status(1);
    EXPECT_EQ(he.control(0xC1, 0x08, 0, 0, status), 0);
  }
  Printer stall("ostrel,name=S,modem_status=stall");
  ASSERT_NE(stall.dev, nullptr) << stall.server.error();
  Handle hs(stall.dev);
  std::vector<uint8_t> status(1);
  EXPECT_EQ(hs.control(0xC1, 0x08, 0, 0, status), -32);
}

TEST(Faults, ShortStalledAndSilentBulkOut) {
  {
    Printer shorter("ostrel,name=W,write_max=10");
    ASSERT_NE(shorter.dev, nullptr) << shorter.server.error();
    Handle hw(shorter.dev);
    EXPECT_EQ(hw.write(0x01, bytes(64)), 10);
  }
  {
    Printer stall("ostrel,name=S,stall_after=100");
    ASSERT_NE(stall.dev, nullptr) << stall.server.error();
    Handle hs(stall.dev);
    EXPECT_EQ(hs.write(0x01, bytes(64)), 64);
    EXPECT_EQ(hs.write(0x01, bytes(64)), 36);
    EXPECT_EQ(hs.write(0x01, bytes(64)), 0);
    EXPECT_EQ(stall.server.captured("S").size(), 100u);
  }
  {
    Printer nak("ostrel,name=N,nak_after=64");
    ASSERT_NE(nak.dev, nullptr) << nak.server.error();
    Handle hn(nak.dev);
    EXPECT_EQ(hn.write(0x01, bytes(64)), 64);
    EXPECT_EQ(hn.write(0x01, bytes(64), 50), -110);
    EXPECT_EQ(nak.server.transcript("N", "bulk_out").back(),
              "N bulk_out endpoint=0x01 length=64 result=-110");
    EXPECT_EQ(hn.write(0x01, bytes(64), 20), -110);
  }
  // An error status of the URB: libusb 0.1 shows it as nothing written.
  Printer rule("ostrel,name=R,fail=bulk_out@2:EPROTO");
  ASSERT_NE(rule.dev, nullptr) << rule.server.error();
  Handle hr(rule.dev);
  EXPECT_EQ(hr.write(0x01, bytes(8)), 8);
  EXPECT_EQ(hr.write(0x01, bytes(8)), 0);
  EXPECT_EQ(hr.write(0x01, bytes(8)), 8);
  EXPECT_EQ(rule.server.transcript("R", "bulk_out")[1], "R bulk_out endpoint=0x01 length=8 result=-71");
}

TEST(Faults, PrinterVanishes) {
  Printer p("ostrel,name=V,vanish_after=100");
  ASSERT_NE(p.dev, nullptr) << p.server.error();
  UsbAddress addr = p.server.addresses()[0];
  Handle h(p.dev);
  ASSERT_EQ(usb_claim_interface(h.get(), 0), 0);
  EXPECT_EQ(h.write(0x01, bytes(64)), 64);
  EXPECT_EQ(h.write(0x01, bytes(64)), 36);
  EXPECT_EQ(h.write(0x01, bytes(64)), -19);
  std::vector<uint8_t> status(1);
  EXPECT_EQ(h.control(0xC1, 0x08, 0, 0, status), -19);
  EXPECT_EQ(usb_release_interface(h.get(), 0), -19);
  EXPECT_EQ(p.server.transcript("V", "vanish").size(), 1u);
  EXPECT_EQ(p.server.captured("V").size(), 100u);
  EXPECT_EQ(find_usb_device(addr), nullptr); // the node is gone
}

TEST(Faults, OpenLimitRemovesTheNode) {
  Printer p("ostrel,name=L,open_limit=2");
  ASSERT_NE(p.dev, nullptr) << p.server.error();
  // The scan itself opened the node twice (descriptors, hub query). The
  // third open fails, which libusb 0.1 does not report: usb_open still
  // gives a handle, and every request on it fails with EBADF.
  Handle h(p.dev);
  ASSERT_TRUE(h);
  EXPECT_EQ(usb_claim_interface(h.get(), 0), -9);
  EXPECT_EQ(p.server.transcript("L", "open").size(), 2u);
}

TEST(Faults, ChatterReleaseAndClearHalt) {
  Printer p("kelpin,name=K,chatter=20,fail=release/1:EIO,fail=clear_halt/0x82:EPIPE");
  ASSERT_NE(p.dev, nullptr) << p.server.error();
  Handle h(p.dev);
  ASSERT_EQ(usb_claim_interface(h.get(), 0), 0);
  ASSERT_EQ(usb_claim_interface(h.get(), 1), 0);
  EXPECT_EQ(usb_clear_halt(h.get(), 0x01), 0);
  EXPECT_EQ(usb_clear_halt(h.get(), 0x82), -32);
  EXPECT_EQ(usb_clear_halt(h.get(), 0x83), 0);
  int got = 0;
  std::vector<uint8_t> n;
  for (int i = 0; i < 40 && got < 3; ++i)
    if (h.interrupt(0x83, n, 100) == 10)
      ++got;
  EXPECT_EQ(got, 3);
  EXPECT_EQ(usb_release_interface(h.get(), 1), -5);
  EXPECT_EQ(usb_release_interface(h.get(), 0), 0);
}

} // namespace
