// PDF: poppler's pdftoppm renders each page in 8-bit grey at the printer's
// resolution into a pipe; the pages go into the receipt as they come,
// where the receipt library prints each at true size or scales it down
// to the head.
// pdftoppm runs as a child of this process, in its process group and
// under its limits, reading the document from the same standard input.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "decode.h"
#include "pdf_args.h"

#ifndef KORV_PDFTOPPM_PATH
#define KORV_PDFTOPPM_PATH "/usr/bin/pdftoppm"
#endif

extern char **environ;

namespace {

// Reads one PGM header ("P5", width, height, 255; pdftoppm writes no
// comments). 1 for a header, 0 at the end of the stream, -1 on bad data.
int read_pgm_header(FILE *in, unsigned *width, unsigned *height) {
  int c = fgetc(in);
  if (c == EOF)
    return 0;
  unsigned maxval = 0;
  if (c != 'P' || fgetc(in) != '5' || fscanf(in, "%u %u %u", width, height, &maxval) != 3 ||
      maxval != 255)
    return -1;
  c = fgetc(in); // the one blank before the pixels
  if (c != ' ' && c != '\n' && c != '\r' && c != '\t')
    return -1;
  return 1;
}

// Starts pdftoppm on standard input with its output on a pipe; its pid, or
// -1. Its messages about the document's syntax are of no use to anyone.
int start_renderer(const decode_request *request, int *output) {
  pdf_render_args args;
  pdf_render_arguments(&args, "fd://0", static_cast<unsigned>(request->first_page),
                       static_cast<unsigned>(request->last_page), request->settings.max_rows);

  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) < 0)
    return -1;
  pid_t pid = fork();
  if (pid == 0) {
    int null_fd = open("/dev/null", O_WRONLY);
    if (dup2(pipe_fds[1], 1) < 0 || null_fd < 0 || dup2(null_fd, 2) < 0)
      _exit(127);
    closefrom(3);
    execve(KORV_PDFTOPPM_PATH, const_cast<char **>(args.argv), environ);
    _exit(127);
  }
  close(pipe_fds[1]);
  if (pid < 0) {
    close(pipe_fds[0]);
    return -1;
  }
  *output = pipe_fds[0];
  return static_cast<int>(pid);
}

// Reads the rendered pages into the job. DECODE_STATUS_OK at the end of
// the renderer's output; *pages counts the pages read.
int read_pages(FILE *in, receipt_job *job, int *pages, decode_error *error) {
  unsigned char *row = nullptr;
  int status = DECODE_STATUS_OK;
  for (;;) {
    unsigned width = 0, height = 0;
    int got = read_pgm_header(in, &width, &height);
    if (got == 0)
      break;
    if (got < 0 || width == 0 || width > RECEIPT_MAX_PAGE_WIDTH || height == 0) {
      status = decode_fail(error, DECODE_STATUS_BAD_DOCUMENT,
                           "The PDF document could not be rendered.");
      break;
    }
    ++*pages;
    unsigned char *bigger = static_cast<unsigned char *>(realloc(row, width));
    if (bigger == nullptr) {
      status = decode_receipt_failure(error, RECEIPT_ERROR_MEMORY);
      break;
    }
    row = bigger;
    int code = receipt_begin_page(job, static_cast<int>(width), RECEIPT_GREY8_WHITE255);
    for (unsigned y = 0; code == RECEIPT_OK && y < height; ++y) {
      if (fread(row, 1, width, in) != width) {
        status = decode_fail(error, DECODE_STATUS_BAD_DOCUMENT,
                             "The PDF document could not be rendered.");
        break;
      }
      code = receipt_add_row(job, row);
    }
    if (status != DECODE_STATUS_OK)
      break;
    if (code == RECEIPT_OK)
      code = receipt_end_page(job);
    if (code != RECEIPT_OK) {
      status = decode_receipt_failure(error, code);
      break;
    }
  }
  free(row);
  return status;
}

} // namespace

int decode_pdf(const decode_request *request, receipt_job *job, decode_error *error) {
  int output = -1;
  int pid = start_renderer(request, &output);
  if (pid < 0)
    return decode_fail(error, DECODE_STATUS_FAILED, "Unable to run %s: %s", KORV_PDFTOPPM_PATH,
                       strerror(errno));
  FILE *in = fdopen(output, "rb");
  int pages = 0;
  int status = in != nullptr ? read_pages(in, job, &pages, error)
                             : decode_receipt_failure(error, RECEIPT_ERROR_MEMORY);
  // A renderer that is no longer read from is stopped.
  if (status != DECODE_STATUS_OK)
    kill(pid, SIGKILL);
  if (in != nullptr)
    fclose(in);
  else
    close(output);
  int wait_status = 0;
  while (waitpid(pid, &wait_status, 0) < 0 && errno == EINTR) {
  }
  if (status != DECODE_STATUS_OK)
    return status;
  if (WIFSIGNALED(wait_status) &&
      (WTERMSIG(wait_status) == SIGXCPU || WTERMSIG(wait_status) == SIGKILL)) {
    // The limit the renderer shared with this process.
    struct rlimit cpu;
    getrlimit(RLIMIT_CPU, &cpu);
    return decode_fail(error, DECODE_STATUS_TOO_LARGE,
                       "The document is too large: rendering the PDF took more than %lu seconds "
                       "of processor time.",
                       static_cast<unsigned long>(cpu.rlim_cur));
  }
  if (!WIFEXITED(wait_status) || WEXITSTATUS(wait_status) != 0 || pages == 0)
    return decode_fail(error, DECODE_STATUS_BAD_DOCUMENT,
                       "The PDF document could not be read (pdftoppm status %d, %d pages).",
                       WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1, pages);
  return DECODE_STATUS_OK;
}
