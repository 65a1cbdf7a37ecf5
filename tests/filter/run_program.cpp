#include "run_program.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace korvtest {

namespace {

void drain(int outFd, int errFd, Bytes& out, std::string& err) {
  std::vector<pollfd> fds;
  if (outFd >= 0) fds.push_back({outFd, POLLIN, 0});
  fds.push_back({errFd, POLLIN, 0});
  char buffer[65536];
  while (!fds.empty()) {
    if (poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (size_t k = 0; k < fds.size();) {
      if (fds[k].revents == 0) {
        ++k;
        continue;
      }
      const ssize_t n = read(fds[k].fd, buffer, sizeof buffer);
      if (n > 0) {
        if (fds[k].fd == outFd) {
          out.insert(out.end(), buffer, buffer + n);
        } else {
          err.append(buffer, static_cast<size_t>(n));
        }
        ++k;
      } else {
        fds.erase(fds.begin() + static_cast<long>(k));
      }
    }
  }
}

}  // namespace

RunResult run_program(const std::string& program, const std::vector<std::string>& argv,
                      const RunOptions& options) {
  // Feeding a program that stopped reading must not end the test.
  signal(SIGPIPE, SIG_IGN);
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    if (strncmp(*e, "PPD=", 4) != 0) env.emplace_back(*e);
  }
  if (options.ppd) env.push_back("PPD=" + *options.ppd);
  std::vector<char*> envp, args;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::vector<std::string> argCopy = argv;
  for (auto& a : argCopy) args.push_back(a.data());
  args.push_back(nullptr);

  int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2];
  if (pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  if (options.stdinBytes && pipe2(in, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  if (options.stdoutMode != Stdout::Closed && pipe2(out, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe");
  }
  if (options.stdoutMode == Stdout::ClosedPipe) {
    close(out[0]);
    out[0] = -1;
  }

  const pid_t pid = fork();
  if (pid == 0) {
    if (options.stdinBytes) {
      dup2(in[0], 0);
    } else {
      const int null = open("/dev/null", O_RDONLY);
      dup2(null, 0);
    }
    if (options.stdoutMode == Stdout::Closed) {
      close(1);
    } else {
      dup2(out[1], 1);
    }
    dup2(err[1], 2);
    execve(program.c_str(), args.data(), envp.data());
    _exit(127);
  }
  close(err[1]);
  if (out[1] >= 0) close(out[1]);
  std::thread feeder;
  if (options.stdinBytes) {
    close(in[0]);
    feeder = std::thread([fd = in[1], &bytes = *options.stdinBytes] {
      size_t done = 0;
      while (done < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0) break;  // the program stopped reading
        done += static_cast<size_t>(n);
      }
      close(fd);
    });
  }
  RunResult result;
  drain(out[0], err[0], result.out, result.err);
  if (out[0] >= 0) close(out[0]);
  close(err[0]);
  if (feeder.joinable()) feeder.join();
  int status = 0;
  waitpid(pid, &status, 0);
  if (WIFEXITED(status)) {
    result.status = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.signal = WTERMSIG(status);
  }
  return result;
}

}  // namespace korvtest
