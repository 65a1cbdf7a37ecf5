// Reads from the bulk IN endpoint of virtual printers: complete, in
// pieces, short and empty, and the refusals.
#include <string>
#include <vector>

#include "port_fixture.h"

namespace {

using porttest::CountLines;
using porttest::CountPrefix;
using porttest::HasRun;
using porttest::TraceLines;

const char *kEntry = "*** Entering function = QRP_ReadUsbPort() ***";
const char *kExitError =
    "*** Exiting function QRP_ReadUsbPort() = QRP_READPORT_ERROR_GENERAL";

std::string Hex(const std::vector<unsigned char> &bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char b : bytes) {
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

std::vector<unsigned char> Bytes(size_t size, unsigned char first) {
  std::vector<unsigned char> out(size);
  for (size_t i = 0; i < size; ++i)
    out[i] = static_cast<unsigned char>(first + i);
  return out;
}

using ReadTest = PortTest;

TEST_F(ReadTest, CompleteReadOnBothFamilies) {
  std::vector<unsigned char> answer = Bytes(100, 1);
  struct Case {
    const char *family;
    const char *endpoint;
  } cases[] = {{"ostrel", "0x81"}, {"kelpin", "0x82"}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.family);
    auto &server = Open(std::string(c.family) + ",bulk_in=" + Hex(answer));
    std::vector<unsigned char> buffer(100, 0xEE);
    EXPECT_EQ(QRP_ReadUsbPort(buffer.data(), 100), QRP_READPORT_OK);
    EXPECT_EQ(buffer, answer);
    // A Kelpin monitor thread may write its first line after the open's
    // trace was cleared; only the read's own lines are compared.
    std::vector<std::string> lines = TraceLines();
    std::erase_if(lines, [](const std::string &line) {
      return line.rfind("QRP_KelpinThread", 0) == 0;
    });
    EXPECT_EQ(lines, (std::vector<std::string>{
        "", kEntry, "-> Start reading the data from the printer:",
        "  -> Going to read 100 bytes from the USB device.",
        "  -> Calling usb_bulk_read().",
        "    -> Read 100 bytes successfully, try #1.",
        "  -> Read total of 100 bytes from the USB device.",
        "*** Exiting function QRP_ReadUsbPort() = QRP_READPORT_OK"}));
    EXPECT_EQ(server.transcript("P1", "bulk_in").back(),
              std::string("P1 bulk_in endpoint=") + c.endpoint +
                  " length=100 result=100 data=" + Hex(answer));
    porttest::ResetPort();
  }
}

TEST_F(ReadTest, PiecesWithFailuresBetween) {
  Open("ostrel,bulk_in=0102/stall/stall/stall/stall/0304/stall/0506");
  std::vector<unsigned char> buffer(6, 0);
  EXPECT_EQ(QRP_ReadUsbPort(buffer.data(), 6), QRP_READPORT_OK);
  EXPECT_EQ(buffer, Bytes(6, 1));
  std::vector<std::string> lines = TraceLines();
  EXPECT_EQ(CountPrefix(lines, "    -> WARNING, could not read 4 bytes, try #4, "), 1);
  EXPECT_EQ(CountPrefix(lines, "    -> WARNING, could not read 2 bytes, try #1, "), 1);
  EXPECT_EQ(CountLines(lines, "    -> Read 2 bytes successfully, try #5."), 1);
  EXPECT_EQ(time_.Count(5000), 5);
}

TEST_F(ReadTest, ShortReadEndsWithNul) {
  std::vector<unsigned char> answer = Bytes(60, 0x30);
  Open("kelpin,bulk_in=" + Hex(answer) + "/stall/stall/stall/stall/stall");
  std::vector<unsigned char> buffer(100, 0xEE);
  EXPECT_EQ(QRP_ReadUsbPort(buffer.data(), 100), QRP_READPORT_ERROR_NODATA);
  EXPECT_TRUE(std::equal(answer.begin(), answer.end(), buffer.begin()));
  EXPECT_EQ(buffer[60], 0);
  EXPECT_EQ(buffer[61], 0xEE);
  std::vector<std::string> lines = TraceLines();
  EXPECT_EQ(CountPrefix(lines, "    -> WARNING, could not read 40 bytes, try #"), 5);
  EXPECT_TRUE(HasRun(lines, {
      "  -> Read total of 60 bytes from the USB device.",
      "    -> WARNING, only read 60 out of 100 bytes after 5 retries.",
      "*** Exiting function QRP_ReadUsbPort() = QRP_READPORT_ERROR_NODATA"}));
}

TEST_F(ReadTest, NothingRead) {
  auto &server = Open("ostrel,bulk_in=stall/stall/stall/stall/stall");
  std::vector<unsigned char> buffer(100, 0xEE);
  EXPECT_EQ(QRP_ReadUsbPort(buffer.data(), 100), QRP_READPORT_ERROR_GENERAL);
  EXPECT_EQ(buffer, std::vector<unsigned char>(100, 0xEE));
  std::vector<std::string> lines = TraceLines();
  for (int attempt = 1; attempt <= 5; ++attempt)
    EXPECT_EQ(CountPrefix(lines, "    -> WARNING, could not read 100 bytes, try #" +
                                     std::to_string(attempt) + ", result=0, "
                                     "usb_strerror()="), 1);
  EXPECT_TRUE(HasRun(lines, {"  -> Read total of 0 bytes from the USB device.",
                             "    -> ERROR, no data was read after 5 retries.",
                             kExitError}));
  EXPECT_EQ(server.transcript("P1", "bulk_in").size(), 5u);
}

TEST_F(ReadTest, Refusals) {
  unsigned char buffer[8];
  EXPECT_EQ(QRP_ReadUsbPort(buffer, 8), QRP_READPORT_ERROR_GENERAL);
  EXPECT_EQ(TraceLines(), (std::vector<std::string>{
      "", kEntry,
      "-> ERROR, device was not successfully opened, claimed and prepared for "
      "reading.",
      kExitError}));
  auto &server = Open("ostrel,bulk_in=01");
  for (int size : {0, -5}) {
    porttest::ClearTrace();
    EXPECT_EQ(QRP_ReadUsbPort(buffer, size), QRP_READPORT_ERROR_GENERAL);
    EXPECT_EQ(TraceLines(), (std::vector<std::string>{
        "", kEntry, "-> ERROR, the buffer passed to the function is NULL.",
        kExitError}));
  }
  EXPECT_EQ(QRP_ReadUsbPort(nullptr, 8), QRP_READPORT_ERROR_GENERAL);
  EXPECT_TRUE(server.transcript("P1", "bulk_in").empty());
}

} // namespace
