// Print quality benchmark: the documents samples/make-documents.sh makes
// (text in four fonts, bar codes at their smallest sizes, a screenshot, a
// grey ramp, a photograph) printed on an 80 mm printer both ways, through
// CUPS (cupsfilter with the shipped PPD, the standard filters and
// rastertokorv) and through korvprint (a server on loopback printing to
// a virtual printer), and measured on what the printer received, beside
// an ideal render:
//   - stray dots along edges per 1000 edge dots (text and screenshot);
//     ideal: ghostscript at 203 dpi without anti-aliasing, and a plain
//     50 % threshold of the screenshot at the head's width;
//   - whether each bar code scans with zbarimg;
//   - the tone error of each ramp patch, in points of ink;
//   - the size of each document's ink.
// Goals: text within 1.5 x the ideal's figure, the screenshot within 25
// per 1000, every code scans both ways, tone error at most 4 points per
// patch, both ways within 2 % of each other in size for the PDF pages
// (images are fitted to the paper by each way's image filter: CUPS's to
// the whole paper width, PAPPL's to its printable width).
//   build/bench/quality/quality_bench [work folder]
// The printed pictures are left in the work folder as PNG.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "app_server.h"
#include "catalogue.h"
#include "print_quality.h"
#include "raster_support.h"
#include "vprinter_client.h"

using namespace korvtest;
namespace fs = std::filesystem;

namespace {

const int kHead = KORV_HEAD_DOTS_80MM;

struct Document {
  const char *file;
  const char *format; // for IPP
};
const Document kDocuments[] = {{"text.pdf", "application/pdf"},
                               {"codes.pdf", "application/pdf"},
                               {"screenshot.png", "image/png"},
                               {"ramp.pdf", "application/pdf"},
                               {"photo.jpg", "image/jpeg"}};
const char *const kWays[] = {"CUPS", "korvprint", "ideal"};

Dots dots_of(const Picture &p) { return Dots{int(p.width), int(p.height), p.dots}; }

// The symbols zbarimg reads from the dots, "TYPE:text" lines.
std::string scan(const Dots &d, const std::string &path) {
  if (d.width == 0 || !write_pbm(path, d))
    return "";
  return run_command({"zbarimg", "-q", path}, {}, {"LD_PRELOAD"}).out;
}

bool has(const std::string &text, const std::string &what) {
  return text.find(what) != std::string::npos;
}

// Points of tone error of the ramp's nine patches, found inside the
// ink's box (the frame, 181 points square, patches 56 points square
// every 58 points from 5 points right and 2 points below its corner).
std::vector<double> ramp_errors(const Dots &d) {
  const Box frame = ink_box(d);
  std::vector<double> errors;
  if (frame.width() < 100)
    return errors;
  const double sx = frame.width() / 181.0, sy = frame.height() / 181.0;
  for (int k = 0; k < 9; ++k) {
    const double x = 5 + k % 3 * 58, y = 2 + k / 3 * 58;
    Box patch{frame.left + int(lround(x * sx)) + 4, frame.top + int(lround(y * sy)) + 4,
              frame.left + int(lround((x + 56) * sx)) - 4,
              frame.top + int(lround((y + 56) * sy)) - 4};
    errors.push_back(std::fabs(ink_share(d, patch) * 100 - 10 * (k + 1)));
  }
  return errors;
}

} // namespace

int main(int argc, char **argv) {
  const std::string work = argc > 1 ? argv[1] : "/tmp/korv-quality-bench";
  fs::create_directories(work);
  const std::string docs = work + "/docs";
  Command made = run_command({"/bin/sh", KORV_SOURCE_DIR "/samples/make-documents.sh", docs});
  if (made.status != 0) {
    fprintf(stderr, "samples/make-documents.sh failed: %s\n", made.err.c_str());
    return 1;
  }

  // The CUPS way: cupsfilter with the system's filters and this build's
  // rastertokorv.
  const std::string filters = work + "/serverbin/filter";
  fs::remove_all(work + "/serverbin");
  fs::create_directories(filters);
  for (const auto &entry : fs::directory_iterator(KORV_SYSTEM_FILTERS))
    fs::create_symlink(entry.path(), filters + "/" + entry.path().filename().string());
  fs::create_symlink(KORV_RASTERTOKORV, filters + "/rastertokorv");
  std::ofstream(work + "/cups-files.conf")
      << "ServerBin " << work << "/serverbin\nDataDir " << KORV_CUPS_DATADIR << "\n";

  // The korvprint way: the time shim (copied where a preload may name
  // it) shortens the backend's wait after each job.
  fs::copy_file(KORV_TIMESHIM_PATH, work + "/libkorvtimeshim.so",
                fs::copy_options::overwrite_existing);
  setenv("KORV_TIMESHIM", (work + "/libkorvtimeshim.so").c_str(), 0);
  setenv("KORV_UMOCKDEV_PRELOAD", KORV_UMOCKDEV_PRELOAD_PATH, 0);
  VPrinterServer printers({"kelpin,name=front"});
  if (!printers.ok()) {
    fprintf(stderr, "vprinter: %s\n", printers.error().c_str());
    return 1;
  }
  AppServer server(printers.umockdev_dir());
  std::string why;
  if (!server.start() ||
      !server.add_printer("receipt", "tr3200ax_80", "usbkorv:/tr3200ax/1", &why)) {
    fprintf(stderr, "korvprint: %s%s\n", server.error().c_str(), why.c_str());
    return 1;
  }

  // What each way printed of each document, and the ideal render.
  std::map<std::string, Dots> printed; // "way/file"
  for (const Document &doc : kDocuments) {
    const std::string path = docs + "/" + doc.file;
    Command cups = run_command({KORV_CUPSFILTER, "-c", work + "/cups-files.conf", "-p", KORV_PPD_80,
                                "-m", "printer/receipt", "-e", path},
                               {}, {"LD_PRELOAD"});
    Picture p = read_bmp(cups.out);
    if (cups.status != 0 || !p.error.empty()) {
      fprintf(stderr, "cupsfilter %s: %s %s\n", doc.file, p.error.c_str(), cups.err.c_str());
      return 1;
    }
    printed[std::string("CUPS/") + doc.file] = dots_of(p);

    const size_t before = printers.captured("front").size();
    JobResult job = print_and_wait(server, "receipt", path, doc.format);
    std::vector<uint8_t> bytes = printers.captured("front");
    // The start byte, then the BMP.
    Picture q = read_bmp(bytes.size() > before + 1
                             ? std::string(bytes.begin() + long(before) + 1, bytes.end())
                             : std::string());
    if (job.state != kCompleted || !q.error.empty()) {
      fprintf(stderr, "korvprint %s: state %d %s\n%s", doc.file, job.state, q.error.c_str(),
              server.log().c_str());
      return 1;
    }
    printed[std::string("korvprint/") + doc.file] = dots_of(q);

    Command ideal;
    if (std::string(doc.format) == "application/pdf")
      ideal = run_command(ideal_render_args(path), {}, {"LD_PRELOAD"});
    else
      ideal = run_command({"convert", path, "-colorspace", "Gray", "-resize",
                           std::to_string(kHead) + "x", "-depth", "8", "pgm:-"},
                          {}, {"LD_PRELOAD"});
    printed[std::string("ideal/") + doc.file] = dots_of_pgm(ideal.out);
  }
  server.stop();

  for (const auto &[name, dots] : printed) {
    std::string file = name;
    std::replace(file.begin(), file.end(), '/', '-');
    const std::string pbm = work + "/" + file + ".pbm";
    if (write_pbm(pbm, dots))
      run_command({"convert", pbm, work + "/" + file + ".png"}, {}, {"LD_PRELOAD"});
  }

  bool met = true;
  auto verdict = [&met](bool ok) {
    met = met && ok;
    return ok ? "met" : "NOT MET";
  };
  printf("Print quality on an 80 mm printer (%d dots), both ways, beside an ideal render\n\n",
         kHead);
  printf("%-34s %10s %10s %10s\n", "", "CUPS", "korvprint", "ideal");

  auto stray = [&](const char *file, const char *way) {
    return speckle(printed[std::string(way) + "/" + file]).per_1000();
  };
  for (const char *file : {"text.pdf", "screenshot.png"}) {
    printf("%-34s %10.1f %10.1f %10.1f\n", (std::string("stray dots / 1000 edge, ") + file).c_str(),
           stray(file, "CUPS"), stray(file, "korvprint"), stray(file, "ideal"));
  }
  const double text_ideal = stray("text.pdf", "ideal");
  const double text_worst = std::max(stray("text.pdf", "CUPS"), stray("text.pdf", "korvprint"));
  const double shot_worst =
      std::max(stray("screenshot.png", "CUPS"), stray("screenshot.png", "korvprint"));

  struct Code {
    const char *file, *name, *symbol;
  };
  const Code codes[] = {{"codes.pdf", "EAN-13", "EAN-13:5901234123457"},
                        {"codes.pdf", "Code 128", "CODE-128:KORV-000123"},
                        {"codes.pdf", "QR", "QR-Code:https://korva.example/r/0042"},
                        {"screenshot.png", "screenshot's Code 128", "CODE-128:KORV-000123"}};
  bool scans = true;
  std::map<std::string, std::string> scanned;
  for (const char *way : kWays)
    for (const char *file : {"codes.pdf", "screenshot.png"})
      scanned[std::string(way) + file] =
          scan(printed[std::string(way) + "/" + file], work + "/scan.pbm");
  for (const Code &code : codes) {
    printf("%-34s", (std::string(code.name) + " scans").c_str());
    for (const char *way : kWays) {
      const bool ok = has(scanned[std::string(way) + code.file], code.symbol);
      printf(" %10s", ok ? "yes" : "NO");
      if (std::string(way) != "ideal")
        scans = scans && ok;
    }
    printf("\n");
  }

  double worst_tone = 0;
  std::vector<double> tone[2];
  for (int w = 0; w < 2; ++w)
    tone[w] = ramp_errors(printed[std::string(kWays[w]) + "/ramp.pdf"]);
  for (int k = 0; k < 9; ++k) {
    const double cups = k < int(tone[0].size()) ? tone[0][k] : 100;
    const double app = k < int(tone[1].size()) ? tone[1][k] : 100;
    printf("%-34s %10.1f %10.1f %10.1f\n",
           ("tone error, " + std::to_string(10 * (k + 1)) + " % patch (points)").c_str(), cups, app,
           0.0);
    worst_tone = std::max({worst_tone, cups, app});
  }

  // Sizes: the ink's box of each document, each way.
  auto differs = [](int a, int b) { return a > 0 && b > 0 ? std::fabs(double(a) / b - 1) : 1.0; };
  double size_diff = 0;
  for (const Document &doc : kDocuments) {
    const Box box[3] = {ink_box(printed[std::string("CUPS/") + doc.file]),
                        ink_box(printed[std::string("korvprint/") + doc.file]),
                        ink_box(printed[std::string("ideal/") + doc.file])};
    const bool pdf = std::string(doc.format) == "application/pdf";
    printf("%-34s %5d x%4d %5d x%4d", (std::string("ink of ") + doc.file + " (dots)").c_str(),
           box[0].width(), box[0].height(), box[1].width(), box[1].height());
    if (pdf)
      printf(" %5d x%4d\n", box[2].width(), box[2].height());
    else
      printf(" %10s\n", "-");
    // Pages are measured; images each way fits to the paper its own way.
    if (pdf)
      size_diff = std::max({size_diff, differs(box[0].width(), box[1].width()),
                            differs(box[0].height(), box[1].height())});
  }
  const Box photo[2] = {ink_box(printed["CUPS/photo.jpg"]),
                        ink_box(printed["korvprint/photo.jpg"])};
  printf("%-34s %9.1f%% %9.1f%% %10s\n", "photograph's ink share",
         100 * ink_share(printed["CUPS/photo.jpg"], photo[0]),
         100 * ink_share(printed["korvprint/photo.jpg"], photo[1]), "-");

  printf("\nGoals:\n");
  printf("  text within 1.5 x the ideal (%.1f): worst way %.1f: %s\n", text_ideal, text_worst,
         verdict(text_worst <= 1.5 * text_ideal));
  printf("  screenshot within 25 / 1000: worst way %.1f: %s\n", shot_worst,
         verdict(shot_worst <= 25));
  printf("  every code scans both ways: %s\n", verdict(scans));
  printf("  tone error at most 4 points a patch: worst %.1f: %s\n", worst_tone,
         verdict(worst_tone <= 4));
  printf("  both ways within 2 %% in size (PDF pages): at most %.1f %% apart: %s\n",
         size_diff * 100, verdict(size_diff <= 0.02));
  printf("\nPictures of what was printed: %s/{CUPS,korvprint,ideal}-*.png\n", work.c_str());
  printf("%s\n", met ? "all goals met" : "some goals NOT met");
  return met ? 0 : 1;
}
