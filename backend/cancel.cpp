// Cancelling a job: the SIGTERM flag and the waits that it ends.
#include "cancel.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

namespace {

volatile sig_atomic_t cancelled = 0;

// A SIGTERM that comes just after a wait has looked at the flag, but
// before its system call began, would not end that call: a timer ticking
// once a second during every wait bounds that delay.
const long tick_seconds = 1;
const int progress_every_s = 5;

void on_term(int) { cancelled = 1; }

// Only there to end a blocking call early.
void on_tick(int) {}

void held_signals(sigset_t *set) {
  sigemptyset(set);
  sigaddset(set, SIGTERM);
  sigaddset(set, SIGALRM);
}

// Lets SIGTERM (and the tick) through and starts the tick; a SIGTERM
// that was held back is handled before this returns.
void open_window(void) {
  struct itimerval tick = {{tick_seconds, 0}, {tick_seconds, 0}};
  setitimer(ITIMER_REAL, &tick, nullptr);
  sigset_t set;
  held_signals(&set);
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
}

void close_window(void) {
  sigset_t set;
  held_signals(&set);
  sigprocmask(SIG_BLOCK, &set, nullptr);
  struct itimerval off = {{0, 0}, {0, 0}};
  setitimer(ITIMER_REAL, &off, nullptr);
}

long long now_us(void) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000000LL + now.tv_nsec / 1000;
}

} // namespace

void cancel_setup(void) {
  struct sigaction action = {};
  sigemptyset(&action.sa_mask);
  // No SA_RESTART: the waits' system calls must end with EINTR.
  action.sa_flags = 0;
  action.sa_handler = on_term;
  sigaction(SIGTERM, &action, nullptr);
  action.sa_handler = on_tick;
  sigaction(SIGALRM, &action, nullptr);
  close_window();
}

int cancel_requested(void) { return cancelled != 0 ? 1 : 0; }

int cancel_poll(void) {
  open_window();
  close_window();
  return cancel_requested();
}

int cancel_wait_input(int fd) {
  for (;;) {
    open_window();
    int ready = 0;
    int error = 0;
    if (!cancelled) {
      struct pollfd input = {fd, POLLIN, 0};
      ready = poll(&input, 1, -1);
      error = errno;
    }
    close_window();
    if (cancelled || ready > 0 || (ready < 0 && error != EINTR))
      break;
  }
  return cancel_requested();
}

int cancel_sleep(long long us, void (*progress)(int seconds_left)) {
  long long left = us;
  int reported = -1;
  while (!cancelled && left > 0) {
    int seconds = static_cast<int>((left + 999999) / 1000000);
    if (progress != nullptr &&
        (reported < 0 ||
         (seconds != reported && seconds % progress_every_s == 0))) {
      progress(seconds);
      reported = seconds;
    }
    long long started = now_us();
    bool finished = false;
    open_window();
    // One request for the whole time left: it returns early only when a
    // signal (the cancel or the tick) ends it.
    if (!cancelled)
      finished = usleep(static_cast<useconds_t>(left)) == 0;
    close_window();
    if (finished)
      break;
    left -= now_us() - started;
  }
  return cancel_requested();
}
