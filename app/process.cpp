// Child processes of the server (the backend, pdftoppm): started with
// chosen standard descriptors and nothing else of the server's open, with
// the default signal handling, and ended with SIGTERM when the thread that
// started them ends: a backend that waits for an absent printer never
// outlives a server that was killed.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/prctl.h>
#include <unistd.h>

#include "korvprint.h"

// fork + exec with the given descriptors as standard input, output and
// error (-1: /dev/null) and every other descriptor closed. Between fork
// and exec the child only makes async-signal-safe calls.
int process_spawn(const char *program, char *const argv[], char *const envp[],
                 int in, int out, int err) {
  int null_fd = open("/dev/null", O_RDWR | O_CLOEXEC);
  if (null_fd < 0)
    return -1;
  pid_t parent = getpid();
  pid_t pid = fork();
  if (pid < 0) {
    int saved = errno;
    close(null_fd);
    errno = saved;
    return -1;
  }
  if (pid == 0) {
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction dfl;
    memset(&dfl, 0, sizeof(dfl));
    dfl.sa_handler = SIG_DFL;
    sigaction(SIGPIPE, &dfl, nullptr);
    sigaction(SIGTERM, &dfl, nullptr);
    sigaction(SIGINT, &dfl, nullptr);
    sigaction(SIGHUP, &dfl, nullptr);
    // Every child is waited for by the thread that started it.
    if (prctl(PR_SET_PDEATHSIG, SIGTERM) < 0 || getppid() != parent)
      _exit(127);
    if (dup2(in >= 0 ? in : null_fd, 0) < 0 ||
        dup2(out >= 0 ? out : null_fd, 1) < 0 ||
        dup2(err >= 0 ? err : null_fd, 2) < 0)
      _exit(127);
    closefrom(3);
    execve(program, argv, envp);
    _exit(127);
  }
  close(null_fd);
  return pid;
}

