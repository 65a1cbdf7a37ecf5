// Documents that try to stop the printer: each is read by the confined
// decoder and ends aborted with a message that says why, within seconds,
// without reaching the printer; the next good job prints byte-exact; a
// cancel or the server's stop ends a decoding stuck in its work at once,
// children included; the server's memory stays small throughout.
#include <gtest/gtest.h>

#include <cups/raster.h>
#include <dirent.h>
#include <fcntl.h>
#include <png.h>
#include <pwd.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <sstream>

#include "app_server.h"
#include "catalogue.h"
#include "receipt_pages.h"
#include "test_helpers.h"
#include "vprinter_client.h"

using namespace korvtest;

namespace {

// ---- the hostile documents, made here ----

// A small PDF whose one page fills itself 10^8 times: each form draws the
// one below it ten times.
bool write_nested_pdf(const std::string &path) {
  const int depth = 8;
  std::vector<std::string> objects = {
      "<< /Type /Catalog /Pages 2 0 R >>", "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
      "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 200 200] /Resources << /XObject << /F " +
          std::to_string(5 + depth) + " 0 R >> >> /Contents 4 0 R >>",
      "<< /Length 6 >>\nstream\n/F Do\nendstream"};
  std::string fill = "0.5 g 0 0 200 200 re f";
  objects.push_back("<< /Type /XObject /Subtype /Form /BBox [0 0 200 200] /Length " +
                    std::to_string(fill.size()) + " >>\nstream\n" + fill + "\nendstream");
  for (int level = 1; level <= depth; ++level) {
    std::string draw;
    for (int i = 0; i < 10; ++i)
      draw += "/F Do ";
    objects.push_back("<< /Type /XObject /Subtype /Form /BBox [0 0 200 200] /Resources << "
                      "/XObject << /F " +
                      std::to_string(4 + level) + " 0 R >> >> /Length " +
                      std::to_string(draw.size()) + " >>\nstream\n" + draw + "\nendstream");
  }
  std::string out = "%PDF-1.4\n";
  std::vector<size_t> offsets;
  for (size_t i = 0; i < objects.size(); ++i) {
    offsets.push_back(out.size());
    out += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
  }
  size_t xref = out.size();
  out += "xref\n0 " + std::to_string(objects.size() + 1) + "\n0000000000 65535 f \n";
  for (size_t off : offsets) {
    char line[32];
    snprintf(line, sizeof line, "%010zu 00000 n \n", off);
    out += line;
  }
  out += "trailer\n<< /Size " + std::to_string(objects.size() + 1) +
         " /Root 1 0 R >>\nstartxref\n" + std::to_string(xref) + "\n%%EOF\n";
  std::ofstream(path, std::ios::binary) << out;
  return out.size() < 4096;
}

// A valid white PNG of the given size and colour type, streamed row by row.
bool write_big_png(const std::string &path, unsigned width, unsigned height, int colour,
                   int depth) {
  FILE *f = fopen(path.c_str(), "wb");
  if (f == nullptr)
    return false;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  bool ok = false;
  if (setjmp(png_jmpbuf(png)) == 0) {
    png_init_io(png, f);
    png_set_IHDR(png, info, width, height, depth, colour, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_set_compression_level(png, 1);
    png_set_filter(png, 0, PNG_FILTER_NONE);
    png_write_info(png, info);
    std::vector<png_byte> row(png_get_rowbytes(png, info), 0xff);
    for (unsigned y = 0; y < height; ++y)
      png_write_row(png, row.data());
    png_write_end(png, nullptr);
    ok = true;
  }
  png_destroy_write_struct(&png, &info);
  return fclose(f) == 0 && ok;
}

// A PWG raster whose page header announces rows rows and which ends after
// given of them.
bool write_cut_pwg(const std::string &path, unsigned rows, unsigned given) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  cups_raster_t *ras = fd >= 0 ? cupsRasterOpen(fd, CUPS_RASTER_WRITE_PWG) : nullptr;
  cups_page_header2_t header;
  bool ok =
      ras != nullptr && cupsRasterInitPWGHeader(&header, pwgMediaForPWG("om_80x297mm_80x297mm"),
                                                "sgray_8", 203, 203, "one-sided", nullptr);
  if (ok) {
    header.cupsWidth = header.cupsBytesPerLine = KORV_HEAD_DOTS_80MM;
    header.cupsHeight = rows;
    ok = cupsRasterWriteHeader2(ras, &header);
    std::vector<unsigned char> row(KORV_HEAD_DOTS_80MM);
    for (unsigned y = 0; ok && y < given; ++y) {
      memset(row.data(), y % 2 ? 0 : 255, row.size()); // rows that differ are written at once
      ok = cupsRasterWritePixels(ras, row.data(), KORV_HEAD_DOTS_80MM) == KORV_HEAD_DOTS_80MM;
    }
  }
  if (ras != nullptr)
    cupsRasterClose(ras);
  return fd >= 0 && close(fd) == 0 && ok;
}

// ---- processes ----

struct Process {
  pid_t pid, parent, group;
  std::string name;
  char state;
};

std::vector<Process> processes() {
  std::vector<Process> out;
  DIR *dir = opendir("/proc");
  for (dirent *e; dir != nullptr && (e = readdir(dir)) != nullptr;) {
    if (e->d_name[0] < '0' || e->d_name[0] > '9')
      continue;
    std::string stat = read_text(std::string("/proc/") + e->d_name + "/stat");
    size_t open = stat.find('('), close = stat.rfind(')');
    if (open == std::string::npos || close == std::string::npos)
      continue;
    Process p;
    p.pid = atoi(e->d_name);
    p.name = stat.substr(open + 1, close - open - 1);
    std::istringstream rest(stat.substr(close + 2));
    rest >> p.state >> p.parent >> p.group;
    out.push_back(p);
  }
  if (dir != nullptr)
    closedir(dir);
  return out;
}

// The server's decoder and the renderer in its process group (live ones).
std::vector<Process> decoding(pid_t server) {
  std::vector<Process> all = processes(), found;
  for (const Process &p : all)
    if (p.parent == server && p.name == "korvprint-decod" && p.state != 'Z') {
      found.push_back(p);
      for (const Process &q : all)
        if (q.group == p.pid && q.pid != p.pid && q.state != 'Z')
          found.push_back(q);
    }
  return found;
}

bool all_gone(const std::vector<Process> &list) {
  for (const Process &p : list) {
    std::string stat = read_text("/proc/" + std::to_string(p.pid) + "/stat");
    size_t close = stat.rfind(')');
    if (close != std::string::npos && stat[close + 2] != 'Z')
      return false;
  }
  return true;
}

std::string status_field(pid_t pid, const std::string &name) {
  std::istringstream in(read_text("/proc/" + std::to_string(pid) + "/status"));
  for (std::string line; std::getline(in, line);)
    if (line.rfind(name + ":", 0) == 0)
      return line.substr(name.size() + 1);
  return "";
}

class HostileTest : public ::testing::Test {
protected:
  void SetUp() override {
    printers_ = std::make_unique<VPrinterServer>(std::vector<std::string>{"kelpin,name=front"});
    ASSERT_TRUE(printers_->ok()) << printers_->error();
    server_ = std::make_unique<AppServer>(printers_->umockdev_dir());
    ASSERT_TRUE(server_->start()) << server_->error();
    std::string why;
    ASSERT_TRUE(server_->add_printer("receipt", "tr3200ax_80", "usbkorv:/tr3200ax/1", &why)) << why;
    ASSERT_TRUE(write_nested_pdf(path("nested.pdf")));
  }

  std::string path(const std::string &name) { return server_->dir() + "/" + name; }

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

  // Submits the endless PDF and waits until its decoder and renderer run.
  int start_stuck_job(std::vector<Process> *decoders) {
    std::string output;
    int job_id =
        submit_job(*server_, "receipt", path("nested.pdf"), "application/pdf", {}, &output);
    EXPECT_GT(job_id, 0) << output << server_->log();
    EXPECT_TRUE(
        eventually([&] { return (*decoders = decoding(server_->pid())).size() == 2; }, 20000))
        << server_->log();
    return job_id;
  }

  std::unique_ptr<VPrinterServer> printers_;
  std::unique_ptr<AppServer> server_;
};

// Each document ends aborted with its reason, nothing reaches the printer,
// the next job prints; the server never holds more than a little memory.
TEST_F(HostileTest, DocumentsEndAbortedWithTheirReason) {
  struct Case {
    std::string file, format, reason, message;
    int seconds; // the deadline of the wait for its end
  };
  ASSERT_TRUE(write_big_png(path("huge.png"), 30000, 30000, PNG_COLOR_TYPE_GRAY, 1));
  ASSERT_TRUE(write_big_png(path("rgb.png"), 16384, 16384, PNG_COLOR_TYPE_RGB, 8));
  ASSERT_TRUE(write_cut_pwg(path("endless.pwg"), 10000000, 3));
  ASSERT_TRUE(write_cut_pwg(path("cut.pwg"), 200, 50));
  ASSERT_TRUE(write_jpeg(path("photo.jpg"), blocks_page(KORV_HEAD_DOTS_80MM, 400, 2)));
  std::string jpeg = read_text(path("photo.jpg"));
  std::ofstream(path("cut.jpg"), std::ios::binary) << jpeg.substr(0, jpeg.size() * 2 / 3);
  const std::vector<Case> cases = {
      {"nested.pdf", "application/pdf", "document-unprintable-error", "is too large", 120},
      {"huge.png", "image/png", "document-unprintable-error", "30000 x 30000 pixels", 20},
      {"rgb.png", "image/png", "document-unprintable-error", "16384 x 16384 pixels", 20},
      {"endless.pwg", "image/pwg-raster", "document-unprintable-error", "10000000 rows", 20},
      // Untyped: told from its first bytes, read by the decoder too.
      {"cut.pwg", "application/octet-stream", "document-format-error", "cut short", 20},
      {"cut.jpg", "image/jpeg", "document-format-error", "JPEG image is damaged", 20},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.file);
    size_t runs = server_->backend_runs().size();
    size_t before = printers_->captured("front").size();
    auto started = std::chrono::steady_clock::now();
    JobResult job = print_and_wait(*server_, "receipt", path(c.file), c.format, {}, c.seconds);
    EXPECT_EQ(job.state, kAborted) << job.output << server_->log();
    std::string reasons;
    job_state(*server_, "receipt", job.job_id, &reasons);
    printf("%s: ended after %lld ms: %s\n", c.file.c_str(),
           static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                      std::chrono::steady_clock::now() - started)
                                      .count()),
           reasons.c_str());
    EXPECT_NE(reasons.find(c.reason), std::string::npos) << reasons;
    EXPECT_NE(reasons.find(c.message), std::string::npos) << reasons;
    EXPECT_EQ(server_->backend_runs().size(), runs);
    EXPECT_EQ(printers_->captured("front").size(), before);
    EXPECT_TRUE(decoding(server_->pid()).empty());
    expect_next_job_prints();
  }
  // Peak resident memory, sanitizer builds aside (their runtimes hold far more).
  long peak_kb = atol(status_field(server_->pid(), "VmHWM").c_str());
  printf("server peak memory (VmHWM): %ld KiB\n", peak_kb);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  EXPECT_LT(peak_kb, 64 * 1024);
#endif
}

// The decoder runs confined; Cancel-Job stops it and its renderer at once,
// and the job ends cancelled.
TEST_F(HostileTest, CancelStopsAStuckDecoding) {
  std::vector<Process> decoders;
  int job_id = start_stuck_job(&decoders);
  ASSERT_EQ(decoders.size(), 2u);
  const pid_t decoder = decoders[0].pid;
  struct passwd *nobody = getpwnam("nobody");
  ASSERT_NE(nobody, nullptr);
  const std::string uid = std::to_string(nobody->pw_uid);
  for (const Process &p : decoders) {
    SCOPED_TRACE(p.name);
    EXPECT_EQ(p.group, decoder);
    std::istringstream uids(status_field(p.pid, "Uid"));
    std::string real, effective;
    uids >> real >> effective;
    EXPECT_EQ(real, uid);
    EXPECT_EQ(effective, uid);
    EXPECT_EQ(status_field(p.pid, "NoNewPrivs").find('1') != std::string::npos, true);
    std::string limits = read_text("/proc/" + std::to_string(p.pid) + "/limits");
    EXPECT_NE(limits.find("Max cpu time              10                   11"), std::string::npos)
        << limits;
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    EXPECT_NE(limits.find("Max file size             0                    0"), std::string::npos);
    EXPECT_NE(limits.find("Max address space         536870912            536870912"),
              std::string::npos);
#endif
  }
  std::string environment = read_text("/proc/" + std::to_string(decoder) + "/environ");
  EXPECT_EQ(environment, std::string("PATH=/usr/bin:/bin\0LC_ALL=C\0", 28));

  auto cancelled = std::chrono::steady_clock::now();
  ASSERT_TRUE(cancel_job(*server_, "receipt", job_id));
  EXPECT_TRUE(eventually([&] { return all_gone(decoders); }, 5000));
  printf("decoder and renderer gone %lld ms after Cancel-Job was sent\n",
         static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                    std::chrono::steady_clock::now() - cancelled)
                                    .count()));
  EXPECT_EQ(wait_job_end(*server_, "receipt", job_id, 30), kCanceled) << server_->log();
  EXPECT_TRUE(server_->backend_runs().empty());
  expect_next_job_prints();
}

// SIGTERM while a document is stuck in decoding: the server is gone within
// 5 s, its decoder and renderer with it.
TEST_F(HostileTest, StopEndsAStuckDecoding) {
  std::vector<Process> decoders;
  start_stuck_job(&decoders);
  ASSERT_EQ(decoders.size(), 2u);
  auto stopped = std::chrono::steady_clock::now();
  EXPECT_TRUE(server_->stop(5000)) << server_->error() << server_->log();
  printf("server gone %lld ms after SIGTERM\n",
         static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                    std::chrono::steady_clock::now() - stopped)
                                    .count()));
  EXPECT_TRUE(eventually([&] { return all_gone(decoders); }, 5000));
}

} // namespace
