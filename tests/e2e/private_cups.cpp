#include "private_cups.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <signal.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include <cups/cups.h>

extern char **environ;

namespace korvtest {

namespace {

using Clock = std::chrono::steady_clock;

long ms_since(Clock::time_point start) {
  return long(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

std::string read_whole(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool starts_with(const std::string &s, const char *prefix) {
  return s.rfind(prefix, 0) == 0;
}

int wait_status(int ws) {
  return WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
}

// The filters run as lp, which may not reach a suppressions file in the
// source tree (a home directory, say): such a file is copied into the
// scheduler's directory and the option points there.
std::string readable_by_filters(const std::string &options, const std::string &dir) {
  const std::string key = "suppressions=";
  size_t at = options.find(key);
  if (at == std::string::npos)
    return options;
  size_t start = at + key.size();
  size_t end = options.find(':', start);
  std::string path = options.substr(start, end == std::string::npos ? end : end - start);
  std::string copy = dir + "/" + std::filesystem::path(path).filename().string();
  std::error_code ec;
  std::filesystem::copy_file(path, copy, std::filesystem::copy_options::overwrite_existing, ec);
  if (ec)
    return options;
  chmod(copy.c_str(), 0644);
  return options.substr(0, start) + copy + (end == std::string::npos ? "" : options.substr(end));
}

} // namespace

const char *job_state_name(int state) {
  switch (state) {
  case kJobPending: return "pending";
  case kJobHeld: return "held";
  case kJobProcessing: return "processing";
  case kJobStopped: return "stopped";
  case kJobCanceled: return "canceled";
  case kJobAborted: return "aborted";
  case kJobCompleted: return "completed";
  default: return "unknown";
  }
}

std::vector<std::string> clean_environment(const std::vector<std::string> &extra) {
  std::vector<std::string> env;
  for (char **e = environ; *e != nullptr; ++e) {
    std::string s = *e;
    if (starts_with(s, "LD_PRELOAD=") || starts_with(s, "UMOCKDEV_DIR=") ||
        starts_with(s, "CUPS_SERVER="))
      continue;
    env.push_back(s);
  }
  env.insert(env.end(), extra.begin(), extra.end());
  return env;
}

CommandResult run_command(const std::vector<std::string> &argv,
                          const std::vector<std::string> &env) {
  CommandResult result;
  int out_pipe[2], err_pipe[2];
  if (argv.empty() || pipe2(out_pipe, O_CLOEXEC) != 0)
    return result;
  if (pipe2(err_pipe, O_CLOEXEC) != 0) {
    close(out_pipe[0]);
    close(out_pipe[1]);
    return result;
  }
  std::vector<std::string> args_copy = argv, env_copy = env;
  std::vector<char *> args, envp;
  for (auto &a : args_copy)
    args.push_back(a.data());
  args.push_back(nullptr);
  for (auto &e : env_copy)
    envp.push_back(e.data());
  envp.push_back(nullptr);

  pid_t pid = fork();
  if (pid == 0) {
    int null_fd = open("/dev/null", O_RDONLY);
    dup2(null_fd, 0);
    dup2(out_pipe[1], 1);
    dup2(err_pipe[1], 2);
    execvpe(args[0], args.data(), envp.data());
    dprintf(2, "cannot run %s: %s\n", args[0], strerror(errno));
    _exit(127);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);
  if (pid < 0) {
    close(out_pipe[0]);
    close(err_pipe[0]);
    return result;
  }
  struct pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
  std::string *sinks[2] = {&result.out, &result.err};
  int open_count = 2;
  while (open_count > 0) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR)
        continue;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0)
        continue;
      char buf[4096];
      ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        sinks[i]->append(buf, size_t(n));
      } else if (n == 0 || errno != EINTR) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_count;
      }
    }
  }
  for (auto &fd : fds)
    if (fd.fd >= 0)
      close(fd.fd);
  int ws = 0;
  while (waitpid(pid, &ws, 0) < 0 && errno == EINTR) {
  }
  result.status = wait_status(ws);
  return result;
}

PrivateCups::PrivateCups(const CupsOptions &options) {
  char templ[] = "/tmp/korvcups.XXXXXX";
  if (mkdtemp(templ) == nullptr) {
    error_ = std::string("mkdtemp: ") + strerror(errno);
    return;
  }
  dir_ = templ;
  socket_ = dir_ + "/cups.sock";

  CommandResult setup = run_command({KORV_PRIVATE_CUPS_SCRIPT, dir_, options.build_dir},
                                    clean_environment({}));
  if (setup.status != 0) {
    error_ = "private-cups.sh failed: " + setup.err;
    return;
  }

  // cupsd keeps from its own environment only what cups-files.conf passes
  // on (PassEnv); it must not run under the preload itself.
  std::vector<std::string> env = {
      "PATH=/usr/sbin:/usr/bin:/sbin:/bin",
      "UMOCKDEV_DIR=" + options.umockdev_dir,
      "KORV_CUPS_PRELOAD=" + options.preload,
      "KORV_TIME_DIVISOR=" + std::to_string(options.time_divisor),
      "KORV_TIME_LOG=" + time_log_path(),
  };
  for (const char *name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "TSAN_OPTIONS"})
    if (const char *value = getenv(name))
      env.push_back(std::string(name) + "=" + readable_by_filters(value, dir_));
  std::vector<char *> envp;
  for (auto &e : env)
    envp.push_back(e.data());
  envp.push_back(nullptr);
  std::string conf = dir_ + "/conf/cupsd.conf", files = dir_ + "/conf/cups-files.conf";
  std::string out_path = dir_ + "/log/cupsd.out";
  const char *args[] = {"cupsd", "-f", "-c", conf.c_str(), "-s", files.c_str(), nullptr};

  Clock::time_point start = Clock::now();
  pid_ = fork();
  if (pid_ == 0) {
    int null_fd = open("/dev/null", O_RDONLY);
    int out_fd = open(out_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    dup2(null_fd, 0);
    dup2(out_fd, 1);
    dup2(out_fd, 2);
    execvpe("cupsd", const_cast<char **>(args), envp.data());
    dprintf(2, "cannot run cupsd: %s\n", strerror(errno));
    _exit(127);
  }
  if (pid_ < 0) {
    error_ = std::string("fork: ") + strerror(errno);
    return;
  }
  while (ms_since(start) < 10000) {
    int ws;
    if (waitpid(pid_, &ws, WNOHANG) == pid_) {
      pid_ = -1;
      error_ = "cupsd ended with status " + std::to_string(wait_status(ws)) + ": " +
               read_whole(out_path) + error_log();
      return;
    }
    CommandResult r = run({"lpstat", "-r"});
    if (r.status == 0 && r.out.find("scheduler is running") != std::string::npos) {
      startup_ms_ = ms_since(start);
      ok_ = true;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  error_ = "cupsd did not answer within 10 s: " + error_log();
}

PrivateCups::~PrivateCups() {
  stop();
  if (!dir_.empty() && getenv("KORV_KEEP_CUPS_DIR") == nullptr) {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
}

void PrivateCups::stop() {
  if (pid_ <= 0)
    return;
  kill(pid_, SIGTERM);
  Clock::time_point start = Clock::now();
  int ws;
  while (waitpid(pid_, &ws, WNOHANG) == 0) {
    if (ms_since(start) > 10000) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &ws, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  pid_ = -1;
}

std::string PrivateCups::model_dir() const { return dir_ + "/stage" KORV_MODEL_DIR; }

std::string PrivateCups::error_log() const { return read_whole(dir_ + "/log/error_log"); }

CommandResult PrivateCups::run(const std::vector<std::string> &argv) const {
  return run_command(argv, clean_environment({"CUPS_SERVER=" + socket_}));
}

int PrivateCups::print(const std::string &queue, const std::string &file,
                       const std::vector<std::string> &options, std::string *message) const {
  std::vector<std::string> argv = {"lp", "-d", queue};
  for (auto &o : options) {
    argv.push_back("-o");
    argv.push_back(o);
  }
  argv.push_back(file);
  CommandResult r = run(argv);
  if (message != nullptr)
    *message = r.out + r.err;
  // "request id is QUEUE-N (1 file(s))"
  std::string marker = "request id is " + queue + "-";
  size_t at = r.out.find(marker);
  if (r.status != 0 || at == std::string::npos)
    return -1;
  return atoi(r.out.c_str() + at + marker.size());
}

int PrivateCups::job_state(int job_id) const {
  http_t *http = httpConnect2(socket_.c_str(), 0, nullptr, AF_UNSPEC, HTTP_ENCRYPTION_NEVER, 1,
                              5000, nullptr);
  if (http == nullptr)
    return -1;
  cups_job_t *jobs = nullptr;
  int count = cupsGetJobs2(http, &jobs, nullptr, 0, CUPS_WHICHJOBS_ALL);
  int state = -1;
  for (int i = 0; i < count; ++i)
    if (jobs[i].id == job_id)
      state = int(jobs[i].state);
  cupsFreeJobs(count, jobs);
  httpClose(http);
  return state;
}

int PrivateCups::wait_job(int job_id, int timeout_ms) const {
  Clock::time_point start = Clock::now();
  int state = job_state(job_id);
  while ((state == kJobPending || state == kJobHeld || state == kJobProcessing) &&
         ms_since(start) < timeout_ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    state = job_state(job_id);
  }
  return state;
}

} // namespace korvtest
