// Flow-controlled writes to virtual printers: packets, pacing, retries,
// the DSR wait, the buffer line, and printers that stall or vanish.
#include <chrono>
#include <string>
#include <vector>

#include "port_fixture.h"

namespace {

using porttest::CountLines;
using porttest::CountPrefix;
using porttest::FindLine;
using porttest::HasRun;
using porttest::TraceLines;

const char *kEntry = "*** Entering function = QRP_WriteUsbPort() ***";
const char *kExitOk = "*** Exiting function QRP_WriteUsbPort() = QRP_WRITEPORT_OK";
const char *kExitError =
    "*** Exiting function QRP_WriteUsbPort() = QRP_WRITEPORT_ERROR_GENERAL";
const char *kDsrEvent = "[QRP_WriteUsbPort] - QRP_UsbGetDSR event detected";

std::vector<unsigned char> Pattern(size_t size) {
  std::vector<unsigned char> data(size);
  for (size_t i = 0; i < size; ++i)
    data[i] = static_cast<unsigned char>('A' + i % 26);
  return data;
}

using WriteTest = PortTest;

TEST_F(WriteTest, SizeZeroSendsNothing) {
  auto &server = Open("ostrel");
  size_t mark = porttest::Wire(server).size();
  const unsigned char data[1] = {'x'};
  EXPECT_EQ(QRP_WriteUsbPort(data, 0), QRP_WRITEPORT_OK);
  EXPECT_EQ(TraceLines(), (std::vector<std::string>{
      "", kEntry, "*** Buffer:  ***", "*** Size: 0 ***",
      "-> Start sending the data to the printer:",
      "  -> Sent total of 0 bytes to the USB device.", kExitOk}));
  EXPECT_TRUE(WireSince(mark).empty()); // not even a DSR reading
}

TEST_F(WriteTest, PortNotOpen) {
  const unsigned char data[4] = {'a', 'b', 0, 'c'};
  EXPECT_EQ(QRP_WriteUsbPort(data, 4), QRP_WRITEPORT_ERROR_GENERAL);
  EXPECT_EQ(TraceLines(), (std::vector<std::string>{
      "", kEntry, "*** Buffer: ab ***", "*** Size: 4 ***",
      "-> ERROR, device was not successfully opened, claimed and prepared "
      "for writing.",
      kExitError}));
}

TEST_F(WriteTest, NullBufferIsRefused) {
  auto &server = Open("ostrel");
  size_t mark = porttest::Wire(server).size();
  EXPECT_EQ(QRP_WriteUsbPort(nullptr, 10), QRP_WRITEPORT_ERROR_GENERAL);
  EXPECT_EQ(TraceLines(), (std::vector<std::string>{
      "", kEntry, "*** Buffer:  ***", "*** Size: 10 ***",
      "-> ERROR, the buffer passed to the function is NULL.", kExitError}));
  EXPECT_TRUE(WireSince(mark).empty());
}

TEST_F(WriteTest, BufferLineStopsAtNulAndSize) {
  Open("ostrel");
  std::vector<unsigned char> plain(100, 'x');
  ASSERT_EQ(QRP_WriteUsbPort(plain.data(), 100), QRP_WRITEPORT_OK);
  std::vector<unsigned char> nul = {'h', 'e', 'l', 'l', 'o', 0, 'w', 'o'};
  ASSERT_EQ(QRP_WriteUsbPort(nul.data(), static_cast<int>(nul.size())),
            QRP_WRITEPORT_OK);
  std::vector<std::string> lines = TraceLines();
  EXPECT_EQ(CountLines(lines, "*** Buffer: " + std::string(100, 'x') + " ***"), 1);
  EXPECT_TRUE(HasRun(lines, {"*** Buffer: hello ***", "*** Size: 8 ***"}));

  // A large block without NUL: the line is cut to its 19999-byte scratch.
  porttest::ClearTrace();
  std::vector<unsigned char> big(30000, 'y');
  ASSERT_EQ(QRP_WriteUsbPort(big.data(), 30000), QRP_WRITEPORT_OK);
  lines = TraceLines();
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[2], "*** Buffer: " + std::string(19998 - 12, 'y'));
  EXPECT_EQ(lines[3], "-> Start sending the data to the printer:");
}

TEST_F(WriteTest, OstrelBlockGoesIn64BytePacketsWithPacing) {
  auto &server = Open("ostrel");
  std::vector<unsigned char> data = Pattern(10240);
  ASSERT_EQ(QRP_WriteUsbPort(data.data(), 10240), QRP_WRITEPORT_OK);
  std::vector<uint8_t> captured = server.captured("P1");
  ASSERT_EQ(captured.size(), 10241u);
  EXPECT_TRUE(std::equal(data.begin(), data.end(), captured.begin() + 1));
  EXPECT_EQ(server.transcript("P1", "bulk_out").size(), 161u);
  EXPECT_EQ(CountLines(porttest::Wire(server),
                       "bulk_out endpoint=0x01 length=64 result=64"), 160);
  // One DSR reading per packet, none acted on.
  EXPECT_EQ(time_.Count(10000), 5);
  EXPECT_EQ(time_.Waits().size() - time_.Count(0), 5u);
  std::vector<std::string> lines = TraceLines();
  EXPECT_EQ(CountLines(lines, "  -> Got 64 bytes from the input stream, sending "
                              "to USB device."), 160);
  EXPECT_EQ(CountLines(lines, "    -> Sent 64 bytes successfully, try #1."), 160);
  EXPECT_EQ(CountLines(lines, kDsrEvent), 0);
  EXPECT_TRUE(HasRun(lines, {"  -> Sent total of 10240 bytes to the USB device.",
                             kExitOk}));
}

TEST_F(WriteTest, KelpinBlockGoesIn512BytePacketsWithoutPacing) {
  auto &server = Open("kelpin");
  std::vector<unsigned char> data = Pattern(10240);
  ASSERT_EQ(QRP_WriteUsbPort(data.data(), 10240), QRP_WRITEPORT_OK);
  EXPECT_EQ(CountLines(porttest::Wire(server),
                       "bulk_out endpoint=0x01 length=512 result=512"), 20);
  std::vector<uint8_t> captured = server.captured("P1");
  ASSERT_EQ(captured.size(), 10241u);
  EXPECT_TRUE(std::equal(data.begin(), data.end(), captured.begin() + 1));
  EXPECT_EQ(time_.Count(10000), 0);
  EXPECT_EQ(CountLines(TraceLines(), "  -> Got 512 bytes from the input stream, "
                                     "sending to USB device."), 20);
}

TEST_F(WriteTest, ShortWritesContinueAsFirstTries) {
  auto &server = Open("ostrel,write_max=20");
  std::vector<unsigned char> data = Pattern(64);
  size_t mark = porttest::Wire(server).size();
  ASSERT_EQ(QRP_WriteUsbPort(data.data(), 64), QRP_WRITEPORT_OK);
  std::vector<std::string> bulk;
  for (const std::string &event : WireSince(mark))
    if (event.rfind("bulk_out", 0) == 0)
      bulk.push_back(event);
  EXPECT_EQ(bulk, (std::vector<std::string>{
      "bulk_out endpoint=0x01 length=64 result=20",
      "bulk_out endpoint=0x01 length=44 result=20",
      "bulk_out endpoint=0x01 length=24 result=20",
      "bulk_out endpoint=0x01 length=4 result=4"}));
  std::vector<std::string> lines = TraceLines();
  EXPECT_EQ(CountPrefix(lines, "  -> Got "), 1);
  EXPECT_EQ(CountLines(lines, "Sending message - 1"), 4);
  EXPECT_EQ(CountLines(lines, "Sending message - 2"), 0);
  EXPECT_EQ(CountLines(lines, "    -> Sent 20 bytes successfully, try #1."), 3);
  EXPECT_EQ(CountLines(lines, kDsrEvent), 0);
  std::vector<uint8_t> captured = server.captured("P1");
  EXPECT_TRUE(std::equal(data.begin(), data.end(), captured.begin() + 1));
}

TEST_F(WriteTest, FiveFailedBulkWritesEndTheWrite) {
  Open("ostrel,fail=bulk_out@2+:EIO");
  std::vector<unsigned char> data = Pattern(10);
  EXPECT_EQ(QRP_WriteUsbPort(data.data(), 10), QRP_WRITEPORT_ERROR_GENERAL);
  std::vector<std::string> lines = TraceLines();
  for (int attempt = 1; attempt <= 5; ++attempt)
    EXPECT_EQ(CountLines(lines, "    -> WARNING, could not send 10 bytes, try #" +
                                    std::to_string(attempt) + ", result=0."), 1);
  EXPECT_TRUE(HasRun(lines, {"    -> ERROR, could not write 10 bytes after 5 retries.",
                             kExitError}));
  EXPECT_EQ(lines.back(), kExitError);
  EXPECT_EQ(time_.Count(5000), 5);
  // DSR was ready: no waiting between the tries.
  EXPECT_EQ(CountLines(lines, kDsrEvent), 0);
}

TEST_F(WriteTest, DsrBusyFor300Readings) {
  Open("ostrel,dsr=never");
  std::vector<unsigned char> data = Pattern(10);
  EXPECT_EQ(QRP_WriteUsbPort(data.data(), 10), QRP_WRITEPORT_ERROR_GENERAL);
  std::vector<std::string> lines = TraceLines();
  EXPECT_EQ(CountLines(lines, kDsrEvent), 300);
  EXPECT_EQ(CountLines(lines, "    -> INFO, DSR is inactive, waiting "
                              "QRP_PORTTYPE_USB_OSTREL_RETRYWAITMS, wait #300."), 1);
  EXPECT_TRUE(HasRun(lines, {
      "    -> INFO, DSR is inactive, waiting QRP_PORTTYPE_USB_OSTREL_RETRYWAITMS, "
      "wait #300.",
      "      -> ERROR, the printer is busy (DSR inactive) for more than 10 "
      "miliseconds.",
      kExitError}));
  EXPECT_EQ(time_.Count(2000), 299);
  EXPECT_EQ(time_.Count(5000), 1); // after the first, failed, try
  EXPECT_EQ(CountLines(lines, "Sending message - 2"), 0);
}

TEST_F(WriteTest, KelpinRaisesTheLinesAtThe150thReading) {
  auto &server = Open("kelpin,dsr=never");
  size_t mark = porttest::Wire(server).size();
  std::vector<unsigned char> data = Pattern(10);
  EXPECT_EQ(QRP_WriteUsbPort(data.data(), 10), QRP_WRITEPORT_ERROR_GENERAL);
  int raises = 0;
  for (const std::string &event : WireSince(mark))
    raises += event == "control type=0x21 request=0x22 value=0x0003 index=0x0000 "
                       "length=0 data= result=0";
  EXPECT_EQ(raises, 1);
  EXPECT_EQ(time_.Count(50000), 1);
  EXPECT_EQ(time_.Count(2000), 299);
  std::vector<unsigned long> waits;
  for (unsigned long wait : time_.Waits())
    if (wait == 2000 || wait == 50000)
      waits.push_back(wait);
  ASSERT_EQ(waits.size(), 300u);
  EXPECT_EQ(waits[150], 50000u); // right after the 150th reading's sleep
  EXPECT_EQ(CountLines(TraceLines(), kDsrEvent), 300);
}

TEST_F(WriteTest, DsrFailureOnASecondTry) {
  Open("ostrel,fail=bulk_out@2+:stall,modem_status=stall");
  std::vector<unsigned char> data = Pattern(10);
  EXPECT_EQ(QRP_WriteUsbPort(data.data(), 10), QRP_WRITEPORT_ERROR_GENERAL);
  std::vector<std::string> lines = TraceLines();
  EXPECT_TRUE(HasRun(lines, {
      "    -> WARNING, could not send 10 bytes, try #1, result=0.", kDsrEvent,
      "    -> ERROR, could not get the printer's DSR status (communication "
      "problem?).",
      kExitError}));
}

TEST_F(WriteTest, DsrLowPeriodsAreWaitedOut) {
  auto &server = Open("ostrel,dsr_low=1000/20");
  setenv("KORV_TIME_DIVISOR", "1", 1); // the printer's low periods are real time
  std::vector<unsigned char> data = Pattern(10240);
  ASSERT_EQ(QRP_WriteUsbPort(data.data(), 10240), QRP_WRITEPORT_OK);
  std::vector<uint8_t> captured = server.captured("P1");
  ASSERT_EQ(captured.size(), 10241u);
  EXPECT_TRUE(std::equal(data.begin(), data.end(), captured.begin() + 1));
  EXPECT_GT(CountLines(TraceLines(), kDsrEvent), 0);
}

TEST_F(WriteTest, KelpinWriteBesideTheMonitor) {
  // DSR drops after every 2048 bytes: the writer waits on the value the
  // monitor thread keeps, while both share the device.
  auto &server = Open("kelpin,dsr_low=2048/15");
  setenv("KORV_TIME_DIVISOR", "1", 1);
  std::vector<unsigned char> data = Pattern(10240);
  for (int block = 0; block < 3; ++block)
    ASSERT_EQ(QRP_WriteUsbPort(data.data(), 10240), QRP_WRITEPORT_OK) << block;
  EXPECT_EQ(server.captured("P1").size(), 1u + 3 * 10240);
  std::vector<std::string> lines = TraceLines();
  EXPECT_GT(CountLines(lines, kDsrEvent), 0);
  EXPECT_GT(CountPrefix(lines, "[QRP_UsbGetKelpinDSR]: read: "), 0);
}

TEST_F(WriteTest, PrinterVanishingMidWrite) {
  for (const char *profile : {"ostrel,vanish_after=3000", "kelpin,vanish_after=3000"}) {
    SCOPED_TRACE(profile);
    auto &server = Open(profile);
    std::vector<unsigned char> data = Pattern(10240);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(QRP_WriteUsbPort(data.data(), 10240), QRP_WRITEPORT_ERROR_GENERAL);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
    EXPECT_EQ(server.captured("P1").size(), 3000u);
    EXPECT_EQ(TraceLines().back(), kExitError);
    setenv("KORV_TIME_DIVISOR", "1", 1);
    porttest::ClearTrace();
    QRP_CloseUsbPort();
    EXPECT_EQ(g_printer.opened, 0);
    EXPECT_EQ(g_printer.handle, nullptr);
    EXPECT_EQ(TraceLines().back().rfind("*** Exiting function QRP_CloseUsbPort()", 0), 0u);
    setenv("KORV_TIME_DIVISOR", "1000", 1);
  }
}

} // namespace
