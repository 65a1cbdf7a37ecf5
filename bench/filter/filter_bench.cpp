// Benchmark of the filter korvbmpthreshold on large images: a 1152 x 12000
// 24-bit image and a 2304 x 12000 8-bit grey image, filtered for an 80 mm
// printer, against ImageMagick's convert doing the same kind of work
// (-threshold 50% -sample 576x) on the same files, and against the floor:
// a process that merely reads the input file and writes the result. Prints
// wall times, the ratios, processor times, and the filter's peak memory
// against input + output + 16 MiB.
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
#include <functional>
#include <string>
#include <vector>

#include "bitmap.h"

extern char** environ;

namespace {

struct Settings {
  std::string filter = KORV_FILTER_BIN;
  std::string ppd = KORV_PPD_80;
  std::string convert = KORV_CONVERT;
  std::string work = "/tmp/korv-filter-bench";
  int runs = 5;
  int convertRuns = 2;
};

struct Run {
  double seconds = 0;
  double cpuSeconds = 0;  // user and system time of the child
  long peakKiB = 0;
  int status = -1;
};

// Runs `child` in a forked process with stdout into `outPath`; wall time,
// processor time and peak resident memory of the child alone.
Run run_child(const std::function<void()>& child, const std::string& outPath) {
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(out, 1);
    child();
    _exit(127);
  }
  int status = 0;
  struct rusage usage = {};
  wait4(pid, &status, 0, &usage);
  const auto end = std::chrono::steady_clock::now();
  Run r;
  r.seconds = std::chrono::duration<double>(end - start).count();
  r.cpuSeconds = usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
                 (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  r.peakKiB = usage.ru_maxrss;
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

// Runs a program with stdout into `outPath`.
Run run(const std::vector<std::string>& argv, const std::string& outPath,
        const std::vector<std::string>& extraEnv) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    if (strncmp(*e, "PPD=", 4) != 0) env.emplace_back(*e);
  }
  env.insert(env.end(), extraEnv.begin(), extraEnv.end());
  std::vector<char*> envp, args;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::vector<std::string> argCopy = argv;
  for (auto& a : argCopy) args.push_back(a.data());
  args.push_back(nullptr);
  return run_child([&] { execve(args[0], args.data(), envp.data()); }, outPath);
}

// The floor of any filter's time: read the whole input file and write the
// result (held in memory) to standard output, nothing else.
Run run_floor(const std::string& inPath, const std::string& result, const std::string& outPath) {
  return run_child(
      [&] {
        const int in = open(inPath.c_str(), O_RDONLY);
        static char buffer[1 << 20];
        ssize_t got = 0;
        while (in >= 0 && (got = read(in, buffer, sizeof buffer)) > 0) {
        }
        size_t done = 0;
        while (done < result.size()) {
          const ssize_t n = write(1, result.data() + done, result.size() - done);
          if (n <= 0) _exit(1);
          done += static_cast<size_t>(n);
        }
        _exit(in >= 0 && got == 0 ? 0 : 1);
      },
      outPath);
}

// Best times and highest peak over several runs of `once`.
Run best_of(int runs, const std::function<Run()>& once) {
  Run best;
  best.seconds = 1e30;
  best.cpuSeconds = 1e30;
  for (int k = 0; k < runs; ++k) {
    const Run r = once();
    if (r.status != 0) {
      return r;
    }
    best.seconds = std::min(best.seconds, r.seconds);
    best.cpuSeconds = std::min(best.cpuSeconds, r.cpuSeconds);
    best.peakKiB = std::max(best.peakKiB, r.peakKiB);
    best.status = 0;
  }
  return best;
}

// Photograph-like content: smooth gradients with noise, so every threshold
// decision and every colour byte varies.
bool make_image(const std::string& path, uint64_t width, uint64_t height, uint16_t depth) {
  BMP* bmp = BMP_Create(width, height, depth);
  if (bmp == nullptr) return false;
  uint32_t seed = 12345;
  auto noise = [&seed] {
    seed = seed * 1103515245u + 12345u;
    return static_cast<int>(seed >> 27);  // 0..31
  };
  if (depth == 8) {
    for (int k = 0; k < 256; ++k) {
      const auto v = static_cast<uint8_t>(k);
      BMP_SetPaletteColor(bmp, v, v, v, v);
    }
  }
  const uint64_t bytes = depth / 8u;
  for (uint64_t y = 0; y < height; ++y) {
    uint8_t* row = BMP_GetRow(bmp, y);
    for (uint64_t x = 0; x < width; ++x) {
      for (uint64_t c = 0; c < bytes; ++c) {
        const int v = static_cast<int>((x * (c + 1) + y / 8) % 224) + noise();
        row[x * bytes + c] = static_cast<uint8_t>(v);
      }
    }
  }
  BMP_WriteFile(bmp, path.c_str());
  const bool ok = BMP_GetError() == BMP_ERR_NONE;
  BMP_Free(bmp);
  return ok;
}

long file_size(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : -1;
}

std::string file_bytes(const std::string& path) {
  std::string bytes;
  FILE* f = fopen(path.c_str(), "rb");
  if (f == nullptr) return bytes;
  char chunk[1 << 16];
  size_t n = 0;
  while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) bytes.append(chunk, n);
  fclose(f);
  return bytes;
}

void usage(const char* argv0) {
  fprintf(stderr,
          "usage: %s [--filter PATH] [--ppd PATH] [--convert PATH] [--work DIR] [--runs N]\n",
          argv0);
}

}  // namespace

int main(int argc, char** argv) {
  Settings s;
  for (int k = 1; k < argc; ++k) {
    const std::string arg = argv[k];
    if (k + 1 >= argc) {
      usage(argv[0]);
      return 2;
    }
    const std::string value = argv[++k];
    if (arg == "--filter") s.filter = value;
    else if (arg == "--ppd") s.ppd = value;
    else if (arg == "--convert") s.convert = value;
    else if (arg == "--work") s.work = value;
    else if (arg == "--runs") s.runs = std::max(1, atoi(value.c_str()));
    else {
      usage(argv[0]);
      return 2;
    }
  }
  mkdir(s.work.c_str(), 0755);

  struct Case {
    const char* name;
    uint64_t width, height;
    uint16_t depth;
  } cases[] = {{"rgb24-1152x12000", 1152, 12000, 24}, {"grey8-2304x12000", 2304, 12000, 8}};

  printf("korvbmpthreshold benchmark (80 mm printer, 576 dots; Threshold=50)\n");
  printf("filter:  %s\nconvert: %s\n\n", s.filter.c_str(),
         s.convert.empty() ? "(not found)" : s.convert.c_str());
  bool allMet = true;
  for (const Case& c : cases) {
    const std::string in = s.work + "/" + c.name + ".bmp";
    const std::string out = s.work + "/" + c.name + "-filter.bmp";
    const std::string imOut = s.work + "/" + c.name + "-convert.bmp";
    const std::string floorOut = s.work + "/" + c.name + "-floor.bmp";
    if (!make_image(in, c.width, c.height, c.depth)) {
      fprintf(stderr, "cannot write %s\n", in.c_str());
      return 1;
    }
    const Run f = best_of(s.runs, [&] {
      return run({s.filter, "1", "bench", "title", "1", "Threshold=50", in}, out, {"PPD=" + s.ppd});
    });
    if (f.status != 0) {
      fprintf(stderr, "the filter failed on %s (status %d)\n", in.c_str(), f.status);
      return 1;
    }
    const long inBytes = file_size(in);
    const long outBytes = file_size(out);
    const double limitMiB = (inBytes + outBytes) / 1048576.0 + 16.0;
    const double peakMiB = f.peakKiB / 1024.0;
    printf("%s: input %.1f MiB, output %.1f MiB\n", c.name, inBytes / 1048576.0,
           outBytes / 1048576.0);
    printf("  korvbmpthreshold  %8.3f s (best of %d)   peak %.1f MiB (limit %.1f MiB: %s)\n",
           f.seconds, s.runs, peakMiB, limitMiB, peakMiB <= limitMiB ? "met" : "NOT MET");
    allMet = allMet && peakMiB <= limitMiB;
    const std::string result = file_bytes(out);
    const Run floor = best_of(s.runs, [&] { return run_floor(in, result, floorOut); });
    if (floor.status != 0 || file_bytes(floorOut) != result) {
      fprintf(stderr, "the floor run failed on %s\n", in.c_str());
      return 1;
    }
    const double overFloor = f.seconds / floor.seconds;
    printf("  floor             %8.3f s (best of %d: read the input, write the result)\n",
           floor.seconds, s.runs);
    printf("  filter / floor %.2fx (target 2x: %s)\n", overFloor,
           overFloor <= 2.0 ? "met" : "NOT MET");
    // Processor time, which other work on the machine disturbs less; the
    // filter's includes loading libcups and its libraries.
    printf("  processor time: korvbmpthreshold %.3f s, floor %.3f s\n", f.cpuSeconds,
           floor.cpuSeconds);
    allMet = allMet && overFloor <= 2.0;
    if (!s.convert.empty()) {
      const Run m = best_of(s.convertRuns, [&] {
        return run({s.convert, in, "-threshold", "50%", "-sample", "576x", imOut}, "/dev/null", {});
      });
      if (m.status != 0) {
        fprintf(stderr, "convert failed on %s\n", in.c_str());
        return 1;
      }
      const double ratio = m.seconds / f.seconds;
      printf("  convert           %8.3f s (best of %d)   peak %.1f MiB\n", m.seconds,
             s.convertRuns, m.peakKiB / 1024.0);
      printf("  speed-up %.1fx (target 8x: %s)\n", ratio, ratio >= 8.0 ? "met" : "NOT MET");
      allMet = allMet && ratio >= 8.0;
    }
    unlink(in.c_str());
    unlink(out.c_str());
    unlink(imOut.c_str());
    unlink(floorOut.c_str());
  }
  printf("\n%s\n", allMet ? "all targets met" : "some targets NOT met");
  return allMet ? 0 : 1;
}
