// vprinter: virtual USB receipt printers for tests and demos.
//
//   vprinter [options] -- command [args...]   run a command against them
//   vprinter serve [options]                  serve until EOF or SIGTERM
//
// The printers live in a umockdev testbed; this process answers every
// usbfs request from its own ioctl handlers. See README.md.
#include "model.h"

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <signal.h>
#include <sstream>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace vp;

const char *const kDefaultPreload = "/usr/lib/x86_64-linux-gnu/libumockdev-preload.so.0";

struct Options {
  bool serve = false;
  std::vector<PrinterProfile> printers;
  std::string transcript;
  std::string capture_dir;
  std::string preload;
  std::string argv0; // argv[0] for the command, e.g. a CUPS device URI
  std::vector<std::string> command;
};

void usage(FILE *out) {
  fprintf(out,
          "usage: vprinter [options] -- command [args...]\n"
          "       vprinter serve [options]\n"
          "options:\n"
          "  --printer PROFILE      add a printer: [family,]key=value,... (repeatable)\n"
          "  --config FILE       add the printers of a config file ([name] sections)\n"
          "  --transcript FILE   append one line per event to FILE\n"
          "  --capture-dir DIR   write each printer's bulk OUT bytes to DIR/<name>.bin\n"
          "  --argv0 TEXT        run the command with this argv[0]\n"
          "  --preload PATH      the umockdev preload library (default %s)\n"
          "  --help              this text\n",
          kDefaultPreload);
}

bool is_umockdev_preload(const std::string &entry) {
  return entry.find("libumockdev-preload") != std::string::npos;
}

std::vector<std::string> split_preload(const char *value) {
  std::vector<std::string> out;
  std::string cur;
  for (const char *s = value ? value : ""; *s; ++s) {
    if (*s == ':' || *s == ' ') {
      if (!cur.empty())
        out.push_back(cur);
      cur.clear();
    } else {
      cur += *s;
    }
  }
  if (!cur.empty())
    out.push_back(cur);
  return out;
}

// The testbed must be made by a process that umockdev does not redirect:
// drop its preload (re-executing, since it is already loaded) and
// UMOCKDEV_DIR. The caller's other preloads stay.
void leave_mock_environment(char **argv) {
  const char *preload = getenv("LD_PRELOAD");
  std::vector<std::string> entries = split_preload(preload);
  std::string kept;
  bool had = false;
  for (auto &e : entries) {
    if (is_umockdev_preload(e)) {
      had = true;
      continue;
    }
    if (!kept.empty())
      kept += ':';
    kept += e;
  }
  unsetenv("UMOCKDEV_DIR");
  if (!had)
    return;
  if (kept.empty())
    unsetenv("LD_PRELOAD");
  else
    setenv("LD_PRELOAD", kept.c_str(), 1);
  execv("/proc/self/exe", argv);
  fprintf(stderr, "vprinter: cannot re-execute itself: %s\n", strerror(errno));
  exit(125);
}

bool read_file(const std::string &path, std::string &out) {
  std::ifstream in(path, std::ios::binary);
  if (!in)
    return false;
  std::ostringstream ss;
  ss << in.rdbuf();
  out = ss.str();
  return true;
}

int parse_args(int argc, char **argv, Options &o) {
  int i = 1;
  if (i < argc && strcmp(argv[i], "serve") == 0) {
    o.serve = true;
    ++i;
  }
  std::string err;
  for (; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&](const char *name, std::string &out) {
      std::string prefix = std::string(name) + "=";
      if (a.rfind(prefix, 0) == 0) {
        out = a.substr(prefix.size());
        return true;
      }
      if (a == name) {
        if (i + 1 >= argc) {
          fprintf(stderr, "vprinter: %s needs a value\n", name);
          exit(2);
        }
        out = argv[++i];
        return true;
      }
      return false;
    };
    std::string v;
    if (a == "--") {
      for (++i; i < argc; ++i)
        o.command.push_back(argv[i]);
      break;
    } else if (a == "--help" || a == "-h") {
      usage(stdout);
      exit(0);
    } else if (value("--printer", v)) {
      PrinterProfile p;
      if (!parse_printer_profile(v, p, err)) {
        fprintf(stderr, "vprinter: --printer %s: %s\n", v.c_str(), err.c_str());
        return 2;
      }
      o.printers.push_back(p);
    } else if (value("--config", v)) {
      std::string text;
      if (!read_file(v, text)) {
        fprintf(stderr, "vprinter: cannot read %s: %s\n", v.c_str(), strerror(errno));
        return 2;
      }
      if (!parse_config(text, o.printers, err)) {
        fprintf(stderr, "vprinter: %s: %s\n", v.c_str(), err.c_str());
        return 2;
      }
    } else if (value("--transcript", v)) {
      o.transcript = v;
    } else if (value("--capture-dir", v)) {
      o.capture_dir = v;
    } else if (value("--argv0", v)) {
      o.argv0 = v;
    } else if (value("--preload", v)) {
      o.preload = v;
    } else {
      fprintf(stderr, "vprinter: unknown argument '%s'\n", a.c_str());
      usage(stderr);
      return 2;
    }
  }
  if (o.serve && !o.command.empty()) {
    fprintf(stderr, "vprinter: serve takes no command\n");
    return 2;
  }
  if (!o.serve && o.command.empty()) {
    fprintf(stderr, "vprinter: no command given (use -- command, or serve)\n");
    usage(stderr);
    return 2;
  }
  if (!finish_profiles(o.printers, err)) {
    fprintf(stderr, "vprinter: %s\n", err.c_str());
    return 2;
  }
  return 0;
}

// Runs fn on the worker (where the device state lives) and waits for it.
void on_worker(const std::function<void()> &fn) {
  GMainContext *ctx;
  {
    std::lock_guard<std::mutex> hold(g_lock);
    ctx = g_worker_ctx;
    if (ctx == nullptr) { // no request yet: nothing runs there
      fn();
      return;
    }
  }
  struct Job {
    const std::function<void()> *fn;
    std::mutex m;
    std::condition_variable c;
    bool done = false;
  } job;
  job.fn = &fn;
  g_main_context_invoke(
      ctx,
      [](gpointer data) -> gboolean {
        auto *j = static_cast<Job *>(data);
        {
          std::lock_guard<std::mutex> hold(g_lock);
          (*j->fn)();
        }
        std::lock_guard<std::mutex> hold(j->m);
        j->done = true;
        j->c.notify_one();
        return G_SOURCE_REMOVE;
      },
      &job);
  std::unique_lock<std::mutex> wait(job.m);
  job.c.wait(wait, [&] { return job.done; });
}

UMockdevTestbed *g_testbed = nullptr;

// Serve mode: puts one more printer on the buses, as if plugged in now.
// Its profile is finished (name, IDs, strings, address) as the printers
// of the command line are, after them.
void plug_printer(const std::string &text) {
  PrinterProfile profile;
  std::string err;
  if (!parse_printer_profile(text, profile, err)) {
    fprintf(stderr, "vprinter: plug %s: %s\n", text.c_str(), err.c_str());
    return;
  }
  std::vector<PrinterProfile> all;
  {
    std::lock_guard<std::mutex> hold(g_lock);
    for (auto &p : g_printers)
      all.push_back(p->profile);
  }
  all.push_back(profile);
  auto p = std::make_unique<Printer>();
  if (!finish_profiles(all, err) || !build_descriptors(all.back(), p->desc, err)) {
    fprintf(stderr, "vprinter: plug %s: %s\n", text.c_str(), err.c_str());
    return;
  }
  p->profile = all.back();
  printer_init(*p);
  // Ready before its node appears: the worker serves it from then on. A
  // printer whose node could not be made is still kept (as unplugged), so
  // that its name and address are never handed out again.
  bool attached = record_add_capture(*p, err) && usbfs_attach(g_testbed, *p, err);
  if (!attached)
    fprintf(stderr, "vprinter: plug %s: %s\n", text.c_str(), err.c_str());
  std::lock_guard<std::mutex> hold(g_lock);
  Printer *added = p.get();
  g_printers.push_back(std::move(p));
  if (!attached)
    return;
  record_line(*added, fmt("plug bus=%d dev=%d", added->profile.bus, added->profile.dev));
}

Printer *find_printer(const std::string &name) {
  for (auto &p : g_printers)
    if (p->profile.name == name)
      return p.get();
  return nullptr;
}

// Serve-mode commands on standard input, one per line.
void run_command(const std::string &line) {
  std::istringstream in(line);
  std::string verb, name, arg;
  in >> verb >> name >> arg;
  if (verb.empty() || verb[0] == '#')
    return;
  if (verb == "plug") {
    size_t at = line.find("plug") + 4;
    size_t start = line.find_first_not_of(" \t", at);
    plug_printer(start == std::string::npos ? "" : line.substr(start));
    return;
  }
  Printer *p = find_printer(name);
  if (p == nullptr) {
    fprintf(stderr, "vprinter: command '%s': no printer named '%s'\n", line.c_str(), name.c_str());
    return;
  }
  if (verb == "dsr" && (arg == "0" || arg == "1")) {
    on_worker([p, arg] { printer_set_ready(*p, arg == "1"); });
  } else if (verb == "bulk_in") {
    std::vector<uint8_t> bytes;
    if (!parse_hex_bytes(arg, bytes) || bytes.empty()) {
      fprintf(stderr, "vprinter: command '%s': bad hex\n", line.c_str());
      return;
    }
    on_worker([p, bytes] {
      p->bulk_in.push_back(BulkInItem{false, bytes});
      printer_kick(*p);
    });
  } else if (verb == "notify") {
    on_worker([p] { printer_queue_notification(*p); });
  } else if (verb == "vanish") {
    on_worker([p] { printer_vanish(*p); });
  } else {
    fprintf(stderr, "vprinter: unknown command '%s'\n", line.c_str());
  }
}

// Waits (briefly) until the clients that a finished program left behind
// are seen closed, so the transcript ends with their close lines.
void settle_clients() {
  for (int i = 0; i < 100; ++i) {
    bool any = false;
    on_worker([&] {
      for (auto &p : g_printers) {
        usbfs_check_clients(*p);
        any = any || !p->clients.empty();
      }
    });
    if (!any)
      return;
    g_usleep(5000);
  }
}

std::vector<std::string> child_environment(const std::string &root, const std::string &preload) {
  std::vector<std::string> env;
  std::string ld = preload;
  std::string asan = "verify_asan_link_order=0";
  for (char **e = environ; *e; ++e) {
    std::string s = *e;
    if (s.rfind("LD_PRELOAD=", 0) == 0) {
      // The caller's preloads first (libasan must lead when it is there),
      // umockdev's last.
      std::string kept;
      for (auto &entry : split_preload(s.c_str() + 11))
        if (!is_umockdev_preload(entry))
          kept += entry + ":";
      ld = kept + preload;
    } else if (s.rfind("ASAN_OPTIONS=", 0) == 0) {
      std::string v = s.substr(13);
      asan = v.find("verify_asan_link_order") != std::string::npos ? v : v + ":" + asan;
    } else if (s.rfind("UMOCKDEV_DIR=", 0) != 0) {
      env.push_back(s);
    }
  }
  env.push_back("LD_PRELOAD=" + ld);
  env.push_back("UMOCKDEV_DIR=" + root);
  env.push_back("ASAN_OPTIONS=" + asan);
  return env;
}

} // namespace

int main(int argc, char **argv) {
  leave_mock_environment(argv);
  signal(SIGPIPE, SIG_IGN);

  Options o;
  if (int rc = parse_args(argc, argv, o))
    return rc;
  if (o.preload.empty()) {
    const char *env = getenv("KORV_UMOCKDEV_PRELOAD");
    o.preload = env && *env ? env : kDefaultPreload;
  }

  std::string err;
  for (auto &profile : o.printers) {
    auto p = std::make_unique<Printer>();
    p->profile = profile;
    if (!build_descriptors(p->profile, p->desc, err)) {
      fprintf(stderr, "vprinter: %s\n", err.c_str());
      return 2;
    }
    printer_init(*p);
    g_printers.push_back(std::move(p));
  }
  if (!o.capture_dir.empty())
    mkdir(o.capture_dir.c_str(), 0755);
  if (!record_open(o.transcript, o.capture_dir, err)) {
    fprintf(stderr, "vprinter: %s\n", err.c_str());
    return 2;
  }

  // Signals are taken through a signalfd; the worker thread that the
  // testbed starts inherits the mask and never sees them.
  sigset_t mask;
  sigemptyset(&mask);
  for (int s : {SIGINT, SIGTERM, SIGHUP, SIGCHLD})
    sigaddset(&mask, s);
  sigprocmask(SIG_BLOCK, &mask, nullptr);
  int sfd = signalfd(-1, &mask, SFD_CLOEXEC);

  UMockdevTestbed *testbed = umockdev_testbed_new();
  g_testbed = testbed;
  gchar *root_c = umockdev_testbed_get_root_dir(testbed);
  std::string root = root_c;
  g_free(root_c);
  g_mkdir_with_parents((root + "/dev/bus/usb").c_str(), 0755);
  for (auto &p : g_printers) {
    if (!usbfs_attach(testbed, *p, err)) {
      fprintf(stderr, "vprinter: %s\n", err.c_str());
      g_object_unref(testbed);
      return 2;
    }
  }

  {
    std::lock_guard<std::mutex> hold(g_lock);
    usbfs_note_sockets();
  }

  int status = 0;
  if (o.serve) {
    printf("UMOCKDEV_DIR=%s\n", root.c_str());
    fflush(stdout);
    std::string pending;
    bool running = true;
    while (running) {
      struct pollfd fds[2] = {{sfd, POLLIN, 0}, {0, POLLIN, 0}};
      if (poll(fds, 2, -1) < 0 && errno != EINTR)
        break;
      if (fds[0].revents & POLLIN) {
        signalfd_siginfo si;
        if (read(sfd, &si, sizeof si) == sizeof si && si.ssi_signo != SIGCHLD)
          running = false;
      }
      if (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) {
        char buf[4096];
        ssize_t n = read(0, buf, sizeof buf);
        if (n <= 0) {
          running = false;
        } else {
          pending.append(buf, size_t(n));
          size_t nl;
          while ((nl = pending.find('\n')) != std::string::npos) {
            run_command(pending.substr(0, nl));
            pending.erase(0, nl + 1);
          }
        }
      }
    }
  } else {
    std::vector<std::string> env = child_environment(root, o.preload);
    std::vector<char *> envp, args;
    for (auto &e : env)
      envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string program = o.command[0];
    if (!o.argv0.empty())
      o.command[0] = o.argv0;
    for (auto &a : o.command)
      args.push_back(a.data());
    args.push_back(nullptr);
    pid_t child = fork();
    if (child == 0) {
      sigprocmask(SIG_UNBLOCK, &mask, nullptr);
      signal(SIGPIPE, SIG_DFL);
      execvpe(program.c_str(), args.data(), envp.data());
      fprintf(stderr, "vprinter: cannot run %s: %s\n", program.c_str(), strerror(errno));
      _exit(127);
    }
    if (child < 0) {
      fprintf(stderr, "vprinter: fork: %s\n", strerror(errno));
      status = 125;
    }
    while (child > 0) {
      int ws;
      pid_t r = waitpid(child, &ws, WNOHANG);
      if (r == child) {
        status = WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
        break;
      }
      struct pollfd fd = {sfd, POLLIN, 0};
      if (poll(&fd, 1, -1) > 0) {
        signalfd_siginfo si;
        if (read(sfd, &si, sizeof si) == sizeof si && si.ssi_signo != SIGCHLD)
          kill(child, int(si.ssi_signo));
      }
    }
  }

  settle_clients();
  {
    std::lock_guard<std::mutex> hold(g_lock);
    record_close();
    g_stopped = true;
  }
  // The worker may still run a moment after the testbed is gone; leave
  // without tearing down the state it looks at.
  g_object_unref(testbed);
  fflush(stdout);
  fflush(stderr);
  _exit(status);
}
