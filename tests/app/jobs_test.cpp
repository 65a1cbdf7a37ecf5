// Jobs that do not go as planned, and settings that must outlive the
// server: a job cancelled through IPP while the backend sends it, a queue
// whose printer is absent, a printer unplugged in the middle of a job, and
// a restart of the server.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "app_server.h"
#include "korvprint.h"
#include "receipt_pages.h"
#include "test_helpers.h"
#include "vprinter_client.h"

using namespace korvtest;

namespace {

class JobsTest : public ::testing::Test {
protected:
  void SetUp() override {
    printers_ = std::make_unique<VPrinterServer>(std::vector<std::string>{
        "kelpin,name=front", "ostrel,name=gone,vanish_after=3000"});
    ASSERT_TRUE(printers_->ok()) << printers_->error();
    server_ = std::make_unique<AppServer>(printers_->umockdev_dir());
    ASSERT_TRUE(server_->start()) << server_->error();
    std::string why;
    ASSERT_TRUE(server_->add_printer("receipt", "tr3200ax_80", "usbkorv:/tr3200ax/1", &why)) << why;
  }

  std::string path(const std::string &name) { return server_->dir() + "/" + name; }

  // A small job on "receipt": completes, and the printer gets exactly its
  // bytes after what it had.
  void expect_next_job_prints() {
    GreyPage page = pattern_page(RECEIPT_HEAD_80MM, 24, 5);
    ASSERT_TRUE(write_pwg_raster(path("next.pwg"), {page}));
    size_t before = printers_->captured("front").size();
    JobResult job = print_and_wait(*server_, "receipt", path("next.pwg"), "image/pwg-raster");
    EXPECT_EQ(job.state, kCompleted) << job.output << server_->log();
    std::vector<uint8_t> all = printers_->captured("front");
    receipt_settings s;
    receipt_default_settings(&s, RECEIPT_HEAD_80MM);
    EXPECT_EQ(std::vector<uint8_t>(all.begin() + static_cast<long>(before), all.end()),
              expected_printer_bytes({page}, s, 1));
  }

  std::unique_ptr<VPrinterServer> printers_;
  std::unique_ptr<AppServer> server_;
};

// Cancel-Job while the backend is sending a long receipt: the job ends
// cancelled, the backend run ends, the queue is not stopped and the next
// job prints whole.
TEST_F(JobsTest, CancelWhilePrinting) {
  // A PNG: PAPPL answers a PWG raster Print-Job only once it has printed
  // the stream, but spools an image and answers at once.
  GreyPage tall = blocks_page(RECEIPT_HEAD_80MM, 600, 0);
  ASSERT_TRUE(write_png(path("tall.png"), tall));
  std::string output;
  int job_id = submit_job(*server_, "receipt", path("tall.png"), "image/png",
                          {"print-scaling=none"}, &output);
  ASSERT_GT(job_id, 0) << output << server_->log();
  // Until the printer has taken some of it.
  for (int i = 0; i < 300 && printers_->captured("front").size() < 20000; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  ASSERT_GE(printers_->captured("front").size(), 20000u) << server_->log();
  ASSERT_TRUE(cancel_job(*server_, "receipt", job_id)) << server_->log();
  EXPECT_EQ(wait_job_end(*server_, "receipt", job_id, 120), kCanceled) << server_->log();
  // Far less than the whole receipt went out, but the image begun was
  // completed (the backend ended normally on SIGTERM): the start byte and
  // exactly the BMP size its header declares, so the next receipt starts
  // clean.
  std::vector<uint8_t> cancelled = printers_->captured("front");
  ASSERT_GT(cancelled.size(), 7u);
  EXPECT_LT(cancelled.size(), 600u * 1728u);
  EXPECT_EQ(cancelled[0], 0x02);
  uint32_t declared = cancelled[3] | cancelled[4] << 8 | cancelled[5] << 16 |
                      static_cast<uint32_t>(cancelled[6]) << 24;
  EXPECT_EQ(cancelled.size(), 1u + declared);
  EXPECT_NE(printer_attribute(*server_, "receipt", "printer-state"), "stopped");
  expect_next_job_prints();
}

// A backend stopped in the middle of an image completes it with white as
// fast as the printer takes it (the virtual printer takes some 40 KB/s, so
// this one takes seconds), saying how far it got; it is killed only when
// it says nothing for longer than its stall limit, however long the whole
// completion takes. The limit is cut here to well below the time the white
// takes: a backend killed by the clock instead of for silence would leave
// the printer short of the size the image's header declares.
TEST_F(JobsTest, StoppedBackendCompletesItsImageWhileItMakesProgress) {
  const uint32_t rows = 200, stride = RECEIPT_HEAD_80MM * 3;
  const uint32_t declared = 54 + rows * stride;
  // The BMP as korvprint hands it over (the backend sends the start byte).
  std::vector<uint8_t> data(54 + 40 * 1024, 0);
  uint8_t *bmp = data.data();
  auto put32 = [&](size_t at, uint32_t v) {
    for (int k = 0; k < 4; ++k)
      bmp[at + size_t(k)] = uint8_t(v >> (8 * k));
  };
  bmp[0] = 'B';
  bmp[1] = 'M';
  put32(2, declared);
  put32(10, 54);
  put32(14, 40);
  put32(18, RECEIPT_HEAD_80MM);
  put32(22, rows);
  bmp[26] = 1;
  bmp[28] = 24;
  put32(34, rows * stride);

  backend_run run;
  ASSERT_EQ(backend_start(&run, path("usbkorv").c_str(), "usbkorv:/tr3200ax/1?wait=0", 7,
                          "tester", "long"),
            0);
  run.stall_ms = 3000;
  std::string said;
  auto hear = [](const char *line, void *out) { *static_cast<std::string *>(out) += line + std::string("\n"); };
  auto never = [](void *) { return false; };
  ASSERT_EQ(backend_write(&run, data.data(), data.size(), hear, never, &said), 0);
  // Stopped once the printer has some of the image.
  ASSERT_TRUE(eventually([&] { return printers_->captured("front").size() > 20000; }, 30000));
  EXPECT_EQ(backend_finish(&run, true, hear, never, never, &said), 0) << said;
  EXPECT_EQ(printers_->captured("front").size(), 1u + declared) << said;
  // Its progress, at least every second, more often than the limit.
  EXPECT_GE(count_of(said, "INFO: Completing the image with white"), 4u) << said;
  expect_next_job_prints();
}

// A queue whose printer is not there: the job is aborted with a message,
// the queue shows the printer offline and is not stopped, and the other
// queue prints.
TEST_F(JobsTest, AbsentPrinter) {
  std::string why;
  ASSERT_TRUE(server_->add_printer("ghost", "tr3200ax_80", "usbkorv:/tr3200ax/2", &why)) << why;
  GreyPage page = pattern_page(RECEIPT_HEAD_80MM, 24, 1);
  ASSERT_TRUE(write_pwg_raster(path("ghost.pwg"), {page}));
  JobResult job = print_and_wait(*server_, "ghost", path("ghost.pwg"), "image/pwg-raster");
  EXPECT_EQ(job.state, kAborted) << job.output << server_->log();
  std::string reasons;
  job_state(*server_, "ghost", job.job_id, &reasons);
  EXPECT_NE(reasons.find("did not take the job"), std::string::npos) << reasons;
  EXPECT_NE(printer_attribute(*server_, "ghost", "printer-state-reasons").find("offline"),
            std::string::npos);
  EXPECT_EQ(printer_attribute(*server_, "ghost", "printer-is-accepting-jobs"), "true");
  EXPECT_EQ(printer_attribute(*server_, "receipt", "printer-state-reasons"), "none");
  expect_next_job_prints();
}

// The printer goes away in the middle of a job: aborted, nothing more is
// sent, the queue shows it offline, and the other printer still prints.
TEST_F(JobsTest, PrinterUnpluggedMidJob) {
  std::string why;
  ASSERT_TRUE(server_->add_printer("gone", "tr3000ax_80", "usbkorv:/tr3000ax/1", &why)) << why;
  GreyPage page = blocks_page(RECEIPT_HEAD_80MM, 60, 1);
  ASSERT_TRUE(write_pwg_raster(path("gone.pwg"), {page}));
  JobResult job = print_and_wait(*server_, "gone", path("gone.pwg"), "image/pwg-raster", {}, 120);
  EXPECT_EQ(job.state, kAborted) << job.output << server_->log();
  EXPECT_LE(printers_->captured("gone").size(), 3000u);
  EXPECT_TRUE(printers_->wait_for("gone", "vanish"));
  EXPECT_NE(printer_attribute(*server_, "gone", "printer-state-reasons").find("offline"),
            std::string::npos);
  expect_next_job_prints();
}

// A queue whose URI names its printer by serial number and asks the
// backend to wait for it (the URI for an unattended shop): while it is absent the queue shows it offline and the job says why; once it is
// plugged in the job prints.
TEST_F(JobsTest, WaitsForPrinterPluggedInLater) {
  std::string why;
  ASSERT_TRUE(server_->add_printer("late", "tr3200ax_58", "usbkorv:/tr3200ax/1?serial=LATE1&waitprinter=true",
                                   &why))
      << why;
  GreyPage page = pattern_page(RECEIPT_HEAD_58MM, 24, 3);
  // A PNG job: spooled, so the test goes on while the job waits.
  ASSERT_TRUE(write_png(path("late.png"), page));
  int job_id = submit_job(*server_, "late", path("late.png"), "image/png", {"print-scaling=none"});
  ASSERT_GT(job_id, 0);
  std::string reasons;
  bool offline = false;
  for (int i = 0; i < 100 && !offline; ++i) {
    offline = printer_attribute(*server_, "late", "printer-state-reasons").find("offline") !=
              std::string::npos;
    if (!offline)
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_TRUE(offline) << server_->log();
  EXPECT_EQ(job_state(*server_, "late", job_id, &reasons), kProcessing);
  EXPECT_NE(reasons.find("not found"), std::string::npos) << reasons;

  printers_->command("plug " + with_address("kelpin,name=late,serial=LATE1"));
  EXPECT_EQ(wait_job_end(*server_, "late", job_id, 120), kCompleted) << server_->log();
  receipt_settings s;
  receipt_default_settings(&s, RECEIPT_HEAD_58MM);
  EXPECT_EQ(printers_->captured("late"), expected_printer_bytes({page}, s, 1));
  EXPECT_EQ(printer_attribute(*server_, "late", "printer-state-reasons"), "none");
}

// Printer settings and queues outlive a restart of the server, and the
// jobs after it use them.
TEST_F(JobsTest, SettingsSurviveRestart) {
  std::string set = path("set.test");
  FILE *f = fopen(set.c_str(), "w");
  ASSERT_NE(f, nullptr);
  fputs("{\n  OPERATION Set-Printer-Attributes\n  GROUP operation-attributes-tag\n"
        "  ATTR charset attributes-charset utf-8\n"
        "  ATTR naturalLanguage attributes-natural-language en\n"
        "  ATTR uri printer-uri $uri\n  ATTR name requesting-user-name tester\n"
        "  GROUP printer-attributes-tag\n  ATTR keyword dithering-default ordered\n"
        "  ATTR keyword trim-default none\n  ATTR integer finish-wait-default 5\n"
        "  ATTR integer printer-darkness-configured 70\n"
        "  ATTR keyword media-default om_80x150mm_80x150mm\n"
        "  STATUS successful-ok\n}\n",
        f);
  fclose(f);
  // Settings are root's (or an administrator's): through the socket.
  Command c = server_->ipptool({"-t", server_->socket_uri("receipt"), set});
  ASSERT_EQ(c.status, 0) << c.out << c.err;

  ASSERT_TRUE(server_->stop()) << server_->error();
  ASSERT_TRUE(server_->start()) << server_->error();
  EXPECT_EQ(server_->cli({"printers"}).out, "receipt\n");
  EXPECT_EQ(printer_attribute(*server_, "receipt", "dithering-default"), "ordered");
  EXPECT_EQ(printer_attribute(*server_, "receipt", "trim-default"), "none");
  EXPECT_EQ(printer_attribute(*server_, "receipt", "finish-wait-default"), "5");
  EXPECT_EQ(printer_attribute(*server_, "receipt", "printer-darkness-configured"), "70");
  EXPECT_EQ(printer_attribute(*server_, "receipt", "media-default"), "om_80x150mm_80x150mm");

  // A job after the restart: ordered dither, no trimming, darkness 40
  // (configured 70), and the backend is told the finish wait.
  GreyPage page = pattern_page(RECEIPT_HEAD_80MM, 20, 2);
  ASSERT_TRUE(write_pwg_raster(path("after.pwg"), {page}));
  size_t before = printers_->captured("front").size();
  JobResult job = print_and_wait(*server_, "receipt", path("after.pwg"), "image/pwg-raster");
  EXPECT_EQ(job.state, kCompleted) << job.output << server_->log();
  receipt_settings s;
  receipt_default_settings(&s, RECEIPT_HEAD_80MM);
  s.dither = RECEIPT_DITHER_ORDERED;
  s.trim = RECEIPT_TRIM_NONE;
  s.darkness = 40;
  std::vector<uint8_t> all = printers_->captured("front");
  EXPECT_EQ(std::vector<uint8_t>(all.begin() + static_cast<long>(before), all.end()),
            expected_printer_bytes({page}, s, 1));
  std::vector<std::string> runs = server_->backend_runs();
  ASSERT_FALSE(runs.empty());
  EXPECT_EQ(runs.back().rfind("start usbkorv:/tr3200ax/1?wait=5 ", 0), 0u) << runs.back();
}

} // namespace
