// The raster path without a scheduler: cupsfilter with a shipped PPD runs
// the standard filters and rastertokorv on documents that Debian tools
// make (samples/make-documents.sh), and rastertokorv alone as CUPS runs
// it, on good and bad input.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "print_quality.h"
#include "raster_support.h"
#include "run_program.h"

namespace korvtest {
namespace {

namespace fs = std::filesystem;

const std::string kPpd80 = KORV_PPD_DIR "/korv-tr3200ax-80.ppd";
const std::string kPpd58 = KORV_PPD_DIR "/korv-tr3000ax-58.ppd";

std::string text(const Bytes &b) { return std::string(b.begin(), b.end()); }
Dots dots_of(const Picture &p) { return Dots{int(p.width), int(p.height), p.dots}; }

class ChainTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    char templ[] = "/tmp/korvchain.XXXXXX";
    ASSERT_NE(mkdtemp(templ), nullptr);
    dir_ = templ;
    const char *source = getenv("KORV_SOURCE_DIR");
    ASSERT_NE(source, nullptr) << "run through CTest";
    RunResult made = run_program("/bin/sh", {"sh", std::string(source) + "/samples/make-documents.sh", dir_}, {});
    ASSERT_EQ(made.status, 0) << made.err;

    // cupsfilter finds the filters in ServerBin/filter: the system's, and
    // this build's two.
    const std::string filters = dir_ + "/serverbin/filter";
    fs::create_directories(filters);
    const char *serverbin = "/usr/lib/cups/filter";
    for (const auto &entry : fs::directory_iterator(serverbin))
      fs::create_symlink(entry.path(), filters + "/" + entry.path().filename().string());
    fs::create_symlink(KORV_RASTERTOKORV, filters + "/rastertokorv");
    fs::create_symlink(KORV_BMPTHRESHOLD, filters + "/korvbmpthreshold");
    std::ofstream conf(dir_ + "/cups-files.conf");
    conf << "ServerBin " << dir_ << "/serverbin\nDataDir /usr/share/cups\n";
  }
  static void TearDownTestSuite() {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  // cupsfilter -p ppd [options] file, to the printer's format.
  static RunResult chain(const std::string &file, const std::string &ppd,
                         const std::vector<std::string> &options = {}, bool list = false) {
    std::vector<std::string> argv = {"cupsfilter", "-c", dir_ + "/cups-files.conf", "-p", ppd,
                                     "-m", "printer/receipt", "-e"};
    if (list)
      argv.push_back("--list-filters");
    argv.insert(argv.end(), options.begin(), options.end());
    argv.push_back(dir_ + "/" + file);
    return run_program(KORV_CUPSFILTER, argv, {});
  }

  static Picture printed(const std::string &file, const std::string &ppd,
                         const std::vector<std::string> &options = {}) {
    RunResult r = chain(file, ppd, options);
    EXPECT_EQ(r.status, 0) << r.err;
    Picture p = read_bmp(text(r.out));
    EXPECT_EQ(p.error, "") << file;
    return p;
  }

  static std::string dir_;
};
std::string ChainTest::dir_;

TEST_F(ChainTest, EveryKindOfFileReachesTheRasterFilterAndABitmapOnlyTheBmpFilter) {
  for (const char *file : {"receipt.pdf", "logo.png", "photo.jpg", "notes.txt"}) {
    RunResult r = chain(file, kPpd80, {}, true);
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string filters = text(r.out);
    EXPECT_EQ(filters.substr(filters.rfind('\n', filters.size() - 2) + 1), "rastertokorv\n")
        << file << ":\n" << filters;
    EXPECT_TRUE(filters.find("gstoraster") != std::string::npos ||
                filters.find("imagetoraster") != std::string::npos)
        << file << ":\n" << filters;
  }

  // A BMP: korvbmpthreshold alone, byte for byte what it writes by hand.
  std::string bmp = dir_ + "/receipt.bmp";
  fs::copy_file(std::string(getenv("KORV_SOURCE_DIR")) + "/samples/receipt.bmp", bmp,
                fs::copy_options::overwrite_existing);
  RunResult list = chain("receipt.bmp", kPpd80, {}, true);
  EXPECT_EQ(text(list.out), "korvbmpthreshold\n");
  RunResult through = chain("receipt.bmp", kPpd80, {"-o", "Threshold=60"});
  RunOptions direct_options;
  direct_options.ppd = kPpd80;
  RunResult direct = run_program(KORV_BMPTHRESHOLD,
                                 {"korvbmpthreshold", "1", "user", "t", "1", "Threshold=60", bmp},
                                 direct_options);
  ASSERT_EQ(direct.status, 0) << direct.err;
  EXPECT_GT(direct.out.size(), 54u);
  EXPECT_TRUE(through.out == direct.out) << "cupsfilter's BMP path differs from korvbmpthreshold";
}

TEST_F(ChainTest, TheReceiptPdfPrintsSharpScannableAndAsLongAsItsContent) {
  // 80 mm paper: the 72 mm page prints at its own size.
  Picture p = printed("receipt.pdf", kPpd80);
  ASSERT_EQ(p.width, 576u);
  // Content spans about 150 mm of the 200 mm page; the default page is
  // 297 mm (2376 rows): trimmed to the content.
  EXPECT_GT(p.height, 1100u);
  EXPECT_LT(p.height, 1300u);
  // Row 0 is the top of the logo ring, centred at 102 pt of 204.
  std::vector<unsigned> inked;
  for (unsigned x = 0; x < p.width; ++x)
    if (p.at(x, 0) == 1)
      inked.push_back(x);
  ASSERT_FALSE(inked.empty());
  EXPECT_NEAR((inked.front() + inked.back()) / 2.0, 287.5, 3);
  // The rule under TOTAL: 180 pt from 12 pt, 1 pt thick, the longest
  // black run of the receipt.
  unsigned best = 0, best_row = 0, best_left = 0;
  for (unsigned y = 0; y < p.height; ++y) {
    unsigned run = 0;
    for (unsigned x = 0; x < p.width; ++x) {
      run = p.at(x, y) == 1 ? run + 1 : 0;
      if (run > best) {
        best = run;
        best_row = y;
        best_left = x + 1 - run;
      }
    }
  }
  EXPECT_NEAR(best, 180 * 203 / 72.0, 4);
  EXPECT_NEAR(best_left, 12 * 203 / 72.0, 3);
  // Its top edge lies 545 - 387 pt below the ring's top.
  EXPECT_NEAR(best_row, (545 - 387) * 203 / 72.0, 4);
  // Text lines start at 12 pt too: the left edge of ink above the rule.
  unsigned text_left = p.width;
  for (unsigned y = best_row - 100; y < best_row - 10; ++y)
    for (unsigned x = 0; x < text_left; ++x)
      if (p.at(x, y) == 1)
        text_left = x;
  EXPECT_NEAR(text_left, 12 * 203 / 72.0, 4);

  // Both codes decode from what the printer gets, on both widths.
  for (const std::string &ppd : {kPpd80, kPpd58}) {
    RunResult r = chain("receipt.pdf", ppd);
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string out = dir_ + "/printed.bmp";
    std::ofstream(out, std::ios::binary).write(reinterpret_cast<const char *>(r.out.data()),
                                                std::streamsize(r.out.size()));
    RunResult scan = run_program(KORV_ZBARIMG, {"zbarimg", "-q", out}, {});
    EXPECT_NE(text(scan.out).find("QR-Code:https://korva.example/r/0042\n"), std::string::npos)
        << ppd << ": " << text(scan.out) << scan.err;
    EXPECT_NE(text(scan.out).find("CODE-128:KORV-000123\n"), std::string::npos)
        << ppd << ": " << text(scan.out) << scan.err;
  }
}

// Print quality: text in four fonts from 7 to 18 pt on an 80 mm page
// prints at true size with no more stray dots along its edges than an
// ideal render at 203 dpi (7.8 per 1000 edge dots; 111 with anti-aliased
// rendering and plain diffusion), and a phone screenshot's anti-aliased
// text and scaled bar code print clean (an ideal threshold: 3.6; plain
// diffusion: 191), its bar code scanning.
TEST_F(ChainTest, TextAndAScreenshotPrintSharpAtTrueSize) {
  const Dots words = dots_of(printed("text.pdf", kPpd80));
  EXPECT_LT(speckle(words).per_1000(), 12.0);
  RunResult ideal = run_program(KORV_GS, ideal_render_args(dir_ + "/text.pdf"), {});
  const Box ideal_ink = ink_box(dots_of_pgm(std::string(ideal.out.begin(), ideal.out.end())));
  ASSERT_GT(ideal_ink.width(), 500) << ideal.err;
  EXPECT_NEAR(ink_box(words).width(), ideal_ink.width(), 3);
  EXPECT_NEAR(ink_box(words).height(), ideal_ink.height(), 3);

  const Dots shot = dots_of(printed("screenshot.png", kPpd80));
  EXPECT_LT(speckle(shot).per_1000(), 25.0);
  const std::string pbm = dir_ + "/screenshot.pbm";
  ASSERT_TRUE(write_pbm(pbm, shot));
  RunResult scan = run_program(KORV_ZBARIMG, {"zbarimg", "-q", pbm}, {});
  EXPECT_EQ(text(scan.out), "CODE-128:KORV-000123\n") << scan.err;
}

TEST_F(ChainTest, ImagesAndTextFollowTheirContentAndCopiesMakeOneReceipt) {
  for (const std::string &ppd : {kPpd80, kPpd58}) {
    const unsigned head = ppd == kPpd80 ? 576 : 384;
    for (const char *file : {"photo.jpg", "logo.png", "notes.txt"}) {
      SCOPED_TRACE(std::string(file) + " " + ppd);
      Picture p = printed(file, ppd);
      ASSERT_EQ(p.width, head);
      EXPECT_LT(p.height, 2376u) << "not the page length";
      const long ink = p.black(0, 0, p.width, p.height);
      EXPECT_GT(ink, 500);
      EXPECT_EQ(p.inked_rows().front(), 0u) << "blank top trimmed";
      EXPECT_EQ(p.inked_rows().back(), p.height - 1) << "blank bottom trimmed";
    }
    // Six lines of text: a few centimetres, not a page.
    EXPECT_LT(printed("notes.txt", ppd).height, 400u);
  }

  // Copies come from the raster header: three copies of the receipt with
  // tear-off gaps, never nine; also when pdftopdf collates pages itself.
  const unsigned one = printed("receipt.pdf", kPpd80).height;
  EXPECT_EQ(printed("receipt.pdf", kPpd80, {"-n", "3"}).height,
            3 * one + 2 * RECEIPT_DEFAULT_COPY_GAP_ROWS);
  const unsigned photo = printed("photo.jpg", kPpd80).height;
  EXPECT_EQ(printed("photo.jpg", kPpd80, {"-n", "2"}).height,
            2 * photo + RECEIPT_DEFAULT_COPY_GAP_ROWS);
  EXPECT_EQ(printed("receipt.pdf", kPpd80, {"-n", "2", "-o", "collate=true"}).height,
            2 * one + RECEIPT_DEFAULT_PAGE_GAP_ROWS);
}

TEST_F(ChainTest, OptionsChangeThePrintAsNamed) {
  const Picture diffusion = printed("photo.jpg", kPpd80);
  const Picture darker = printed("photo.jpg", kPpd80, {"-o", "Darkness=50"});
  ASSERT_EQ(darker.height, diffusion.height);
  EXPECT_GT(darker.black(0, 0, 576, darker.height), diffusion.black(0, 0, 576, diffusion.height) * 11 / 10);
  const Picture threshold = printed("photo.jpg", kPpd80, {"-o", "Dithering=Threshold", "-o", "Threshold=90"});
  EXPECT_GT(threshold.black(0, 0, 576, threshold.height), diffusion.black(0, 0, 576, diffusion.height));
  // Without any trim the page keeps its length: the default 297 mm, or a
  // custom length.
  EXPECT_NEAR(printed("notes.txt", kPpd80, {"-o", "Trim=None"}).height, 297 / 25.4 * 203, 2);
  EXPECT_NEAR(printed("notes.txt", kPpd80, {"-o", "Trim=None", "-o", "PageSize=Custom.80x1000mm"}).height,
              1000 / 25.4 * 203, 2);
}

// rastertokorv alone, as CUPS runs it.
RunResult rastertokorv(const Bytes &input, const std::string &options,
                       const std::optional<std::string> &ppd = kPpd80,
                       const std::string &copies = "1") {
  RunOptions o;
  o.ppd = ppd;
  o.stdinBytes = input;
  return run_program(KORV_RASTERTOKORV, {"queue", "7", "alice", "receipt", copies, options}, o);
}

Bytes bytes(const std::string &s) { return Bytes(s.begin(), s.end()); }

TEST(RasterFilterTest, BadInputGivesAnErrorLineAStatusAndNoOutput) {
  RasterPage page;
  page.height = 50;
  page.grey = [](unsigned x, unsigned y) { return (x + y) % 3 ? 255 : 0; };
  const std::string good = write_raster({page, page}, false);
  RasterPage rgb = page;
  rgb.space = CUPS_CSPACE_RGB;

  struct Case {
    const char *what;
    Bytes input;
    std::string options;
    std::optional<std::string> ppd;
    const char *message;
  };
  const Case cases[] = {
      {"cut off", bytes(good.substr(0, good.size() - 100)), "", kPpd80, "ERROR: The raster ends in page 2"},
      {"not raster", bytes("%PDF-1.4 nothing"), "", kPpd80, "ERROR: The input is not CUPS raster."},
      {"empty", Bytes{}, "", kPpd80, "ERROR: The input is not CUPS raster."},
      {"no pages", bytes(write_raster({})), "", kPpd80, "ERROR: The raster has no pages."},
      {"colour", bytes(write_raster({rgb})), "", kPpd80, "ERROR: Page 1 has colour space"},
      {"no PPD", bytes(good), "", std::nullopt, "ERROR: No usable PPD"},
      {"bad option", bytes(good), "Dithering=Sparkle", kPpd80, "ERROR: Dithering=Sparkle: use"},
      {"darkness", bytes(good), "Darkness=300", kPpd80, "ERROR: Darkness=300: use"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    RunResult r = rastertokorv(c.input, c.options, c.ppd);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out.size(), 0u);
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
  }

  // The same raster whole prints, with the header's copies over argv[4].
  RasterPage twice = page;
  twice.copies = 2;
  RunResult ok = rastertokorv(bytes(write_raster({twice})), "", kPpd80, "5");
  ASSERT_EQ(ok.status, 0) << ok.err;
  Picture p = read_bmp(text(ok.out));
  EXPECT_EQ(p.height, 2 * 50u + RECEIPT_DEFAULT_COPY_GAP_ROWS);
  // A raster that asks for no copies leaves them to argv[4].
  RasterPage unset = page;
  unset.copies = 0;
  RunResult fallback = rastertokorv(bytes(write_raster({unset})), "", kPpd80, "3");
  EXPECT_EQ(read_bmp(text(fallback.out)).height, 3 * 50u + 2 * RECEIPT_DEFAULT_COPY_GAP_ROWS);
}

}  // namespace
}  // namespace korvtest
