// The trace log and the record's lookups: whole lines under concurrent
// writers, a missing or hostile /tmp, the 254-character cut, and the
// family lookups.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "internal.h"
#include "port_support.h"
#include "usbqrp.h"

namespace {

class TraceLog : public ::testing::Test {
protected:
  void SetUp() override { porttest::ClearTrace(); }
  void TearDown() override { porttest::ClearTrace(); }
};

TEST_F(TraceLog, LeadingNewlineLeavesAnEmptyLine) {
  QRP_UsbDebug("\n*** Entering function = QRP_CloseUsbPort() ***");
  QRP_UsbDebug("plain");
  EXPECT_EQ(porttest::TraceLines(),
            (std::vector<std::string>{
                "", "*** Entering function = QRP_CloseUsbPort() ***",
                "plain"}));
  EXPECT_EQ(g_printer.logFile, nullptr);
  struct stat info;
  ASSERT_EQ(stat(porttest::kTracePath, &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST_F(TraceLog, FormattedLinesAreCutAt254Characters) {
  std::string value(400, 'v');
  QRP_UsbDebugf("-> value=%s.", value.c_str());
  QRP_UsbDebugf("%s", std::string(254, 'w').c_str());
  QRP_UsbDebugf("%s", std::string(253, 'x').c_str());
  std::vector<std::string> lines = porttest::TraceLines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "-> value=" + value.substr(0, 245));
  EXPECT_EQ(lines[1], std::string(254, 'w'));
  EXPECT_EQ(lines[2], std::string(253, 'x'));
}

TEST_F(TraceLog, TwoThreadsWriteWholeLines) {
  const int per_thread = 1500;
  auto writer = [](char mark) {
    std::string line(120, mark);
    for (int i = 0; i < per_thread; ++i)
      QRP_UsbDebug(line.c_str());
  };
  std::thread a(writer, 'a');
  std::thread b(writer, 'b');
  a.join();
  b.join();
  std::vector<std::string> lines = porttest::TraceLines();
  ASSERT_EQ(lines.size(), 2u * per_thread);
  EXPECT_EQ(porttest::CountLines(lines, std::string(120, 'a')), per_thread);
  EXPECT_EQ(porttest::CountLines(lines, std::string(120, 'b')), per_thread);
}

TEST_F(TraceLog, PlantedSymlinkIsNotFollowed) {
  const char *target = "/tmp/planted-target";
  unlink(target);
  { std::ofstream(target) << "keep\n"; }
  ASSERT_EQ(symlink(target, porttest::kTracePath), 0);

  QRP_UsbDebug("must not reach the target");
  // The port layer carries on as usual: a refused URI is still refused.
  EXPECT_EQ(QRP_OpenUsbPort("usbkorv:/tr9999/1", 0),
            QRP_OPENPORT_ERROR_UNSUPPORTED);

  std::ifstream in(target);
  std::string content((std::istreambuf_iterator<char>(in)),
                      std::istreambuf_iterator<char>());
  EXPECT_EQ(content, "keep\n");
  struct stat info;
  ASSERT_EQ(lstat(porttest::kTracePath, &info), 0);
  EXPECT_TRUE(S_ISLNK(info.st_mode));
  unlink(target);
}

TEST_F(TraceLog, PlantedHardLinkIsNotWrittenThrough) {
  const char *target = "/tmp/planted-target";
  unlink(target);
  { std::ofstream(target) << "keep\n"; }
  ASSERT_EQ(link(target, porttest::kTracePath), 0);

  QRP_UsbDebug("must not reach the target");

  std::ifstream in(target);
  std::string content((std::istreambuf_iterator<char>(in)),
                      std::istreambuf_iterator<char>());
  EXPECT_EQ(content, "keep\n");
  EXPECT_EQ(g_printer.logFile, nullptr);
  unlink(porttest::kTracePath);
  unlink(target);

  // Once the link is gone the log is written again.
  QRP_UsbDebug("back");
  EXPECT_EQ(porttest::TraceLines(), (std::vector<std::string>{"back"}));
}

TEST_F(TraceLog, DirectoryOrFifoInThePlaceOfTheLog) {
  ASSERT_EQ(mkfifo(porttest::kTracePath, 0666), 0);
  QRP_UsbDebug("no reader: must not block");
  EXPECT_EQ(g_printer.logFile, nullptr);
  unlink(porttest::kTracePath);
  ASSERT_EQ(mkdir(porttest::kTracePath, 0755), 0);
  QRP_UsbDebug("a directory");
  EXPECT_EQ(QRP_OpenUsbPort("", 0), QRP_OPENPORT_ERROR_NOTFOUND);
  rmdir(porttest::kTracePath);
}

TEST_F(TraceLog, ReadOnlyTmpLosesLinesOnly) {
  if (getenv("KORV_ISOLATED") == nullptr ||
      mount(nullptr, "/tmp", nullptr, MS_REMOUNT | MS_RDONLY, nullptr) != 0)
    GTEST_SKIP() << "no private /tmp that could be made read-only";
  QRP_UsbDebug("lost");
  int result = QRP_OpenUsbPort("usbkorv:/tr3000ax/0", 0);
  ASSERT_EQ(mount(nullptr, "/tmp", nullptr, MS_REMOUNT, nullptr), 0);
  EXPECT_EQ(result, QRP_OPENPORT_ERROR_NOTFOUND);
  EXPECT_NE(access(porttest::kTracePath, F_OK), 0);
  QRP_UsbDebug("back");
  EXPECT_EQ(porttest::TraceLines(), (std::vector<std::string>{"back"}));
}

TEST(Lookups, KelpinInterfacesAndEndpoints) {
  QRP_UsbPort &port = g_printer;
  port.family = KORV_FAMILY_KELPIN;
  EXPECT_EQ(QRP_GetUSBInterfaceNumber(&port, 0), 0);
  EXPECT_EQ(QRP_GetUSBInterfaceNumber(&port, 1), 1);
  EXPECT_EQ(QRP_GetUSBInterfaceNumber(&port, 2), 1);
  EXPECT_EQ(QRP_GetReadEP(&port), 0x82);
  EXPECT_EQ(QRP_GetWriteEP(&port), 0x01);
  EXPECT_EQ(QRP_GetReadWriteTimeout(&port), 40000u);
  port.family = KORV_FAMILY_OSTREL;
  EXPECT_EQ(QRP_GetReadEP(&port), 0x01);
  EXPECT_EQ(QRP_GetWriteEP(&port), 0x01);
  EXPECT_EQ(QRP_GetReadWriteTimeout(&port), 40000u);
  port.family = 7; // never set by the port layer; read like Ostrel
  EXPECT_EQ(QRP_GetReadEP(&port), 0x01);
  port.family = 0;
}

TEST(Lookups, OstrelInterfaceComesFromTheDescriptors) {
  struct usb_interface_descriptor alt {};
  alt.bInterfaceNumber = 3;
  struct usb_interface intf {};
  intf.altsetting = &alt;
  intf.num_altsetting = 1;
  struct usb_config_descriptor config {};
  config.interface = &intf;
  config.bNumInterfaces = 1;
  struct usb_device device {};
  device.config = &config;

  QRP_UsbPort &port = g_printer;
  port.family = KORV_FAMILY_OSTREL;
  port.device = &device;
  EXPECT_EQ(QRP_GetUSBInterfaceNumber(&port, 0), 3);
  EXPECT_EQ(QRP_GetUSBInterfaceNumber(&port, 1), 3);
  port.device = nullptr;
}

} // namespace
