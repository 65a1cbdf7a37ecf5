// Printing through korvprint to a virtual printer: each document format
// PAPPL takes (PWG raster, PNG, JPEG) and PDF prints, and the printer gets
// the start byte followed by exactly what the receipt library makes of the
// same pages with the job's settings.
#include <gtest/gtest.h>

#include <memory>
#include <unistd.h>

#include "app_server.h"
#include "catalogue.h"
#include "pdf_args.h"
#include "print_quality.h"
#include "raster_support.h"
#include "receipt_pages.h"
#include "vprinter_client.h"

using namespace korvtest;

namespace {

class PrintTest : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    printers_ = new VPrinterServer({"kelpin,name=front"});
    ASSERT_TRUE(printers_->ok()) << printers_->error();
    server_ = new AppServer(printers_->umockdev_dir());
    ASSERT_TRUE(server_->start()) << server_->error();
    std::string why;
    ASSERT_TRUE(server_->add_printer("receipt", "tr3200ax_80", "usbkorv:/tr3200ax/1", &why)) << why;
  }
  static void TearDownTestSuite() {
    delete server_;
    delete printers_;
    server_ = nullptr;
    printers_ = nullptr;
  }

  // Prints and returns what the printer received for this job.
  std::vector<uint8_t> print(const std::string &file, const std::string &format,
                             const std::vector<std::string> &attrs, int *state) {
    size_t before = printers_->captured("front").size();
    JobResult job = print_and_wait(*server_, "receipt", file, format, attrs);
    *state = job.state;
    EXPECT_EQ(job.state, kCompleted) << job.output << server_->log();
    std::vector<uint8_t> all = printers_->captured("front");
    return std::vector<uint8_t>(all.begin() + static_cast<long>(before), all.end());
  }

  std::string path(const std::string &name) { return server_->dir() + "/" + name; }

  static receipt_settings defaults() {
    receipt_settings s;
    receipt_default_settings(&s, KORV_HEAD_DOTS_80MM);
    return s;
  }

  static VPrinterServer *printers_;
  static AppServer *server_;
};

VPrinterServer *PrintTest::printers_ = nullptr;
AppServer *PrintTest::server_ = nullptr;

// Two pages wider than the head (centred), two copies, default settings:
// error diffusion, both ends trimmed.
TEST_F(PrintTest, PwgRasterPagesAndCopies) {
  std::vector<GreyPage> pages = {pattern_page(600, 40, 0), pattern_page(600, 36, 1)};
  ASSERT_TRUE(write_pwg_raster(path("doc.pwg"), pages));
  int state = 0;
  std::vector<uint8_t> got = print(path("doc.pwg"), "image/pwg-raster", {"copies=2"}, &state);
  EXPECT_EQ(got, expected_printer_bytes(pages, defaults(), 2));
}

// A PNG as wide as the head at 203 ppi lands dot for dot; the job's
// threshold dithering, threshold and print-darkness reach the library.
TEST_F(PrintTest, PngWithJobSettings) {
  GreyPage page = pattern_page(KORV_HEAD_DOTS_80MM, 48, 2);
  ASSERT_TRUE(write_png(path("logo.png"), page));
  int state = 0;
  std::vector<uint8_t> got = print(
      path("logo.png"), "image/png",
      {"dithering=threshold", "threshold=60", "print-darkness=40", "print-scaling=none"}, &state);
  receipt_settings s = defaults();
  s.dither = RECEIPT_DITHER_THRESHOLD;
  s.threshold = 60 * 255 / 100;
  s.darkness = 40; // printer-darkness-configured 50 + print-darkness 40 / 2
  EXPECT_EQ(got, expected_printer_bytes({page}, s, 1));
}

// An image wider than the head is fitted to it while its rows stream in:
// each dot the average of the pixels it covers (blocks on even pixels, so
// halving keeps them pure black and white).
TEST_F(PrintTest, PngWiderThanTheHeadIsScaledToIt) {
  GreyPage wide = blocks_page(2 * KORV_HEAD_DOTS_80MM, 80, 1);
  ASSERT_TRUE(write_png(path("wide.png"), wide));
  GreyPage half{KORV_HEAD_DOTS_80MM, 40, std::vector<uint8_t>(KORV_HEAD_DOTS_80MM * 40)};
  for (int y = 0; y < half.height; ++y)
    for (int x = 0; x < half.width; ++x)
      half.pixels[size_t(y) * half.width + x] = wide.pixels[size_t(2 * y) * wide.width + 2 * x];
  int state = 0;
  EXPECT_EQ(print(path("wide.png"), "image/png", {}, &state),
            expected_printer_bytes({half}, defaults(), 1));
}

// A JPEG of black and white blocks, decoded as any JPEG reader does;
// two copies of an image are one receipt with the copy gap, not two pages.
TEST_F(PrintTest, JpegCopies) {
  GreyPage page = blocks_page(KORV_HEAD_DOTS_80MM, 40, 1);
  ASSERT_TRUE(write_jpeg(path("photo.jpg"), page));
  GreyPage decoded = decode_grey(path("photo.jpg"));
  ASSERT_EQ(decoded.width, KORV_HEAD_DOTS_80MM);
  int state = 0;
  std::vector<uint8_t> got =
      print(path("photo.jpg"), "image/jpeg",
            {"dithering=threshold", "print-scaling=none", "copies=2"}, &state);
  receipt_settings s = defaults();
  s.dither = RECEIPT_DITHER_THRESHOLD;
  EXPECT_EQ(got, expected_printer_bytes({decoded}, s, 2));
}

// A two-page PDF: each page rendered (by pdftoppm, as the application
// renders it: 203 dpi, 846 dots wide) goes to the library, which scales it
// to the head; trim=bottom reaches it.
TEST_F(PrintTest, PdfPages) {
  std::vector<GreyPage> source = {pattern_page(300, 40, 3), blocks_page(300, 30, 0)};
  ASSERT_TRUE(write_pdf(path("receipt.pdf"), source));
  pdf_render_args args;
  const std::string file = path("receipt.pdf");
  pdf_render_arguments(&args, file.c_str(), 0, 0, RECEIPT_DEFAULT_MAX_ROWS);
  std::vector<std::string> argv;
  for (const char *const *arg = args.argv; *arg != nullptr; ++arg)
    argv.push_back(*arg);
  Command render = run_command(argv, {}, {"LD_PRELOAD"});
  std::vector<GreyPage> pages = read_pgm_pages(render.out);
  ASSERT_EQ(pages.size(), 2u) << render.err;
  int state = 0;
  std::vector<uint8_t> got = print(path("receipt.pdf"), "application/pdf", {"trim=bottom"}, &state);
  receipt_settings s = defaults();
  s.trim = RECEIPT_TRIM_BOTTOM;
  EXPECT_EQ(got, expected_printer_bytes(pages, s, 1));
}

// Print quality through korvprint: text in four fonts from 7 to 18 pt on
// an 80 mm page prints at true size (the ink as wide as an ideal 203 dpi
// render's, not shrunk to the head) with about as few stray dots along
// its edges as that render (7.8 per 1000 edge dots; 111 when rendered
// with anti-aliasing and shrunk), and a phone screenshot's anti-aliased
// text and scaled bar code print clean (an ideal threshold: 3.6; plain
// diffusion: 207), its bar code scanning.
TEST_F(PrintTest, TextAndAScreenshotPrintSharpAtTrueSize) {
  const char *source = getenv("KORV_SOURCE_DIR");
  ASSERT_NE(source, nullptr) << "run through CTest";
  Command made =
      run_command({"/bin/sh", std::string(source) + "/samples/make-documents.sh", path("docs")}, {},
                  {"LD_PRELOAD"});
  ASSERT_EQ(made.status, 0) << made.err;
  auto printed = [&](const std::string &file, const std::string &format) {
    int state = 0;
    std::vector<uint8_t> got = print(path("docs/" + file), format, {}, &state);
    Picture p = read_bmp(got.size() > 1 ? std::string(got.begin() + 1, got.end()) : "");
    EXPECT_EQ(p.error, "") << file;
    return p.error.empty() ? Dots{int(p.width), int(p.height), p.dots} : Dots{};
  };

  const Dots words = printed("text.pdf", "application/pdf");
  EXPECT_LT(speckle(words).per_1000(), 12.0);
  Command ideal = run_command(ideal_render_args(path("docs/text.pdf")), {}, {"LD_PRELOAD"});
  const Box ideal_ink = ink_box(dots_of_pgm(ideal.out));
  ASSERT_GT(ideal_ink.width(), 500) << ideal.err;
  EXPECT_NEAR(ink_box(words).width(), ideal_ink.width(), 3);
  EXPECT_NEAR(ink_box(words).height(), ideal_ink.height(), 3);

  const Dots shot = printed("screenshot.png", "image/png");
  EXPECT_LT(speckle(shot).per_1000(), 25.0);
  ASSERT_TRUE(write_pbm(path("screenshot.pbm"), shot));
  Command scan = run_command({"zbarimg", "-q", path("screenshot.pbm")}, {}, {"LD_PRELOAD"});
  EXPECT_EQ(scan.out, "CODE-128:KORV-000123\n") << scan.err;
}

// A document that is not what it says is refused by the job, and the
// printer is never contacted; the queue goes on printing.
TEST_F(PrintTest, BrokenPdfAbortsWithoutPrinting) {
  std::string bad = path("broken.pdf");
  FILE *f = fopen(bad.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  fputs("%PDF-1.4\nthis is no PDF at all\n", f);
  fclose(f);
  size_t runs = server_->backend_runs().size();
  size_t before = printers_->captured("front").size();
  JobResult job = print_and_wait(*server_, "receipt", bad, "application/pdf");
  EXPECT_EQ(job.state, kAborted) << job.output;
  std::string reasons;
  job_state(*server_, "receipt", job.job_id, &reasons);
  EXPECT_NE(reasons.find("document-format-error"), std::string::npos) << reasons;
  EXPECT_EQ(printers_->captured("front").size(), before);
  EXPECT_EQ(server_->backend_runs().size(), runs);
}

} // namespace
