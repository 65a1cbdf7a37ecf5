// Test helpers for the virtual printer (vprinter).
//
// VPrinterServer starts "vprinter serve" with the given printer profiles,
// points this process's umockdev preload at it (UMOCKDEV_DIR) and stops it
// again on destruction; the test then uses libusb 0.1 directly. Each
// printer that has no bus=/dev= of its own gets a (bus, device) pair never
// used before in this process, since libusb 0.1 keeps the descriptors of a
// device file name it has seen once.
//
// run_under_vprinter() runs a program under "vprinter ... --" and collects
// its exit status, standard output and standard error.
#pragma once

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

namespace korvtest {

struct UsbAddress {
  int bus;
  int dev;
};

// A (bus, device) pair not handed out before in this process.
UsbAddress next_usb_address();

// Adds bus= and dev= (from next_usb_address) unless the profile has them.
std::string with_address(const std::string &profile);

// The built vprinter program: $KORV_VPRINTER, else the build tree's.
std::string vprinter_path();

class VPrinterServer {
public:
  // profiles: one --printer PROFILE each. extra_args: more vprinter options.
  explicit VPrinterServer(const std::vector<std::string> &profiles,
                          const std::vector<std::string> &extra_args = {});
  ~VPrinterServer();
  VPrinterServer(const VPrinterServer &) = delete;
  VPrinterServer &operator=(const VPrinterServer &) = delete;

  bool ok() const { return ok_; }
  const std::string &error() const { return error_; }
  const std::string &umockdev_dir() const { return umockdev_dir_; }
  const std::string &transcript_path() const { return transcript_; }
  const std::string &capture_dir() const { return capture_dir_; }
  // The address each printer got, in profile order.
  const std::vector<UsbAddress> &addresses() const { return addresses_; }

  // Transcript lines, optionally only those of one printer and/or one
  // event ("P1", "bulk_out"). Lines keep the printer name.
  std::vector<std::string> transcript(const std::string &printer = "",
                                      const std::string &event = "") const;
  // Waits until at least count lines match (printer, event), up to
  // timeout_ms; returns whether they did.
  bool wait_for(const std::string &printer, const std::string &event, size_t count = 1,
                int timeout_ms = 5000) const;
  // The bytes the printer accepted so far.
  std::vector<uint8_t> captured(const std::string &printer) const;
  // Sends one command line to the server (dsr NAME 0|1, bulk_in NAME HEX,
  // notify NAME, vanish NAME, plug PROFILE).
  void command(const std::string &line);
  // Plugs in one more printer (a fresh address is added unless the
  // profile has one) and waits until the server reports it plugged in
  // under name, its name= (or the default P<n>).
  bool plug(const std::string &profile, const std::string &name);
  // Stops the server (also done by the destructor); returns its exit status.
  int stop();

private:
  bool ok_ = false;
  std::string error_;
  std::string workdir_, transcript_, capture_dir_, umockdev_dir_;
  std::vector<UsbAddress> addresses_;
  pid_t pid_ = -1;
  int stdin_fd_ = -1;
  int status_ = -1;
};

struct RunResult {
  int status = -1; // exit status, 128+signal when killed
  std::string out;
  std::string err;
};

struct RunOptions {
  std::vector<std::string> printers;    // --printer PROFILEs
  std::vector<std::string> vprinter_args; // e.g. --transcript, --capture-dir
  std::string argv0;                     // argv[0] of the program (empty: its path)
  std::string input;                     // standard input of the program
  std::vector<std::string> env;          // extra NAME=VALUE for the program
};

// Runs argv (argv[0] is the program path) under vprinter.
RunResult run_under_vprinter(const std::vector<std::string> &argv, const RunOptions &options);

// Reads a whole file; empty when it cannot be read.
std::string read_text(const std::string &path);

// A fresh private directory under $TMPDIR or /tmp, removed by the caller.
std::string make_temp_dir(const std::string &tag);
void remove_tree(const std::string &path);

} // namespace korvtest
