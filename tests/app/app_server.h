// Test helpers for the printer application korvprint.
//
// AppServer runs "korvprint server" as a test wants it: on a free loopback
// port, under a program name of its own (so it never meets an installed
// service's socket or state), with its spool, log and state file in a
// temporary directory, and with the usbkorv of the build tree reaching the
// virtual printers of a umockdev testbed through a small wrapper (the
// umockdev preload and the time shim for the backend only, never for the
// server). It can be stopped and started again on the same state.
#pragma once

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

namespace korvtest {

struct Command {
  int status = -1; // exit status, 128+signal when killed, -1 not run
  std::string out;
  std::string err;
};

// Runs argv with the current environment plus env (NAME=VALUE, replacing)
// less the names in unset; kills it after timeout_s.
Command run_command(const std::vector<std::string> &argv,
                    const std::vector<std::string> &env = {},
                    const std::vector<std::string> &unset = {},
                    int timeout_s = 120);

// A loopback TCP port nobody listens on now.
int free_port();

class AppServer {
public:
  // umockdev_dir: the virtual printers' testbed the backend is to reach.
  explicit AppServer(const std::string &umockdev_dir);
  ~AppServer();
  AppServer(const AppServer &) = delete;
  AppServer &operator=(const AppServer &) = delete;

  // More server options (NAME=VALUE) for the next start(); they override
  // the defaults ("server-options=" turns TLS on, "listen-hostname=*"
  // listens on every address).
  std::vector<std::string> options;

  // Starts the server and waits until it answers; false with error().
  bool start();
  // Stops it with SIGTERM (SIGKILL after timeout_ms); returns whether it
  // ended by itself, in that time, with status 0.
  bool stop(int timeout_ms = 30000);
  bool running() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  const std::string &error() const { return error_; }

  int port() const { return port_; }
  const std::string &dir() const { return dir_; }
  std::string printer_uri(const std::string &queue) const;
  // The domain socket of the sub-commands, and a queue's URI through it
  // (root's way to administer).
  std::string socket_path() const;
  std::string socket_uri(const std::string &queue) const;
  // PAPPL's log and the server's own standard error.
  std::string log() const;
  // Lines the backend wrapper logged: one "start ARGV0 ARGS... pid PID"
  // per run.
  std::vector<std::string> backend_runs() const;

  // The program's sub-commands against this server ("add", "printers", ...).
  Command cli(const std::vector<std::string> &args, int timeout_s = 120) const;
  // ipptool with the given arguments (the URI among them).
  Command ipptool(const std::vector<std::string> &args, int timeout_s = 300) const;
  // Adds a queue with a driver and device URI; false with the reason.
  bool add_printer(const std::string &queue, const std::string &driver,
                   const std::string &device_uri, std::string *why = nullptr) const;

private:
  std::string dir_, program_, umockdev_dir_, error_, decoder_dir_;
  int port_ = 0;
  pid_t pid_ = -1;
  std::vector<std::string> environment() const;
};

// The value ipptool -tv shows last for "name (type) = value", "" if none.
std::string shown_value(const std::string &output, const std::string &name);

// A machine of its own for the tests of logins and of the shop's network.
// This process moves into mount and network namespaces of its own: /etc
// becomes a private copy (test users, the package's PAM service and TLS
// credentials go there), the network has the loopback interface and a veth
// pair to a second network namespace, the phone: another machine on the
// shop's network at kPhoneAddress, reaching this one at kShopAddress.
// Nothing outlives the process. Needs root; construct before any thread
// starts.
class ShopMachine {
public:
  static constexpr const char *kShopAddress = "10.77.0.1";
  static constexpr const char *kPhoneAddress = "10.77.0.2";
  ShopMachine();
  ~ShopMachine();
  ShopMachine(const ShopMachine &) = delete;
  ShopMachine &operator=(const ShopMachine &) = delete;
  bool ok() const { return error_.empty(); }
  const std::string &error() const { return error_; }
  // The command prefix that runs a program on the phone.
  std::vector<std::string> on_phone() const;

  // While one lives, this thread and what it starts are on the phone's
  // network.
  class OnPhone {
  public:
    explicit OnPhone(const ShopMachine &machine);
    ~OnPhone();
    OnPhone(const OnPhone &) = delete;
    OnPhone &operator=(const OnPhone &) = delete;

  private:
    int home_;
  };

private:
  std::string error_, etc_;
  pid_t phone_ = -1;
  int phone_net_ = -1;
};

// A throw-away user with a password in the machine's private /etc, in the
// admin group lpadmin or not; deleted again by the destructor.
class TestUser {
public:
  explicit TestUser(bool admin);
  ~TestUser();
  TestUser(const TestUser &) = delete;
  TestUser &operator=(const TestUser &) = delete;
  bool ok() const { return ok_; }
  bool set_admin(bool admin);
  std::string name, password;

private:
  bool ok_ = false;
};

// IPP job states.
enum IppJobState { kPending = 3, kHeld = 4, kProcessing = 5, kStopped = 6,
                   kCanceled = 7, kAborted = 8, kCompleted = 9 };

// Prints file with ipptool's Print-Job and waits until the job ends.
// attrs: extra job attributes "name=value" (ipptool ATTR lines are built
// for integers and keywords). Returns the final job-state, -1 on error.
struct JobResult {
  int job_id = 0;
  int state = -1;
  std::string output; // ipptool's
};
JobResult print_and_wait(const AppServer &server, const std::string &queue,
                         const std::string &file, const std::string &format,
                         const std::vector<std::string> &attrs = {},
                         int timeout_s = 300);

// Submits a job without waiting; its id, or -1 (ipptool's output in output).
int submit_job(const AppServer &server, const std::string &queue, const std::string &file,
               const std::string &format, const std::vector<std::string> &attrs = {},
               std::string *output = nullptr);
// Cancel-Job; whether the server accepted it.
bool cancel_job(const AppServer &server, const std::string &queue, int job_id);
// One printer attribute's value as ipptool shows it ("" when absent).
std::string printer_attribute(const AppServer &server, const std::string &queue,
                              const std::string &name);

// Waits until the job reaches a state >= 7 (or timeout); returns it.
int wait_job_end(const AppServer &server, const std::string &queue, int job_id,
                 int timeout_s = 300);
// The job's current state, -1 on error.
int job_state(const AppServer &server, const std::string &queue, int job_id,
              std::string *reasons = nullptr);

} // namespace korvtest
