// Every client document is read by korvprint-decode (decode/), never by
// the server: one confined process per document (limits on its processor
// time, memory and open files; its own process group; no new privileges;
// a clean environment; the unprivileged decode user when the server runs
// as root), reading the spool file on standard input and writing the
// receipt's kept rows. The server holds those rows (at most the longest
// receipt, 2.9 MB on an 80 mm head), and only when the decoder ended well
// turns them into the printer's image and sends it: nothing of a document
// that failed reaches the printer. A cancel, the server's stop or the
// time limit stops the decoder and its children at once.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include "decode_protocol.h"
#include "korvprint.h"

#ifndef KORV_DECODER_PATH
#define KORV_DECODER_PATH "/usr/libexec/korvprint/korvprint-decode"
#endif

// How often the wait for the decoder looks at cancels and limits, in ms.
#define POLL_MS 100
// Descriptors a decoder may have open (its pipes, pdftoppm's, fonts).
#define DECODE_OPEN_FILES 64
// What is kept of the decoder's standard error: its one message line and
// a few lines of anything else for the log.
#define MESSAGE_MAX 256
#define LOGGED_LINES_MAX 8

// The decode user, looked up once at the start.
static char decode_user[64] = DECODE_DEFAULT_USER;
static uid_t decode_uid;
static gid_t decode_gid;
static bool decode_user_known;

bool decode_set_user(const char *name) {
  if (name != nullptr && *name != '\0')
    papplCopyString(decode_user, name, sizeof(decode_user));
  // Only root changes user; any other server keeps its own.
  if (geteuid() != 0)
    return true;
  char buffer[4096];
  struct passwd entry, *found = nullptr;
  if (getpwnam_r(decode_user, &entry, buffer, sizeof(buffer), &found) != 0 || found == nullptr ||
      found->pw_uid == 0) {
    fprintf(stderr, "korvprint: The decode user '%s' does not exist or is root.\n", decode_user);
    return false;
  }
  decode_uid = found->pw_uid;
  decode_gid = found->pw_gid;
  decode_user_known = true;
  return true;
}

static const char *decoder_path(void) {
  const char *path = getenv(KORV_DECODER_ENV);
  return path != nullptr && *path != '\0' ? path : KORV_DECODER_PATH;
}

// How a decoding ended, for the job.
enum decode_outcome {
  OUTCOME_DONE,      // the decoder ended; see its status
  OUTCOME_CANCELLED, // the job was cancelled
  OUTCOME_STOPPED,   // the server is stopping
  OUTCOME_TIMEOUT,   // it ran longer than DECODE_WALL_SECONDS
  OUTCOME_OVERFLOW,  // it wrote more than any receipt takes
  OUTCOME_FAILED,    // it could not be run or read
};

// One decoding in progress.
struct decode_run {
  pappl_job_t *job;
  int pid;
  int output, errors;           // pipes from its standard output and error
  unsigned char *packed;        // what it wrote, up to packed_max bytes
  size_t packed_used, packed_max;
  char message[MESSAGE_MAX];    // its "ERROR: " line
  char line[MESSAGE_MAX];       // a line of its standard error being read
  size_t line_used;
  int lines_logged;
};

// A line of the decoder's standard error: its message, or for the log.
static void error_line(decode_run *run) {
  run->line[run->line_used] = '\0';
  run->line_used = 0;
  const size_t prefix = strlen(DECODE_ERROR_PREFIX);
  if (run->message[0] == '\0' && strncmp(run->line, DECODE_ERROR_PREFIX, prefix) == 0) {
    // Shown to clients: printable characters only.
    size_t used = 0;
    for (const char *p = run->line + prefix; *p != '\0' && used + 1 < sizeof(run->message); ++p)
      run->message[used++] = (*p >= ' ' && *p < 0x7f) ? *p : '?';
    run->message[used] = '\0';
  } else if (run->lines_logged < LOGGED_LINES_MAX) {
    ++run->lines_logged;
    papplLogJob(run->job, PAPPL_LOGLEVEL_DEBUG, "korvprint-decode: %s", run->line);
  }
}

// Reads what is there on one pipe; false once it is closed (or broken).
static bool read_errors(decode_run *run) {
  char buffer[1024];
  for (;;) {
    ssize_t got = read(run->errors, buffer, sizeof(buffer));
    if (got < 0 && errno == EINTR)
      continue;
    if (got <= 0) {
      if (got == 0 && run->line_used > 0)
        error_line(run);
      return got < 0 && errno == EAGAIN;
    }
    for (ssize_t i = 0; i < got; ++i) {
      if (buffer[i] == '\n' || run->line_used == sizeof(run->line) - 1) {
        error_line(run);
        if (buffer[i] == '\n')
          continue;
      }
      run->line[run->line_used++] = buffer[i];
    }
  }
}

// Reads the decoder's output; false once it is closed. *overflow when it
// wrote more than the longest receipt.
static bool read_output(decode_run *run, bool *overflow) {
  for (;;) {
    if (run->packed_used == run->packed_max) {
      char probe;
      ssize_t extra = read(run->output, &probe, 1);
      if (extra > 0)
        *overflow = true;
      return extra < 0 && (errno == EAGAIN || errno == EINTR);
    }
    ssize_t got = read(run->output, run->packed + run->packed_used,
                       run->packed_max - run->packed_used);
    if (got < 0 && errno == EINTR)
      continue;
    if (got <= 0)
      return got < 0 && errno == EAGAIN;
    run->packed_used += static_cast<size_t>(got);
  }
}

static void close_fd(int *fd) {
  if (*fd >= 0)
    close(*fd);
  *fd = -1;
}

// Runs the decoder on the job's file and waits for it, stopping it (and
// every process of its group) on a cancel, the server's stop or the time
// limit. *wait_status is its end when OUTCOME_DONE.
static decode_outcome run_decoder(decode_run *run, char *const argv[], int *wait_status) {
  pappl_job_t *job = run->job;
  pappl_system_t *system = papplPrinterGetSystem(papplJobGetPrinter(job));
  int document = open(papplJobGetFilename(job), O_RDONLY | O_CLOEXEC);
  if (document < 0) {
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Unable to open the document: %s", strerror(errno));
    return OUTCOME_FAILED;
  }
  int out_pipe[2] = {-1, -1}, err_pipe[2] = {-1, -1};
  if (pipe2(out_pipe, O_CLOEXEC) < 0 || pipe2(err_pipe, O_CLOEXEC) < 0) {
    close(document);
    close_fd(&out_pipe[0]);
    close_fd(&out_pipe[1]);
    return OUTCOME_FAILED;
  }
  process_limits limits;
  limits.change_user = geteuid() == 0;
  limits.uid = decode_uid;
  limits.gid = decode_gid;
  limits.cpu_seconds = DECODE_CPU_SECONDS;
  // A sanitizer's runtime reserves terabytes of address space, and
  // ThreadSanitizer's writes a file of its own at the start: under one,
  // the decoder's memory and files are not bounded.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  limits.memory_bytes = 0;
#else
  limits.memory_bytes = DECODE_MEMORY_MIB * 1024UL * 1024UL;
#endif
#if defined(__SANITIZE_THREAD__)
  limits.write_no_file = false;
#else
  limits.write_no_file = true;
#endif
  limits.open_files = DECODE_OPEN_FILES;
  static char path_entry[] = "PATH=/usr/bin:/bin";
  static char locale_entry[] = "LC_ALL=C";
  char *envp[] = {path_entry, locale_entry, nullptr};
  run->pid = limits.change_user && !decode_user_known
                 ? -1
                 : process_spawn_confined(decoder_path(), argv, envp, document, out_pipe[1],
                                          err_pipe[1], &limits);
  int saved = errno;
  close(document);
  close(out_pipe[1]);
  close(err_pipe[1]);
  run->output = out_pipe[0];
  run->errors = err_pipe[0];
  if (run->pid < 0) {
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Unable to run %s: %s", decoder_path(),
                decode_user_known || !limits.change_user ? strerror(saved)
                                                         : "no user to run it as");
    return OUTCOME_FAILED;
  }
  papplLogJob(job, PAPPL_LOGLEVEL_DEBUG, "Decoding with %s, pid %d.", decoder_path(), run->pid);
  fcntl(run->output, F_SETFL, O_NONBLOCK);
  fcntl(run->errors, F_SETFL, O_NONBLOCK);

  const long long started = system_now_ms();
  decode_outcome outcome = OUTCOME_DONE;
  bool overflow = false;
  int status = 0;
  for (;;) {
    struct pollfd fds[2] = {{run->output, POLLIN, 0}, {run->errors, POLLIN, 0}};
    if (run->output >= 0 || run->errors >= 0)
      poll(fds, 2, POLL_MS); // a closed pipe (-1) is skipped
    if (run->output >= 0 && !read_output(run, &overflow))
      close_fd(&run->output);
    if (run->errors >= 0 && !read_errors(run))
      close_fd(&run->errors);
    const long long now = system_now_ms();
    const long long stop = system_stop_time(system);
    if (overflow)
      outcome = OUTCOME_OVERFLOW;
    else if (papplJobIsCanceled(job))
      outcome = OUTCOME_CANCELLED;
    else if (stop > 0 && now - (stop > started ? stop : started) > DECODE_STOP_GRACE_SECONDS * 1000)
      outcome = OUTCOME_STOPPED;
    else if (now - started > DECODE_WALL_SECONDS * 1000)
      outcome = OUTCOME_TIMEOUT;
    if (outcome != OUTCOME_DONE)
      break;
    if (run->output < 0 && run->errors < 0) {
      // Ended? Looked at without reaping it: its process group (whose
      // number is its pid) must not be freed before it is stopped below.
      siginfo_t info;
      info.si_pid = 0;
      int waited = waitid(P_PID, static_cast<id_t>(run->pid), &info, WEXITED | WNOHANG | WNOWAIT);
      if (waited == 0 && info.si_pid == run->pid)
        break;
      if (waited < 0 && errno != EINTR) {
        outcome = OUTCOME_FAILED;
        break;
      }
      poll(nullptr, 0, POLL_MS / 10);
    }
  }
  // The whole group, whatever happened: a renderer the decoder left
  // behind is stopped with it.
  kill(-run->pid, SIGKILL);
  while (waitpid(run->pid, &status, 0) < 0 && errno == EINTR) {
  }
  close_fd(&run->output);
  close_fd(&run->errors);
  *wait_status = status;
  return outcome;
}

// The job's message and reasons for a failed decoding.
static void report(pappl_job_t *job, pappl_jreason_t reason, const char *message) {
  papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "%s", message);
  papplJobSetMessage(job, "%s", message);
  if (reason != PAPPL_JREASON_NONE)
    papplJobSetReasons(job, reason, PAPPL_JREASON_NONE);
}

// Whether the decoding gave a whole receipt; the job's message says why not.
static bool decoded(decode_run *run, decode_outcome outcome, int status) {
  pappl_job_t *job = run->job;
  char text[MESSAGE_MAX + 64];
  switch (outcome) {
  case OUTCOME_CANCELLED:
    return false;
  case OUTCOME_STOPPED:
    report(job, PAPPL_JREASON_NONE, "Not printed: the server stopped while the document was "
                                    "being read.");
    return false;
  case OUTCOME_TIMEOUT:
    snprintf(text, sizeof(text),
             "The document is too large: reading it took longer than %d seconds.",
             DECODE_WALL_SECONDS);
    report(job, PAPPL_JREASON_DOCUMENT_UNPRINTABLE_ERROR, text);
    return false;
  case OUTCOME_OVERFLOW:
    report(job, PAPPL_JREASON_DOCUMENT_UNPRINTABLE_ERROR,
           "The document is too large: it makes a longer receipt than the printer takes.");
    return false;
  case OUTCOME_FAILED:
    report(job, PAPPL_JREASON_NONE, "The document could not be read: its reader did not run.");
    return false;
  case OUTCOME_DONE:
    break;
  }
  if (WIFSIGNALED(status)) {
    int sig = WTERMSIG(status);
    if (sig == SIGXCPU || sig == SIGKILL)
      snprintf(text, sizeof(text),
               "The document is too large: reading it took more than %d seconds of "
               "processor time.",
               DECODE_CPU_SECONDS);
    else
      snprintf(text, sizeof(text), "The document could not be read: its reader failed (signal %d).",
               sig);
    report(job, PAPPL_JREASON_DOCUMENT_UNPRINTABLE_ERROR, text);
    return false;
  }
  int code = WIFEXITED(status) ? WEXITSTATUS(status) : DECODE_STATUS_FAILED;
  if (code == DECODE_STATUS_OK)
    return true;
  const char *message = run->message[0] != '\0' ? run->message
                                                : "The document could not be read.";
  pappl_jreason_t reason = code == DECODE_STATUS_BAD_DOCUMENT ? PAPPL_JREASON_DOCUMENT_FORMAT_ERROR
                           : code == DECODE_STATUS_TOO_LARGE || code == DECODE_STATUS_NO_MEMORY
                               ? PAPPL_JREASON_DOCUMENT_UNPRINTABLE_ERROR
                               : PAPPL_JREASON_NONE;
  report(job, reason, message);
  return false;
}

// The decoder's arguments for the job (see decode_protocol.h), in texts.
struct decode_arguments {
  char text[10][40];
  char *argv[12];
};

static void make_arguments(decode_arguments *a, const char *format, const job_settings *settings,
                           const pappl_pr_options_t *options) {
  static const char *const scalings[] = {"auto", "auto-fit", "fill", "fit", "none"};
  const char *scaling = "auto";
  for (int i = 0; i < 5; ++i)
    if (options->print_scaling == (1u << i))
      scaling = scalings[i];
  const receipt_settings *r = &settings->receipt;
  // The paper's rows: its length less its margins, at the printer's resolution.
  const int dpi = options->printer_resolution[1] > 0 ? options->printer_resolution[1] : 203;
  long length = static_cast<long>(options->media.size_length - options->media.top_margin -
                                  options->media.bottom_margin) *
                dpi / 2540;
  if (length < 1)
    length = 1;
  if (length > r->max_rows)
    length = r->max_rows;
  snprintf(a->text[0], 40, "head=%d", r->head_width);
  snprintf(a->text[1], 40, "dpi=%d", options->printer_resolution[0] > 0 ? options->printer_resolution[0] : dpi);
  snprintf(a->text[2], 40, "dither=%d", r->dither);
  snprintf(a->text[3], 40, "threshold=%d", r->threshold);
  snprintf(a->text[4], 40, "darkness=%d", r->darkness);
  snprintf(a->text[5], 40, "trim=%d", r->trim);
  snprintf(a->text[6], 40, "scaling=%s", scaling);
  snprintf(a->text[7], 40, "length=%ld", length);
  snprintf(a->text[8], 40, "first=%u", options->first_page > 0 ? options->first_page : 1);
  snprintf(a->text[9], 40, "last=%u",
           options->last_page > 0 && options->last_page < 0x7fffffffU ? options->last_page : 0);
  a->argv[0] = const_cast<char *>("korvprint-decode");
  a->argv[1] = const_cast<char *>(format);
  for (int i = 0; i < 10; ++i)
    a->argv[i + 2] = a->text[i];
  a->argv[11] = nullptr;
}

// The MIME filter of every client format; context is the decoder's word
// for the format.
static bool decode_filter(pappl_job_t *job, pappl_device_t *device, void *context) {
  const char *format = static_cast<const char *>(context);
  pappl_pr_driver_data_t driver;
  papplPrinterGetDriverData(papplJobGetPrinter(job), &driver);
  const driver_model *model = static_cast<const driver_model *>(driver.extension);
  if (model == nullptr)
    return false;
  pappl_pr_options_t *options = papplJobCreatePrintOptions(job, 0, false);
  if (options == nullptr)
    return false;
  job_settings settings;
  settings_for_job(job, options, model->head_width, &settings);
  decode_arguments arguments;
  make_arguments(&arguments, format, &settings, options);

  decode_run run;
  memset(&run, 0, sizeof(run));
  run.job = job;
  run.output = run.errors = -1;
  const long row_bytes = (settings.receipt.head_width + 7) / 8;
  run.packed_max = RECEIPT_PACKED_HEADER_BYTES +
                   static_cast<size_t>(settings.receipt.max_rows * row_bytes);
  run.packed = static_cast<unsigned char *>(malloc(run.packed_max));
  int status = 0;
  decode_outcome outcome = run.packed != nullptr ? run_decoder(&run, arguments.argv, &status)
                                                 : OUTCOME_FAILED;
  bool ok = decoded(&run, outcome, status);

  receipt_job receipt = {};
  int code = ok ? receipt_begin(&receipt, &settings.receipt) : RECEIPT_OK;
  if (ok && code == RECEIPT_OK)
    code = receipt_read_packed(&receipt, run.packed, run.packed_used);
  free(run.packed);
  if (ok && code != RECEIPT_OK) {
    report(job, PAPPL_JREASON_NONE, "The document's receipt came back damaged.");
    ok = false;
  }
  if (ok) {
    papplJobSetImpressions(job, receipt.pages);
    papplJobSetImpressionsCompleted(job, receipt.pages);
    ok = raster_print_receipt(job, options, device, &receipt, &settings);
  }
  receipt_end(&receipt);
  papplJobDeletePrintOptions(options);
  // A cancelled job is not a failed one: PAPPL marks it cancelled.
  return ok || papplJobIsCanceled(job);
}

void decode_register_filters(pappl_system_t *system) {
  static const struct {
    const char *type;
    const char *format;
  } formats[] = {
      {"application/pdf", DECODE_FORMAT_PDF},
      {"image/png", DECODE_FORMAT_PNG},
      {"image/jpeg", DECODE_FORMAT_JPEG},
      {INTAKE_SPOOL_FORMAT, DECODE_FORMAT_AUTO},
      // Untyped data that reaches a printer all the same (PAPPL's raw
      // socket): read for what it is, never copied to the printer.
      {INTAKE_DRIVER_FORMAT, DECODE_FORMAT_AUTO},
  };
  for (const auto &f : formats)
    papplSystemAddMIMEFilter(system, f.type, INTAKE_DRIVER_FORMAT, decode_filter,
                             const_cast<char *>(f.format));
}
