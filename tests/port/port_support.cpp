#include "port_support.h"

#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "usbqrp.h"

namespace porttest {

std::vector<std::string> TraceLines() {
  std::vector<std::string> lines;
  std::ifstream in(kTracePath);
  std::string line;
  while (std::getline(in, line))
    lines.push_back(line);
  return lines;
}

void ClearTrace() { unlink(kTracePath); }

int FindLine(const std::vector<std::string> &lines, const std::string &text,
             size_t from) {
  for (size_t i = from; i < lines.size(); ++i)
    if (lines[i] == text)
      return static_cast<int>(i);
  return -1;
}

int CountLines(const std::vector<std::string> &lines,
               const std::string &text) {
  int count = 0;
  for (const std::string &line : lines)
    count += line == text;
  return count;
}

int CountPrefix(const std::vector<std::string> &lines,
                const std::string &prefix) {
  int count = 0;
  for (const std::string &line : lines)
    count += line.rfind(prefix, 0) == 0;
  return count;
}

bool HasRun(const std::vector<std::string> &lines,
            const std::vector<std::string> &expected) {
  if (expected.empty())
    return true;
  for (size_t i = 0; i + expected.size() <= lines.size(); ++i) {
    bool match = true;
    for (size_t j = 0; j < expected.size() && match; ++j)
      match = lines[i + j] == expected[j];
    if (match)
      return true;
  }
  return false;
}

TimeRecord::TimeRecord(unsigned divisor) {
  static int serial = 0;
  path_ = "/tmp/korv-time-" + std::to_string(getpid()) + "-" +
          std::to_string(serial++) + ".log";
  unlink(path_.c_str());
  setenv("KORV_TIME_DIVISOR", std::to_string(divisor).c_str(), 1);
  setenv("KORV_TIME_LOG", path_.c_str(), 1);
}

TimeRecord::~TimeRecord() {
  unsetenv("KORV_TIME_LOG");
  unsetenv("KORV_TIME_DIVISOR");
  unlink(path_.c_str());
}

std::vector<unsigned long> TimeRecord::Waits() const {
  std::vector<unsigned long> waits;
  std::ifstream in(path_);
  std::string kind;
  unsigned long amount;
  while (in >> kind >> amount)
    waits.push_back(kind == "sleep" ? amount * 1000000UL : amount);
  return waits;
}

int TimeRecord::Count(unsigned long us) const {
  int count = 0;
  for (unsigned long wait : Waits())
    count += wait == us;
  return count;
}

void TimeRecord::Clear() { unlink(path_.c_str()); }

std::unique_ptr<korvtest::VPrinterServer>
Serve(const std::vector<std::string> &profiles) {
  auto server = std::make_unique<korvtest::VPrinterServer>(profiles);
  if (!server->ok()) {
    ADD_FAILURE() << "vprinter: " << server->error();
    return nullptr;
  }
  return server;
}

std::vector<std::string> Wire(const korvtest::VPrinterServer &server,
                              const std::string &printer, bool keep_all) {
  std::vector<std::string> out;
  for (const std::string &line : server.transcript(printer)) {
    std::string event = line.substr(line.find(' ') + 1);
    if (!keep_all && (event == "open" || event == "close"))
      continue;
    out.push_back(event);
  }
  return out;
}

bool Eventually(const std::function<bool()> &check, int timeout_ms) {
  for (int waited = 0; waited <= timeout_ms; waited += 2) {
    if (check())
      return true;
    struct timespec pause = {0, 2000000};
    nanosleep(&pause, nullptr);
  }
  return check();
}

void ResetPort() {
  QRP_UsbPort &p = g_printer;
  if (p.opened) {
    // An open port is closed the normal way so the monitor is stopped.
    QRP_CloseUsbPort();
  }
  if (p.handle2 != nullptr && p.handle2 != p.handle)
    usb_close(p.handle2);
  if (p.handle != nullptr)
    usb_close(p.handle);
  p.handle = nullptr;
  p.handle2 = nullptr;
  p.device = nullptr;
  p.opened = 0;
  p.family = 0;
  p.dsr = 0;
  p.dsrThreadState.store(0);
}

} // namespace porttest
