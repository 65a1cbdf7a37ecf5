// A private CUPS scheduler for the end-to-end tests.
//
// PrivateCups lays out a scheduler in a fresh directory with
// private-cups.sh (the build's own install rules put usbkorv, the filter
// and the PPDs into its server bin and model directories), starts
// "cupsd -f" on its own unix socket, waits until it answers and stops it
// again on destruction. Its backends run under the umockdev preload and
// the time shim, so they reach the virtual printers of the umockdev
// testbed given and never sleep the protocol's long waits for real.
//
// Needs root (cupsd starts the backend as root and the filters as lp).
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace korvtest {

struct CupsOptions {
  std::string build_dir;     // configured and built tree of this project
  std::string umockdev_dir;  // testbed of the virtual printers
  std::string preload;       // LD_PRELOAD for the backends
  int time_divisor = 1000;   // KORV_TIME_DIVISOR for the backends
};

struct CommandResult {
  int status = -1;  // exit status, 128+signal when killed
  std::string out;
  std::string err;
};

// Job states as IPP numbers them.
enum JobState {
  kJobPending = 3,
  kJobHeld = 4,
  kJobProcessing = 5,
  kJobStopped = 6,
  kJobCanceled = 7,
  kJobAborted = 8,
  kJobCompleted = 9,
};
const char *job_state_name(int state);

class PrivateCups {
public:
  explicit PrivateCups(const CupsOptions &options);
  ~PrivateCups();
  PrivateCups(const PrivateCups &) = delete;
  PrivateCups &operator=(const PrivateCups &) = delete;

  bool ok() const { return ok_; }
  const std::string &error() const { return error_; }
  const std::string &dir() const { return dir_; }
  const std::string &socket_path() const { return socket_; }
  // Where the install rules put the PPDs inside the private tree.
  std::string model_dir() const;
  std::string time_log_path() const { return dir_ + "/time.log"; }
  std::string error_log() const;
  // Milliseconds from the start of cupsd until lpstat -r said it runs.
  long startup_ms() const { return startup_ms_; }

  // Runs a CUPS client program (lpinfo, lpadmin, lp, lpstat, ...) against
  // this scheduler.
  CommandResult run(const std::vector<std::string> &argv) const;

  // lp -d queue [-o option]... file; returns the job id, or -1 with the
  // client's message in *message.
  int print(const std::string &queue, const std::string &file,
            const std::vector<std::string> &options, std::string *message = nullptr) const;
  // The job's state (JobState), or -1 when the scheduler does not know it.
  int job_state(int job_id) const;
  // Waits until the job is no longer pending, held or processing, up to
  // timeout_ms; returns its last state.
  int wait_job(int job_id, int timeout_ms = 60000) const;

  // Stops the scheduler (also done by the destructor).
  void stop();

private:
  bool ok_ = false;
  std::string error_;
  std::string dir_, socket_;
  pid_t pid_ = -1;
  long startup_ms_ = -1;
};

// Runs argv with exactly the environment env; standard input is /dev/null.
CommandResult run_command(const std::vector<std::string> &argv,
                          const std::vector<std::string> &env);

// This process's environment without LD_PRELOAD and UMOCKDEV_DIR, plus
// the extra NAME=VALUE entries.
std::vector<std::string> clean_environment(const std::vector<std::string> &extra);

} // namespace korvtest
