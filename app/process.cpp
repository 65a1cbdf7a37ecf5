// Child processes of the server (the backend, the document decoder):
// started with chosen standard descriptors and nothing else of the
// server's open, with the default signal handling, and ended with SIGTERM
// when the thread that started them ends (a backend that waits for an
// absent printer never outlives a server that was killed); a confined
// child also with limits, in a process group of its own, as an
// unprivileged user.
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include "korvprint.h"

// Sets one limit, soft and hard; false when it could not be set.
static bool limit(int resource, unsigned long soft, unsigned long hard) {
  struct rlimit value;
  value.rlim_cur = soft;
  value.rlim_max = hard;
  return setrlimit(resource, &value) == 0;
}

// In the child, before exec: the confinement. Only async-signal-safe
// calls (the child of a threaded server). false when any step failed.
static bool confine(const process_limits *limits) {
  if (setpgid(0, 0) != 0 || chdir("/") != 0)
    return false;
  if (!limit(RLIMIT_CPU, limits->cpu_seconds, limits->cpu_seconds + 1) ||
      !limit(RLIMIT_CORE, 0, 0) ||
      !limit(RLIMIT_NOFILE, limits->open_files, limits->open_files))
    return false;
  if (limits->write_no_file && !limit(RLIMIT_FSIZE, 0, 0))
    return false;
  if (limits->memory_bytes > 0 &&
      !limit(RLIMIT_AS, limits->memory_bytes, limits->memory_bytes))
    return false;
  if (limits->change_user) {
    gid_t group = limits->gid;
    if (setgroups(1, &group) != 0 || setgid(limits->gid) != 0 || setuid(limits->uid) != 0)
      return false;
    // No way back.
    if (setuid(0) == 0 || geteuid() == 0 || getegid() != limits->gid)
      return false;
  }
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
    return false;
  // A server that dies takes its decoder with it (set after the change of
  // user, which clears it).
  prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0);
  return true;
}

// fork + exec; the child runs confined when limits is given.
static int spawn(const char *program, char *const argv[], char *const envp[], int in, int out,
                 int err, const process_limits *limits) {
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
    if (limits != nullptr && !confine(limits))
      _exit(127);
    execve(program, argv, envp);
    _exit(127);
  }
  // Also here, so that the group exists whichever runs first.
  if (limits != nullptr)
    setpgid(pid, pid);
  close(null_fd);
  return pid;
}

int process_spawn(const char *program, char *const argv[], char *const envp[],
                 int in, int out, int err) {
  return spawn(program, argv, envp, in, out, err, nullptr);
}

int process_spawn_confined(const char *program, char *const argv[], char *const envp[],
                           int in, int out, int err, const process_limits *limits) {
  return spawn(program, argv, envp, in, out, err, limits);
}
