// Safe opening of the backend's fixed-name log files in /tmp.
#include "logfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

FILE *QRP_OpenLogFile(const char *path) {
  if (path == nullptr)
    return nullptr;

  // O_NONBLOCK: a FIFO planted under the log's name must not block the open.
  int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK |
                          O_CLOEXEC,
                0600);
  if (fd < 0)
    return nullptr;

  // A second name on the file would be a hard link planted in /tmp to
  // make root append print data to some other file.
  struct stat info;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_nlink != 1) {
    close(fd);
    return nullptr;
  }
  // O_NONBLOCK stays: it changes nothing for a regular file, and the trace
  // log opens the file once per line, so every system call counts.

  FILE *stream = fdopen(fd, "a");
  if (stream == nullptr)
    close(fd);
  return stream;
}
