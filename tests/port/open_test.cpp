// Opening a port through the real libusb against virtual printers: device
// selection among several printers, kernel drivers, claims, the start
// byte and a second open.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "port_fixture.h"
#include "port_support.h"
#include "usbqrp.h"

namespace {

using porttest::CountLines;
using porttest::FindLine;
using porttest::HasRun;
using porttest::TraceLines;
using porttest::Wire;

const char *kExitOk = "*** Exiting function QRP_OpenUsbPort() = QRP_OPENPORT_OK";
const char *kExitNoResource =
    "*** Exiting function QRP_OpenUsbPort() = QRP_OPENPORT_ERROR_NORESOURCE";
const char *kExitNotFound =
    "*** Exiting function QRP_OpenUsbPort() = QRP_OPENPORT_ERROR_NOTFOUND";

class OpenTest : public PortTest {
protected:
  // The printers (by name) that got a start byte.
  std::set<std::string> StartBytePrinters(const std::vector<std::string> &names) {
    std::set<std::string> got;
    for (const std::string &name : names)
      if (!server_->transcript(name, "bulk_out").empty())
        got.insert(name);
    return got;
  }
};

TEST_F(OpenTest, OstrelPrinterGetsTheStartByte) {
  auto &server = Serve({"ostrel"});
  ASSERT_EQ(QRP_OpenUsbPort("usbkorv:/tr3000ax/1", 500000), QRP_OPENPORT_OK);
  EXPECT_EQ(g_printer.opened, 1);
  EXPECT_EQ(g_printer.family, KORV_FAMILY_OSTREL);
  EXPECT_EQ(g_printer.handle2, g_printer.handle);
  EXPECT_EQ(server.captured("P1"), std::vector<uint8_t>{0x02});

  std::vector<std::string> lines = TraceLines();
  EXPECT_TRUE(HasRun(lines, {
      "", "*** Entering function QRP_OpenUsbPort() ***",
      "-> Process arguments received.",
      "  -> Got parameter uri=usbkorv:/tr3000ax/1.",
      "  -> Start parsing arguments from URI.",
      "    -> Got method=usbkorv from URI.",
      "    -> Got resource=/tr3000ax/1 from URI.",
      "    -> Got protocol=tr3000ax from URI 'resource'.",
      "    -> Got printerid=1 from URI 'resource'.",
      "-> About to do usb_init()."}));
  EXPECT_TRUE(HasRun(lines, {
      "      -> Found a korvcli Printer: VendorId=2F1Ch, ProductId=0001h.",
      "        -> MirelWorks printer count=1.",
      "        -> Printer is the one specified in id=1, count=1.",
      "          -> Opening the device."}));
  // No kernel driver bound: the check is a single line.
  int check = FindLine(lines, "-> Check to see if there is any kernel device "
                              "driver attached to our device.");
  ASSERT_GE(check, 0);
  EXPECT_EQ(lines[check + 1], "[QRP_ClaimInterface]-> Interface=0 .");
  EXPECT_TRUE(HasRun(lines, {
      "    -> Trying QRP_PORTTYPE_USB_OSTREL_BAUD_500 bps.", kExitOk, "",
      "*** Entering function = QRP_WriteUsbPort() ***",
      "*** Buffer: \x02 ***", "*** Size: 1 ***",
      "-> Start sending the data to the printer:",
      "  -> Got 1 bytes from the input stream, sending to USB device.", "",
      "Sending message - 1", "", "    -> Sent 1 bytes successfully, try #1.",
      "  -> Sent total of 1 bytes to the USB device.",
      "*** Exiting function QRP_WriteUsbPort() = QRP_WRITEPORT_OK"}));
  EXPECT_EQ(lines.back(),
            "*** Exiting function QRP_WriteUsbPort() = QRP_WRITEPORT_OK");

  std::string handles = lines[FindLine(lines, "          -> Opening the device.") + 1];
  EXPECT_EQ(handles.rfind("          -> Device opened successfully, saving "
                          "handler for later use ", 0), 0u) << handles;
}

TEST_F(OpenTest, SelectionCountsOnlyTheUrisFamily) {
  // Two Ostrel and three Kelpin printers of both vendors, a product of ours
  // that is no printer, and a device of another vendor.
  std::vector<std::string> profiles = {
      "ostrel,name=O1,vid=0x2F1C",          "ostrel,name=O2,vid=0x3A07",
      "kelpin,name=K3,vid=0x2F1C,pid=0x0003", "kelpin,name=K5,vid=0x3A07,pid=0x0005",
      "kelpin,name=K6,vid=0x2F1C,pid=0x0006", "ostrel,name=X2,vid=0x2F1C,pid=0x0002",
      "ostrel,name=F1,vid=0x1234,pid=0x0001"};
  auto &server = Serve(profiles);
  const std::vector<std::string> kelpins = {"K3", "K5", "K6"};
  const std::vector<std::string> ostrels = {"O1", "O2"};

  std::set<std::string> opened;
  for (int id = 1; id <= 3; ++id) {
    porttest::ClearTrace();
    std::string uri = "usbkorv:/tr090sax/" + std::to_string(id);
    ASSERT_EQ(QRP_OpenUsbPort(uri.c_str(), 500000), QRP_OPENPORT_OK) << uri;
    std::vector<std::string> lines = TraceLines();
    EXPECT_EQ(CountLines(lines, "        -> Printer is the one specified in id=" +
                                    std::to_string(id) + ", count=" +
                                    std::to_string(id) + "."), 1);
    // Every device of the bus was looked at up to the chosen one, none of
    // them counted unless it is a Kelpin printer.
    EXPECT_EQ(porttest::CountPrefix(lines, "      -> Found a korvcli Printer"), id);
    std::set<std::string> now = StartBytePrinters(kelpins);
    ASSERT_EQ(now.size(), opened.size() + 1);
    opened = now;
    porttest::ResetPort();
  }
  EXPECT_EQ(opened, std::set<std::string>(kelpins.begin(), kelpins.end()));
  EXPECT_TRUE(StartBytePrinters(ostrels).empty());

  porttest::ClearTrace();
  EXPECT_EQ(QRP_OpenUsbPort("usbkorv:/TR3500AX/4", 0), QRP_OPENPORT_ERROR_NOTFOUND);
  std::vector<std::string> lines = TraceLines();
  EXPECT_EQ(porttest::CountPrefix(lines, "    -> In one device: "), 7);
  EXPECT_EQ(porttest::CountPrefix(lines, "      -> Found a korvcli Printer"), 3);
  EXPECT_TRUE(HasRun(lines, {"-> ERROR, didn't find our printer id device.",
                             kExitNotFound}));
  EXPECT_EQ(lines.back(), kExitNotFound);
  EXPECT_EQ(g_printer.family, KORV_FAMILY_KELPIN);

  for (int id = 1; id <= 2; ++id) {
    std::string uri = "usbkorv:/tr3000ax/" + std::to_string(id);
    ASSERT_EQ(QRP_OpenUsbPort(uri.c_str(), 115200), QRP_OPENPORT_OK) << uri;
    porttest::ResetPort();
  }
  EXPECT_EQ(StartBytePrinters(ostrels), std::set<std::string>(ostrels.begin(), ostrels.end()));
  EXPECT_EQ(QRP_OpenUsbPort("usbkorv:/tr3000ax/3", 0), QRP_OPENPORT_ERROR_NOTFOUND);
  EXPECT_TRUE(server.transcript("X2", "bulk_out").empty());
  EXPECT_TRUE(server.transcript("F1", "bulk_out").empty());
  EXPECT_TRUE(server.transcript("X2", "claim").empty());
}

TEST_F(OpenTest, NoPrinterAtAll) {
  Serve({"ostrel,vid=0x1234"});
  EXPECT_EQ(QRP_OpenUsbPort("usbkorv:/tr3000ax/1", 0), QRP_OPENPORT_ERROR_NOTFOUND);
  EXPECT_EQ(g_printer.handle, nullptr);
  EXPECT_EQ(g_printer.opened, 0);
}

TEST_F(OpenTest, BoundKernelDriverIsDetached) {
  auto &server = Serve({"kelpin,driver=cdc_acm"});
  ASSERT_EQ(QRP_OpenUsbPort("usbkorv:/tr3200ax/1", 500000), QRP_OPENPORT_OK);
  EXPECT_TRUE(HasRun(TraceLines(), {
      "-> Check to see if there is any kernel device driver attached to our device.",
      "  -> There is an attached kernel device driver, module name=cdc_acm.",
      "  -> Kernel device driver, module name=cdc_acm, detached successfully "
      "from the USB device.",
      "[QRP_ClaimInterface]-> Interface=0 ."}));
  std::vector<std::string> wire = Wire(server);
  int detach = FindLine(wire, "detach interface=0 result=0");
  ASSERT_GE(detach, 0);
  EXPECT_GT(FindLine(wire, "claim interface=0 result=0"), detach);
  EXPECT_EQ(FindLine(wire, "detach interface=1 result=0"), -1);
}

TEST_F(OpenTest, FailedDetachRefusesTheOpen) {
  Serve({"ostrel,driver=usblp,fail=detach:EPERM"});
  EXPECT_EQ(QRP_OpenUsbPort("usbkorv:/tr3000ax/1", 0), QRP_OPENPORT_ERROR_NORESOURCE);
  std::vector<std::string> lines = TraceLines();
  EXPECT_TRUE(HasRun(lines, {
      "  -> There is an attached kernel device driver, module name=usblp.",
      "    -> ERROR, could not detach the kernel device driver from the device, "
      "result=-1.",
      kExitNoResource}));
  EXPECT_EQ(lines.back(), kExitNoResource);
  EXPECT_NE(g_printer.handle, nullptr); // a failed open keeps what it opened
  EXPECT_EQ(g_printer.opened, 0);
}

TEST_F(OpenTest, ClaimBusyTwiceThenGranted) {
  auto &server = Serve({"ostrel,claim_busy=2"});
  time_.Clear();
  ASSERT_EQ(QRP_OpenUsbPort("usbkorv:/tr3000ax/1", 0), QRP_OPENPORT_OK);
  std::vector<std::string> lines = TraceLines();
  EXPECT_TRUE(HasRun(lines, {
      "[QRP_ClaimInterface]-> Interface=0 .", "-> Claim the device USB interface.",
      "  -> Warning, could not claim the USB interface from the device, "
      "result=-16, try #1.",
      "-> Claim the device USB interface.",
      "  -> Warning, could not claim the USB interface from the device, "
      "result=-16, try #2.",
      "-> Claim the device USB interface.",
      "-> [QRP_Init_Ostrel]The USB protocol to use is tr3000ax:"}));
  EXPECT_EQ(time_.Count(300000), 3);
  EXPECT_EQ(server.transcript("P1", "claim").size(), 3u);
}

TEST_F(OpenTest, ClaimBusyThreeTimesRefusesTheOpen) {
  auto &server = Serve({"ostrel,claim_busy=3"});
  time_.Clear();
  EXPECT_EQ(QRP_OpenUsbPort("usbkorv:/tr3000ax/1", 0), QRP_OPENPORT_ERROR_NORESOURCE);
  std::vector<std::string> lines = TraceLines();
  EXPECT_EQ(porttest::CountPrefix(lines, "  -> Warning, could not claim"), 3);
  EXPECT_TRUE(HasRun(lines, {
      "  -> Warning, could not claim the USB interface from the device, "
      "result=-16, try #3.",
      kExitNoResource}));
  EXPECT_EQ(lines.back(), kExitNoResource);
  EXPECT_EQ(time_.Count(300000), 3);
  EXPECT_TRUE(server.transcript("P1", "control").empty());
  EXPECT_TRUE(server.captured("P1").empty());
}

TEST_F(OpenTest, KelpinInterfaceZeroRefusedBeforeOneIsTried) {
  auto &server = Serve({"kelpin,fail=claim/0:EBUSY"});
  EXPECT_EQ(QRP_OpenUsbPort("usbkorv:/tr3500ax/1", 0), QRP_OPENPORT_ERROR_NORESOURCE);
  EXPECT_EQ(porttest::CountPrefix(TraceLines(), "[QRP_ClaimInterface]"), 1);
  for (const std::string &line : server.transcript("P1", "claim"))
    EXPECT_NE(line.find("interface=0"), std::string::npos) << line;
  EXPECT_EQ(g_printer.dsrThreadState.load(), 0);
}

TEST_F(OpenTest, SecondOpenWhileOpenChangesNothing) {
  auto &server = Serve({"ostrel"});
  ASSERT_EQ(QRP_OpenUsbPort("usbkorv:/tr3000ax/1", 0), QRP_OPENPORT_OK);
  usb_dev_handle *handle = g_printer.handle;
  size_t events = server.transcript().size();
  porttest::ClearTrace();

  EXPECT_EQ(QRP_OpenUsbPort("usbkorv:/tr3200ax/1", 115200),
            QRP_OPENPORT_ERROR_NORESOURCE);
  EXPECT_EQ(TraceLines(), (std::vector<std::string>{
      "", "*** Entering function QRP_OpenUsbPort() ***",
      "-> ERROR, device was already opened, close it first.", kExitNoResource}));
  EXPECT_EQ(server.transcript().size(), events);
  EXPECT_EQ(g_printer.handle, handle);
  EXPECT_EQ(g_printer.family, KORV_FAMILY_OSTREL);
  EXPECT_EQ(g_printer.opened, 1);
  // The open port goes on working.
  const unsigned char data[3] = {'a', 'b', 'c'};
  EXPECT_EQ(QRP_WriteUsbPort(data, 3), QRP_WRITEPORT_OK);
  EXPECT_EQ(server.captured("P1"), (std::vector<uint8_t>{0x02, 'a', 'b', 'c'}));
}

TEST_F(OpenTest, LostStartByteStillOpens) {
  // Every bulk write stalls: the start byte is lost, the open succeeds.
  Serve({"ostrel,fail=bulk_out:stall"});
  EXPECT_EQ(QRP_OpenUsbPort("usbkorv:/tr3000ax/1", 0), QRP_OPENPORT_OK);
  std::vector<std::string> lines = TraceLines();
  EXPECT_EQ(lines.back(),
            "*** Exiting function QRP_WriteUsbPort() = QRP_WRITEPORT_ERROR_GENERAL");
  EXPECT_EQ(g_printer.opened, 1);
}

} // namespace
