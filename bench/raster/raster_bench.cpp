// Benchmark of the raster path. Prints:
//  1. PDF to printer bytes through cupsfilter for a one-page receipt and a
//     20-page document (samples/make-documents.sh): the whole chain, the
//     rasterizer alone (pdftopdf + gstoraster, to CUPS raster) and
//     rastertokorv alone on that raster; target: rastertokorv under 10 %
//     of the chain's time (its share of the processor time is shown too).
//  2. rastertokorv against ImageMagick's convert -dither FloydSteinberg
//     -monochrome on the same long grey raster (576 x 16000, photo-like;
//     ImageMagick's default policy takes images of up to 16000 rows),
//     both writing a 24-bit BMP; target: at least 5 x faster.
//  3. rastertokorv's peak memory on that raster; target: under 16 MiB plus
//     one bit per dot of the job.
#include <cups/raster.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "catalogue.h"

extern char **environ;

namespace {

namespace fs = std::filesystem;

struct Run {
  double seconds = 0;
  double cpu = 0; // user + system seconds of the program and its children
  long peak_kib = 0;
  int status = -1;
};

// Runs argv with standard input from in_path (or /dev/null) and standard
// output into out_path; wall time and the child's peak resident memory.
Run run(const std::vector<std::string> &argv, const std::string &in_path,
        const std::string &out_path, const std::vector<std::string> &extra_env = {}) {
  std::vector<std::string> env;
  for (char **e = environ; *e != nullptr; ++e)
    if (strncmp(*e, "PPD=", 4) != 0)
      env.emplace_back(*e);
  env.insert(env.end(), extra_env.begin(), extra_env.end());
  std::vector<char *> envp, args;
  for (auto &e : env)
    envp.push_back(e.data());
  envp.push_back(nullptr);
  std::vector<std::string> copy = argv;
  for (auto &a : copy)
    args.push_back(a.data());
  args.push_back(nullptr);

  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    const int in = open(in_path.empty() ? "/dev/null" : in_path.c_str(), O_RDONLY);
    const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int null = open("/dev/null", O_WRONLY);
    dup2(in, 0);
    dup2(out, 1);
    dup2(null, 2);
    execve(args[0], args.data(), envp.data());
    _exit(127);
  }
  int status = 0;
  struct rusage usage = {};
  wait4(pid, &status, 0, &usage);
  Run r;
  r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  r.peak_kib = usage.ru_maxrss;
  r.cpu = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
          double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

Run best_of(int runs, const std::vector<std::string> &argv, const std::string &in,
            const std::string &out, const std::vector<std::string> &env = {}) {
  Run best;
  best.seconds = 1e30;
  for (int k = 0; k < runs; ++k) {
    const Run r = run(argv, in, out, env);
    if (r.status != 0)
      return r;
    if (r.seconds < best.seconds)
      best.cpu = r.cpu;
    best.seconds = std::min(best.seconds, r.seconds);
    best.peak_kib = std::max(best.peak_kib, r.peak_kib);
    best.status = 0;
  }
  return best;
}

// Photo-like grey: smooth waves with noise, every level used.
int grey_at(unsigned x, unsigned y, uint32_t &seed) {
  seed = seed * 1103515245u + 12345u;
  const int wave =
      int(127 + 100 * ((x * 3 + y) % 512 < 256 ? 1 : -1) * (((x * 3 + y) % 256) / 255.0 - 0.5));
  return std::clamp(wave + int(seed >> 27) - 16, 0, 255);
}

// The same rows as an uncompressed CUPS raster (what gstoraster writes)
// and as a PGM for ImageMagick.
bool make_grey(const std::string &raster_path, const std::string &pgm_path, unsigned width,
               unsigned height) {
  const int fd = open(raster_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  cups_raster_t *r = cupsRasterOpen(fd, CUPS_RASTER_WRITE);
  std::ofstream pgm(pgm_path, std::ios::binary);
  if (fd < 0 || r == nullptr || !pgm)
    return false;
  pgm << "P5\n" << width << " " << height << "\n255\n";
  cups_page_header2_t h;
  memset(&h, 0, sizeof h);
  h.HWResolution[0] = h.HWResolution[1] = 203;
  h.cupsWidth = width;
  h.cupsHeight = height;
  h.cupsColorSpace = CUPS_CSPACE_K;
  h.cupsBitsPerColor = h.cupsBitsPerPixel = 8;
  h.cupsBytesPerLine = width;
  h.NumCopies = 1;
  cupsRasterWriteHeader2(r, &h);
  std::vector<unsigned char> row(width), grey(width);
  uint32_t seed = 1;
  for (unsigned y = 0; y < height; ++y) {
    for (unsigned x = 0; x < width; ++x) {
      grey[x] = (unsigned char)grey_at(x, y, seed);
      row[x] = (unsigned char)(255 - grey[x]); // K: 0 is white
    }
    cupsRasterWritePixels(r, row.data(), width);
    pgm.write(reinterpret_cast<const char *>(grey.data()), width);
  }
  cupsRasterClose(r);
  close(fd);
  return bool(pgm);
}

long file_size(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? long(st.st_size) : -1;
}

} // namespace

int main(int argc, char **argv) {
  std::string work = argc > 1 ? argv[1] : "/tmp/korv-raster-bench";
  const int runs = argc > 2 ? std::max(1, atoi(argv[2])) : 3;
  const std::string ppd = KORV_PPD_80;
  fs::create_directories(work);

  // The documents, and cupsfilter with the system's filters and this
  // build's rastertokorv.
  if (run({"/bin/sh", KORV_SOURCE_DIR "/samples/make-documents.sh", work}, "", "/dev/null")
          .status != 0) {
    fprintf(stderr, "samples/make-documents.sh failed\n");
    return 1;
  }
  const std::string filters = work + "/serverbin/filter";
  fs::remove_all(work + "/serverbin");
  fs::create_directories(filters);
  for (const auto &entry : fs::directory_iterator(KORV_SYSTEM_FILTERS))
    fs::create_symlink(entry.path(), filters + "/" + entry.path().filename().string());
  fs::create_symlink(KORV_RASTERTOKORV, filters + "/rastertokorv");
  std::ofstream(work + "/cups-files.conf")
      << "ServerBin " << work << "/serverbin\nDataDir " << KORV_CUPS_DATADIR << "\n";
  const std::string conf = work + "/cups-files.conf";

  bool all_met = true;
  printf("raster path benchmark (80 mm printer, %d dots; best of %d)\n\n", KORV_HEAD_DOTS_80MM,
         runs);
  printf("1. PDF to printer bytes through cupsfilter\n");
  for (const char *doc : {"receipt.pdf", "long.pdf"}) {
    const std::string pdf = work + "/" + doc;
    const std::string raster = work + "/" + doc + ".ras";
    const std::string bmp = work + "/" + doc + ".bmp";
    const Run whole = best_of(
        runs, {KORV_CUPSFILTER, "-c", conf, "-p", ppd, "-m", "printer/bench", "-e", pdf}, "", bmp);
    const Run rasterize = best_of(
        runs, {KORV_CUPSFILTER, "-c", conf, "-p", ppd, "-m", "application/vnd.cups-raster", pdf},
        "", raster);
    const Run filter = best_of(runs, {KORV_RASTERTOKORV, "1", "bench", doc, "1", ""}, raster,
                               "/dev/null", {"PPD=" + ppd});
    if (whole.status != 0 || rasterize.status != 0 || filter.status != 0) {
      fprintf(stderr, "the chain failed on %s\n", doc);
      return 1;
    }
    // rastertokorv's share of the whole chain's time, and of the processor
    // time of rasterizer and filter (wall time on a shared machine also
    // holds the waits for the disk the files go to).
    const double share = filter.seconds / whole.seconds * 100;
    const double cpu_share = filter.cpu / (rasterize.cpu + filter.cpu) * 100;
    printf("  %s: %ld KiB of raster, %ld KiB to the printer\n"
           "    whole chain %.3f s; rasterizer alone %.3f s (%.3f s CPU), rastertokorv alone "
           "%.3f s (%.3f s CPU)\n"
           "    rastertokorv's share: %.1f %% of the chain's time (target under 10 %%: %s), "
           "%.1f %% of the CPU time\n",
           doc, file_size(raster) / 1024, file_size(bmp) / 1024, whole.seconds, rasterize.seconds,
           rasterize.cpu, filter.seconds, filter.cpu, share, share < 10 ? "met" : "NOT MET",
           cpu_share);
    all_met = all_met && share < 10;
  }

  const unsigned width = KORV_HEAD_DOTS_80MM, height = 16000;
  const std::string raster = work + "/grey.ras", pgm = work + "/grey.pgm";
  if (!make_grey(raster, pgm, width, height)) {
    fprintf(stderr, "cannot write the grey raster\n");
    return 1;
  }
  printf("\n2. a long grey raster, %u x %u (%.1f m of paper)\n", width, height,
         height / 203.0 * 0.0254);
  const Run ours = best_of(runs, {KORV_RASTERTOKORV, "1", "bench", "grey", "1", ""}, raster,
                           work + "/grey-ours.bmp", {"PPD=" + ppd});
  printf("  (both write a 24-bit BMP file of the dithered rows)\n");
  if (ours.status != 0) {
    fprintf(stderr, "rastertokorv failed on the grey raster (status %d)\n", ours.status);
    return 1;
  }
  printf("  rastertokorv  %.3f s\n", ours.seconds);
  if (std::string(KORV_CONVERT).empty()) {
    printf("  convert: not found\n");
  } else {
    const Run im = best_of(std::max(1, runs / 2),
                           {KORV_CONVERT, pgm, "-dither", "FloydSteinberg", "-monochrome", "-type",
                            "TrueColor", "BMP3:" + work + "/grey-convert.bmp"},
                           "", "/dev/null");
    if (im.status != 0) {
      fprintf(stderr, "convert failed\n");
      return 1;
    }
    const double ratio = im.seconds / ours.seconds;
    printf("  convert       %.3f s\n  speed-up %.1fx (target at least 5x: %s)\n", im.seconds, ratio,
           ratio >= 5 ? "met" : "NOT MET");
    all_met = all_met && ratio >= 5;
  }

  const double job_mib = double(width) * height / 8 / 1048576;
  const double peak_mib = ours.peak_kib / 1024.0;
  printf("\n3. rastertokorv's peak memory on it: %.1f MiB (target under 16 MiB + %.1f MiB "
         "of job bits: %s)\n",
         peak_mib, job_mib, peak_mib < 16 + job_mib ? "met" : "NOT MET");
  all_met = all_met && peak_mib < 16 + job_mib;

  printf("\n%s\n", all_met ? "all targets met" : "some targets NOT met");
  return all_met ? 0 : 1;
}
