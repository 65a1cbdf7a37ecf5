// Printer descriptions: what each virtual printer is (identity, strings,
// bus position) and which faults it shows. Parsed from --printer PROFILE and
// from --config FILE; the syntax is described in README.md.
#pragma once

#include <array>
#include <climits>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vp {

enum class Family { Ostrel, Kelpin };

// A USB string of the printer: text, no string at all (index 0), or an
// index whose GET_DESCRIPTOR stalls.
struct StringProfile {
  enum class Kind { Text, None, Stall };
  Kind kind = Kind::Text;
  std::string text;
};

// One item of data waiting on the bulk IN endpoint: bytes that one read
// returns, or a read that ends in a stall.
struct BulkInItem {
  bool stall = false;
  std::vector<uint8_t> bytes;
};

// "fail=OP[/ARG...][@N|@N+|@N-M]:OUTCOME": the matching requests (counted
// per rule) get the outcome instead of their normal answer.
struct FailRule {
  std::string op;
  std::vector<long> args;
  unsigned first = 1;
  unsigned last = UINT_MAX;
  enum class Action { Errno, Stall, Nak, Short };
  Action action = Action::Errno;
  int err = 0;       // positive errno for Action::Errno
  int short_len = 0; // bytes moved for Action::Short
  std::string text;  // the rule as written, for messages
};

struct PrinterProfile {
  std::string name;
  Family family = Family::Ostrel;
  bool family_set = false;
  long vid = -1, pid = -1, bcd = -1;
  StringProfile manufacturer, product, serial;
  bool manufacturer_set = false, product_set = false, serial_set = false;
  int bus = 0, dev = 0; // 0: allocated
  std::array<uint8_t, 7> line_coding{0x80, 0x25, 0x00, 0x00, 0x00, 0x00, 0x08};
  bool dsr = true;             // DSR at start
  unsigned dsr_delay_ms = 0;   // DSR rises this long after the host raises DTR
  uint64_t dsr_low_every = 0;  // after every N bytes received ...
  unsigned dsr_low_ms = 0;     // ... DSR is low for this long
  std::string driver;          // kernel driver bound to interface 0
  unsigned write_max = 0;      // each bulk OUT accepts at most this many bytes
  int64_t stall_after = -1, nak_after = -1, vanish_after = -1;
  unsigned chatter_ms = 0;     // a notification every T ms
  std::vector<BulkInItem> bulk_in;
  unsigned open_limit = 0;     // the node disappears after this many opens
  bool strict_claims = true;   // transfers need the endpoint's interface
  std::vector<FailRule> fails;
};

// Parses "key=value,key=value,..." (a leading bare word is the family).
// On error returns false with a message in err.
bool parse_printer_profile(std::string_view text, PrinterProfile &out, std::string &err);

// Parses a config file's text: one printer per [name] section.
bool parse_config(std::string_view text, std::vector<PrinterProfile> &out, std::string &err);

// Applies one key=value to a printer. value_quoted tells whether the value
// was written in double quotes (then it is literal text).
bool apply_key(PrinterProfile &p, std::string_view key, const std::string &value,
               bool value_quoted, std::string &err);

// Fills defaults (IDs and strings by family, names P1.., bus/dev numbers)
// and checks the set as a whole: unique names and bus/device pairs.
bool finish_profiles(std::vector<PrinterProfile> &profiles, std::string &err);

bool parse_fail_rule(std::string_view text, FailRule &rule, std::string &err);
bool parse_errno_name(std::string_view text, int &err);
bool parse_hex_bytes(std::string_view text, std::vector<uint8_t> &out);

} // namespace vp
