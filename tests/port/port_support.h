// Helpers shared by the port layer's tests: the trace log, the time shim's
// record of requested waits, and a reset of the port record between tests.
#ifndef KORV_TESTS_PORT_SUPPORT_H
#define KORV_TESTS_PORT_SUPPORT_H

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "vprinter_client.h"

namespace porttest {

inline const char *kTracePath = "/tmp/usbqrpdrv.log";

// Lines of the trace log (without their newlines); empty when absent.
std::vector<std::string> TraceLines();
// Removes the trace log.
void ClearTrace();
// Index of the first line equal to text at or after from, or -1.
int FindLine(const std::vector<std::string> &lines, const std::string &text,
             size_t from = 0);
// Number of lines equal to text.
int CountLines(const std::vector<std::string> &lines, const std::string &text);
// Number of lines that begin with prefix.
int CountPrefix(const std::vector<std::string> &lines,
                const std::string &prefix);
// True when expected appears in lines as a contiguous run.
bool HasRun(const std::vector<std::string> &lines,
            const std::vector<std::string> &expected);

// The time shim: waits divided by divisor, each request recorded in a log
// that this object owns. Restores the environment when destroyed.
class TimeRecord {
public:
  explicit TimeRecord(unsigned divisor = 100);
  ~TimeRecord();
  TimeRecord(const TimeRecord &) = delete;
  TimeRecord &operator=(const TimeRecord &) = delete;
  // Requested usleep durations in order ("sleep s" entries as s*1000000).
  // libusb's own zero-length waits are among them.
  std::vector<unsigned long> Waits() const;
  int Count(unsigned long us) const;
  void Clear();

private:
  std::string path_;
};

// Starts the virtual printers; null (with a test failure) when it fails.
std::unique_ptr<korvtest::VPrinterServer>
Serve(const std::vector<std::string> &profiles);

// Transcript lines of one printer without the printer name, and with the
// events that only enumeration makes (open, close, getdriver) left out
// unless keep_all.
std::vector<std::string> Wire(const korvtest::VPrinterServer &server,
                              const std::string &printer = "P1",
                              bool keep_all = false);

// Calls check every 2 ms until it returns true or timeout_ms passes.
bool Eventually(const std::function<bool()> &check, int timeout_ms = 5000);

// Gives the record back its start state after a test, closing whatever a
// failed open left open (a failed open keeps its handles by design).
void ResetPort();

} // namespace porttest

#endif
