// Port-layer internals shared by the files of usbqrp; not for callers.
#ifndef USBQRP_INTERNAL_H
#define USBQRP_INTERNAL_H

#include "usbqrp.h"

// Size of the buffer that trace lines with values are formatted into; the
// formatter is given one byte less, so a line keeps at most 254 characters.
#define QRP_TRACE_LINE_SIZE 256

// Formats one trace line (at most 254 characters, longer text is cut) and
// hands it to QRP_UsbDebug.
void QRP_UsbDebugf(const char *format, ...)
    __attribute__((format(printf, 1, 2)));

// Trace line that ends every failed step of the open with its result code.
void QRP_TraceOpenExit(int result);

// 1 while a DSR monitor thread exists that has not been joined: one that
// did not end when it was asked to stop. Such a thread may still touch the
// handles and dsrLock, so the close leaves them alone.
int QRP_KelpinMonitorLingers(void);

// Called by the open before it touches the record: waits a bounded time for
// a monitor left over from the last close and, once it has ended, finishes
// that close (handles closed, dsrLock destroyed). 0 when the record is
// free, -1 when the old monitor still runs.
int QRP_ReapLingeringMonitor(void);

#endif
