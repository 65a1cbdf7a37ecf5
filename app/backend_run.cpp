// Runs of the usbkorv backend: the listing (no arguments) and job mode
// with the job's data on a pipe to its standard input. The backend's
// standard error carries its STATE:/INFO:/ERROR: messages; they are read
// while the job's data is written and while the backend ends.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "korvprint.h"

extern char **environ;

// How often a blocked write or wait looks at the stop request, in ms.
#define POLL_MS 100
// The longest a listing may take, and the most of it that is read.
#define LIST_SECONDS 60
#define LIST_MAX_BYTES 262144


// The server's environment plus DEVICE_URI, as CUPS gives its backends.
static char **backend_environment(const char *uri, char **uri_entry) {
  size_t count = 0;
  while (environ[count] != nullptr)
    ++count;
  char **envp = static_cast<char **>(calloc(count + 2, sizeof(char *)));
  size_t size = strlen("DEVICE_URI=") + strlen(uri) + 1;
  *uri_entry = static_cast<char *>(malloc(size));
  if (envp == nullptr || *uri_entry == nullptr) {
    free(envp);
    free(*uri_entry);
    *uri_entry = nullptr;
    return nullptr;
  }
  snprintf(*uri_entry, size, "DEVICE_URI=%s", uri);
  size_t used = 0;
  for (size_t i = 0; i < count; ++i)
    if (strncmp(environ[i], "DEVICE_URI=", 11) != 0)
      envp[used++] = environ[i];
  envp[used++] = *uri_entry;
  envp[used] = nullptr;
  return envp;
}

int backend_start(backend_run *run, const char *program, const char *uri,
                  int job_id, const char *user, const char *title) {
  run->pid = -1;
  run->input = -1;
  run->messages = -1;
  run->line_used = 0;
  run->heard = system_now_ms();
  run->stall_ms = BACKEND_STALL_SECONDS * 1000L;

  int in_pipe[2], err_pipe[2];
  if (pipe2(in_pipe, O_CLOEXEC) < 0)
    return -1;
  if (pipe2(err_pipe, O_CLOEXEC) < 0) {
    int saved = errno;
    close(in_pipe[0]);
    close(in_pipe[1]);
    errno = saved;
    return -1;
  }

  char id_text[16];
  snprintf(id_text, sizeof(id_text), "%d", job_id);
  char *argv[] = {const_cast<char *>(uri),
                  id_text,
                  const_cast<char *>(user ? user : "korvprint"),
                  const_cast<char *>(title ? title : "job"),
                  const_cast<char *>("1"),
                  const_cast<char *>(""),
                  nullptr};
  char *uri_entry = nullptr;
  char **envp = backend_environment(uri, &uri_entry);
  int pid = envp ? process_spawn(program, argv, envp, in_pipe[0], -1, err_pipe[1]) : -1;
  int saved = errno;
  free(envp);
  free(uri_entry);
  close(in_pipe[0]);
  close(err_pipe[1]);
  if (pid < 0) {
    close(in_pipe[1]);
    close(err_pipe[0]);
    errno = saved;
    return -1;
  }
  fcntl(in_pipe[1], F_SETFL, O_NONBLOCK);
  fcntl(err_pipe[0], F_SETFL, O_NONBLOCK);
  run->pid = pid;
  run->input = in_pipe[1];
  run->messages = err_pipe[0];
  return 0;
}

// Reads what the backend wrote on standard error and hands on each line.
// Returns false once the backend closed it.
static bool read_messages(backend_run *run, backend_message_fn message,
                          void *context) {
  char buffer[1024];
  for (;;) {
    ssize_t got = read(run->messages, buffer, sizeof(buffer));
    if (got < 0 && errno == EINTR)
      continue;
    if (got < 0)
      return errno == EAGAIN;
    if (got > 0)
      run->heard = system_now_ms();
    if (got == 0) {
      if (run->line_used > 0) {
        run->line[run->line_used] = '\0';
        message(run->line, context);
        run->line_used = 0;
      }
      return false;
    }
    for (ssize_t i = 0; i < got; ++i) {
      char c = buffer[i];
      if (c == '\n' || run->line_used == sizeof(run->line) - 1) {
        run->line[run->line_used] = '\0';
        message(run->line, context);
        run->line_used = 0;
        if (c == '\n')
          continue;
      }
      run->line[run->line_used++] = c;
    }
  }
}

static void close_messages(backend_run *run) {
  if (run->messages >= 0) {
    close(run->messages);
    run->messages = -1;
  }
}

int backend_write(backend_run *run, const void *data, size_t len,
                  backend_message_fn message, backend_stop_fn stop,
                  void *context) {
  const unsigned char *bytes = static_cast<const unsigned char *>(data);
  while (len > 0) {
    if (run->input < 0)
      return -1;
    struct pollfd fds[2] = {{run->input, POLLOUT, 0}, {run->messages, POLLIN, 0}};
    int ready = poll(fds, run->messages >= 0 ? 2 : 1, POLL_MS);
    if (ready < 0 && errno != EINTR)
      return -1;
    if (run->messages >= 0 && (fds[1].revents & (POLLIN | POLLHUP)) &&
        !read_messages(run, message, context))
      close_messages(run);
    if (fds[0].revents & (POLLERR | POLLHUP))
      return -1; // the backend ended without reading everything
    if (fds[0].revents & POLLOUT) {
      ssize_t put = write(run->input, bytes, len);
      if (put < 0 && errno != EAGAIN && errno != EINTR)
        return -1;
      if (put > 0) {
        bytes += put;
        len -= static_cast<size_t>(put);
      }
    }
    if (len > 0 && stop(context))
      return -1;
  }
  return 0;
}

// Reads the backend's messages for up to POLL_MS.
static void hear(backend_run *run, backend_message_fn message, void *context) {
  if (run->messages < 0) {
    poll(nullptr, 0, POLL_MS);
    return;
  }
  struct pollfd fd = {run->messages, POLLIN, 0};
  if (poll(&fd, 1, POLL_MS) > 0 && !read_messages(run, message, context))
    close_messages(run);
}

int backend_finish(backend_run *run, bool terminate, backend_message_fn message,
                   backend_stop_fn stop, backend_stop_fn wind_up, void *context) {
  if (run->pid < 0)
    return -1;
  int status = 0;
  bool ended = false;
  // Until the backend has read the last byte the input stays open: a stop
  // of the server must not come while job data still waits in the pipe.
  while (!terminate && run->input >= 0) {
    int unread = 0;
    if (ioctl(run->input, FIONREAD, &unread) < 0 || unread == 0)
      break;
    if (stop(context)) {
      terminate = true;
      break;
    }
    pid_t done = waitpid(run->pid, &status, WNOHANG);
    if (done == run->pid || (done < 0 && errno != EINTR)) {
      ended = done == run->pid;
      status = ended ? status : -1;
      break;
    }
    hear(run, message, context);
  }
  if (run->input >= 0) {
    close(run->input);
    run->input = -1;
  }
  long long term_at = -1;
  if (terminate && !ended) {
    kill(run->pid, SIGTERM);
    term_at = system_now_ms();
  }
  while (!ended) {
    pid_t done = waitpid(run->pid, &status, WNOHANG);
    if (done == run->pid)
      break;
    if (done < 0 && errno != EINTR) {
      status = -1;
      break;
    }
    hear(run, message, context);
    const long long now = system_now_ms();
    if (term_at < 0 && (stop(context) || wind_up(context))) {
      kill(run->pid, SIGTERM);
      term_at = now;
    } else if (term_at >= 0 && now - (run->heard > term_at ? run->heard : term_at) > run->stall_ms) {
      // Stopped, and no word of any progress for so long: it is stuck.
      kill(run->pid, SIGKILL);
      term_at = run->heard = now; // and wait for it
    }
  }
  // Whatever the backend said last.
  if (run->messages >= 0) {
    read_messages(run, message, context);
    close_messages(run);
  }
  run->pid = -1;
  if (status < 0)
    return -1;
  if (WIFEXITED(status))
    return WEXITSTATUS(status);
  if (WIFSIGNALED(status))
    return 128 + WTERMSIG(status);
  return -1;
}

int backend_list(const char *program, void (*line)(const char *, void *),
                 void *context) {
  int out_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) < 0)
    return -1;
  char *argv[] = {const_cast<char *>(program), nullptr};
  int pid = process_spawn(program, argv, environ, -1, out_pipe[1], -1);
  close(out_pipe[1]);
  if (pid < 0) {
    close(out_pipe[0]);
    return -1;
  }
  fcntl(out_pipe[0], F_SETFL, O_NONBLOCK);

  // The whole listing first (a few lines per printer), then its lines.
  char *text = static_cast<char *>(malloc(LIST_MAX_BYTES + 1));
  size_t used = 0;
  long long deadline = system_now_ms() + LIST_SECONDS * 1000LL;
  bool open_output = text != nullptr;
  while (open_output && system_now_ms() < deadline) {
    struct pollfd fd = {out_pipe[0], POLLIN, 0};
    if (poll(&fd, 1, POLL_MS) <= 0)
      continue;
    ssize_t got = read(out_pipe[0], text + used, LIST_MAX_BYTES - used);
    if (got < 0 && (errno == EAGAIN || errno == EINTR))
      continue;
    if (got <= 0 || used + static_cast<size_t>(got) == LIST_MAX_BYTES)
      open_output = false;
    if (got > 0)
      used += static_cast<size_t>(got);
  }
  if (text != nullptr) {
    text[used] = '\0';
    for (char *start = text; *start != '\0';) {
      char *end = strchr(start, '\n');
      if (end != nullptr)
        *end = '\0';
      line(start, context);
      if (end == nullptr)
        break;
      start = end + 1;
    }
    free(text);
  }
  close(out_pipe[0]);
  if (open_output)
    kill(pid, SIGKILL);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
