// The backend in an unattended shop: printers chosen by serial number,
// the URI options checked before anything is sent, cancelled and cut-off
// jobs that leave the printer ready for the next receipt, and a printer
// that is waited for until it is plugged in.
#include <gtest/gtest.h>
#include <signal.h>
#include <usb.h>

#include <algorithm>
#include <chrono>
#include <map>

#include "backend_run.h"
#include "test_helpers.h"
#include "vprinter_client.h"

namespace {

using korvtest::count_of;
using korvtest::eventually;

std::vector<std::string> job(const std::string &uri) {
  return {uri, "21", "bob", "receipt", "1", ""};
}

std::string captured(const korvtest::VPrinterServer &printers, const std::string &name) {
  std::vector<uint8_t> bytes = printers.captured(name);
  return std::string(bytes.begin(), bytes.end());
}

// A 24-bit BMP as the filter writes one; its header declares its size.
std::string bmp24(uint32_t width, uint32_t height, unsigned seed) {
  uint32_t row = (width * 3 + 3) & ~3u;
  std::string b = std::string(54, '\0') + pattern_bytes(size_t(row) * height, seed);
  auto put = [&](size_t at, uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i)
      b[at + i] = char(v >> (8 * i));
  };
  b[0] = 'B';
  b[1] = 'M';
  put(2, uint32_t(b.size()), 4);
  put(10, 54, 4);
  put(14, 40, 4);
  put(18, width, 4);
  put(22, height, 4);
  put(26, 1, 2);
  put(28, 24, 2);
  return b;
}

// The printer got the start byte, the first sent bytes of the image and
// white up to the length its header declares.
void expect_completed(const std::string &got, const std::string &image, size_t sent) {
  ASSERT_EQ(got.size(), 1 + image.size());
  EXPECT_EQ(got[0], '\x02');
  EXPECT_TRUE(got.compare(1, sent, image, 0, sent) == 0);
  EXPECT_EQ(got.find_first_not_of('\xff', 1 + sent), std::string::npos);
}

// The port was closed the normal way: interfaces released, close OK.
void expect_released(const korvtest::VPrinterServer &printers, const std::string &name,
                     bool kelpin) {
  EXPECT_EQ(printers.transcript(name, "release").size(), kelpin ? 2u : 1u);
  for (const std::string &line : printers.transcript(name, "release"))
    EXPECT_NE(line.find("result=0"), std::string::npos) << line;
  EXPECT_EQ(grep(read_file(TRACE_LOG), "*** Exiting function QRP_CloseUsbPort() = "
                                       "QRP_CLOSEPORT_OK")
                .size(),
            1u);
}

class UnattendedTest : public ::testing::Test {
protected:
  void SetUp() override { fresh_logs(1000); }
};

// Two printers share a serial number, a third has one that needs
// escaping: each listed URI reaches the printer listed, whatever the
// order on the bus, and a serial number that matches nothing finds none.
TEST_F(UnattendedTest, SerialNumbersChooseThePrinterWhereverItSits) {
  for (bool swapped : {false, true}) {
    SCOPED_TRACE(swapped ? "swapped" : "in order");
    fresh_logs(1000);
    std::vector<std::string> profiles = {"kelpin,name=kitchen,serial=KITCHEN",
                                         "kelpin,name=counter,pid=0x0006,serial=\"A B&C/%\"",
                                         "kelpin,name=spare,serial=KITCHEN"};
    if (swapped)
      std::reverse(profiles.begin(), profiles.end());
    korvtest::VPrinterServer printers(profiles);
    ASSERT_TRUE(printers.ok()) << printers.error();

    BackendRun listing = run_usbkorv({"usbkorv"});
    std::vector<std::string> uris;
    for (const std::string &line : split_lines(listing.out))
      uris.push_back(line.substr(7, line.find(' ', 7) - 7));
    std::sort(uris.begin(), uris.end());
    ASSERT_EQ(uris, (std::vector<std::string>{"usbkorv:/tr3200ax/1?serial=KITCHEN",
                                              "usbkorv:/tr3200ax/2?serial=KITCHEN",
                                              "usbkorv:/tr3500ax/1?serial=A%20B%26C%2F%25"}))
        << listing.out;

    std::map<std::string, std::string> sent;
    for (const std::string &uri : uris) {
      BackendOptions options;
      options.input = "receipt for " + uri;
      EXPECT_EQ(run_usbkorv(job(uri), options).status, 0) << uri;
      sent[options.input] = uri;
    }
    for (const char *name : {"kitchen", "counter", "spare"}) {
      std::string got = captured(printers, name);
      ASSERT_EQ(sent.count(got.substr(1)), 1u) << name << " got " << got;
      EXPECT_EQ(sent[got.substr(1)].find("serial=A%20") != std::string::npos,
                std::string(name) == "counter");
    }

    BackendOptions options;
    options.input = "lost receipt";
    for (const char *uri : {"usbkorv:/tr3200ax/1?serial=kitchen", "usbkorv:/tr3200ax/3?serial=KITCHEN"}) {
      BackendRun none = run_usbkorv(job(uri), options);
      EXPECT_EQ(none.status, 1);
      EXPECT_NE(none.err.find("ERROR: Printer tr3200ax"), std::string::npos) << none.err;
    }
    for (const char *name : {"kitchen", "counter", "spare"})
      EXPECT_EQ(captured(printers, name).find("lost"), std::string::npos);
  }
}

// Refused options end the job before any printer is touched; accepted
// ones are percent-decoded, and wait= replaces the 40 s after each copy.
TEST_F(UnattendedTest, OptionsAreCheckedBeforeAnythingIsSent) {
  korvtest::VPrinterServer printers({"kelpin,serial=S1"});
  ASSERT_TRUE(printers.ok()) << printers.error();
  const std::pair<const char *, const char *> refused[] = {
      {"colour=red", "Unknown device URI option 'colour' (the options are serial, wait "
                     "and waitprinter)"},
      {"wait=601", "Device URI option 'wait' must be a whole number of seconds from 0 to "
                   "600, not '601'"},
      {"wait=", "Device URI option 'wait' is empty"},
      {"serial=S1&wait", "Device URI option 'wait' without a value"},
      {"serial=S1&&wait=3", "Empty device URI option"},
      {"waitprinter=maybe", "Device URI option 'waitprinter' must be true or false, not "
                            "'maybe'"},
      {"wait=5&wait=6", "Device URI option 'wait' given twice with different values"},
      {"serial=S%G1", "Bad percent escape in device URI option 'serial'"},
      {"serial=S%001", "Device URI option 'serial' holds a NUL byte"},
      {"serial=" /* 63 characters */ "123456789012345678901234567890123456789012345678901234567890123",
       "Device URI option 'serial' longer than 62 characters (no printer's serial number can "
       "be read that long)"},
  };
  for (const auto &[options, error] : refused) {
    SCOPED_TRACE(options);
    fresh_logs(1000);
    BackendRun run = run_usbkorv(job(std::string("usbkorv:/tr3200ax/1?") + options));
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, std::string("ERROR: ") + error + "\n");
    EXPECT_FALSE(file_exists(TRACE_LOG));
  }
  EXPECT_TRUE(printers.transcript("P1", "open").empty());

  // wait=5 (written twice, the same), and a serial number in escapes.
  fresh_logs(1000);
  BackendOptions input;
  input.input = "short wait";
  BackendRun run = run_usbkorv(job("usbkorv:/tr3200ax/1?wait=5&serial=%53%31&wait=005&"
                                   "waitprinter=NO"),
                               input);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(captured(printers, "P1"), "\x02short wait");
  std::string times = read_file(TIME_LOG);
  EXPECT_EQ(count_of(times, "usleep 5000000\n"), 1u) << times;
  EXPECT_EQ(count_of(times, "usleep 40000000\n"), 0u);
  EXPECT_NE(run.err.find("INFO: Waiting for the printer to finish the paper, 5 seconds left\n"),
            std::string::npos);

  // wait=0: no wait at all.
  fresh_logs(1000);
  EXPECT_EQ(run_usbkorv(job("usbkorv:/tr3200ax/1?wait=0"), input).status, 0);
  EXPECT_EQ(read_file(TIME_LOG).find("usleep 40000000"), std::string::npos);
}

// SIGTERM in the middle of an image (the filter still connected): the
// image is completed with white to its declared length, the port closed
// the normal way, and the next receipt prints as it should.
TEST_F(UnattendedTest, ACancelledImageIsCompletedAndThePrinterReleased) {
  for (bool kelpin : {true, false}) {
    SCOPED_TRACE(kelpin ? "kelpin" : "ostrel");
    fresh_logs(1000);
    korvtest::VPrinterServer printers({kelpin ? "kelpin,name=R" : "ostrel,name=R"});
    ASSERT_TRUE(printers.ok()) << printers.error();
    const std::string uri = kelpin ? "usbkorv:/tr3200ax/1" : "usbkorv:/tr3000ax/1";
    const std::string image = bmp24(384, 80, 3); // 92214 bytes
    const size_t part = 30000;

    BackendProcess backend(job(uri));
    ASSERT_TRUE(backend.started());
    ASSERT_TRUE(backend.send(image.substr(0, part)));
    ASSERT_TRUE(eventually([&] { return captured(printers, "R").size() == 1 + part; }, 10000));
    backend.signal(SIGTERM);
    EXPECT_EQ(backend.wait(), 0);

    expect_completed(captured(printers, "R"), image, part);
    EXPECT_NE(backend.err().find("WARNING: Image cut short after 30000 of 92214 bytes, "
                                 "completed with 62214 bytes of white\n"),
              std::string::npos)
        << backend.err();
    EXPECT_NE(backend.err().find("INFO: Job cancelled, printer"), std::string::npos);
    EXPECT_EQ(grep(read_file(BACKEND_LOG), "-> WARNING, the image was cut short after 30000 "
                                           "of 92214 bytes, added 62214 bytes of white")
                  .size(),
              1u);
    EXPECT_EQ(read_file(TIME_LOG).find("usleep 40000000"), std::string::npos);
    ASSERT_TRUE(printers.wait_for("R", "close", printers.transcript("R", "open").size()));
    expect_released(printers, "R", kelpin);

    BackendOptions next;
    next.input = bmp24(384, 10, 4);
    size_t before = captured(printers, "R").size();
    EXPECT_EQ(run_usbkorv(job(uri), next).status, 0);
    EXPECT_EQ(captured(printers, "R").substr(before), "\x02" + next.input);
  }
}

TEST_F(UnattendedTest, ACancelEndsTheWaitAfterACopyPromptly) {
  fresh_logs(10); // the 600 s asked for would take 60 s
  korvtest::VPrinterServer printers({"kelpin"});
  ASSERT_TRUE(printers.ok()) << printers.error();
  BackendProcess backend(job("usbkorv:/tr3200ax/1?wait=600"));
  ASSERT_TRUE(backend.send("whole receipt"));
  backend.close_input();
  ASSERT_TRUE(backend.wait_err("finish the paper, 600 seconds left\n"));
  ASSERT_TRUE(eventually([] { return count_of(read_file(TIME_LOG), "usleep 600000000\n") == 1; }, 10000));

  auto start = std::chrono::steady_clock::now();
  backend.signal(SIGTERM);
  EXPECT_EQ(backend.wait(), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
  EXPECT_EQ(captured(printers, "P1"), "\x02whole receipt");
  expect_released(printers, "P1", true);
}

// A filter that dies mid-image: the image is completed when its header
// can be trusted; a header that is itself cut short, or claims an
// implausible size, is never a reason to send filler.
TEST_F(UnattendedTest, DataEndingEarlyIsCompletedOnlyFromATrustedHeader) {
  korvtest::VPrinterServer printers({"kelpin"});
  ASSERT_TRUE(printers.ok()) << printers.error();
  const std::string image = bmp24(384, 60, 5);
  std::string huge = image;
  huge[5] = '\x7f'; // declares about 2 GB

  struct Case {
    std::string data;
    bool completed;
    const char *warning;
  };
  const Case cases[] = {
      {image.substr(0, 20000), true, "WARNING: Image cut short after 20000 of 69174 bytes"},
      {image.substr(0, 30), false, "WARNING: Image cut short and its header incomplete"},
      {huge.substr(0, 20000), false, nullptr},
      {"not a picture", false, nullptr},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.data.substr(0, 13));
    size_t before = captured(printers, "P1").size();
    BackendOptions options;
    options.input = c.data;
    BackendRun run = run_usbkorv(job("usbkorv:/tr3200ax/1?wait=0"), options);
    EXPECT_EQ(run.status, 0);
    std::string got = captured(printers, "P1").substr(before);
    if (c.completed) {
      expect_completed(got, image, c.data.size());
    } else {
      EXPECT_EQ(got, "\x02" + c.data);
    }
    EXPECT_EQ(run.err.find("WARNING:") != std::string::npos, c.warning != nullptr) << run.err;
    if (c.warning != nullptr) {
      EXPECT_NE(run.err.find(c.warning), std::string::npos) << run.err;
    }
  }
}

// waitprinter=true: an absent printer, then a busy one, is reported to
// CUPS and looked for again until it is there; a cancel ends the wait.
TEST_F(UnattendedTest, AnAbsentOrBusyPrinterIsWaitedFor) {
  korvtest::VPrinterServer printers({"ostrel,name=other"});
  ASSERT_TRUE(printers.ok()) << printers.error();
  const std::string uri = "usbkorv:/tr3200ax/1?serial=LATE&waitprinter=true&wait=0";

  BackendProcess backend(job(uri));
  ASSERT_TRUE(backend.send("for the late printer"));
  backend.close_input();
  ASSERT_TRUE(backend.wait_err("INFO: Printer tr3200ax with serial number LATE not found, "
                               "trying again in 5 seconds\n"));
  korvtest::UsbAddress late = korvtest::next_usb_address();
  ASSERT_TRUE(printers.plug("kelpin,name=late,serial=LATE,bus=" + std::to_string(late.bus) +
                                ",dev=" + std::to_string(late.dev),
                            "late"));
  EXPECT_EQ(backend.wait(), 0) << backend.err();
  EXPECT_EQ(captured(printers, "late"), "\x02" "for the late printer");
  EXPECT_NE(backend.err().find("STATE: +offline-report\n"), std::string::npos);
  EXPECT_NE(backend.err().find("STATE: -offline-report\nSTATE: -connecting-to-device\n"),
            std::string::npos);
  EXPECT_GE(count_of(read_file(TIME_LOG), "usleep 5000000\n"), 1u);

  // Busy: another program holds its interface 1, so each try claims
  // interface 0 and fails on 1; what a try took must be given back, or
  // the next one would find interface 0 taken by itself.
  struct usb_device *device = nullptr;
  usb_init();
  usb_find_busses();
  usb_find_devices();
  for (struct usb_bus *bus = usb_get_busses(); bus; bus = bus->next)
    for (struct usb_device *d = bus->devices; d; d = d->next)
      if (d->descriptor.iSerialNumber != 0 && d->descriptor.idProduct == 0x0003)
        device = d;
  ASSERT_NE(device, nullptr);
  usb_dev_handle *holder = usb_open(device);
  ASSERT_EQ(usb_claim_interface(holder, 1), 0);
  BackendProcess second(job(uri));
  ASSERT_TRUE(second.send("after the other program"));
  second.close_input();
  ASSERT_TRUE(second.wait_err("INFO: Printer tr3200ax with serial number LATE is busy or "
                              "cannot be opened, trying again in 5 seconds\n"));
  usb_release_interface(holder, 1);
  usb_close(holder);
  EXPECT_EQ(second.wait(), 0) << second.err();
  EXPECT_EQ(captured(printers, "late"), "\x02" "for the late printer\x02" "after the other program");

  // Cancelled while waiting: it ends at once and sends nothing.
  BackendProcess third(job("usbkorv:/tr3200ax/1?serial=NEVER&waitprinter=true"));
  ASSERT_TRUE(third.wait_err("not found, trying again"));
  third.signal(SIGTERM);
  EXPECT_EQ(third.wait(), 0);
  EXPECT_NE(third.err().find("STATE: -offline-report\nSTATE: -connecting-to-device\n"
                             "INFO: Job cancelled while waiting for the printer\n"),
            std::string::npos)
      << third.err();
  EXPECT_EQ(captured(printers, "late"), "\x02" "for the late printer\x02" "after the other program");
}

} // namespace
