// Jobs that do not go as planned, and settings that must outlive the
// server: a job cancelled through IPP while the backend sends it, a queue
// whose printer is absent, jobs queued behind a busy printer, a printer
// unplugged in the middle of a job, and a restart of the server.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <signal.h>
#include <thread>

#include "app_server.h"
#include "catalogue.h"
#include "korvprint.h"
#include "receipt_pages.h"
#include "test_helpers.h"
#include "vprinter_client.h"

using namespace korvtest;

namespace {

class JobsTest : public ::testing::Test {
protected:
  void SetUp() override {
    printers_ = std::make_unique<VPrinterServer>(
        std::vector<std::string>{"kelpin,name=front", "ostrel,name=gone,vanish_after=3000"});
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
    GreyPage page = pattern_page(KORV_HEAD_DOTS_80MM, 24, 5);
    ASSERT_TRUE(write_pwg_raster(path("next.pwg"), {page}));
    size_t before = printers_->captured("front").size();
    JobResult job = print_and_wait(*server_, "receipt", path("next.pwg"), "image/pwg-raster");
    EXPECT_EQ(job.state, kCompleted) << job.output << server_->log();
    std::vector<uint8_t> all = printers_->captured("front");
    receipt_settings s;
    receipt_default_settings(&s, KORV_HEAD_DOTS_80MM);
    EXPECT_EQ(std::vector<uint8_t>(all.begin() + static_cast<long>(before), all.end()),
              expected_printer_bytes({page}, s, 1));
  }

  // Submits page i of a 58 mm queue as a PNG job; its id, or -1.
  int submit_page(const std::string &queue, int i) {
    std::string file = path(queue + std::to_string(i) + ".png");
    if (!write_png(file, pattern_page(KORV_HEAD_DOTS_58MM, 40, i)))
      return -1;
    return submit_job(*server_, queue, file, "image/png", {"print-scaling=none"});
  }

  // What a 58 mm printer gets for these pages, one job each, in this order.
  static std::vector<uint8_t> receipts(const std::vector<int> &pages) {
    receipt_settings s;
    receipt_default_settings(&s, KORV_HEAD_DOTS_58MM);
    std::vector<uint8_t> all;
    for (int i : pages) {
      std::vector<uint8_t> one =
          expected_printer_bytes({pattern_page(KORV_HEAD_DOTS_58MM, 40, i)}, s, 1);
      all.insert(all.end(), one.begin(), one.end());
    }
    return all;
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
  GreyPage tall = blocks_page(KORV_HEAD_DOTS_80MM, 600, 0);
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
  const uint32_t rows = 200, stride = KORV_HEAD_DOTS_80MM * 3;
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
  put32(18, KORV_HEAD_DOTS_80MM);
  put32(22, rows);
  bmp[26] = 1;
  bmp[28] = 24;
  put32(34, rows * stride);

  backend_run run;
  ASSERT_EQ(backend_start(&run, path("usbkorv").c_str(), "usbkorv:/tr3200ax/1?wait=0", 7, "tester",
                          "long"),
            0);
  run.stall_ms = 3000;
  std::string said;
  auto hear = [](const char *line, void *out) {
    *static_cast<std::string *>(out) += line + std::string("\n");
  };
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

// A queue whose printer is not there: the job waits for it, processing,
// with a message that says so and the printer shown offline; the other
// printer prints meanwhile. Cancel-Job ends the waiting job; a backend
// stopped from outside (as systemd stops the service's processes) ends it
// as not printed; the next job prints whole once the printer is plugged
// in; and a killed server leaves no backend waiting. A queue whose URI
// says waitprinter=false fails the job at once, without stopping.
TEST_F(JobsTest, AbsentPrinter) {
  std::string why, reasons;
  ASSERT_TRUE(
      server_->add_printer("ghost", "tr3000ax_58", "usbkorv:/tr3000ax/1?serial=GHOST", &why))
      << why;
  ASSERT_TRUE(server_->add_printer("nowait", "tr3000ax_58",
                                   "usbkorv:/tr3000ax/1?serial=NOWAIT&waitprinter=false", &why))
      << why;
  // Sends a job to "ghost" and waits until it waits for the printer; the
  // pid of its backend, or -1.
  int job = 0;
  auto waiting_job = [&] {
    job = submit_page("ghost", 1);
    bool waits = eventually(
        [&] {
          return job_state(*server_, "ghost", job, &reasons) == kProcessing &&
                 reasons.find("not found, trying again") != std::string::npos;
        },
        60000);
    std::vector<std::string> runs = server_->backend_runs();
    auto run = std::find_if(runs.rbegin(), runs.rend(), [](const std::string &r) {
      return r.find("serial=GHOST&waitprinter=true") != std::string::npos;
    });
    return waits && run != runs.rend() ? atoi(run->substr(run->rfind(" pid ") + 5).c_str()) : -1;
  };

  ASSERT_GT(waiting_job(), 0) << server_->log();
  EXPECT_NE(printer_attribute(*server_, "ghost", "printer-state-reasons").find("offline"),
            std::string::npos);
  expect_next_job_prints();
  ASSERT_TRUE(cancel_job(*server_, "ghost", job));
  EXPECT_EQ(wait_job_end(*server_, "ghost", job, 60), kCanceled) << server_->log();
  job_state(*server_, "ghost", job, &reasons);
  EXPECT_NE(reasons.find("cancelled while waiting for the printer"), std::string::npos) << reasons;

  int backend = waiting_job();
  ASSERT_GT(backend, 0) << server_->log();
  kill(backend, SIGTERM);
  EXPECT_EQ(wait_job_end(*server_, "ghost", job, 60), kAborted) << server_->log();
  job_state(*server_, "ghost", job, &reasons);
  EXPECT_NE(reasons.find("stopped while it waited for the printer"), std::string::npos) << reasons;

  ASSERT_GT(waiting_job(), 0) << server_->log();
  ASSERT_TRUE(printers_->plug("ostrel,name=ghost,serial=GHOST", "ghost"));
  EXPECT_EQ(wait_job_end(*server_, "ghost", job, 120), kCompleted) << server_->log();
  EXPECT_TRUE(printers_->captured("ghost") == receipts({1}));
  EXPECT_EQ(printer_attribute(*server_, "ghost", "printer-state-reasons"), "none");

  JobResult failed =
      print_and_wait(*server_, "nowait", path("ghost1.png"), "image/png", {"print-scaling=none"});
  EXPECT_EQ(failed.state, kAborted) << failed.output << server_->log();
  job_state(*server_, "nowait", failed.job_id, &reasons);
  EXPECT_NE(reasons.find("did not take the job"), std::string::npos) << reasons;

  printers_->command("vanish ghost");
  backend = waiting_job();
  ASSERT_GT(backend, 0) << server_->log();
  kill(server_->pid(), SIGKILL);
  EXPECT_TRUE(eventually(
      [&] {
        std::string stat = read_text("/proc/" + std::to_string(backend) + "/stat");
        return stat.empty() || stat.find(") Z ") != std::string::npos;
      },
      30000));
}

// Receipts print in the order their jobs were created, however many wait:
// ten jobs sent at once by four clients behind a job that waits for its
// printer are held but the next one, and all come out in order of job id
// once the printer is there.
TEST_F(JobsTest, QueuedJobsPrintInOrder) {
  std::string why;
  ASSERT_TRUE(server_->add_printer("line", "tr3000ax_58", "usbkorv:/tr3000ax/1?serial=LINE", &why))
      << why;
  std::vector<int> ids(11, -1);
  ids[0] = submit_page("line", 0);
  ASSERT_TRUE(
      eventually([&] { return job_state(*server_, "line", ids[0]) == kProcessing; }, 60000));
  std::vector<std::thread> clients;
  for (size_t c = 0; c < 4; ++c)
    clients.emplace_back([&, c] {
      for (size_t i = 1 + c; i < ids.size(); i += 4)
        ids[i] = submit_page("line", static_cast<int>(i));
    });
  for (std::thread &t : clients)
    t.join();
  std::vector<std::pair<int, int>> by_id; // job id, page
  for (size_t i = 0; i < ids.size(); ++i) {
    ASSERT_GT(ids[i], 0) << server_->log();
    by_id.emplace_back(ids[i], static_cast<int>(i));
  }
  std::sort(by_id.begin(), by_id.end());
  std::string reasons;
  EXPECT_TRUE(eventually(
      [&] { return job_state(*server_, "line", by_id.back().first, &reasons) == kHeld; }, 30000));
  EXPECT_NE(reasons.find("job-queued Waiting for the jobs sent before it to print."),
            std::string::npos)
      << reasons;

  ASSERT_TRUE(printers_->plug("ostrel,name=line,serial=LINE", "line"));
  std::vector<int> pages;
  for (const auto &[id, page] : by_id) {
    EXPECT_EQ(wait_job_end(*server_, "line", id, 120), kCompleted) << id << server_->log();
    pages.push_back(page);
  }
  EXPECT_TRUE(printers_->captured("line") == receipts(pages))
      << "not every receipt whole, in order";
  EXPECT_TRUE(server_->stop()) << server_->error(); // no job left over, nothing leaked
}

// Queued jobs outlive the server. Stopped (SIGTERM, as systemd stops it)
// while its first job waits for an absent printer, the server gives that
// job up (nothing of it was sent), starts no queued job, and ends by itself
// at once, not after the minute PAPPL would wait for the queue; after a
// restart the queued jobs print in order.
TEST_F(JobsTest, QueueSurvivesRestart) {
  std::string why;
  ASSERT_TRUE(server_->add_printer("line", "tr3000ax_58", "usbkorv:/tr3000ax/1?serial=LINE", &why))
      << why;
  std::vector<int> ids;
  for (int i = 0; i < 4; ++i) {
    ids.push_back(submit_page("line", i));
    ASSERT_TRUE(
        eventually([&] { return job_state(*server_, "line", ids[0]) == kProcessing; }, 60000));
  }
  ASSERT_TRUE(eventually([&] { return job_state(*server_, "line", ids[2]) == kHeld; }, 30000));
  kill(server_->pid(), SIGTERM);
  EXPECT_TRUE(server_->stop()) << server_->error(); // ended by itself, with status 0
  ASSERT_TRUE(server_->start()) << server_->error();
  EXPECT_EQ(job_state(*server_, "line", ids[0]), kAborted);
  ASSERT_TRUE(printers_->plug("ostrel,name=line,serial=LINE", "line"));
  for (size_t i = 1; i < ids.size(); ++i)
    EXPECT_EQ(wait_job_end(*server_, "line", ids[i], 120), kCompleted) << ids[i] << server_->log();
  EXPECT_TRUE(printers_->captured("line") == receipts({1, 2, 3}))
      << "not every receipt whole, in order";
  EXPECT_TRUE(server_->stop()) << server_->error();
}

// The printer goes away in the middle of a job: aborted, nothing more is
// sent, the queue shows it offline, and the other printer still prints.
TEST_F(JobsTest, PrinterUnpluggedMidJob) {
  std::string why;
  ASSERT_TRUE(server_->add_printer("gone", "tr3000ax_80", "usbkorv:/tr3000ax/1", &why)) << why;
  GreyPage page = blocks_page(KORV_HEAD_DOTS_80MM, 60, 1);
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
// backend to wait for it (the URI for an unattended shop): while it is absent the queue shows it
// offline and the job says why; once it is plugged in the job prints.
TEST_F(JobsTest, WaitsForPrinterPluggedInLater) {
  std::string why;
  ASSERT_TRUE(server_->add_printer("late", "tr3200ax_58",
                                   "usbkorv:/tr3200ax/1?serial=LATE1&waitprinter=true", &why))
      << why;
  GreyPage page = pattern_page(KORV_HEAD_DOTS_58MM, 24, 3);
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
  receipt_default_settings(&s, KORV_HEAD_DOTS_58MM);
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
  GreyPage page = pattern_page(KORV_HEAD_DOTS_80MM, 20, 2);
  ASSERT_TRUE(write_pwg_raster(path("after.pwg"), {page}));
  size_t before = printers_->captured("front").size();
  JobResult job = print_and_wait(*server_, "receipt", path("after.pwg"), "image/pwg-raster");
  EXPECT_EQ(job.state, kCompleted) << job.output << server_->log();
  receipt_settings s;
  receipt_default_settings(&s, KORV_HEAD_DOTS_80MM);
  s.dither = RECEIPT_DITHER_ORDERED;
  s.trim = RECEIPT_TRIM_NONE;
  s.darkness = 40;
  std::vector<uint8_t> all = printers_->captured("front");
  EXPECT_EQ(std::vector<uint8_t>(all.begin() + static_cast<long>(before), all.end()),
            expected_printer_bytes({page}, s, 1));
  std::vector<std::string> runs = server_->backend_runs();
  ASSERT_FALSE(runs.empty());
  EXPECT_EQ(runs.back().rfind("start usbkorv:/tr3200ax/1?wait=5&waitprinter=true ", 0), 0u)
      << runs.back();
}

} // namespace
