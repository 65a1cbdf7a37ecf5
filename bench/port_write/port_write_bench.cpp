// Benchmark of the port layer's write path: the backend process's own CPU
// time (user + system, all threads, from getrusage) per MB of job data and
// the throughput in MB/s, for an Ostrel and a Kelpin printer, each written
// in the job mode's blocks of 10240 bytes.
//
// The printers are virtual (vprinter under umockdev), so the wall-clock
// figures mostly measure the emulation's round trips. The CPU figure is
// the one the target (0.25 s per MB) applies to; since the emulation runs
// inside the process (the umockdev preload answers every usbfs call over a
// socket), the same transfers are also timed straight through libusb, and
// the difference is the port layer's own share. The process re-runs
// itself with a private /tmp (the trace log grows by several lines per
// packet) and with the umockdev preload that libusb needs here.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "usbqrp.h"
#include "vprinter_client.h"

namespace {

double cpu_seconds() {
  struct rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 +
         usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6;
}

// The emulation's own cost: the same transfers per packet as the port
// layer makes (Ostrel: one modem-status request and one bulk write of 64
// bytes; Kelpin: one bulk write of 512 bytes under the transfer lock,
// beside the running monitor), straight through libusb, no trace lines.
double floor_cpu_per_mb(bool kelpin, int megabytes) {
  const int packet = kelpin ? 512 : 64;
  const long total = megabytes * 1024L * 1024L;
  std::vector<char> data(packet, 'f');
  double start = cpu_seconds();
  int pacing = 0;
  for (long sent = 0; sent < total; sent += packet) {
    if (!kelpin) {
      char status = 0;
      usb_control_msg(g_printer.handle, 0xC1, 0x08, 0, 0, &status, 1, 40000);
    }
    lock_usb();
    int result = usb_bulk_write(g_printer.handle2, 1, data.data(), packet, 40000);
    unlock_usb();
    if (result != packet) {
      fprintf(stderr, "floor: bulk write gave %d\n", result);
      return -1;
    }
    pacing += packet;
    if (!kelpin && pacing >= 1936) {
      pacing = 0;
      usleep(10000);
    }
  }
  return (cpu_seconds() - start) / megabytes;
}

struct Figures {
  double cpu_per_mb;
  double mb_per_s;
  double seconds;
};

bool run(const char *label, const char *profile, const char *uri, int megabytes,
         Figures *out) {
  korvtest::VPrinterServer server({profile});
  if (!server.ok()) {
    fprintf(stderr, "%s: vprinter: %s\n", label, server.error().c_str());
    return false;
  }
  if (QRP_OpenUsbPort(uri, 500000) != QRP_OPENPORT_OK) {
    fprintf(stderr, "%s: the open failed\n", label);
    return false;
  }
  std::vector<unsigned char> block(10240);
  for (size_t i = 0; i < block.size(); ++i)
    block[i] = static_cast<unsigned char>(' ' + i % 90);
  const long total = megabytes * 1024L * 1024L;
  long sent = 0;
  double cpu_start = cpu_seconds();
  auto wall_start = std::chrono::steady_clock::now();
  bool ok = true;
  while (sent < total) {
    int size = total - sent < 10240 ? static_cast<int>(total - sent) : 10240;
    if (QRP_WriteUsbPort(block.data(), size) != QRP_WRITEPORT_OK) {
      fprintf(stderr, "%s: a write failed after %ld bytes\n", label, sent);
      ok = false;
      break;
    }
    sent += size;
  }
  double cpu = cpu_seconds() - cpu_start;
  double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() -
                                              wall_start)
                    .count();
  double floor = ok ? floor_cpu_per_mb(strcmp(label, "kelpin") == 0, megabytes) : 0;
  QRP_CloseUsbPort();
  if (!ok || floor < 0)
    return false;
  double mb = sent / (1024.0 * 1024.0);
  out->cpu_per_mb = cpu / mb;
  out->mb_per_s = mb / wall;
  out->seconds = wall;
  printf("%-7s %3d MB  CPU %.3f s/MB  %.3f MB/s  (%.1f s wall, %.2f s CPU)\n",
         label, megabytes, out->cpu_per_mb, out->mb_per_s, wall, cpu);
  printf("        same transfers straight through libusb: %.3f s/MB; "
         "port layer's share: %.3f s/MB\n",
         floor, out->cpu_per_mb - floor);
  return true;
}

// Re-runs the program inside a private /tmp and under the umockdev
// preload, once.
void reexec_prepared(char **argv) {
  if (getenv("KORV_BENCH_PREPARED") != nullptr)
    return;
  setenv("KORV_BENCH_PREPARED", "1", 1);
  const char *preload = getenv("LD_PRELOAD");
  if (preload == nullptr || strstr(preload, "umockdev") == nullptr) {
    std::string value = KORV_UMOCKDEV_PRELOAD_PATH;
    if (preload != nullptr && *preload != '\0')
      value += std::string(":") + preload;
    setenv("LD_PRELOAD", value.c_str(), 1);
  }
  static char self[4096];
  ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  if (length <= 0) {
    perror("port_write_bench: /proc/self/exe");
    exit(1);
  }
  self[length] = '\0';
  std::vector<char *> args;
  args.push_back(const_cast<char *>(KORV_ISOLATE_PATH));
  args.push_back(self);
  for (char **arg = argv + 1; *arg != nullptr; ++arg)
    args.push_back(*arg);
  args.push_back(nullptr);
  execv(KORV_ISOLATE_PATH, args.data());
  perror("port_write_bench: exec");
  exit(1);
}

// CPU seconds per trace line: the per-line open, write, flush and close
// of the trace log, in this process as it runs.
double trace_line_cpu(int lines) {
  const char *text = "    -> Sent 64 bytes successfully, try #1.";
  double start = cpu_seconds();
  for (int i = 0; i < lines; ++i)
    QRP_UsbDebug(text);
  return (cpu_seconds() - start) / lines;
}

// The same measurement in a child without the umockdev preload, as the
// backend runs on a real system (same private /tmp).
double trace_line_cpu_unpreloaded(int lines) {
  char self[4096];
  ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  if (length <= 0)
    return -1;
  self[length] = '\0';
  std::string command = "env -u LD_PRELOAD '" + std::string(self) +
                        "' --trace-lines " + std::to_string(lines);
  FILE *child = popen(command.c_str(), "r");
  if (child == nullptr)
    return -1;
  double value = -1;
  if (fscanf(child, "%lf", &value) != 1)
    value = -1;
  pclose(child);
  return value;
}

} // namespace

int main(int argc, char **argv) {
  if (argc > 2 && strcmp(argv[1], "--trace-lines") == 0) {
    printf("%.9f\n", trace_line_cpu(atoi(argv[2])));
    return 0;
  }
  if (argc > 1 && (strcmp(argv[1], "--help") == 0 || atoi(argv[1]) <= 0)) {
    printf("usage: port_write_bench [MB per family, default 2]\n");
    return argc > 1 && strcmp(argv[1], "--help") == 0 ? 0 : 2;
  }
  reexec_prepared(argv);
  int megabytes = argc > 1 ? atoi(argv[1]) : 2;

  printf("Port write path against the virtual printer, blocks of 10240 bytes\n");
  printf("(target: at most 0.25 CPU s per MB on either family)\n");
  Figures ostrel{}, kelpin{};
  bool ok = run("ostrel", "ostrel", "usbkorv:/tr3000ax/1", megabytes, &ostrel) &&
            run("kelpin", "kelpin", "usbkorv:/tr3200ax/1", megabytes, &kelpin);
  if (!ok)
    return 1;

  // The trace log's share: three lines per packet (packet, sending, sent),
  // 16384 packets per MB for an Ostrel printer and 2048 for a Kelpin one.
  const int lines = 20000;
  double here = trace_line_cpu(lines);
  double real = trace_line_cpu_unpreloaded(lines);
  printf("trace line: %.1f us CPU under the emulation's preload, %.1f us "
         "without it\n",
         here * 1e6, real * 1e6);
  if (real > 0)
    printf("trace log without the emulation: ostrel %.3f s/MB, kelpin %.3f "
           "s/MB\n",
           real * 3 * 16384, real * 3 * 2048);
  return 0;
}
