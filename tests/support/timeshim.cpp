// Preloadable time shim for the tests: interposes usleep() and sleep().
//
// The backend's protocol is full of fixed waits (300 ms per claim try,
// 40 s after every copy). Under this shim a test can shorten them without
// touching the product, and check which waits the product asked for:
//   KORV_TIME_DIVISOR=n  every requested wait is divided by n (default 1);
//   KORV_TIME_LOG=path   each call appends "usleep <us>" or "sleep <s>".
// Both are read at every call, so a test can change them while it runs.
// A signal handler that runs during a wait ends it early, as it ends the
// real usleep() and sleep().
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

namespace {

unsigned long divisor() {
  const char *text = getenv("KORV_TIME_DIVISOR");
  if (text == nullptr || *text == '\0')
    return 1;
  unsigned long value = strtoul(text, nullptr, 10);
  return value == 0 ? 1 : value;
}

// One write() per record, so lines from several threads stay whole.
void record(const char *what, unsigned long amount) {
  const char *path = getenv("KORV_TIME_LOG");
  if (path == nullptr || *path == '\0')
    return;
  char line[64];
  int length = snprintf(line, sizeof line, "%s %lu\n", what, amount);
  int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0)
    return;
  ssize_t written = write(fd, line, static_cast<size_t>(length));
  (void)written;
  close(fd);
}

// Sleeps with nanosleep so the shim never calls back into itself. Like
// the real calls, a wait that a signal handler interrupts ends early:
// returns the microseconds (of the shortened wait) still left, 0 when the
// whole wait passed.
unsigned long long wait_microseconds(unsigned long long us) {
  struct timespec left;
  left.tv_sec = static_cast<time_t>(us / 1000000ULL);
  left.tv_nsec = static_cast<long>((us % 1000000ULL) * 1000ULL);
  while (nanosleep(&left, &left) != 0) {
    if (errno == EINTR)
      return static_cast<unsigned long long>(left.tv_sec) * 1000000ULL +
             static_cast<unsigned long long>(left.tv_nsec) / 1000ULL + 1;
  }
  return 0;
}

} // namespace

extern "C" int usleep(useconds_t us) {
  record("usleep", us);
  if (wait_microseconds(us / divisor()) != 0) {
    errno = EINTR;
    return -1;
  }
  return 0;
}

// Returns the seconds left of the requested (not the shortened) wait.
extern "C" unsigned int sleep(unsigned int seconds) {
  record("sleep", seconds);
  unsigned long long left = wait_microseconds(
      static_cast<unsigned long long>(seconds) * 1000000ULL / divisor());
  return static_cast<unsigned int>((left * divisor() + 999999ULL) / 1000000ULL);
}
