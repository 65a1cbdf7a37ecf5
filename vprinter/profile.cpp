// Parsing of printer descriptions (command line PROFILE and config file).
#include "profile.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <set>
#include <utility>

#include "catalogue.h"

namespace vp {
namespace {

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r'))
    s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
    s.remove_suffix(1);
  return s;
}

bool lower_equal(std::string_view a, std::string_view b) {
  if (a.size() != b.size())
    return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i] >= 'A' && a[i] <= 'Z' ? char(a[i] - 'A' + 'a') : a[i];
    if (x != b[i])
      return false;
  }
  return true;
}

// Decimal, or hexadecimal with 0x. No sign, no trailing text.
bool parse_number(std::string_view s, uint64_t max, uint64_t &out) {
  s = trim(s);
  int base = 10;
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    base = 16;
    s.remove_prefix(2);
  }
  if (s.empty())
    return false;
  uint64_t v = 0;
  for (char c : s) {
    int d;
    if (c >= '0' && c <= '9')
      d = c - '0';
    else if (base == 16 && c >= 'a' && c <= 'f')
      d = c - 'a' + 10;
    else if (base == 16 && c >= 'A' && c <= 'F')
      d = c - 'A' + 10;
    else
      return false;
    if (v > (UINT64_MAX - uint64_t(d)) / uint64_t(base))
      return false;
    v = v * uint64_t(base) + uint64_t(d);
  }
  if (v > max)
    return false;
  out = v;
  return true;
}

bool valid_word(std::string_view s, size_t max) {
  if (s.empty() || s.size() > max)
    return false;
  for (char c : s) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
              (c >= '0' && c <= '9') || c == '_' || c == '-' || c == '.';
    if (!ok)
      return false;
  }
  return true;
}

// Reads a double-quoted value starting at text[pos] == '"'. On success pos
// is just past the closing quote.
bool read_quoted(std::string_view text, size_t &pos, std::string &out, std::string &err) {
  out.clear();
  ++pos;
  while (pos < text.size()) {
    char c = text[pos++];
    if (c == '"')
      return true;
    if (c != '\\') {
      out += c;
      continue;
    }
    if (pos >= text.size())
      break;
    char e = text[pos++];
    switch (e) {
    case '\\': out += '\\'; break;
    case '"': out += '"'; break;
    case 'n': out += '\n'; break;
    case 'r': out += '\r'; break;
    case 't': out += '\t'; break;
    case 'x': {
      uint64_t v;
      if (pos + 2 > text.size() || !parse_number("0x" + std::string(text.substr(pos, 2)), 255, v)) {
        err = "bad \\x escape in quoted value";
        return false;
      }
      out += char(v);
      pos += 2;
      break;
    }
    default:
      err = std::string("unknown escape \\") + e + " in quoted value";
      return false;
    }
  }
  err = "unterminated quoted value";
  return false;
}

bool parse_string_profile(const std::string &value, bool quoted, StringProfile &out, std::string &err) {
  out = StringProfile{};
  if (!quoted && !value.empty() && value[0] == '@') {
    if (value == "@none")
      out.kind = StringProfile::Kind::None;
    else if (value == "@stall")
      out.kind = StringProfile::Kind::Stall;
    else {
      err = "unknown string keyword " + value + " (use @none, @stall, or quote the text)";
      return false;
    }
    return true;
  }
  out.text = value;
  return true;
}

// "9600" or "9600:8N1" or "115200:7E2", or 14 hex digits of the raw block.
bool parse_line_coding(std::string_view v, std::array<uint8_t, 7> &out) {
  std::vector<uint8_t> raw;
  if (v.size() == 14 && parse_hex_bytes(v, raw)) {
    for (size_t i = 0; i < 7; ++i)
      out[i] = raw[i];
    return true;
  }
  std::string_view baud_text = v, fmt = "8N1";
  size_t colon = v.find(':');
  if (colon != std::string_view::npos) {
    baud_text = v.substr(0, colon);
    fmt = v.substr(colon + 1);
  }
  uint64_t baud;
  if (!parse_number(baud_text, 0xffffffffu, baud))
    return false;
  if (fmt.size() < 3 || fmt[0] < '5' || fmt[0] > '8')
    return false;
  static const std::string_view parities = "NOEMS";
  size_t parity = parities.find(char(fmt[1] >= 'a' ? fmt[1] - 32 : fmt[1]));
  if (parity == std::string_view::npos)
    return false;
  std::string_view stop = fmt.substr(2);
  uint8_t stop_code;
  if (stop == "1")
    stop_code = 0;
  else if (stop == "1.5")
    stop_code = 1;
  else if (stop == "2")
    stop_code = 2;
  else
    return false;
  out = {uint8_t(baud), uint8_t(baud >> 8), uint8_t(baud >> 16), uint8_t(baud >> 24),
         stop_code, uint8_t(parity), uint8_t(fmt[0] - '0')};
  return true;
}

bool parse_bulk_in(std::string_view v, std::vector<BulkInItem> &items) {
  size_t pos = 0;
  while (pos < v.size()) {
    size_t end = v.find_first_of("/ ", pos);
    if (end == std::string_view::npos)
      end = v.size();
    std::string_view item = v.substr(pos, end - pos);
    pos = end + 1;
    if (item.empty())
      continue;
    BulkInItem it;
    if (item == "stall") {
      it.stall = true;
    } else if (!parse_hex_bytes(item, it.bytes) || it.bytes.empty()) {
      return false;
    }
    items.push_back(std::move(it));
  }
  return true;
}

} // namespace

bool parse_hex_bytes(std::string_view text, std::vector<uint8_t> &out) {
  out.clear();
  if (text.size() % 2 != 0)
    return false;
  for (size_t i = 0; i < text.size(); i += 2) {
    uint64_t v;
    std::string pair = "0x" + std::string(text.substr(i, 2));
    if (!parse_number(pair, 255, v))
      return false;
    out.push_back(uint8_t(v));
  }
  return true;
}

bool parse_errno_name(std::string_view text, int &err) {
  static const std::pair<const char *, int> names[] = {
      {"EPIPE", EPIPE},         {"EBUSY", EBUSY},       {"ENODEV", ENODEV},
      {"ETIMEDOUT", ETIMEDOUT}, {"EIO", EIO},           {"EPROTO", EPROTO},
      {"ENOENT", ENOENT},       {"EINVAL", EINVAL},     {"ENODATA", ENODATA},
      {"EPERM", EPERM},         {"EACCES", EACCES},     {"EAGAIN", EAGAIN},
      {"EOVERFLOW", EOVERFLOW}, {"ESHUTDOWN", ESHUTDOWN}, {"ENOMEM", ENOMEM},
      {"EILSEQ", EILSEQ},       {"ECONNRESET", ECONNRESET}, {"ENXIO", ENXIO},
      {"EREMOTEIO", EREMOTEIO}, {"ENOSPC", ENOSPC},
  };
  for (auto &n : names) {
    if (text == n.first) {
      err = n.second;
      return true;
    }
  }
  std::string_view digits = text;
  if (!digits.empty() && digits[0] == '-')
    digits.remove_prefix(1);
  uint64_t v;
  if (parse_number(digits, 4095, v) && v > 0) {
    err = int(v);
    return true;
  }
  return false;
}

bool parse_fail_rule(std::string_view text, FailRule &rule, std::string &err) {
  rule = FailRule{};
  rule.text = std::string(text);
  size_t colon = text.find(':');
  if (colon == std::string_view::npos) {
    err = "fail rule '" + rule.text + "' lacks ':OUTCOME'";
    return false;
  }
  std::string_view target = text.substr(0, colon);
  std::string_view outcome = text.substr(colon + 1);

  size_t at = target.find('@');
  std::string_view occurrence;
  if (at != std::string_view::npos) {
    occurrence = target.substr(at + 1);
    target = target.substr(0, at);
  }
  size_t slash = target.find('/');
  rule.op = std::string(target.substr(0, slash));
  static const std::set<std::string> ops = {"control", "claim", "release", "clear_halt",
                                            "getdriver", "detach", "bulk_out", "bulk_in",
                                            "interrupt_in"};
  if (!ops.count(rule.op)) {
    err = "fail rule '" + rule.text + "': unknown request kind '" + rule.op + "'";
    return false;
  }
  size_t max_args = rule.op == "control" ? 4 : 1;
  while (slash != std::string_view::npos) {
    size_t next = target.find('/', slash + 1);
    std::string_view a = target.substr(slash + 1, next == std::string_view::npos ? std::string_view::npos : next - slash - 1);
    uint64_t v;
    if (!parse_number(a, 0xffff, v)) {
      err = "fail rule '" + rule.text + "': bad number '" + std::string(a) + "'";
      return false;
    }
    rule.args.push_back(long(v));
    slash = next;
  }
  if (rule.args.size() > max_args) {
    err = "fail rule '" + rule.text + "': too many values for " + rule.op;
    return false;
  }
  if (!occurrence.empty()) {
    uint64_t a, b;
    size_t dash = occurrence.find('-');
    if (occurrence.back() == '+') {
      if (!parse_number(occurrence.substr(0, occurrence.size() - 1), UINT_MAX, a) || a == 0)
        goto bad_occurrence;
      rule.first = unsigned(a);
      rule.last = UINT_MAX;
    } else if (dash != std::string_view::npos) {
      if (!parse_number(occurrence.substr(0, dash), UINT_MAX, a) ||
          !parse_number(occurrence.substr(dash + 1), UINT_MAX, b) || a == 0 || b < a)
        goto bad_occurrence;
      rule.first = unsigned(a);
      rule.last = unsigned(b);
    } else {
      if (!parse_number(occurrence, UINT_MAX, a) || a == 0)
        goto bad_occurrence;
      rule.first = rule.last = unsigned(a);
    }
  }
  if (outcome == "stall") {
    rule.action = FailRule::Action::Stall;
  } else if (outcome == "nak") {
    rule.action = FailRule::Action::Nak;
  } else if (outcome.substr(0, 6) == "short:") {
    uint64_t n;
    if (!parse_number(outcome.substr(6), 65535, n)) {
      err = "fail rule '" + rule.text + "': bad short length";
      return false;
    }
    rule.action = FailRule::Action::Short;
    rule.short_len = int(n);
  } else if (parse_errno_name(outcome, rule.err)) {
    rule.action = rule.err == EPIPE ? FailRule::Action::Stall : FailRule::Action::Errno;
  } else {
    err = "fail rule '" + rule.text + "': unknown outcome '" + std::string(outcome) +
          "' (an errno name such as EPIPE, a number, stall, nak or short:N)";
    return false;
  }
  return true;

bad_occurrence:
  err = "fail rule '" + rule.text + "': bad occurrence '" + std::string(occurrence) +
        "' (N, N+ or N-M, counted from 1)";
  return false;
}

bool apply_key(PrinterProfile &p, std::string_view key, const std::string &value, bool quoted,
               std::string &err) {
  std::string k(key);
  auto bad = [&](const char *what) {
    err = "bad value '" + value + "' for " + k + ": " + what;
    return false;
  };
  auto number = [&](uint64_t max, uint64_t &out) { return parse_number(value, max, out); };
  uint64_t n = 0;

  if (k == "manufacturer" || k == "product" || k == "serial") {
    StringProfile s;
    if (!parse_string_profile(value, quoted, s, err))
      return false;
    if (k == "manufacturer") {
      p.manufacturer = s;
      p.manufacturer_set = true;
    } else if (k == "product") {
      p.product = s;
      p.product_set = true;
    } else {
      p.serial = s;
      p.serial_set = true;
    }
    return true;
  }
  if (k == "name") {
    if (!valid_word(value, 32))
      return bad("letters, digits, '_', '-' and '.' only, at most 32");
    p.name = value;
  } else if (k == "family") {
    if (lower_equal(value, "ostrel"))
      p.family = Family::Ostrel;
    else if (lower_equal(value, "kelpin"))
      p.family = Family::Kelpin;
    else
      return bad("ostrel or kelpin");
    p.family_set = true;
  } else if (k == "vid" || k == "pid" || k == "bcd") {
    if (!number(0xffff, n))
      return bad("a 16-bit number");
    (k == "vid" ? p.vid : k == "pid" ? p.pid : p.bcd) = long(n);
  } else if (k == "bus") {
    if (!number(255, n) || n == 0)
      return bad("1 to 255");
    p.bus = int(n);
  } else if (k == "dev") {
    if (!number(127, n) || n == 0)
      return bad("1 to 127");
    p.dev = int(n);
  } else if (k == "line_coding") {
    if (!parse_line_coding(value, p.line_coding))
      return bad("BAUD[:8N1] or 14 hex digits");
  } else if (k == "dsr") {
    if (value == "1" || value == "ready")
      p.dsr = true;
    else if (value == "0" || value == "never")
      p.dsr = false;
    else
      return bad("1, 0, ready or never");
  } else if (k == "dsr_delay") {
    if (!number(3600000, n))
      return bad("milliseconds");
    p.dsr_delay_ms = unsigned(n);
  } else if (k == "dsr_low") {
    size_t slash = value.find('/');
    uint64_t t;
    if (slash == std::string::npos || !parse_number(value.substr(0, slash), UINT64_MAX, n) ||
        n == 0 || !parse_number(value.substr(slash + 1), 3600000, t) || t == 0)
      return bad("N/T: after every N bytes, low for T ms (both above 0)");
    p.dsr_low_every = n;
    p.dsr_low_ms = unsigned(t);
  } else if (k == "claim_busy") {
    if (!number(UINT_MAX, n))
      return bad("a count");
    if (n > 0) {
      FailRule r;
      r.op = "claim";
      r.first = 1;
      r.last = unsigned(n);
      r.err = EBUSY;
      r.text = "claim_busy=" + value;
      p.fails.push_back(r);
    }
  } else if (k == "driver") {
    if (!valid_word(value, 255))
      return bad("a module name: letters, digits, '_', '-' and '.'");
    p.driver = value;
  } else if (k == "write_max") {
    if (!number(1 << 20, n) || n == 0)
      return bad("bytes, above 0");
    p.write_max = unsigned(n);
  } else if (k == "stall_after" || k == "nak_after" || k == "vanish_after") {
    if (!number(INT64_MAX, n))
      return bad("a byte count");
    (k == "stall_after" ? p.stall_after : k == "nak_after" ? p.nak_after : p.vanish_after) =
        int64_t(n);
  } else if (k == "chatter") {
    if (!number(3600000, n) || n == 0)
      return bad("milliseconds, above 0");
    p.chatter_ms = unsigned(n);
  } else if (k == "bulk_in") {
    if (!parse_bulk_in(value, p.bulk_in))
      return bad("hex pieces or 'stall', separated by '/' or blanks");
  } else if (k == "modem_status") {
    FailRule r;
    r.op = "control";
    r.args = {0xc1, 0x08};
    r.text = "modem_status=" + value;
    if (value == "empty") {
      r.action = FailRule::Action::Short;
      r.short_len = 0;
    } else if (value == "stall") {
      r.action = FailRule::Action::Stall;
    } else {
      return bad("empty or stall");
    }
    p.fails.push_back(r);
  } else if (k == "open_limit") {
    if (!number(UINT_MAX, n) || n == 0)
      return bad("a count above 0");
    p.open_limit = unsigned(n);
  } else if (k == "claims") {
    if (value == "strict")
      p.strict_claims = true;
    else if (value == "loose")
      p.strict_claims = false;
    else
      return bad("strict or loose");
  } else if (k == "fail") {
    FailRule r;
    if (!parse_fail_rule(value, r, err))
      return false;
    p.fails.push_back(r);
  } else {
    err = "unknown key '" + k + "'";
    return false;
  }
  return true;
}

bool parse_printer_profile(std::string_view text, PrinterProfile &out, std::string &err) {
  out = PrinterProfile{};
  size_t pos = 0;
  bool first = true;
  while (pos < text.size()) {
    while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t'))
      ++pos;
    if (pos >= text.size())
      break;
    size_t stop = text.find_first_of("=,", pos);
    if (stop == std::string_view::npos || text[stop] == ',') {
      std::string_view word = trim(text.substr(pos, stop == std::string_view::npos ? std::string_view::npos : stop - pos));
      if (!first || !apply_key(out, "family", std::string(word), false, err)) {
        if (err.empty() || !first)
          err = "expected key=value, found '" + std::string(word) + "'";
        return false;
      }
      pos = stop == std::string_view::npos ? text.size() : stop + 1;
      first = false;
      continue;
    }
    std::string_view key = trim(text.substr(pos, stop - pos));
    pos = stop + 1;
    while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t'))
      ++pos;
    std::string value;
    bool quoted = pos < text.size() && text[pos] == '"';
    if (quoted) {
      if (!read_quoted(text, pos, value, err))
        return false;
      while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t'))
        ++pos;
      if (pos < text.size() && text[pos] != ',') {
        err = "unexpected text after the quoted value of " + std::string(key);
        return false;
      }
    } else {
      size_t comma = text.find(',', pos);
      size_t end = comma == std::string_view::npos ? text.size() : comma;
      value = std::string(trim(text.substr(pos, end - pos)));
      pos = end;
    }
    if (pos < text.size())
      ++pos; // the comma
    if (!apply_key(out, key, value, quoted, err))
      return false;
    first = false;
  }
  return true;
}

bool parse_config(std::string_view text, std::vector<PrinterProfile> &out, std::string &err) {
  size_t pos = 0;
  int line_no = 0;
  PrinterProfile *current = nullptr;
  while (pos <= text.size()) {
    size_t nl = text.find('\n', pos);
    std::string_view line = text.substr(pos, nl == std::string_view::npos ? std::string_view::npos : nl - pos);
    pos = nl == std::string_view::npos ? text.size() + 1 : nl + 1;
    ++line_no;
    auto fail = [&](const std::string &what) {
      err = "line " + std::to_string(line_no) + ": " + what;
      return false;
    };
    line = trim(line);
    if (line.empty() || line[0] == '#' || line[0] == ';')
      continue;
    if (line[0] == '[') {
      if (line.back() != ']')
        return fail("section header without ']'");
      out.emplace_back();
      current = &out.back();
      std::string name(trim(line.substr(1, line.size() - 2)));
      if (!apply_key(*current, "name", name, false, err))
        return fail(err);
      continue;
    }
    if (current == nullptr)
      return fail("key outside a [printer] section");
    size_t eq = line.find('=');
    if (eq == std::string_view::npos)
      return fail("expected key = value");
    std::string_view key = trim(line.substr(0, eq));
    std::string_view rest = trim(line.substr(eq + 1));
    std::string value;
    bool quoted = !rest.empty() && rest[0] == '"';
    if (quoted) {
      size_t q = 0;
      if (!read_quoted(rest, q, value, err))
        return fail(err);
      if (!trim(rest.substr(q)).empty())
        return fail("unexpected text after the quoted value");
    } else {
      value = std::string(rest);
    }
    if (!apply_key(*current, key, value, quoted, err))
      return fail(err);
  }
  return true;
}

bool finish_profiles(std::vector<PrinterProfile> &profiles, std::string &err) {
  std::set<std::string> names;
  std::set<std::pair<int, int>> taken;
  for (auto &p : profiles) {
    if (p.bus == 0)
      p.bus = 1;
    if (p.dev != 0)
      taken.insert({p.bus, p.dev});
  }
  int next_dev = 2;
  for (size_t i = 0; i < profiles.size(); ++i) {
    PrinterProfile &p = profiles[i];
    if (p.name.empty()) {
      char name[32];
      snprintf(name, sizeof name, "P%zu", i + 1);
      p.name = name;
    }
    if (!names.insert(p.name).second) {
      err = "two printers are named " + p.name;
      return false;
    }
    // By default a printer of a family is the catalogue's first model of it,
    // with a product string of its own (not the backend's fallback text).
    const int family = p.family == Family::Kelpin ? KORV_FAMILY_KELPIN : KORV_FAMILY_OSTREL;
    const KORV_Model *model = KORV_FirstModelOfFamily(family);
    if (p.vid < 0)
      p.vid = KORV_VENDOR_KORVANIX;
    if (p.pid < 0)
      p.pid = model->productId;
    if (p.bcd < 0)
      p.bcd = 0x0100;
    if (!p.manufacturer_set)
      p.manufacturer.text = KORV_MAKE;
    if (!p.product_set)
      p.product.text = std::string(model->name) + " Receipt Printer";
    if (!p.serial_set) {
      char serial[32];
      snprintf(serial, sizeof serial, "VP%04zu", i + 1);
      p.serial.text = serial;
    }
    if (p.dev == 0) {
      while (next_dev <= 127 && taken.count({p.bus, next_dev}))
        ++next_dev;
      if (next_dev > 127) {
        err = "no free device number left on bus " + std::to_string(p.bus);
        return false;
      }
      p.dev = next_dev++;
      taken.insert({p.bus, p.dev});
    } else if (std::count_if(profiles.begin(), profiles.end(), [&](const PrinterProfile &o) {
                 return o.bus == p.bus && o.dev == p.dev;
               }) > 1) {
      err = "two printers at bus " + std::to_string(p.bus) + " device " + std::to_string(p.dev);
      return false;
    }
  }
  return true;
}

} // namespace vp
