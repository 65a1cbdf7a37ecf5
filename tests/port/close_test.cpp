// Closing ports of both families: the monitor stop, the line drop, the
// notification drain and its bound, releases, a port that is not open, a
// monitor that does not stop, and open-close cycles in one process.
#include <chrono>
#include <string>
#include <vector>

#include "port_fixture.h"

namespace {

using porttest::CountLines;
using porttest::FindLine;
using porttest::HasRun;
using porttest::TraceLines;

const char *kEntry = "*** Entering function = QRP_CloseUsbPort() ***";
const char *kExitOk = "*** Exiting function QRP_CloseUsbPort() = QRP_CLOSEPORT_OK";
const char *kExitError =
    "*** Exiting function QRP_CloseUsbPort() = QRP_CLOSEPORT_ERROR_GENERAL";
const char *kDsr2Enter = "[QRP_UsbGetKelpinDSR2]: enter";

using CloseTest = PortTest;

TEST_F(CloseTest, OstrelClose) {
  auto &server = Open("ostrel");
  size_t mark = porttest::Wire(server).size();
  EXPECT_EQ(QRP_CloseUsbPort(), QRP_CLOSEPORT_OK);
  EXPECT_EQ(TraceLines(), (std::vector<std::string>{
      "", kEntry, "-> Release the device USB interface.",
      "-> Release USB port structure.", kExitOk}));
  EXPECT_EQ(WireSince(mark), (std::vector<std::string>{"release interface=0 result=0"}));
  std::vector<unsigned long> waits;
  for (unsigned long wait : time_.Waits())
    if (wait != 0)
      waits.push_back(wait);
  EXPECT_EQ(waits, (std::vector<unsigned long>{50000, 100000}));
  EXPECT_EQ(g_printer.opened, 0);
  EXPECT_EQ(g_printer.handle, nullptr);
  EXPECT_EQ(g_printer.handle2, nullptr);
  EXPECT_EQ(g_printer.device, nullptr);
  EXPECT_EQ(g_printer.logFile, nullptr);
}

TEST_F(CloseTest, KelpinClose) {
  auto &server = Open("kelpin");
  size_t mark = porttest::Wire(server).size();
  setenv("KORV_TIME_DIVISOR", "1", 1); // the monitor stops in real time
  EXPECT_EQ(QRP_CloseUsbPort(), QRP_CLOSEPORT_OK);
  std::vector<std::string> lines = TraceLines();
  // The monitor may still log a notification read before the close's entry.
  int entry = FindLine(lines, kEntry);
  ASSERT_GE(entry, 1);
  ASSERT_LT(entry + 1, static_cast<int>(lines.size()));
  EXPECT_EQ(lines[entry - 1], "");
  EXPECT_EQ(lines[entry + 1], "QRP_StopKelpinDSRThread: Enter");
  EXPECT_TRUE(HasRun(lines, {"QRP_StopKelpinDSRThread: exit 2",
                             "QRP_StopKelpinDSRThread: OK", kDsr2Enter}));
  EXPECT_EQ(CountLines(lines, "QRP_KelpinThread: Exit"), 1);
  EXPECT_TRUE(HasRun(lines, {"-> Release the device USB interface.",
                             "-> Release USB port structure.", kExitOk}));
  EXPECT_EQ(lines.back(), kExitOk);
  EXPECT_EQ(g_printer.dsrThreadState.load(), 2);
  EXPECT_EQ(g_printer.family, KORV_FAMILY_OSTREL);
  EXPECT_EQ(g_printer.handle2, nullptr);

  std::vector<std::string> wire = WireSince(mark);
  int lower = FindLine(wire, "control type=0x21 request=0x22 value=0x0000 "
                             "index=0x0000 length=0 data= result=0");
  ASSERT_GE(lower, 0);
  int release0 = FindLine(wire, "release interface=0 result=0");
  EXPECT_GT(release0, lower);
  EXPECT_EQ(wire.back(), "release interface=1 result=0");
  // After the lines went down nothing but notification reads came before
  // the releases.
  for (int i = lower + 1; i < release0; ++i)
    EXPECT_EQ(wire[i].rfind("interrupt_in endpoint=0x83 length=10", 0), 0u) << wire[i];

  std::vector<unsigned long> waits;
  for (unsigned long wait : time_.Waits())
    if (wait == 30000 || wait == 50000 || wait == 100000)
      waits.push_back(wait);
  EXPECT_EQ(waits, (std::vector<unsigned long>{30000, 30000, 50000, 100000}));
}

TEST_F(CloseTest, PortNotOpen) {
  EXPECT_EQ(QRP_CloseUsbPort(), QRP_CLOSEPORT_ERROR_GENERAL);
  EXPECT_EQ(TraceLines(), (std::vector<std::string>{
      "", kEntry, "-> ERROR, cannot close, device was not previously opened.",
      kExitError}));
  EXPECT_EQ(time_.Waits(), std::vector<unsigned long>{1000000});
  EXPECT_EQ(g_printer.dsrThreadState.load(), 0);

  // A second close after a successful one takes the same path.
  auto &server = Open("ostrel");
  ASSERT_EQ(QRP_CloseUsbPort(), QRP_CLOSEPORT_OK);
  size_t mark = porttest::Wire(server).size();
  EXPECT_EQ(QRP_CloseUsbPort(), QRP_CLOSEPORT_ERROR_GENERAL);
  EXPECT_TRUE(WireSince(mark).empty());
}

TEST_F(CloseTest, FailingReleasesAreReported) {
  Open("ostrel,fail=release:EIO");
  EXPECT_EQ(QRP_CloseUsbPort(), QRP_CLOSEPORT_OK);
  EXPECT_TRUE(HasRun(TraceLines(), {
      "-> Release the device USB interface.",
      "  -> ERROR, could not release the USB interface 0 from the device, result=-5.",
      "-> Release USB port structure."}));

  Open("kelpin,fail=release/1:EIO");
  setenv("KORV_TIME_DIVISOR", "1", 1);
  EXPECT_EQ(QRP_CloseUsbPort(), QRP_CLOSEPORT_OK);
  std::vector<std::string> lines = TraceLines();
  EXPECT_TRUE(HasRun(lines, {
      "-> Release the device USB interface.",
      "  -> ERROR, could not release the USB interface 1 from the device, result=-5.",
      "-> Release USB port structure."}));
  EXPECT_EQ(porttest::CountPrefix(lines, "  -> ERROR, could not release the USB "
                                         "interface 0"), 0);
}

TEST_F(CloseTest, OpenCloseCyclesInOneProcess) {
  auto &server = Serve({"ostrel,name=O", "kelpin,name=K"});
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    setenv("KORV_TIME_DIVISOR", "1000", 1);
    ASSERT_EQ(QRP_OpenUsbPort("usbkorv:/tr3000ax/1", 0), QRP_OPENPORT_OK);
    EXPECT_EQ(QRP_CloseUsbPort(), QRP_CLOSEPORT_OK);
    ASSERT_EQ(QRP_OpenUsbPort("usbkorv:/tr3200ax/1", 0), QRP_OPENPORT_OK);
    const unsigned char data[2] = {'o', 'k'};
    EXPECT_EQ(QRP_WriteUsbPort(data, 2), QRP_WRITEPORT_OK);
    setenv("KORV_TIME_DIVISOR", "1", 1);
    porttest::ClearTrace();
    EXPECT_EQ(QRP_CloseUsbPort(), QRP_CLOSEPORT_OK);
    EXPECT_EQ(CountLines(TraceLines(), "QRP_StopKelpinDSRThread: OK"), 1);
  }
  EXPECT_EQ(server.captured("O"), (std::vector<uint8_t>{0x02, 0x02}));
  EXPECT_EQ(server.captured("K"), (std::vector<uint8_t>{0x02, 'o', 'k', 0x02, 'o', 'k'}));
  // The trace log still works after the closes.
  porttest::ClearTrace();
  QRP_UsbDebug("after");
  EXPECT_EQ(TraceLines(), std::vector<std::string>{"after"});
}

TEST_F(CloseTest, ChatteringPrinterCannotHoldTheDrain) {
  Open("kelpin,chatter=2");
  setenv("KORV_TIME_DIVISOR", "1", 1);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(QRP_CloseUsbPort(), QRP_CLOSEPORT_OK);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  std::vector<std::string> lines = TraceLines();
  int drained = CountLines(lines, kDsr2Enter);
  EXPECT_GT(drained, 1);
  EXPECT_LE(drained, 100);
  EXPECT_EQ(lines.back(), kExitOk);
}

TEST_F(CloseTest, MonitorThatDoesNotStopKeepsTheDevice) {
  auto &server = Open("kelpin");
  // The monitor's loop runs once its polls show on the wire.
  size_t polls = server.transcript("P1", "interrupt_in").size();
  ASSERT_TRUE(porttest::Eventually([&] {
    return server.transcript("P1", "interrupt_in").size() >= polls + 2;
  }));
  // Holding the transfer lock keeps the monitor from its next poll; the
  // pause lets it get there.
  lock_usb();
  struct timespec pause = {0, 50000000};
  nanosleep(&pause, nullptr);
  EXPECT_EQ(QRP_CloseUsbPort(), QRP_CLOSEPORT_ERROR_GENERAL);
  std::vector<std::string> lines = TraceLines();
  EXPECT_TRUE(HasRun(lines, {
      "QRP_StopKelpinDSRThread: FAILED",
      "-> ERROR, the DSR monitor thread did not end, the device is left open.",
      kExitError}));
  EXPECT_EQ(g_printer.opened, 0);
  EXPECT_NE(g_printer.handle, nullptr); // still in the thread's use
  EXPECT_TRUE(server.transcript("P1", "release").empty());
  unlock_usb();

  // The next open finishes the job once the thread has ended.
  ASSERT_TRUE(porttest::Eventually(
      [] { return g_printer.dsrThreadState.load() == 2; }));
  setenv("KORV_TIME_DIVISOR", "1000", 1);
  porttest::ClearTrace();
  int reopened = QRP_OpenUsbPort("usbkorv:/tr3200ax/1", 0);
  ASSERT_EQ(reopened, QRP_OPENPORT_OK);
  EXPECT_EQ(porttest::CountPrefix(TraceLines(), "-> ERROR"), 0);
  EXPECT_EQ(CountLines(server.transcript("P1", "release"),
                       "P1 release interface=1 result=0"), 1);
  setenv("KORV_TIME_DIVISOR", "1", 1);
  EXPECT_EQ(QRP_CloseUsbPort(), QRP_CLOSEPORT_OK);
}

} // namespace
