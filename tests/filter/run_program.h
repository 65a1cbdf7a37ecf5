// Runs a program as the CUPS scheduler runs a filter: chosen argv[0],
// environment with or without PPD, standard input from bytes, and standard
// output captured, closed, or a pipe nobody reads.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "test_image.h"

namespace korvtest {

enum class Stdout { Capture, Closed, ClosedPipe };

struct RunResult {
  int status = -1;        // exit status, or -1 when killed by a signal
  int signal = 0;         // the signal that ended it, if any
  Bytes out;              // standard output
  std::string err;        // standard error
};

struct RunOptions {
  std::optional<std::string> ppd;      // value of PPD; unset when empty
  std::optional<Bytes> stdinBytes;     // fed through a pipe; else /dev/null
  Stdout stdoutMode = Stdout::Capture;
};

RunResult run_program(const std::string& program, const std::vector<std::string>& argv,
                      const RunOptions& options);

}  // namespace korvtest
