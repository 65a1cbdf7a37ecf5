#include "backend_run.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>

#ifndef USBKORV_PATH
#error "USBKORV_PATH must name the usbkorv binary"
#endif

std::string usbkorv_path() { return USBKORV_PATH; }

namespace {

// In the child: a private copy of the mount table with /tmp read-only.
bool make_tmp_read_only() {
  if (unshare(CLONE_NEWNS) != 0)
    return false;
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
    return false;
  // MS_REC keeps a build tree that the test harness carried into /tmp.
  if (mount("/tmp", "/tmp", nullptr, MS_BIND | MS_REC, nullptr) != 0)
    return false;
  return mount(nullptr, "/tmp", nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY,
               nullptr) == 0;
}

} // namespace

bool can_make_tmp_read_only() {
  pid_t pid = fork();
  if (pid == 0) {
    if (!make_tmp_read_only())
      _exit(1);
    int fd = open("/tmp/korv-ro-probe", O_WRONLY | O_CREAT, 0600);
    _exit(fd < 0 && errno == EROFS ? 0 : 1);
  }
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid)
    return false;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

BackendRun run_usbkorv(const std::vector<std::string> &argv,
                       const BackendOptions &options) {
  // The backend may stop reading its input early; the rest must not end
  // this process.
  signal(SIGPIPE, SIG_IGN);

  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 ||
      pipe2(err, O_CLOEXEC) != 0)
    return {};

  std::vector<char *> args;
  for (const std::string &arg : argv)
    args.push_back(const_cast<char *>(arg.c_str()));
  args.push_back(nullptr);
  std::string path = usbkorv_path();

  pid_t pid = fork();
  if (pid == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    if (options.read_only_tmp && !make_tmp_read_only())
      _exit(125);
    execv(path.c_str(), args.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  close(err[1]);

  BackendRun run;
  size_t written = 0;
  int in_fd = in[1];
  if (options.input.empty()) {
    close(in_fd);
    in_fd = -1;
  } else {
    fcntl(in_fd, F_SETFL, O_NONBLOCK);
  }
  bool out_open = true, err_open = true;
  while (out_open || err_open) {
    struct pollfd fds[3] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0},
                            {in_fd, POLLOUT, 0}};
    fds[0].fd = out_open ? out[0] : -1;
    fds[1].fd = err_open ? err[0] : -1;
    if (poll(fds, 3, -1) < 0) {
      if (errno == EINTR)
        continue;
      break;
    }
    char buffer[65536];
    for (int i = 0; i < 2; ++i) {
      if (fds[i].revents == 0)
        continue;
      ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        (i == 0 ? run.out : run.err).append(buffer, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        (i == 0 ? out_open : err_open) = false;
      }
    }
    if (in_fd >= 0 && fds[2].revents != 0) {
      ssize_t n = write(in_fd, options.input.data() + written,
                        options.input.size() - written);
      if (n > 0)
        written += static_cast<size_t>(n);
      if ((n < 0 && errno != EAGAIN && errno != EINTR) ||
          written == options.input.size()) {
        close(in_fd);
        in_fd = -1;
      }
    }
  }
  if (in_fd >= 0)
    close(in_fd);
  close(out[0]);
  close(err[0]);

  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status))
    run.status = WEXITSTATUS(status);
  else if (WIFSIGNALED(status))
    run.status = 128 + WTERMSIG(status);
  return run;
}

std::string read_file(const std::string &path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

bool file_exists(const std::string &path) { return access(path.c_str(), F_OK) == 0; }

void write_file(const std::string &path, const std::string &data) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << data;
}

std::vector<std::string> split_lines(const std::string &text) {
  std::vector<std::string> lines;
  std::string line;
  std::istringstream stream(text);
  while (std::getline(stream, line))
    lines.push_back(line);
  return lines;
}

void fresh_logs(unsigned divisor) {
  unlink(BACKEND_LOG);
  unlink(TRACE_LOG);
  unlink(TIME_LOG);
  setenv("KORV_TIME_LOG", TIME_LOG, 1);
  setenv("KORV_TIME_DIVISOR", std::to_string(divisor).c_str(), 1);
}

std::vector<std::string> grep(const std::string &text, const std::string &needle) {
  std::vector<std::string> found;
  for (const std::string &line : split_lines(text))
    if (line.find(needle) != std::string::npos)
      found.push_back(line);
  return found;
}

std::string pattern_bytes(size_t length, unsigned seed) {
  std::string bytes(length, '\0');
  unsigned state = seed * 2654435761u + 1;
  for (size_t i = 0; i < length; ++i) {
    state = state * 1103515245u + 12345u;
    bytes[i] = static_cast<char>(state >> 16);
  }
  return bytes;
}

BackendProcess::BackendProcess(const std::vector<std::string> &argv) {
  ::signal(SIGPIPE, SIG_IGN);
  int in[2], err[2];
  if (pipe2(in, O_CLOEXEC) != 0)
    return;
  if (pipe2(err, O_CLOEXEC) != 0) {
    close(in[0]);
    close(in[1]);
    return;
  }
  std::vector<char *> args;
  for (const std::string &arg : argv)
    args.push_back(const_cast<char *>(arg.c_str()));
  args.push_back(nullptr);
  std::string path = usbkorv_path();
  pid_ = fork();
  if (pid_ == 0) {
    int null_fd = open("/dev/null", O_WRONLY);
    dup2(in[0], 0);
    dup2(null_fd, 1);
    dup2(err[1], 2);
    execv(path.c_str(), args.data());
    _exit(127);
  }
  close(in[0]);
  close(err[1]);
  in_ = in[1];
  err_ = err[0];
}

BackendProcess::~BackendProcess() {
  if (pid_ > 0 && status_ < 0) {
    kill(pid_, SIGKILL);
    wait();
  }
  close_input();
  if (err_ >= 0)
    close(err_);
}

bool BackendProcess::send(const std::string &data) {
  size_t done = 0;
  while (in_ >= 0 && done < data.size()) {
    ssize_t n = write(in_, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return false;
    done += static_cast<size_t>(n);
  }
  return done == data.size();
}

void BackendProcess::close_input() {
  if (in_ >= 0)
    close(in_);
  in_ = -1;
}

void BackendProcess::read_err(int timeout_ms) {
  if (err_ < 0)
    return;
  struct pollfd fd = {err_, POLLIN, 0};
  if (poll(&fd, 1, timeout_ms) <= 0)
    return;
  char buffer[4096];
  ssize_t n = read(err_, buffer, sizeof buffer);
  if (n > 0) {
    err_text_.append(buffer, static_cast<size_t>(n));
  } else if (n == 0) {
    close(err_);
    err_ = -1;
  }
}

bool BackendProcess::wait_err(const std::string &text, int timeout_ms) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (err_text_.find(text) == std::string::npos) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
    if (left.count() <= 0 || err_ < 0)
      return false;
    read_err(static_cast<int>(left.count()));
  }
  return true;
}

void BackendProcess::signal(int number) {
  if (pid_ > 0 && status_ < 0)
    kill(pid_, number);
}

int BackendProcess::wait() {
  while (err_ >= 0)
    read_err(-1);
  if (pid_ > 0 && status_ < 0) {
    int raw = 0;
    while (waitpid(pid_, &raw, 0) < 0 && errno == EINTR) {
    }
    status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
  }
  return status_;
}
