// The unattended shop through a private CUPS scheduler: device IDs that
// find the model's PPDs, a job cancelled with "cancel" that leaves the
// printer ready for the next one, and a queue that waits for its printer
// (reported in lpstat) until it is plugged in.
#include "private_cups.h"
#include "test_helpers.h"
#include "vprinter_client.h"

#include <cstdint>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace korvtest {
namespace {

// An 8-bit grey BMP, a ramp with dark bars: both black and white survive
// the threshold.
std::string grey_bmp(uint32_t width, uint32_t height) {
  uint32_t row = (width + 3) & ~3u;
  std::string b(54 + 1024 + size_t(row) * height, '\0');
  auto put = [&](size_t at, uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i)
      b[at + i] = char(v >> (8 * i));
  };
  b[0] = 'B';
  b[1] = 'M';
  put(2, uint32_t(b.size()), 4);
  put(10, 54 + 1024, 4);
  put(14, 40, 4);
  put(18, width, 4);
  put(22, height, 4);
  put(26, 1, 2);
  put(28, 8, 2);
  put(46, 256, 4);
  for (uint32_t k = 0; k < 256; ++k)
    for (int c = 0; c < 3; ++c)
      b[54 + 4 * k + c] = char(k);
  for (uint32_t y = 0; y < height; ++y)
    for (uint32_t x = 0; x < width; ++x)
      b[54 + 1024 + y * row + x] = char((x / 16) % 3 == 0 ? 10 : x * 255 / width);
  return b;
}

std::string captured(const VPrinterServer &printers, const std::string &name) {
  std::vector<uint8_t> bytes = printers.captured(name);
  return std::string(bytes.begin(), bytes.end());
}

class UnattendedCupsTest : public ::testing::Test {
protected:
  // Starts the printers and a scheduler whose backends divide their waits
  // by time_divisor.
  void Start(const std::vector<std::string> &profiles, int time_divisor) {
    if (geteuid() != 0)
      GTEST_SKIP() << "the scheduler needs root";
    const char *build = getenv("KORV_BUILD_DIR");
    const char *shim = getenv("KORV_TIMESHIM");
    const char *umockdev = getenv("KORV_UMOCKDEV_PRELOAD");
    ASSERT_TRUE(build && shim && umockdev) << "run through CTest";
    printers_ = std::make_unique<VPrinterServer>(profiles);
    ASSERT_TRUE(printers_->ok()) << printers_->error();
    CupsOptions options;
    options.build_dir = build;
    options.umockdev_dir = printers_->umockdev_dir();
    options.preload = std::string(shim) + ":" + umockdev;
    options.time_divisor = time_divisor;
    cups_ = std::make_unique<PrivateCups>(options);
    ASSERT_TRUE(cups_->ok()) << cups_->error();
    work_ = cups_->dir() + "/work";
    mkdir(work_.c_str(), 0755);
  }

  void TearDown() override {
    if (cups_ && HasFailure())
      printf("--- scheduler error log\n%s--- end\n", cups_->error_log().c_str());
    cups_.reset();
    printers_.reset();
  }

  std::string write_file(const std::string &name, const std::string &data) {
    std::string path = work_ + "/" + name;
    std::ofstream(path, std::ios::binary) << data;
    return path;
  }

  // What the filter makes of file for the PPD (so what a printer gets).
  std::string filtered(const char *ppd, const std::string &file) {
    CommandResult r = run_command({KORV_FILTER_PATH, "1", "u", "t", "1", "Threshold=50", file},
                                  clean_environment({"PPD=" + cups_->model_dir() + "/" + ppd}));
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
  }

  void add_queue(const std::string &queue, const std::string &uri, const char *ppd) {
    CommandResult r = cups_->run(
        {"lpadmin", "-p", queue, "-E", "-v", uri, "-m", std::string("korvprint/") + ppd});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
  }

  std::unique_ptr<VPrinterServer> printers_;
  std::unique_ptr<PrivateCups> cups_;
  std::string work_;
};

// The whole device line parses, device ID included, and the device ID
// finds both PPDs of the model and no other; a queue made from the listed
// serial-number URI prints.
TEST_F(UnattendedCupsTest, ListedDeviceIdsFindTheModelsPpds) {
  Start({"kelpin,name=K,pid=0x0005,serial=\"SHOP 1\"", "ostrel,name=O,serial=@none"}, 1000);
  CommandResult devices = cups_->run({"lpinfo", "-l", "-v"});
  ASSERT_EQ(devices.status, 0) << devices.err;
  for (auto [uri, id] :
       {std::pair{"usbkorv:/tr090sax/1?serial=SHOP%201", "MFG:KorvaNIX;MDL:TR090SAX;CMD:KORVBMP;"},
        std::pair{"usbkorv:/tr3000ax/1", "MFG:KorvaNIX;MDL:TR3000AX;CMD:KORVBMP;"}}) {
    size_t at = devices.out.find(std::string("Device: uri = ") + uri + "\n");
    ASSERT_NE(at, std::string::npos) << devices.out;
    std::string block = devices.out.substr(at, devices.out.find("Device: ", at + 1) - at);
    EXPECT_NE(block.find("info = KorvaNIX USB Printer #"), std::string::npos) << block;
    EXPECT_NE(block.find(std::string("device-id = ") + id + "\n"), std::string::npos) << block;
  }

  // (lpinfo lists at -m with the options given before it.)
  CommandResult models = cups_->run(
      {"lpinfo", "--device-id", "MFG:KorvaNIX;MDL:TR090SAX;CMD:KORVBMP;", "-m"});
  ASSERT_EQ(models.status, 0) << models.err;
  EXPECT_NE(models.out.find("korvprint/korv-tr090sax-58.ppd "), std::string::npos) << models.out;
  EXPECT_NE(models.out.find("korvprint/korv-tr090sax-80.ppd "), std::string::npos) << models.out;
  for (const char *other : {"tr3000ax", "tr3200ax", "tr3500ax"})
    EXPECT_EQ(models.out.find(other), std::string::npos) << models.out;

  std::string receipt = write_file("receipt.bmp", grey_bmp(768, 20));
  add_queue("shop", "usbkorv:/tr090sax/1?serial=SHOP%201&wait=0", "korv-tr090sax-58.ppd");
  int job = cups_->print("shop", receipt, {"Threshold=50"});
  ASSERT_GT(job, 0);
  ASSERT_EQ(cups_->wait_job(job), kJobCompleted);
  EXPECT_EQ(captured(*printers_, "K"), "\x02" + filtered("korv-tr090sax-58.ppd", receipt));
}

// Real waits, and a printer that takes its time (the serial bridge, 64
// bytes a packet): "cancel" in the middle of the image. The printer gets
// the start byte and exactly the length the image's header declares, the
// rest of it white; the next job prints whole.
TEST_F(UnattendedCupsTest, CancelledJobLeavesThePrinterReadyForTheNext) {
  Start({"ostrel,name=K,serial=SLOW"}, 1);
  add_queue("slow", "usbkorv:/tr3000ax/1?serial=SLOW&wait=0", "korv-tr3000ax-58.ppd");
  std::string big = write_file("long.bmp", grey_bmp(1152, 360));
  std::string full = filtered("korv-tr3000ax-58.ppd", big);
  ASSERT_GT(full.size(), 100000u);

  int job = cups_->print("slow", big, {"Threshold=50"});
  ASSERT_GT(job, 0);
  ASSERT_TRUE(eventually([&] { return captured(*printers_, "K").size() > 10000; }, 30000));
  CommandResult cancel = cups_->run({"cancel", std::to_string(job)});
  ASSERT_EQ(cancel.status, 0) << cancel.err;
  EXPECT_EQ(cups_->wait_job(job), kJobCanceled);
  // The scheduler calls the job cancelled at once; the backend finishes.
  ASSERT_TRUE(printers_->wait_for("K", "release", 1, 60000));

  std::string got = captured(*printers_, "K");
  ASSERT_GT(got.size(), 55u);
  EXPECT_EQ(got[0], '\x02');
  EXPECT_EQ(le32(got, 1 + 2), full.size());
  ASSERT_EQ(got.size(), 1 + full.size());
  size_t same = 0;
  while (same < full.size() && got[1 + same] == full[same])
    ++same;
  EXPECT_LT(same, full.size()) << "the job was not cut short";
  EXPECT_EQ(got.find_first_not_of('\xff', 1 + same), std::string::npos);
  for (const std::string &line : printers_->transcript("K", "release"))
    EXPECT_NE(line.find("result=0"), std::string::npos) << line;
  EXPECT_EQ(cups_->error_log().find("Backend returned status"), std::string::npos);

  std::string small = write_file("small.bmp", grey_bmp(1152, 16));
  job = cups_->print("slow", small, {"Threshold=50"});
  ASSERT_GT(job, 0);
  ASSERT_EQ(cups_->wait_job(job), kJobCompleted);
  EXPECT_EQ(captured(*printers_, "K").substr(got.size()),
            "\x02" + filtered("korv-tr3000ax-58.ppd", small));
}

// waitprinter=true: the job waits for a printer that is not there, the
// queue shows it as offline with the reason, and the job prints once the
// printer is plugged in.
TEST_F(UnattendedCupsTest, AQueueWaitsForItsPrinterToBePluggedIn) {
  Start({"ostrel,name=O"}, 1000);
  add_queue("late", "usbkorv:/tr3200ax/1?serial=LATE&waitprinter=true&wait=0",
            "korv-tr3200ax-58.ppd");
  std::string receipt = write_file("receipt.bmp", grey_bmp(768, 20));
  int job = cups_->print("late", receipt, {"Threshold=50"});
  ASSERT_GT(job, 0);
  std::string status;
  EXPECT_TRUE(eventually([&] {
    status = cups_->run({"lpstat", "-l", "-p", "late"}).out;
    return status.find("offline-report") != std::string::npos &&
           status.find("Printer tr3200ax with serial number LATE not found, trying again in "
                       "5 seconds") != std::string::npos;
  }, 30000)) << status;
  EXPECT_EQ(cups_->job_state(job), kJobProcessing);

  UsbAddress a = next_usb_address();
  ASSERT_TRUE(printers_->plug("kelpin,name=late,serial=LATE,bus=" + std::to_string(a.bus) +
                                  ",dev=" + std::to_string(a.dev),
                              "late"));
  ASSERT_EQ(cups_->wait_job(job), kJobCompleted);
  EXPECT_EQ(captured(*printers_, "late"), "\x02" + filtered("korv-tr3200ax-58.ppd", receipt));
  status = cups_->run({"lpstat", "-l", "-p", "late"}).out;
  EXPECT_EQ(status.find("offline-report"), std::string::npos) << status;
}

} // namespace
} // namespace korvtest
