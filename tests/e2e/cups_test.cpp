// usbkorv and korvbmpthreshold as CUPS runs them: a private scheduler with
// the installed programs and PPDs, a virtual printer of each family, and
// what a user does with lpinfo, lpadmin and lp.
#include "private_cups.h"
#include "test_helpers.h"
#include "vprinter_client.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace korvtest {
namespace {

using Bytes = std::vector<uint8_t>;

// An 8-bit BMP with a grey palette (entry k = k, k, k): a ramp across the
// width with dark and light bars, so that the threshold and the reduction
// both show in the output.
Bytes grey_bmp(uint32_t width, uint32_t height) {
  uint32_t row = (width + 3) & ~3u;
  uint32_t data_offset = 54 + 1024;
  uint32_t size = data_offset + row * height;
  Bytes b(size, 0);
  auto put16 = [&](size_t at, uint16_t v) {
    b[at] = uint8_t(v);
    b[at + 1] = uint8_t(v >> 8);
  };
  auto put32 = [&](size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i)
      b[at + i] = uint8_t(v >> (8 * i));
  };
  b[0] = 'B';
  b[1] = 'M';
  put32(2, size);
  put32(10, data_offset);
  put32(14, 40);
  put32(18, width);
  put32(22, height);
  put16(26, 1);
  put16(28, 8);
  put32(34, row * height);
  put32(46, 256);
  for (uint32_t k = 0; k < 256; ++k)
    for (int c = 0; c < 3; ++c)
      b[54 + 4 * k + c] = uint8_t(k);
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) {
      uint32_t v = x * 255 / (width - 1);
      if ((y / 8) % 3 == 1)
        v = 255 - v;
      if ((x / 24) % 5 == 0)
        v = (y % 2) ? 20 : 235;
      b[data_offset + y * row + x] = uint8_t(v);
    }
  }
  return b;
}

void write_bytes(const std::string &path, const Bytes &bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));
}

std::string to_string(const Bytes &bytes) { return std::string(bytes.begin(), bytes.end()); }

// The lines of a log that keep() accepts, each with its newline.
template <typename Keep> std::string log_lines(const std::string &log, Keep keep) {
  std::string lines;
  size_t start = 0;
  while (start < log.size()) {
    size_t end = log.find('\n', start);
    if (end == std::string::npos)
      end = log.size();
    std::string line = log.substr(start, end - start);
    if (keep(line))
      lines += line + "\n";
    start = end + 1;
  }
  return lines;
}

// The scheduler's error log lines of one job.
std::string job_lines(const std::string &log, int job_id) {
  std::string tag = "[Job " + std::to_string(job_id) + "] ";
  return log_lines(log, [&](const std::string &line) {
    return line.find(tag) != std::string::npos;
  });
}

// Log lines of level E (error) that are not about a job.
std::string scheduler_errors(const std::string &log) {
  return log_lines(log, [](const std::string &line) {
    return line.rfind("E [", 0) == 0 && line.find("[Job ") == std::string::npos;
  });
}

// What a reader needs of a failed run's log: the job lines but their
// argument and environment dumps, and every error or warning.
std::string log_digest(const std::string &log) {
  return log_lines(log, [](const std::string &line) {
    bool job = line.find("[Job ") != std::string::npos &&
               line.find("] argv[") == std::string::npos &&
               line.find("] envp[") == std::string::npos;
    return job || line.rfind("E [", 0) == 0 || line.rfind("W [", 0) == 0;
  });
}

// One device's lines in the output of lpinfo -l -v.
std::string device_block(const std::string &listing, const std::string &uri) {
  size_t at = listing.find("Device: uri = " + uri + "\n");
  if (at == std::string::npos)
    return "";
  size_t end = listing.find("Device: ", at + 1);
  return listing.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

struct Family {
  const char *printer;   // vprinter name
  const char *protocol;  // in the listed URI
  const char *ppd;       // shipped PPD
  uint32_t width;        // its print line in dots
};

const Family kKelpin80 = {"kelpin", "tr3200ax", "korv-tr3200ax-80.ppd", 576};
const Family kOstrel58 = {"ostrel", "tr3000ax", "korv-tr3000ax-58.ppd", 384};

class CupsTest : public ::testing::Test {
protected:
  void SetUp() override {
    if (geteuid() != 0)
      GTEST_SKIP() << "the scheduler needs root";
    const char *build = getenv("KORV_BUILD_DIR");
    const char *shim = getenv("KORV_TIMESHIM");
    const char *umockdev = getenv("KORV_UMOCKDEV_PRELOAD");
    ASSERT_TRUE(build && shim && umockdev) << "run through CTest";

    printers_ = std::make_unique<VPrinterServer>(
        std::vector<std::string>{"kelpin,name=kelpin", "ostrel,name=ostrel"});
    ASSERT_TRUE(printers_->ok()) << printers_->error();

    CupsOptions options;
    options.build_dir = build;
    options.umockdev_dir = printers_->umockdev_dir();
    options.preload = std::string(shim) + ":" + umockdev;
    cups_ = std::make_unique<PrivateCups>(options);
    ASSERT_TRUE(cups_->ok()) << cups_->error();
    printf("scheduler ready after %ld ms\n", cups_->startup_ms());

    work_ = cups_->dir() + "/work";
    mkdir(work_.c_str(), 0755);
  }

  void TearDown() override {
    if (!cups_)
      return;
    std::string log = cups_->error_log();
    for (const char *report :
         {"AddressSanitizer", "LeakSanitizer", "ThreadSanitizer", "runtime error:"})
      EXPECT_EQ(log.find(report), std::string::npos) << "sanitizer report in the scheduler log:\n"
                                                     << log;
    if (HasFailure())
      printf("--- scheduler error log, jobs and errors\n%s--- end\n", log_digest(log).c_str());
    cups_.reset();
    printers_.reset();
  }

  // The URI that lpinfo -v lists for the printer of this protocol.
  std::string listed_uri(const char *protocol) {
    CommandResult r = cups_->run({"lpinfo", "-v"});
    EXPECT_EQ(r.status, 0) << r.err;
    std::string prefix = std::string("direct usbkorv:/") + protocol + "/";
    size_t at = r.out.find(prefix);
    if (at == std::string::npos)
      return "";
    size_t end = r.out.find('\n', at);
    return r.out.substr(at + 7, end - at - 7);
  }

  void add_queue(const std::string &queue, const std::string &uri, const char *ppd) {
    CommandResult r = cups_->run(
        {"lpadmin", "-p", queue, "-E", "-v", uri, "-m", std::string("korvprint/") + ppd});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
  }

  // What the filter writes when run by hand on the file for this PPD.
  std::string filter_by_hand(const char *ppd, const std::string &options,
                             const std::string &file) {
    CommandResult r = run_command(
        {KORV_FILTER_PATH, "1", "user", "title", "1", options, file},
        clean_environment({"PPD=" + cups_->model_dir() + "/" + ppd}));
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
  }

  std::string captured(const char *printer) { return to_string(printers_->captured(printer)); }

  // Prints file to queue with Threshold=50, expects the job to complete
  // and the printer to receive the start byte and the filter's output.
  void expect_printed(const std::string &queue, const Family &family, const std::string &file) {
    size_t before = captured(family.printer).size();
    std::string expected = "\x02" + filter_by_hand(family.ppd, "Threshold=50", file);
    ASSERT_GT(expected.size(), 55u);
    EXPECT_EQ(le32(expected, 1 + 18), family.width);

    auto start = std::chrono::steady_clock::now();
    std::string message;
    int job = cups_->print(queue, file, {"Threshold=50"}, &message);
    ASSERT_GT(job, 0) << message;
    int state = cups_->wait_job(job);
    long ms = long(std::chrono::duration_cast<std::chrono::milliseconds>(
                       std::chrono::steady_clock::now() - start)
                       .count());
    printf("job %d on %s (%s, %zu bytes): %s after %ld ms\n", job, queue.c_str(), family.printer,
           expected.size(), job_state_name(state), ms);
    ASSERT_EQ(state, kJobCompleted) << job_lines(cups_->error_log(), job);

    std::string got = captured(family.printer).substr(before);
    ASSERT_EQ(got.size(), expected.size());
    EXPECT_TRUE(got == expected) << "the printer received other bytes than the filter writes";
  }

  std::unique_ptr<VPrinterServer> printers_;
  std::unique_ptr<PrivateCups> cups_;
  std::string work_;
};

TEST_F(CupsTest, InstalledProgramsAreListedWithTheirPrintersAndModels) {
  // The modes of the install rules: the scheduler runs the backend as
  // root only because nobody else may touch it, and the filter at all only
  // because nobody but root may change it.
  struct stat st;
  std::string stage = cups_->dir() + "/stage";
  ASSERT_EQ(stat((stage + KORV_BACKEND_DIR "/usbkorv").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  EXPECT_EQ(st.st_uid, 0u);
  ASSERT_EQ(stat((stage + KORV_FILTER_DIR "/korvbmpthreshold").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0755u);
  EXPECT_EQ(st.st_uid, 0u);

  CommandResult devices = cups_->run({"lpinfo", "-l", "-v"});
  ASSERT_EQ(devices.status, 0) << devices.err;
  EXPECT_EQ(count_of(devices.out, "uri = usbkorv:"), 2u) << devices.out;
  // Described by number in the order of the USB buses; each URI counts
  // the printers of its own family, and names the printer's serial number.
  std::string infos;
  for (auto [uri, model] :
       {std::pair{"usbkorv:/tr3200ax/1?serial=VP0001", "TR3200AX Receipt Printer"},
        std::pair{"usbkorv:/tr3000ax/1?serial=VP0002", "TR3000AX Receipt Printer"}}) {
    std::string block = device_block(devices.out, uri);
    EXPECT_NE(block.find("class = direct\n"), std::string::npos) << uri << devices.out;
    EXPECT_NE(block.find(std::string("make-and-model = ") + model + "\n"), std::string::npos)
        << uri << devices.out;
    size_t info = block.find("info = KorvaNIX USB Printer #");
    ASSERT_NE(info, std::string::npos) << uri << devices.out;
    infos += block.substr(info + 29, block.find('\n', info) - info - 29) + " ";
  }
  EXPECT_TRUE(infos == "1 2 " || infos == "2 1 ") << devices.out;

  CommandResult models = cups_->run({"lpinfo", "-m"});
  ASSERT_EQ(models.status, 0) << models.err;
  for (const char *model : {"tr3000ax", "tr3200ax", "tr090sax", "tr3500ax"}) {
    for (const char *paper : {"58", "80"}) {
      std::string upper = model;
      for (auto &c : upper)
        c = char(toupper(c));
      std::string line = std::string("korvprint/korv-") + model + "-" + paper +
                         ".ppd KorvaNIX " + upper + " " + paper + " mm\n";
      EXPECT_NE(models.out.find(line), std::string::npos) << line << models.out;
    }
  }

  // A private data directory with only CUPS's own types keeps the log free
  // of errors, so that the other tests can read it.
  EXPECT_EQ(scheduler_errors(cups_->error_log()), "");
}

TEST_F(CupsTest, PrintsABitmapOnEachFamilyAndWidthAsTheFilterMakesIt) {
  std::string receipt = work_ + "/receipt.bmp";
  write_bytes(receipt, grey_bmp(1152, 48));

  for (const Family *family : {&kKelpin80, &kOstrel58}) {
    SCOPED_TRACE(family->printer);
    std::string uri = listed_uri(family->protocol);
    ASSERT_FALSE(uri.empty());
    std::string queue = std::string(family->printer) + "-" + std::to_string(family->width);
    add_queue(queue, uri, family->ppd);
    expect_printed(queue, *family, receipt);
  }

  // The backend ran as root (its log is its own), and the scheduler did
  // not sit out the 40 s after each job: the time shim shortened them.
  struct stat st;
  ASSERT_EQ(stat("/tmp/usbkorv.log", &st), 0);
  EXPECT_EQ(st.st_uid, 0u);
  std::ifstream in(cups_->time_log_path());
  std::string times((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(count_of(times, "usleep 40000000\n") + count_of(times, "sleep 40\n"), 2u) << times;
}

TEST_F(CupsTest, FailedJobsEndAsFailuresAndTheQueuePrintsTheNextJob) {
  std::string receipt = work_ + "/receipt.bmp";
  Bytes image = grey_bmp(1152, 36);
  write_bytes(receipt, image);

  // A queue whose URI has no printer behind it (one Ostrel printer only):
  // the backend fails, the job is aborted, the queue keeps going.
  std::string ostrel_before = captured("ostrel");
  add_queue("ghost", "usbkorv:/tr3000ax/2", kOstrel58.ppd);
  int job = cups_->print("ghost", receipt, {"Threshold=50"});
  ASSERT_GT(job, 0);
  EXPECT_EQ(cups_->wait_job(job), kJobAborted);
  std::string lines = job_lines(cups_->error_log(), job);
  EXPECT_NE(lines.find("Backend returned status 1 (failed)"), std::string::npos) << lines;
  EXPECT_NE(lines.find("Job aborted due to backend errors"), std::string::npos) << lines;
  std::ifstream backend_log("/tmp/usbkorv.log");
  std::string backend((std::istreambuf_iterator<char>(backend_log)),
                      std::istreambuf_iterator<char>());
  EXPECT_NE(backend.find("[CUPS][usbkorvqrp][print_device] -> ERROR returned from "
                         "QRP_OpenPort(), exiting.\n"),
            std::string::npos);
  EXPECT_EQ(captured("ostrel"), ostrel_before);

  CommandResult status = cups_->run({"lpstat", "-p", "ghost"});
  EXPECT_EQ(status.out.find("disabled"), std::string::npos) << status.out;
  // The printer turns up where the queue now looks: the next job prints.
  CommandResult moved = cups_->run({"lpadmin", "-p", "ghost", "-v", "usbkorv:/tr3000ax/1"});
  ASSERT_EQ(moved.status, 0) << moved.err;
  expect_printed("ghost", kOstrel58, receipt);

  // A file that CUPS takes for a BMP (the signature) but is cut short:
  // the filter's error line is in the log and no picture reaches the
  // printer. CUPS stops a job whose filter failed (the error policy
  // concerns backends only); the queue goes on.
  add_queue("receipts", listed_uri("tr3200ax"), kKelpin80.ppd);
  std::string broken = work_ + "/broken.bmp";
  write_bytes(broken, Bytes(image.begin(), image.begin() + 40));
  size_t kelpin_before = captured("kelpin").size();
  job = cups_->print("receipts", broken, {"Threshold=50"});
  ASSERT_GT(job, 0);
  EXPECT_EQ(cups_->wait_job(job), kJobStopped);
  lines = job_lines(cups_->error_log(), job);
  EXPECT_NE(lines.find("BMP error: File is not a valid BMP image"), std::string::npos) << lines;
  EXPECT_NE(lines.find("Job stopped due to filter errors"), std::string::npos) << lines;
  std::string sent = captured("kelpin").substr(kelpin_before);
  EXPECT_TRUE(sent.empty() || sent == "\x02") << sent.size() << " bytes reached the printer";
  expect_printed("receipts", kKelpin80, receipt);

  // A file of no type that CUPS can print never becomes a job (text and
  // PDF go through the raster path).
  std::string text = work_ + "/notes.bin";
  write_bytes(text, Bytes{0x00, 0xFF, 0x13, 0x37, 0x00, 0x01, 0xFE, 0x80, 0x00, 0x7F, 0x00});
  std::string message;
  EXPECT_EQ(cups_->print("receipts", text, {}, &message), -1);
  EXPECT_NE(message.find("Unsupported document-format"), std::string::npos) << message;
}

} // namespace
} // namespace korvtest
