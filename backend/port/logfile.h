// Safe opening of the backend's fixed-name log files in /tmp.
#ifndef KORV_LOGFILE_H
#define KORV_LOGFILE_H

#include <stdio.h>

// Opens path for appending as a stream, creating it with mode 0600.
// Refuses symbolic links and anything that is not a regular file, since
// the backend often runs as root and /tmp is writable by everyone.
// Returns null on any failure; callers then run without that log.
FILE *QRP_OpenLogFile(const char *path);

#endif
