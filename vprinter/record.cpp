// The transcript (one line per event, appended with one write each so a
// reader sees whole lines while the printers run) and the capture files
// (every byte a printer accepted on bulk OUT, written as it arrives).
#include "model.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace vp {
namespace {

int g_transcript_fd = -1;
std::string g_capture_dir;

void write_all(int fd, const uint8_t *data, size_t len) {
  while (len > 0) {
    ssize_t n = write(fd, data, len);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return;
    data += n;
    len -= size_t(n);
  }
}

} // namespace

std::string hex(const uint8_t *data, size_t len) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  out.reserve(len * 2);
  for (size_t i = 0; i < len; ++i) {
    out += digits[data[i] >> 4];
    out += digits[data[i] & 15];
  }
  return out;
}

bool record_open(const std::string &transcript, const std::string &capture_dir, std::string &err) {
  if (!transcript.empty()) {
    g_transcript_fd = open(transcript.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (g_transcript_fd < 0) {
      err = "cannot open transcript " + transcript + ": " + strerror(errno);
      return false;
    }
  }
  g_capture_dir = capture_dir;
  for (auto &p : g_printers)
    if (!record_add_capture(*p, err))
      return false;
  return true;
}

bool record_add_capture(Printer &p, std::string &err) {
  if (g_capture_dir.empty())
    return true;
  std::string path = g_capture_dir + "/" + p.profile.name + ".bin";
  p.capture_fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (p.capture_fd < 0) {
    err = "cannot create capture " + path + ": " + strerror(errno);
    return false;
  }
  return true;
}

void record_close() {
  if (g_transcript_fd >= 0) {
    close(g_transcript_fd);
    g_transcript_fd = -1;
  }
  for (auto &p : g_printers) {
    if (p->capture_fd >= 0) {
      close(p->capture_fd);
      p->capture_fd = -1;
    }
  }
}

void record_line(const Printer &p, const std::string &event) {
  if (g_transcript_fd < 0)
    return;
  std::string line = p.profile.name + " " + event + "\n";
  write_all(g_transcript_fd, reinterpret_cast<const uint8_t *>(line.data()), line.size());
}

void record_capture(Printer &p, const uint8_t *data, size_t len) {
  if (p.capture_fd >= 0)
    write_all(p.capture_fd, data, len);
}

std::string fmt(const char *format, ...) {
  char buf[512];
  va_list ap;
  va_start(ap, format);
  vsnprintf(buf, sizeof buf, format, ap);
  va_end(ap);
  return buf;
}

} // namespace vp
