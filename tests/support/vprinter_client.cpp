// Test helpers for the virtual printer: see vprinter_client.h.
#include "vprinter_client.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <ftw.h>
#include <mutex>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char **environ;

namespace korvtest {
namespace {

std::mutex g_address_lock;
int g_next_bus = 10;
int g_next_dev = 2;

// Splits a profile into its top-level keys, honouring quoted values.
bool has_key(const std::string &profile, const std::string &key) {
  bool quoted = false, at_start = true;
  for (size_t i = 0; i < profile.size(); ++i) {
    char c = profile[i];
    if (quoted) {
      if (c == '\\')
        ++i;
      else if (c == '"')
        quoted = false;
      continue;
    }
    if (c == '"') {
      quoted = true;
    } else if (c == ',') {
      at_start = true;
      continue;
    } else if (at_start && c != ' ') {
      if (profile.compare(i, key.size() + 1, key + "=") == 0)
        return true;
    }
    if (c != ' ')
      at_start = false;
  }
  return false;
}

// Waits for a child with a deadline; kills it when the deadline passes.
int wait_child(pid_t pid, int timeout_ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  int status = 0;
  for (;;) {
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid)
      break;
    if (r < 0)
      return -1;
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool matches(const std::string &line, const std::string &printer, const std::string &event) {
  std::istringstream in(line);
  std::string p, e;
  in >> p >> e;
  return (printer.empty() || p == printer) && (event.empty() || e == event);
}

} // namespace

UsbAddress next_usb_address() {
  std::lock_guard<std::mutex> hold(g_address_lock);
  UsbAddress a{g_next_bus, g_next_dev};
  if (++g_next_dev > 127) {
    g_next_dev = 2;
    ++g_next_bus;
  }
  return a;
}

std::string with_address(const std::string &profile) {
  std::string out = profile;
  bool bus = has_key(profile, "bus"), dev = has_key(profile, "dev");
  if (bus && dev)
    return out;
  UsbAddress a = next_usb_address();
  if (!bus)
    out += ",bus=" + std::to_string(a.bus);
  if (!dev)
    out += ",dev=" + std::to_string(a.dev);
  return out;
}

std::string vprinter_path() {
  if (const char *p = getenv("KORV_VPRINTER"); p && *p)
    return p;
#ifdef KORV_VPRINTER_PATH
  return KORV_VPRINTER_PATH;
#else
  const char *build = getenv("KORV_BUILD_DIR");
  return std::string(build ? build : ".") + "/vprinter/vprinter";
#endif
}

std::string read_text(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::string make_temp_dir(const std::string &tag) {
  const char *tmp = getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/" + tag + ".XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  return mkdtemp(buf.data()) ? std::string(buf.data()) : std::string();
}

void remove_tree(const std::string &path) {
  if (path.empty())
    return;
  nftw(
      path.c_str(),
      [](const char *p, const struct stat *, int, struct FTW *) { return remove(p); }, 16,
      FTW_DEPTH | FTW_PHYS);
}

VPrinterServer::VPrinterServer(const std::vector<std::string> &profiles,
                               const std::vector<std::string> &extra_args) {
  workdir_ = make_temp_dir("vprinter-test");
  transcript_ = workdir_ + "/transcript.txt";
  capture_dir_ = workdir_ + "/capture";
  std::vector<std::string> args = {vprinter_path(), "serve", "--transcript", transcript_,
                                   "--capture-dir", capture_dir_};
  for (auto &s : profiles) {
    std::string profile = with_address(s);
    args.push_back("--printer");
    args.push_back(profile);
  }
  args.insert(args.end(), extra_args.begin(), extra_args.end());

  int in[2], out[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) {
    error_ = "pipe failed";
    return;
  }
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, in[0], 0);
  posix_spawn_file_actions_adddup2(&fa, out[1], 1);
  std::vector<char *> argv;
  for (auto &a : args)
    argv.push_back(a.data());
  argv.push_back(nullptr);
  int rc = posix_spawn(&pid_, argv[0], &fa, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  close(in[0]);
  close(out[1]);
  stdin_fd_ = in[1];
  if (rc != 0) {
    error_ = std::string("cannot start ") + argv[0] + ": " + strerror(rc);
    close(out[0]);
    pid_ = -1;
    return;
  }
  std::string line;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (line.find('\n') == std::string::npos) {
    struct pollfd fd = {out[0], POLLIN, 0};
    int left = int(std::chrono::duration_cast<std::chrono::milliseconds>(
                       deadline - std::chrono::steady_clock::now())
                       .count());
    if (left <= 0 || poll(&fd, 1, left) <= 0)
      break;
    char c[256];
    ssize_t n = read(out[0], c, sizeof c);
    if (n <= 0)
      break;
    line.append(c, size_t(n));
  }
  close(out[0]);
  const std::string prefix = "UMOCKDEV_DIR=";
  if (line.rfind(prefix, 0) != 0 || line.find('\n') == std::string::npos) {
    error_ = "vprinter serve did not start (exit status " + std::to_string(stop()) + ")";
    return;
  }
  umockdev_dir_ = line.substr(prefix.size(), line.find('\n') - prefix.size());
  for (auto &a : args) {
    if (a.find("bus=") == std::string::npos)
      continue;
    // The pair this helper chose or the profile gave.
    UsbAddress addr{0, 0};
    std::istringstream in(a);
    std::string item;
    while (std::getline(in, item, ',')) {
      if (item.rfind("bus=", 0) == 0)
        addr.bus = atoi(item.c_str() + 4);
      if (item.rfind("dev=", 0) == 0)
        addr.dev = atoi(item.c_str() + 4);
    }
    addresses_.push_back(addr);
  }
  setenv("UMOCKDEV_DIR", umockdev_dir_.c_str(), 1);
  ok_ = true;
}

VPrinterServer::~VPrinterServer() {
  stop();
  remove_tree(workdir_);
}

int VPrinterServer::stop() {
  // Only while it still names this server: a successor may have been
  // started before this one is destroyed (unique_ptr::reset).
  const char *current = getenv("UMOCKDEV_DIR");
  if (ok_ && current != nullptr && umockdev_dir_ == current)
    unsetenv("UMOCKDEV_DIR");
  if (stdin_fd_ >= 0) {
    close(stdin_fd_);
    stdin_fd_ = -1;
  }
  if (pid_ > 0) {
    status_ = wait_child(pid_, 20000);
    pid_ = -1;
  }
  return status_;
}

void VPrinterServer::command(const std::string &line) {
  if (stdin_fd_ < 0)
    return;
  std::string text = line + "\n";
  ssize_t n = write(stdin_fd_, text.data(), text.size());
  (void)n;
}

bool VPrinterServer::plug(const std::string &profile, const std::string &name) {
  command("plug " + with_address(profile));
  return wait_for(name, "plug");
}

std::vector<std::string> VPrinterServer::transcript(const std::string &printer,
                                                    const std::string &event) const {
  std::vector<std::string> out;
  std::istringstream in(read_text(transcript_));
  std::string line;
  while (std::getline(in, line))
    if (matches(line, printer, event))
      out.push_back(line);
  return out;
}

bool VPrinterServer::wait_for(const std::string &printer, const std::string &event, size_t count,
                              int timeout_ms) const {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    if (transcript(printer, event).size() >= count)
      return true;
    if (std::chrono::steady_clock::now() > deadline)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

std::vector<uint8_t> VPrinterServer::captured(const std::string &printer) const {
  std::string data = read_text(capture_dir_ + "/" + printer + ".bin");
  return std::vector<uint8_t>(data.begin(), data.end());
}

RunResult run_under_vprinter(const std::vector<std::string> &argv, const RunOptions &options) {
  RunResult result;
  std::vector<std::string> args = {vprinter_path()};
  for (auto &p : options.printers) {
    args.push_back("--printer");
    args.push_back(p);
  }
  args.insert(args.end(), options.vprinter_args.begin(), options.vprinter_args.end());
  if (!options.argv0.empty()) {
    args.push_back("--argv0");
    args.push_back(options.argv0);
  }
  args.push_back("--");
  args.insert(args.end(), argv.begin(), argv.end());

  std::vector<std::string> env;
  for (char **e = environ; *e; ++e)
    env.push_back(*e);
  env.insert(env.end(), options.env.begin(), options.env.end());

  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
    return result;
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, in[0], 0);
  posix_spawn_file_actions_adddup2(&fa, out[1], 1);
  posix_spawn_file_actions_adddup2(&fa, err[1], 2);
  std::vector<char *> cargv, cenv;
  for (auto &a : args)
    cargv.push_back(a.data());
  cargv.push_back(nullptr);
  for (auto &e : env)
    cenv.push_back(e.data());
  cenv.push_back(nullptr);
  pid_t pid;
  int rc = posix_spawn(&pid, cargv[0], &fa, nullptr, cargv.data(), cenv.data());
  posix_spawn_file_actions_destroy(&fa);
  close(in[0]);
  close(out[1]);
  close(err[1]);
  if (rc != 0) {
    close(in[1]);
    close(out[0]);
    close(err[0]);
    result.err = std::string("cannot start vprinter: ") + strerror(rc);
    return result;
  }
  // Feed standard input and drain both outputs together, so no pipe fills.
  size_t fed = 0;
  int in_fd = in[1];
  if (options.input.empty()) {
    close(in_fd);
    in_fd = -1;
  }
  fcntl(in_fd, F_SETFL, O_NONBLOCK);
  int open_outputs = 2;
  while (open_outputs > 0) {
    struct pollfd fds[3] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}, {in_fd, POLLOUT, 0}};
    if (poll(fds, in_fd >= 0 ? 3 : 2, -1) < 0 && errno != EINTR)
      break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
        continue;
      char buf[4096];
      ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        (i == 0 ? result.out : result.err).append(buf, size_t(n));
      } else {
        close(fds[i].fd);
        (i == 0 ? out[0] : err[0]) = -1;
        --open_outputs;
      }
    }
    if (in_fd >= 0 && (fds[2].revents & (POLLOUT | POLLERR | POLLHUP))) {
      ssize_t n = write(in_fd, options.input.data() + fed, options.input.size() - fed);
      if (n > 0)
        fed += size_t(n);
      if (n < 0 || fed >= options.input.size()) {
        close(in_fd);
        in_fd = -1;
      }
    }
  }
  if (in_fd >= 0)
    close(in_fd);
  result.status = wait_child(pid, 600000);
  return result;
}

} // namespace korvtest
