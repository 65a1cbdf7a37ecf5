// Runs the real usbkorv binary as the CUPS scheduler does: argv[0] is the
// device URI, the data comes on standard input, and the exit status,
// standard output and standard error are collected.
#ifndef KORV_TESTS_BACKEND_RUN_H
#define KORV_TESTS_BACKEND_RUN_H

#include <sys/types.h>

#include <string>
#include <vector>

struct BackendRun {
  int status = -1;     // exit status, or 128 + signal number
  std::string out;     // standard output
  std::string err;     // standard error
};

struct BackendOptions {
  std::string input;          // written to the backend's standard input
  bool read_only_tmp = false; // run with /tmp mounted read-only
};

// A backend started in the background, as CUPS runs one: the test feeds
// its standard input, reads its standard error as it comes and can send
// it signals. Killed on destruction if it still runs.
class BackendProcess {
public:
  explicit BackendProcess(const std::vector<std::string> &argv);
  ~BackendProcess();
  BackendProcess(const BackendProcess &) = delete;
  BackendProcess &operator=(const BackendProcess &) = delete;

  bool started() const { return pid_ > 0; }
  // Writes all of data to standard input (false when the backend is gone).
  bool send(const std::string &data);
  // Closes standard input: the end of the job's data.
  void close_input();
  // Reads standard error until it holds text; false after timeout_ms.
  bool wait_err(const std::string &text, int timeout_ms = 10000);
  void signal(int number);
  // Waits for the end; returns the exit status, 128 + signal when killed.
  int wait();
  const std::string &err() const { return err_text_; }

private:
  // Reads what standard error has, waiting up to timeout_ms for it.
  void read_err(int timeout_ms);
  pid_t pid_ = -1;
  int in_ = -1;
  int err_ = -1;
  std::string err_text_;
  int status_ = -1;
};

// Path of the usbkorv binary under test.
std::string usbkorv_path();

// argv as the backend sees it, argv[0] included (empty for argc 0).
BackendRun run_usbkorv(const std::vector<std::string> &argv,
                       const BackendOptions &options = {});

// True when a child can be given a read-only /tmp (root in a private
// mount namespace).
bool can_make_tmp_read_only();

// The logs in the test's private /tmp.
#define BACKEND_LOG "/tmp/usbkorv.log"
#define TRACE_LOG "/tmp/usbqrpdrv.log"
#define TIME_LOG "/tmp/korv-time.log"

// Removes both logs and the time shim's log, and points the time shim at
// TIME_LOG with every wait divided by divisor.
void fresh_logs(unsigned divisor = 1000);

std::string read_file(const std::string &path);
bool file_exists(const std::string &path);
void write_file(const std::string &path, const std::string &data);
std::vector<std::string> split_lines(const std::string &text);
// The lines of text that contain needle.
std::vector<std::string> grep(const std::string &text, const std::string &needle);
// Bytes of a given length in a pattern that shows misplaced blocks.
std::string pattern_bytes(size_t length, unsigned seed);

#endif
