// The raster path as CUPS runs it: a private scheduler with the installed
// programs and PPDs and the system's standard filters, a virtual printer
// of each family, and lp of a PDF receipt and a photograph. The printer
// must receive the start byte and then exactly what the same filter chain
// makes by hand (cupsfilter with the queue's PPD).
#include "private_cups.h"
#include "test_helpers.h"
#include "vprinter_client.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <memory>

namespace korvtest {
namespace {

class RasterCupsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0)
      GTEST_SKIP() << "the scheduler needs root";
    const char *build = getenv("KORV_BUILD_DIR");
    const char *source = getenv("KORV_SOURCE_DIR");
    const char *shim = getenv("KORV_TIMESHIM");
    const char *umockdev = getenv("KORV_UMOCKDEV_PRELOAD");
    ASSERT_TRUE(build && source && shim && umockdev) << "run through CTest";

    printers_ = std::make_unique<VPrinterServer>(
        std::vector<std::string>{"kelpin,name=kelpin", "ostrel,name=ostrel"});
    ASSERT_TRUE(printers_->ok()) << printers_->error();
    CupsOptions options;
    options.build_dir = build;
    options.umockdev_dir = printers_->umockdev_dir();
    options.preload = std::string(shim) + ":" + umockdev;
    cups_ = std::make_unique<PrivateCups>(options);
    ASSERT_TRUE(cups_->ok()) << cups_->error();

    // The documents, where the filters (run as lp) can read them.
    work_ = cups_->dir() + "/work";
    CommandResult made = run_command(
        {"sh", std::string(source) + "/samples/make-documents.sh", work_}, clean_environment({}));
    ASSERT_EQ(made.status, 0) << made.err;
    chmod(work_.c_str(), 0755);
    // cupsfilter by hand with the scheduler's own filters and data.
    std::ofstream(cups_->dir() + "/cupsfilter.conf")
        << "ServerBin " << cups_->dir() << "/stage" << KORV_SERVERBIN << "\nDataDir "
        << cups_->dir() << "/data\n";

    // 58 mm paper on both: the virtual printers take about 40 KB a second,
    // and a 384-dot image is two thirds of a 576-dot one.
    add_queue("receipts", "tr3200ax", "korv-tr3200ax-58.ppd");
    add_queue("narrow", "tr3000ax", "korv-tr3000ax-58.ppd");
  }

  void TearDown() override {
    if (!cups_)
      return;
    std::string log = cups_->error_log();
    for (const char *report : {"AddressSanitizer", "LeakSanitizer", "runtime error:"})
      EXPECT_EQ(log.find(report), std::string::npos) << log;
    if (HasFailure()) {
      std::string lines;
      for (size_t at = 0, end; at < log.size(); at = end + 1) {
        end = log.find('\n', at);
        if (end == std::string::npos)
          end = log.size();
        std::string line = log.substr(at, end - at);
        if ((line.find("[Job ") != std::string::npos && line.find("envp[") == std::string::npos) ||
            line.rfind("E [", 0) == 0)
          lines += line + "\n";
      }
      printf("--- scheduler log\n%s--- end\n", lines.c_str());
    }
    cups_.reset();
    printers_.reset();
  }

  void add_queue(const std::string &queue, const std::string &protocol, const std::string &ppd) {
    CommandResult devices = cups_->run({"lpinfo", "-v"});
    std::string prefix = "direct usbkorv:/" + protocol + "/";
    size_t at = devices.out.find(prefix);
    ASSERT_NE(at, std::string::npos) << devices.out;
    std::string uri = devices.out.substr(at + 7, devices.out.find('\n', at) - at - 7);
    CommandResult r = cups_->run({"lpadmin", "-p", queue, "-E", "-v", uri, "-m", "korvprint/" + ppd});
    ASSERT_EQ(r.status, 0) << r.err;
  }

  // What the chain makes of the file for the queue, by hand.
  std::string by_hand(const std::string &queue, const std::string &file,
                      const std::vector<std::string> &options) {
    std::vector<std::string> argv = {"cupsfilter", "-c", cups_->dir() + "/cupsfilter.conf",
                                     "-p", cups_->dir() + "/conf/ppd/" + queue + ".ppd",
                                     "-m", "printer/" + queue, "-e"};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.push_back(work_ + "/" + file);
    CommandResult r = run_command(argv, clean_environment({}));
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
  }

  // lp; the job must complete and the printer receive the start byte and
  // the image. Returns the image.
  std::string print(const std::string &queue, const char *printer, const std::string &file,
                    const std::vector<std::string> &lp_args = {}) {
    size_t before = printers_->captured(printer).size();
    std::vector<std::string> argv = {"lp", "-d", queue};
    argv.insert(argv.end(), lp_args.begin(), lp_args.end());
    argv.push_back(work_ + "/" + file);
    CommandResult r = cups_->run(argv);
    std::string marker = "request id is " + queue + "-";
    size_t at = r.out.find(marker);
    EXPECT_NE(at, std::string::npos) << r.out << r.err;
    if (at == std::string::npos)
      return "";
    int job = atoi(r.out.c_str() + at + marker.size());
    EXPECT_EQ(cups_->wait_job(job, 600000), kJobCompleted);
    auto bytes = printers_->captured(printer);
    std::string got(bytes.begin() + long(before), bytes.end());
    EXPECT_GT(got.size(), 55u);
    if (got.size() < 55)
      return "";
    EXPECT_EQ(got[0], '\x02');
    return got.substr(1);
  }

  std::unique_ptr<VPrinterServer> printers_;
  std::unique_ptr<PrivateCups> cups_;
  std::string work_;
};

TEST_F(RasterCupsTest, PrintsAPdfReceiptAndAPhotoAsTheFilterChainMakesThem) {
  struct Case {
    const char *queue, *printer, *file;
    std::vector<std::string> options;
  };
  // The photograph across the paper rather than turned to fill it.
  for (const Case &c : {Case{"receipts", "kelpin", "receipt.pdf", {}},
                        Case{"narrow", "ostrel", "photo.jpg", {"-o", "orientation-requested=3"}}}) {
    SCOPED_TRACE(c.file);
    std::string got = print(c.queue, c.printer, c.file, c.options);
    std::string expected = by_hand(c.queue, c.file, c.options);
    ASSERT_GT(expected.size(), 54u);
    EXPECT_EQ(le32(expected, 18), 384u);
    EXPECT_EQ(got.size(), expected.size());
    EXPECT_TRUE(got == expected) << "the printer received other bytes than the chain makes";
    // One whole BMP: its header's size is what the printer got.
    EXPECT_EQ(le32(got, 2), got.size());
  }
}

TEST_F(RasterCupsTest, ThreeCopiesAreThreeReceiptsInOneImage) {
  std::string one = by_hand("receipts", "notes.txt", {});
  ASSERT_GT(one.size(), 54u);
  std::string three = print("receipts", "kelpin", "notes.txt", {"-n", "3"});
  ASSERT_GT(three.size(), 54u);
  // 96 rows of tear-off gap between copies.
  EXPECT_EQ(le32(three, 22), 3 * le32(one, 22) + 2 * 96);
  EXPECT_EQ(le32(three, 2), three.size());
  EXPECT_TRUE(three == by_hand("receipts", "notes.txt", {"-n", "3"}));
  // The filter made the copies of one rendered page.
  EXPECT_NE(cups_->error_log().find("rastertokorv: 1 page(s), 1 printed"), std::string::npos);
}

TEST_F(RasterCupsTest, EachDocumentOfAJobIsAnImageAfterItsOwnStartByte) {
  const std::string one = by_hand("receipts", "notes.txt", {});
  ASSERT_GT(one.size(), 54u);
  // Two documents in one job: start byte, image, start byte, image.
  const std::string got = print("receipts", "kelpin", "notes.txt", {work_ + "/notes.txt"});
  EXPECT_EQ(got.size(), 2 * one.size() + 1);
  EXPECT_TRUE(got == one + "\x02" + one);
}

}  // namespace
}  // namespace korvtest
