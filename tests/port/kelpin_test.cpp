// Kelpin set-up (halts, line coding, control lines, DSR wait) and the DSR
// monitor thread, against a virtual Kelpin printer.
#include <gtest/gtest.h>

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

const char *kExitGeneral =
    "*** Exiting function QRP_OpenUsbPort() = QRP_OPENPORT_ERROR_GENERAL";
const char *kDsr2Enter = "[QRP_UsbGetKelpinDSR2]: enter";
const char *kStartEnter = "QRP_StartKelpinDSRThread: Enter";

class KelpinTest : public PortTest {
protected:
  // Trace lines of the set-up up to the thread start.
  std::vector<std::string> SetupLines() {
    std::vector<std::string> lines = TraceLines();
    int start = FindLine(lines, kStartEnter);
    if (start < 0)
      return lines;
    return std::vector<std::string>(lines.begin(), lines.begin() + start);
  }

};

TEST_F(KelpinTest, LineCodingAndControlLines) {
  auto &server = Serve({"kelpin,line_coding=9600:8N1"});
  ASSERT_EQ(QRP_OpenUsbPort("usbkorv:/tr3200ax/1", 0), QRP_OPENPORT_OK);
  EXPECT_EQ(g_printer.family, KORV_FAMILY_KELPIN);
  EXPECT_NE(g_printer.handle2, g_printer.handle);

  std::vector<std::string> wire = Wire(server);
  int first = FindLine(wire, "clear_halt endpoint=0x01 result=0");
  ASSERT_GE(first, 0);
  EXPECT_EQ(std::vector<std::string>(wire.begin() + first, wire.begin() + first + 7),
            (std::vector<std::string>{
                "clear_halt endpoint=0x01 result=0",
                "clear_halt endpoint=0x82 result=0",
                "clear_halt endpoint=0x83 result=0",
                "control type=0xa1 request=0x21 value=0x0000 index=0x0000 "
                "length=7 data=80250000000008 result=7",
                "control type=0x21 request=0x20 value=0x0000 index=0x0000 "
                "length=7 data=00c20100000008 result=7",
                "control type=0xa1 request=0x21 value=0x0000 index=0x0000 "
                "length=7 data=00c20100000008 result=7",
                "control type=0x21 request=0x22 value=0x0000 index=0x0000 "
                "length=0 data= result=0"}));
  int raise = FindLine(wire, "control type=0x21 request=0x22 value=0x0003 "
                             "index=0x0000 length=0 data= result=0");
  EXPECT_GT(raise, first + 6);
  // The start byte goes out after the set-up.
  EXPECT_GT(FindLine(wire, "bulk_out endpoint=0x01 length=1 result=1"), raise);
  EXPECT_EQ(server.captured("P1"), std::vector<uint8_t>{0x02});

  EXPECT_TRUE(HasRun(TraceLines(), {
      "-> [QRP_Init_Kelpin]The USB protocol to use is tr3200ax:",
      "  -> Do an USB 'halt' on the device.",
      "    -> Info, Current Setting: baud=9600, stopbits=0, parity=0, databits=8",
      "  -> Setting the baudrate pins low (active) on the UART.",
      "  -> Get Line code", "   -> init mutex", kDsr2Enter}));
}

TEST_F(KelpinTest, SetUpPausesInOrder) {
  Serve({"kelpin,dsr=never"});
  time_.Clear();
  ASSERT_EQ(QRP_OpenUsbPort("usbkorv:/tr090sax/1", 500000), QRP_OPENPORT_OK);
  std::vector<unsigned long> waits;
  for (unsigned long wait : time_.Waits())
    // Leave out the claims, the monitor's polls and the library's own
    // zero-length yields.
    if (wait != 300000 && wait != 4000 && wait != 0)
      waits.push_back(wait);
  std::vector<unsigned long> expected = {1000, 20000, 20000, 20000, 30000, 10000};
  expected.insert(expected.end(), 40, 10000); // the DSR wait: 40 polls
  expected.push_back(10000);                  // after the thread start
  ASSERT_GE(waits.size(), expected.size());
  EXPECT_EQ(std::vector<unsigned long>(waits.begin(), waits.begin() + expected.size()),
            expected);
  std::vector<std::string> setup = SetupLines();
  EXPECT_EQ(CountLines(setup, kDsr2Enter), 41);
  EXPECT_EQ(g_printer.dsr, 0);
}

TEST_F(KelpinTest, OtherLineCodingIsShownAndReplaced) {
  auto &server = Serve({"kelpin,line_coding=19200:7E2"});
  ASSERT_EQ(QRP_OpenUsbPort("usbkorv:/tr3500ax/1", 115200), QRP_OPENPORT_OK);
  EXPECT_EQ(CountLines(TraceLines(), "    -> Info, Current Setting: baud=19200, "
                                     "stopbits=2, parity=2, databits=7"), 1);
  EXPECT_GE(FindLine(Wire(server), "control type=0x21 request=0x20 value=0x0000 "
                                   "index=0x0000 length=7 data=00c20100000008 "
                                   "result=7"), 0);
}

TEST_F(KelpinTest, StalledGetLineCodingEndsTheSetUp) {
  auto &server = Serve({"kelpin,fail=control/0xa1/0x21:stall"});
  EXPECT_EQ(QRP_OpenUsbPort("usbkorv:/tr3200ax/1", 0), QRP_OPENPORT_ERROR_GENERAL);
  std::vector<std::string> lines = TraceLines();
  EXPECT_TRUE(HasRun(lines, {
      "  -> Do an USB 'halt' on the device.",
      "    -> ERROR, could not get line coding from the device, result=-32.",
      kExitGeneral, "   -> Can not set baud rate"}));
  EXPECT_EQ(lines.back(), "   -> Can not set baud rate");
  EXPECT_EQ(FindLine(lines, "   -> init mutex"), -1);
  EXPECT_EQ(FindLine(lines, kStartEnter), -1);
  EXPECT_EQ(g_printer.dsrThreadState.load(), 0);
  EXPECT_EQ(g_printer.opened, 0);
  for (const std::string &event : Wire(server))
    EXPECT_EQ(event.find("request=0x20"), std::string::npos) << event;
  EXPECT_TRUE(server.captured("P1").empty());
}

TEST_F(KelpinTest, FailedSetLineCodingEndsTheSetUp) {
  Serve({"kelpin,fail=control/0x21/0x20:EIO"});
  EXPECT_EQ(QRP_OpenUsbPort("usbkorv:/tr3200ax/1", 0), QRP_OPENPORT_ERROR_GENERAL);
  EXPECT_TRUE(HasRun(TraceLines(), {
      "  -> Setting the baudrate pins low (active) on the UART.",
      "    -> ERROR, could not set line coding on the UART, result=-5.",
      kExitGeneral, "   -> Can not set baud rate"}));
  EXPECT_EQ(g_printer.dsrThreadState.load(), 0);
}

TEST_F(KelpinTest, SecondGetLineCodingMayFail) {
  Serve({"kelpin,fail=control/0xa1/0x21@2:stall,fail=clear_halt/0x82:stall,"
        "fail=clear_halt/0x83:stall"});
  ASSERT_EQ(QRP_OpenUsbPort("usbkorv:/tr3200ax/1", 0), QRP_OPENPORT_OK);
  EXPECT_TRUE(HasRun(TraceLines(), {
      "  -> Do an USB 'halt' on the device.", "   -> Can not clear read ep",
      "   -> Can not clear interrupt ep"}));
}

TEST_F(KelpinTest, DsrRaisedAtOnceEndsTheWait) {
  Serve({"kelpin"});
  ASSERT_EQ(QRP_OpenUsbPort("usbkorv:/tr3200ax/1", 0), QRP_OPENPORT_OK);
  std::vector<std::string> setup = SetupLines();
  // One read that takes away what was pending, then one poll of the wait.
  EXPECT_EQ(CountLines(setup, kDsr2Enter), 2);
  EXPECT_TRUE(HasRun(setup, {
      kDsr2Enter, "[QRP_UsbGetKelpinDSR2]: result >0",
      "[QRP_UsbGetKelpinDSR2]: read: reqtype=A1, notify=20, val=0, inx=0, "
      "len=2, data=2"}));
  EXPECT_EQ(QRP_UsbGetDSR(&g_printer), 1);
}

TEST_F(KelpinTest, ShortNotificationsReadAsZeroFields) {
  Serve({"kelpin,fail=interrupt_in:short:4"});
  ASSERT_EQ(QRP_OpenUsbPort("usbkorv:/tr3200ax/1", 0), QRP_OPENPORT_OK);
  std::vector<std::string> setup = SetupLines();
  EXPECT_GE(CountLines(setup, "[QRP_UsbGetKelpinDSR2]: read: reqtype=A1, "
                              "notify=20, val=0, inx=0, len=0, data=0"), 1);
  // The DSR bit never arrives: the wait runs its 40 polls.
  EXPECT_EQ(CountLines(setup, kDsr2Enter), 41);
  EXPECT_EQ(QRP_UsbGetDSR(&g_printer), 0);
}

TEST_F(KelpinTest, MonitorFollowsTheDsrLine) {
  auto &server = Serve({"kelpin"});
  ASSERT_EQ(QRP_OpenUsbPort("usbkorv:/tr3200ax/1", 0), QRP_OPENPORT_OK);
  EXPECT_EQ(g_printer.dsrThreadState.load(), 1);
  std::vector<std::string> lines = TraceLines();
  EXPECT_EQ(CountLines(lines, kStartEnter), 1);
  EXPECT_EQ(CountLines(lines, "QRP_StartKelpinDSRThread: OK"), 1);
  EXPECT_TRUE(porttest::Eventually([] {
    return FindLine(TraceLines(), "QRP_KelpinThread: Enter") >= 0;
  }));

  server.command("dsr P1 0");
  EXPECT_TRUE(porttest::Eventually([] { return QRP_UsbGetDSR(&g_printer) == 0; }));
  server.command("dsr P1 1");
  EXPECT_TRUE(porttest::Eventually([] { return QRP_UsbGetDSR(&g_printer) == 1; }));
  lines = TraceLines();
  EXPECT_TRUE(HasRun(lines, {"[QRP_UsbGetKelpinDSR]: result >0",
                             "[QRP_UsbGetKelpinDSR]: read: reqtype=A1, notify=20, "
                             "val=0, inx=0, len=2, data=0"}));
  EXPECT_TRUE(HasRun(lines, {"[QRP_UsbGetKelpinDSR]: result >0",
                             "[QRP_UsbGetKelpinDSR]: read: reqtype=A1, notify=20, "
                             "val=0, inx=0, len=2, data=2"}));

  // The stop in real time: the thread reports within the checks.
  setenv("KORV_TIME_DIVISOR", "1", 1);
  porttest::ClearTrace();
  EXPECT_EQ(QRP_StopKelpinDSRThread(), 1);
  EXPECT_EQ(g_printer.dsrThreadState.load(), 2);
  lines = TraceLines();
  EXPECT_EQ(lines.front(), "QRP_StopKelpinDSRThread: Enter");
  EXPECT_TRUE(HasRun(lines, {"QRP_StopKelpinDSRThread: exit 2",
                             "QRP_StopKelpinDSRThread: OK"}));
  EXPECT_EQ(CountLines(lines, "QRP_KelpinThread: Exit"), 1);
  EXPECT_LT(FindLine(lines, "QRP_KelpinThread: Exit"),
            FindLine(lines, "QRP_StopKelpinDSRThread: OK"));
}

TEST_F(KelpinTest, StopWithoutAThread) {
  time_.Clear();
  EXPECT_EQ(QRP_StopKelpinDSRThread(), 0);
  EXPECT_EQ(TraceLines(), (std::vector<std::string>{
      "QRP_StopKelpinDSRThread: Enter", "QRP_StopKelpinDSRThread: FAILED"}));
  EXPECT_EQ(time_.Count(1000), 100);
  EXPECT_EQ(time_.Waits().size(), 100u);
}

} // namespace
