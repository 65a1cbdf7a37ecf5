// korvbmpthreshold run as CUPS runs it: six or seven arguments, PPD in the
// environment, the image on standard input or in a file, and the whole
// output file compared with what it should be.
#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <stdexcept>
#include <sstream>

#include "run_program.h"
#include "test_image.h"

using korvtest::Bytes;
using korvtest::Image;
using korvtest::RunOptions;
using korvtest::RunResult;
using korvtest::Stdout;
using korvtest::TempDir;

namespace {

const std::string kFilter = KORV_FILTER_BIN;
const std::string kPpdDir = KORV_PPD_DIR;
const std::string kPpd58 = kPpdDir + "/korv-tr3000ax-58.ppd";  // model 0
const std::string kPpd80 = kPpdDir + "/korv-tr3000ax-80.ppd";  // model 1

const std::string kIoError = "BMP error: File input/output error\n";

RunResult run_file(const std::string& file, const std::string& options,
                   std::optional<std::string> ppd, Stdout mode = Stdout::Capture) {
  RunOptions o;
  o.ppd = std::move(ppd);
  o.stdoutMode = mode;
  return korvtest::run_program(kFilter, {"receipts", "42", "alice", "title", "1", options, file}, o);
}

RunResult run_stdin(const Bytes& input, const std::string& options,
                    std::optional<std::string> ppd) {
  RunOptions o;
  o.ppd = std::move(ppd);
  o.stdinBytes = input;
  return korvtest::run_program(kFilter, {"receipts", "42", "alice", "title", "1", options}, o);
}

// A copy of a generated PPD with another model number.
std::string ppd_with_model(const TempDir& dir, const std::string& model) {
  std::ifstream in(kPpd58);
  std::stringstream text;
  text << in.rdbuf();
  std::string changed = text.str();
  const std::string key = "*cupsModelNumber: ";
  const size_t start = changed.find(key);
  if (start == std::string::npos) {
    throw std::runtime_error("no model number in " + kPpd58);
  }
  const size_t end = changed.find('\n', start);
  changed.replace(start, end - start, key + model);
  const std::string path = dir.path("model" + model + ".ppd");
  std::ofstream(path) << changed;
  return path;
}

Image grey_ramp(uint32_t width, uint32_t height) {
  Image image = korvtest::make_image(width, height, 8);
  korvtest::set_grey_palette(image);
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) {
      image.at(x, y)[0] = static_cast<uint8_t>((x + 7 * y) % 256);
    }
  }
  return image;
}

void expect_output(const RunResult& r, const Image& expected) {
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  const Bytes want = korvtest::encode(expected);
  ASSERT_EQ(r.out.size(), want.size());
  EXPECT_TRUE(r.out == want) << "output file differs";
}

void expect_failure(const RunResult& r, const std::string& line) {
  EXPECT_EQ(r.signal, 0);
  EXPECT_EQ(r.status, 254);
  EXPECT_EQ(r.err, line);
  EXPECT_TRUE(r.out.empty());
}

}  // namespace

TEST(FilterCommandLine, WrongArgumentCountGivesUsage) {
  RunOptions o;
  o.ppd = kPpd80;
  for (auto argv : {std::vector<std::string>{"receipts", "1", "u", "t", "1"},
                    std::vector<std::string>{"receipts", "1", "u", "t", "1", "", "f", "extra"},
                    std::vector<std::string>{"receipts"}}) {
    const RunResult r = korvtest::run_program(kFilter, argv, o);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Usage: receipts job-id user title copies options [file]\n");
    EXPECT_TRUE(r.out.empty());
  }
}

TEST(FilterCommandLine, StandardInputAndFileGiveTheSameImage) {
  TempDir dir;
  const Image image = grey_ramp(1152, 100);
  korvtest::write_file(dir.path("in.bmp"), korvtest::encode(image));
  const Image expected = korvtest::expected_output(image, 127, 576);
  ASSERT_EQ(expected.width, 576u);
  ASSERT_EQ(expected.height, 50u);
  expect_output(run_stdin(korvtest::encode(image), "", kPpd80), expected);
  expect_output(run_file(dir.path("in.bmp"), "", kPpd80), expected);
}

TEST(FilterThreshold, OptionValuesEndToEnd) {
  TempDir dir;
  const Image image = grey_ramp(600, 30);
  korvtest::write_file(dir.path("in.bmp"), korvtest::encode(image));
  struct Case {
    const char* options;
    std::optional<uint32_t> threshold;
  } cases[] = {
      {"", 127},
      {"copies=1 job-uuid=urn:uuid:x", std::nullopt},
      {"Threshold=50", 127},
      {"Threshold=100", 255},
      {"Threshold=10", 25},
      {"Threshold=75%", 191},
      {"Threshold=0", std::nullopt},
      {"Threshold=00", std::nullopt},
      {"Threshold=0.5", std::nullopt},
      {"Threshold=Off", std::nullopt},
      {"Threshold=Offset", std::nullopt},
      {"Threshold=off", 0},
      {"Threshold=", 0},
      {"Threshold=none", 0},
      {"Threshold=-5", 0xFFFFFFFFu},
      {"Threshold=5000000000", 0xFFFFFFFFu},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.options);
    expect_output(run_file(dir.path("in.bmp"), c.options, kPpd80),
                  korvtest::expected_output(image, c.threshold, 576));
  }
  // The edge of the default: index 127 turns black, 128 white.
  Image edge = korvtest::make_image(576, 1, 8);
  korvtest::set_grey_palette(edge);
  edge.at(0, 0)[0] = 127;
  edge.at(1, 0)[0] = 128;
  korvtest::write_file(dir.path("edge.bmp"), korvtest::encode(edge));
  const RunResult r = run_file(dir.path("edge.bmp"), "", kPpd80);
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(r.out[54], 0);
  EXPECT_EQ(r.out[57], 255);
}

TEST(FilterThreshold, DeepImagesAreOnlyScaled) {
  TempDir dir;
  std::mt19937 rng(17);
  for (uint16_t depth : {24, 32}) {
    const Image image = korvtest::random_image(rng, 1152, 21, depth);
    korvtest::write_file(dir.path("in.bmp"), korvtest::encode(image));
    const RunResult r = run_file(dir.path("in.bmp"), "Threshold=50", kPpd80);
    expect_output(r, korvtest::expected_output(image, std::nullopt, 576));
    ASSERT_EQ(r.out.size(), 54u + 1728u * 10u);  // rows without fill bytes
  }
}

TEST(FilterPrintWidth, EveryModelNumberAndTheGeneratedPpds) {
  TempDir dir;
  std::mt19937 rng(23);
  const Image image = korvtest::random_image(rng, 1730, 13, 24);
  korvtest::write_file(dir.path("in.bmp"), korvtest::encode(image));
  for (int model = 0; model <= 5; ++model) {
    const uint32_t width = model % 2 == 0 ? 384 : 576;
    SCOPED_TRACE(model);
    expect_output(run_file(dir.path("in.bmp"), "", ppd_with_model(dir, std::to_string(model))),
                  korvtest::expected_output(image, std::nullopt, width));
  }
  for (const char* name : {"tr3000ax", "tr3200ax", "tr090sax", "tr3500ax"}) {
    for (uint32_t mm : {58u, 80u}) {
      const std::string ppd = kPpdDir + "/korv-" + name + "-" + std::to_string(mm) + ".ppd";
      SCOPED_TRACE(ppd);
      expect_output(run_file(dir.path("in.bmp"), "", ppd),
                    korvtest::expected_output(image, std::nullopt, mm == 58 ? 384 : 576));
    }
  }
  // Unknown model numbers end like a missing PPD.
  for (const char* model : {"6", "-1", "-2147483648", "99"}) {
    SCOPED_TRACE(model);
    expect_failure(run_file(dir.path("in.bmp"), "", ppd_with_model(dir, model)), kIoError);
  }
}

TEST(FilterPrintWidth, NoUsablePpd) {
  TempDir dir;
  korvtest::write_file(dir.path("in.bmp"), korvtest::encode(grey_ramp(800, 8)));
  expect_failure(run_file(dir.path("in.bmp"), "", std::nullopt), kIoError);
  expect_failure(run_file(dir.path("in.bmp"), "", dir.path("missing.ppd")), kIoError);
  korvtest::write_file(dir.path("junk.ppd"), Bytes{'n', 'o', 't', '\n'});
  expect_failure(run_file(dir.path("in.bmp"), "", dir.path("junk.ppd")), kIoError);
}

TEST(FilterScale, NarrowWideAndTooLowInputs) {
  TempDir dir;
  std::mt19937 rng(29);
  // Narrower than the print line: the rest of the line is blank paper.
  const Image narrow = korvtest::random_image(rng, 100, 10, 24);
  korvtest::write_file(dir.path("narrow.bmp"), korvtest::encode(narrow));
  RunResult r = run_file(dir.path("narrow.bmp"), "", kPpd80);
  expect_output(r, korvtest::expected_output(narrow, std::nullopt, 576));
  EXPECT_EQ(r.out[54 + 3 * 100], 255);
  EXPECT_EQ(r.out[54 + 3 * 575 + 2], 255);

  // Between one and two lines wide: the leftmost line, not reduced.
  const Image wide = korvtest::random_image(rng, 1000, 80, 32);
  korvtest::write_file(dir.path("wide.bmp"), korvtest::encode(wide));
  expect_output(run_file(dir.path("wide.bmp"), "", kPpd80),
                korvtest::expected_output(wide, std::nullopt, 576));

  // 8-bit narrow with the threshold pass.
  const Image narrow8 = grey_ramp(383, 5);
  korvtest::write_file(dir.path("narrow8.bmp"), korvtest::encode(narrow8));
  expect_output(run_file(dir.path("narrow8.bmp"), "Threshold=40", kPpd58),
                korvtest::expected_output(narrow8, 102, 384));

  // Lower than the factor: no output rows.
  korvtest::write_file(dir.path("low.bmp"), korvtest::encode(korvtest::make_image(1200, 2, 24)));
  expect_failure(run_file(dir.path("low.bmp"), "", kPpd58), kIoError);
}

TEST(FilterInput, UnreadableInputs) {
  TempDir dir;
  expect_failure(run_file(dir.path("missing.bmp"), "", kPpd80), "BMP error: File not found\n");
  korvtest::write_file(dir.path("short.bmp"), Bytes(10, 'B'));
  expect_failure(run_file(dir.path("short.bmp"), "", kPpd80),
                 "BMP error: File is not a valid BMP image\n");
  Bytes topDown = korvtest::encode(korvtest::make_image(4, 4, 24));
  korvtest::put32(topDown, 22, static_cast<uint32_t>(-4));
  expect_failure(run_stdin(topDown, "", kPpd80),
                 "BMP error: File is not a supported BMP variant (must be uncompressed 8, 24 or "
                 "32 BPP)\n");
  expect_failure(run_stdin(Bytes{}, "", kPpd80), "BMP error: File is not a valid BMP image\n");
}

TEST(FilterOutput, ClosedStandardOutput) {
  TempDir dir;
  for (auto [width, height] : {std::pair{600u, 4u}, std::pair{1152u, 400u}}) {
    korvtest::write_file(dir.path("in.bmp"),
                         korvtest::encode(korvtest::make_image(width, height, 24)));
    // No standard output at all: it cannot be opened.
    RunResult r = run_file(dir.path("in.bmp"), "", kPpd80, Stdout::Closed);
    EXPECT_EQ(r.status, 254);
    EXPECT_EQ(r.err, "BMP error: File not found\n");
    // A pipe whose reader went away: a failed write, not a death by SIGPIPE,
    // whether the image fits the stream's buffer or not.
    r = run_file(dir.path("in.bmp"), "", kPpd80, Stdout::ClosedPipe);
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.status, 254);
    EXPECT_EQ(r.err, kIoError);
  }
}

// Files written by other programs.
class OtherTools : public ::testing::Test {
 protected:
  static Image random_ppm_image(std::mt19937& rng, uint32_t w, uint32_t h) {
    return korvtest::random_image(rng, w, h, 24);
  }
  // P6 file of a 24-bit test image (blue green red in memory).
  static void write_ppm(const std::string& path, const Image& image) {
    std::ofstream out(path, std::ios::binary);
    out << "P6\n" << image.width << " " << image.height << "\n255\n";
    for (uint32_t y = 0; y < image.height; ++y) {
      for (uint32_t x = 0; x < image.width; ++x) {
        const uint8_t* p = image.at(x, y);
        const char rgb[3] = {static_cast<char>(p[2]), static_cast<char>(p[1]),
                             static_cast<char>(p[0])};
        out.write(rgb, 3);
      }
    }
  }
  static int shell(const std::string& command) { return system(command.c_str()); }
};

TEST_F(OtherTools, ImageMagickAndNetpbmFilesAreFiltered) {
  const std::string convert = KORV_CONVERT;
  const std::string ppmtobmp = KORV_PPMTOBMP;
  if (convert.empty() || ppmtobmp.empty()) {
    GTEST_SKIP() << "ImageMagick or netpbm missing";
  }
  TempDir dir;
  std::mt19937 rng(31);
  const Image image = random_ppm_image(rng, 1155, 17);  // rows need fill bytes
  write_ppm(dir.path("in.ppm"), image);
  ASSERT_EQ(shell(convert + " " + dir.path("in.ppm") + " BMP3:" + dir.path("im.bmp")), 0);
  ASSERT_EQ(shell(ppmtobmp + " " + dir.path("in.ppm") + " > " + dir.path("nb.bmp") +
                  " 2>/dev/null"),
            0);
  const Image expected = korvtest::expected_output(image, std::nullopt, 576);
  expect_output(run_file(dir.path("im.bmp"), "", kPpd80), expected);
  expect_output(run_file(dir.path("nb.bmp"), "", kPpd80), expected);

  // 8 bits with a full grey palette from netpbm: thresholded by index.
  Image grey = grey_ramp(768, 6);
  {
    std::ofstream out(dir.path("in.pgm"), std::ios::binary);
    out << "P5\n768 6\n255\n";
    out.write(reinterpret_cast<const char*>(grey.pixels.data()),
              static_cast<std::streamsize>(grey.pixels.size()));
  }
  ASSERT_EQ(shell(ppmtobmp + " -bpp 8 " + dir.path("in.pgm") + " > " + dir.path("g8.bmp") +
                  " 2>/dev/null"),
            0);
  // Its palette is in netpbm's own order: take the file's indices and
  // palette as they are, and check that they do give the grey values.
  const Bytes g8 = korvtest::read_file(dir.path("g8.bmp"));
  ASSERT_GE(g8.size(), 1078u + 768u * 6u);
  ASSERT_EQ(g8[28], 8);
  ASSERT_EQ(korvtest::get32(g8, 14), 40u);
  Image stored = korvtest::make_image(768, 6, 8);
  stored.palette.assign(g8.begin() + 54, g8.begin() + 1078);
  for (uint32_t y = 0; y < 6; ++y) {
    for (uint32_t x = 0; x < 768; ++x) {
      const uint8_t index = g8[1078 + (5 - y) * 768 + x];
      stored.at(x, y)[0] = index;
      ASSERT_EQ(stored.palette[4 * index + 1], grey.at(x, y)[0]);
    }
  }
  expect_output(run_file(dir.path("g8.bmp"), "Threshold=50", kPpd58),
                korvtest::expected_output(stored, 127, 384));
}

TEST_F(OtherTools, ImageMagickDefaultHeadersAreRefused) {
  const std::string convert = KORV_CONVERT;
  if (convert.empty()) {
    GTEST_SKIP() << "ImageMagick missing";
  }
  TempDir dir;
  std::mt19937 rng(37);
  write_ppm(dir.path("in.ppm"), random_ppm_image(rng, 40, 4));
  ASSERT_EQ(shell(convert + " " + dir.path("in.ppm") + " BMP:" + dir.path("v5.bmp")), 0);
  // Grey images get the 108-byte header.
  ASSERT_EQ(shell(convert + " " + dir.path("in.ppm") + " -colorspace gray BMP:" +
                  dir.path("v4.bmp")),
            0);
  const std::string unsupported =
      "BMP error: File is not a supported BMP variant (must be uncompressed 8, 24 or 32 BPP)\n";
  EXPECT_EQ(korvtest::get32(korvtest::read_file(dir.path("v5.bmp")), 14), 124u);
  EXPECT_EQ(korvtest::get32(korvtest::read_file(dir.path("v4.bmp")), 14), 108u);
  expect_failure(run_file(dir.path("v5.bmp"), "", kPpd80), unsupported);
  expect_failure(run_file(dir.path("v4.bmp"), "", kPpd80), unsupported);
}
