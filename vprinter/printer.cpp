// What a printer does with each request: standard, vendor (Ostrel bridge)
// and class (Kelpin modem) control requests, interface claims as the
// kernel's usbfs grants them, bulk data, notifications, and the faults.
#include "model.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace vp {
namespace {

constexpr size_t kMaxNotifications = 64;

bool is_kelpin(const Printer &p) { return p.profile.family == Family::Kelpin; }

const EndpointInfo *find_endpoint(const Printer &p, unsigned address) {
  for (const EndpointInfo &e : family_endpoints(p.profile.family))
    if (e.address == address)
      return &e;
  return nullptr;
}

int interface_count(const Printer &p) { return family_interface_count(p.profile.family); }

// A client's use of an interface, as usbfs checks it before a transfer: an
// interface the client has not claimed is claimed for it on the spot,
// which fails while a kernel driver or another client holds it.
int use_interface(Printer &p, Client &c, unsigned iface) {
  if (!p.profile.strict_claims || c.claimed.count(iface))
    return 0;
  return printer_claim(p, c, iface) == 0 ? 0 : -EBUSY;
}

// Applies a matching fault to a request without data stage. Returns true
// with *result set when the fault decides the outcome.
bool simple_fault(Printer &p, const char *op, long key, int &result) {
  const FailRule *r = printer_fault(p, op, {key});
  if (r == nullptr)
    return false;
  result = -EIO; // a rule always has one of the actions below
  switch (r->action) {
  case FailRule::Action::Stall: result = -EPIPE; break;
  case FailRule::Action::Nak: result = -ETIMEDOUT; break;
  case FailRule::Action::Short: result = r->short_len; break;
  case FailRule::Action::Errno: result = -r->err; break;
  }
  return true;
}

void dtr_raised(Printer &p) {
  if (is_kelpin(p))
    printer_queue_notification(p);
  if (p.profile.dsr && p.profile.dsr_delay_ms > 0 && !p.dsr_delay_started) {
    p.dsr_delay_started = true;
    Printer *pp = &p;
    worker_timer(p.profile.dsr_delay_ms, [pp] {
      printer_set_ready(*pp, true);
      return false;
    });
  }
}

int standard_request(Printer &p, uint8_t type, uint8_t request, uint16_t value, uint16_t index,
                     uint16_t length, uint8_t *data) {
  auto give = [&](const std::vector<uint8_t> &bytes) {
    size_t n = bytes.size() < length ? bytes.size() : length;
    memcpy(data, bytes.data(), n);
    return int(n);
  };
  if (type == 0x80 && request == 0x06) { // GET_DESCRIPTOR
    unsigned kind = value >> 8, idx = value & 0xff;
    if (kind == 1)
      return give(p.desc.device);
    if (kind == 2 && idx == 0)
      return give(p.desc.config);
    if (kind == 3 && idx < p.desc.strings.size() && !p.desc.string_stalls[idx])
      return give(p.desc.strings[idx]);
    if (kind == 6 && is_kelpin(p)) // device qualifier of a high-speed device
      return give({10, 6, 0x00, 0x02, 0x02, 0, 0, 64, 1, 0});
    return -EPIPE;
  }
  if ((type == 0x80 || type == 0x81 || type == 0x82) && request == 0x00) // GET_STATUS
    return give({0, 0});
  if (type == 0x80 && request == 0x08) // GET_CONFIGURATION
    return give({1});
  if (type == 0x00 && request == 0x09) // SET_CONFIGURATION
    return value <= 1 ? 0 : -EINVAL;
  if (type == 0x02 && request == 0x01) // CLEAR_FEATURE(ENDPOINT_HALT)
    return find_endpoint(p, index) ? 0 : -EPIPE;
  return -EPIPE;
}

// The USB-to-UART bridge's vendor requests.
int ostrel_request(Printer &p, uint8_t type, uint8_t request, uint16_t value, uint16_t length,
                   uint8_t *data) {
  if (type == 0x41) {
    switch (request) {
    case 0x00: // enable / disable the UART
      p.uart_enabled = value != 0;
      return 0;
    case 0x01: // baud rate divisor
      if (value == 0)
        return -EPIPE;
      p.baud_divisor = value;
      return 0;
    case 0x03: // line control: word length, parity, stop bits
      p.line_control = value;
      return 0;
    case 0x07: { // modem handshake: DTR bit 0, RTS bit 1, masks bits 8 and 9
      bool old_dtr = p.dtr;
      if (value & 0x0100)
        p.dtr = value & 0x0001;
      if (value & 0x0200)
        p.rts = value & 0x0002;
      if (!old_dtr && p.dtr)
        dtr_raised(p);
      return 0;
    }
    default:
      return -EPIPE;
    }
  }
  if (type == 0xC1) {
    uint8_t reply[2];
    int n;
    switch (request) {
    case 0x02: reply[0] = uint8_t(p.baud_divisor); reply[1] = uint8_t(p.baud_divisor >> 8); n = 2; break;
    case 0x04: reply[0] = uint8_t(p.line_control); reply[1] = uint8_t(p.line_control >> 8); n = 2; break;
    case 0x08: // modem status: DTR 0x01, RTS 0x02, DSR 0x20
      reply[0] = uint8_t((p.dtr ? 0x01 : 0) | (p.rts ? 0x02 : 0) | (p.ready ? 0x20 : 0));
      n = 1;
      break;
    default:
      return -EPIPE;
    }
    if (n > length)
      n = length;
    memcpy(data, reply, size_t(n));
    return n;
  }
  return -EPIPE;
}

// The modem's communications-class requests on interface 0.
int kelpin_request(Printer &p, uint8_t type, uint8_t request, uint16_t value, uint16_t index,
                   uint16_t length, uint8_t *data) {
  if ((index & 0xff) != 0)
    return -EPIPE;
  if (type == 0x21) {
    switch (request) {
    case 0x20: // SET_LINE_CODING
      if (length < 7)
        return -EPIPE;
      memcpy(p.line_coding.data(), data, 7);
      return length;
    case 0x22: { // SET_CONTROL_LINE_STATE: DTR bit 0, RTS bit 1
      bool old_dtr = p.dtr;
      p.dtr = value & 0x0001;
      p.rts = value & 0x0002;
      if (!old_dtr && p.dtr)
        dtr_raised(p);
      return 0;
    }
    case 0x23: // SEND_BREAK
      return 0;
    default:
      return -EPIPE;
    }
  }
  if (type == 0xA1 && request == 0x21) { // GET_LINE_CODING
    int n = length < 7 ? length : 7;
    memcpy(data, p.line_coding.data(), size_t(n));
    return n;
  }
  return -EPIPE;
}

void push_notification(Printer &p) {
  uint16_t state = p.ready ? 0x0002 : 0x0000;
  std::array<uint8_t, 10> n{0xA1, 0x20, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, uint8_t(state),
                            uint8_t(state >> 8)};
  if (p.notifications.size() >= kMaxNotifications)
    p.notifications.pop_front();
  p.notifications.push_back(n);
}

void start_low_period(Printer &p) {
  p.low_pending = true;
  printer_set_ready(p, false);
  Printer *pp = &p;
  worker_timer(p.profile.dsr_low_ms, [pp] {
    pp->low_pending = false;
    if (!pp->vanished && pp->profile.dsr)
      printer_set_ready(*pp, true);
    return false;
  });
}

// A bulk OUT URB: how many bytes the printer takes, or a stall, or no
// answer at all.
void serve_bulk_out(Printer &p, Client &c, Urb *urb) {
  std::string head = fmt("bulk_out endpoint=0x%02x length=%d", urb->endpoint, urb->length);
  const FailRule *r = printer_fault(p, "bulk_out", {urb->endpoint});
  int limit = urb->length;
  if (r != nullptr) {
    if (r->action == FailRule::Action::Nak)
      return; // stays pending until the host gives up
    if (r->action == FailRule::Action::Stall || r->action == FailRule::Action::Errno) {
      int status = r->action == FailRule::Action::Stall ? -EPIPE : -r->err;
      record_line(p, head + fmt(" result=%d", status));
      urb_complete(c, urb, status, nullptr, 0);
      return;
    }
    limit = r->short_len < limit ? r->short_len : limit;
  }
  if (!p.ready) {
    record_line(p, head + fmt(" result=%d", -EPIPE));
    urb_complete(c, urb, -EPIPE, nullptr, 0);
    return;
  }
  if (p.profile.stall_after >= 0 && p.received >= uint64_t(p.profile.stall_after)) {
    record_line(p, head + fmt(" result=%d", -EPIPE));
    urb_complete(c, urb, -EPIPE, nullptr, 0);
    return;
  }
  if (p.profile.nak_after >= 0 && p.received >= uint64_t(p.profile.nak_after))
    return;
  if (p.profile.write_max > 0 && int(p.profile.write_max) < limit)
    limit = int(p.profile.write_max);
  for (int64_t boundary : {p.profile.stall_after, p.profile.nak_after, p.profile.vanish_after}) {
    if (boundary >= 0 && uint64_t(boundary) > p.received &&
        uint64_t(boundary) - p.received < uint64_t(limit))
      limit = int(uint64_t(boundary) - p.received);
  }
  const uint8_t *data = static_cast<const uint8_t *>(urb->buffer ? urb->buffer->data : nullptr);
  if (limit > 0 && data != nullptr)
    record_capture(p, data, size_t(limit));
  p.received += uint64_t(limit);
  record_line(p, head + fmt(" result=%d", limit));
  urb_complete(c, urb, 0, nullptr, limit);

  if (p.profile.vanish_after >= 0 && p.received >= uint64_t(p.profile.vanish_after)) {
    printer_vanish(p);
    return;
  }
  if (p.profile.dsr_low_every > 0) {
    p.since_low += uint64_t(limit);
    if (p.since_low >= p.profile.dsr_low_every) {
      p.since_low = 0;
      start_low_period(p);
    }
  }
}

// Tries to answer one pending IN URB; true when it was completed.
bool serve_in(Printer &p, Client &c, Urb *urb) {
  bool interrupt = urb->type == USBDEVFS_URB_TYPE_INTERRUPT;
  const char *op = interrupt ? "interrupt_in" : "bulk_in";
  std::string head = fmt("%s endpoint=0x%02x length=%d", op, urb->endpoint, urb->length);
  int limit = urb->length;
  if (!urb->fault_checked) {
    urb->fault = printer_fault(p, op, {urb->endpoint});
    urb->fault_checked = true;
  }
  if (const FailRule *r = urb->fault) {
    if (r->action == FailRule::Action::Nak)
      return false;
    if (r->action == FailRule::Action::Stall || r->action == FailRule::Action::Errno) {
      int status = r->action == FailRule::Action::Stall ? -EPIPE : -r->err;
      record_line(p, head + fmt(" result=%d data=", status));
      urb_complete(c, urb, status, nullptr, 0);
      return true;
    }
    limit = r->short_len < limit ? r->short_len : limit;
  }
  if (interrupt) {
    if (p.notifications.empty())
      return false;
    std::array<uint8_t, 10> n = p.notifications.front();
    p.notifications.pop_front();
    int len = limit < 10 ? limit : 10;
    record_line(p, head + fmt(" result=%d data=", len) + hex(n.data(), size_t(len)));
    urb_complete(c, urb, 0, n.data(), len);
    return true;
  }
  if (p.bulk_in.empty())
    return false;
  BulkInItem &item = p.bulk_in.front();
  if (item.stall) {
    p.bulk_in.pop_front();
    record_line(p, head + fmt(" result=%d data=", -EPIPE));
    urb_complete(c, urb, -EPIPE, nullptr, 0);
    return true;
  }
  int len = int(item.bytes.size()) < limit ? int(item.bytes.size()) : limit;
  std::vector<uint8_t> out(item.bytes.begin(), item.bytes.begin() + len);
  item.bytes.erase(item.bytes.begin(), item.bytes.begin() + len);
  if (item.bytes.empty())
    p.bulk_in.pop_front();
  record_line(p, head + fmt(" result=%d data=", len) + hex(out.data(), out.size()));
  urb_complete(c, urb, 0, out.data(), len);
  return true;
}

} // namespace

void printer_init(Printer &p) {
  p.ready = p.profile.dsr && p.profile.dsr_delay_ms == 0;
  p.line_coding = p.profile.line_coding;
  p.driver = p.profile.driver;
  p.bulk_in.assign(p.profile.bulk_in.begin(), p.profile.bulk_in.end());
  p.rule_seen.assign(p.profile.fails.size(), 0);
}

const FailRule *printer_fault(Printer &p, const char *op, std::initializer_list<long> keys) {
  const FailRule *hit = nullptr;
  for (size_t i = 0; i < p.profile.fails.size(); ++i) {
    const FailRule &r = p.profile.fails[i];
    if (r.op != op)
      continue;
    bool match = true;
    size_t k = 0;
    for (long key : keys) {
      if (k < r.args.size() && r.args[k] != key)
        match = false;
      ++k;
    }
    if (!match)
      continue;
    unsigned seen = ++p.rule_seen[i];
    if (hit == nullptr && seen >= r.first && seen <= r.last)
      hit = &r;
  }
  return hit;
}

int printer_control(Printer &p, Client &c, uint8_t type, uint8_t request, uint16_t value,
                    uint16_t index, uint16_t length, uint8_t *data, bool &nak) {
  nak = false;
  if (p.vanished)
    return -ENODEV;
  if ((type & 0x1f) == 0x01 && (index & 0xff) < unsigned(interface_count(p))) {
    int r = use_interface(p, c, index & 0xff);
    if (r < 0)
      return r;
  }
  int short_len = -1;
  if (const FailRule *r = printer_fault(p, "control", {type, request, value, index})) {
    switch (r->action) {
    case FailRule::Action::Stall: return -EPIPE;
    case FailRule::Action::Errno: return -r->err;
    case FailRule::Action::Nak: nak = true; return -ETIMEDOUT;
    case FailRule::Action::Short: short_len = r->short_len; break;
    }
  }
  int result;
  if ((type & 0x60) == 0x00)
    result = standard_request(p, type, request, value, index, length, data);
  else if ((type & 0x60) == 0x40 && !is_kelpin(p))
    result = ostrel_request(p, type, request, value, length, data);
  else if ((type & 0x60) == 0x20 && is_kelpin(p))
    result = kelpin_request(p, type, request, value, index, length, data);
  else
    result = -EPIPE;
  if (result >= 0 && short_len >= 0 && short_len < result)
    result = short_len;
  if (result >= 0 && is_kelpin(p))
    printer_kick(p);
  return result;
}

int printer_claim(Printer &p, Client &c, unsigned iface) {
  if (p.vanished)
    return -ENODEV;
  int fault;
  if (simple_fault(p, "claim", long(iface), fault))
    return fault;
  if (iface >= unsigned(interface_count(p)))
    return -ENOENT;
  if (c.claimed.count(iface))
    return 0;
  if (iface == 0 && !p.driver.empty())
    return -EBUSY;
  if (p.owner[iface] != nullptr && p.owner[iface] != &c) {
    usbfs_check_clients(p); // the holder may have closed unnoticed
    if (p.owner[iface] != nullptr)
      return -EBUSY;
  }
  p.owner[iface] = &c;
  c.claimed.insert(iface);
  return 0;
}

int printer_release(Printer &p, Client &c, unsigned iface) {
  if (p.vanished)
    return -ENODEV;
  int fault;
  if (simple_fault(p, "release", long(iface), fault))
    return fault;
  if (!c.claimed.count(iface))
    return -EINVAL;
  c.claimed.erase(iface);
  if (iface < p.owner.size() && p.owner[iface] == &c)
    p.owner[iface] = nullptr;
  return 0;
}

int printer_clear_halt(Printer &p, Client &c, unsigned endpoint) {
  if (p.vanished)
    return -ENODEV;
  const EndpointInfo *e = find_endpoint(p, endpoint);
  if (e == nullptr)
    return -ENOENT;
  int r = use_interface(p, c, e->interface);
  if (r < 0)
    return r;
  int fault;
  if (simple_fault(p, "clear_halt", long(endpoint), fault))
    return fault;
  return 0;
}

int printer_getdriver(Printer &p, unsigned iface, std::string &name) {
  if (p.vanished)
    return -ENODEV;
  int fault;
  if (simple_fault(p, "getdriver", long(iface), fault))
    return fault;
  if (iface >= unsigned(interface_count(p)))
    return -ENODATA;
  if (iface == 0 && !p.driver.empty()) {
    name = p.driver;
    return 0;
  }
  if (p.owner[iface] != nullptr) {
    name = "usbfs";
    return 0;
  }
  return -ENODATA;
}

int printer_detach(Printer &p, unsigned iface) {
  if (p.vanished)
    return -ENODEV;
  int fault;
  if (simple_fault(p, "detach", long(iface), fault))
    return fault;
  if (iface >= unsigned(interface_count(p)))
    return -EINVAL;
  if (iface == 0 && !p.driver.empty()) {
    p.driver.clear();
    return 0;
  }
  return -ENODATA;
}

int printer_check_urb(Printer &p, Client &c, uint8_t type, uint8_t endpoint) {
  if (p.vanished)
    return -ENODEV;
  const EndpointInfo *e = find_endpoint(p, endpoint);
  if (e == nullptr)
    return -ENOENT;
  bool wants_interrupt = type == USBDEVFS_URB_TYPE_INTERRUPT;
  if (type != USBDEVFS_URB_TYPE_BULK && !wants_interrupt)
    return -EINVAL;
  if (wants_interrupt != (e->type == 3))
    return -EINVAL;
  return use_interface(p, c, e->interface);
}

void printer_serve_urb(Printer &p, Client &c, Urb *urb) {
  if (p.profile.vanish_after == 0 && !(urb->endpoint & 0x80)) {
    printer_vanish(p);
    return;
  }
  if (urb->endpoint & 0x80)
    serve_in(p, c, urb);
  else
    serve_bulk_out(p, c, urb);
}

void printer_kick(Printer &p) {
  bool progress = true;
  while (progress) {
    progress = false;
    for (auto &c : p.clients) {
      if (c->closed)
        continue;
      for (auto &u : c->pending) {
        if ((u->endpoint & 0x80) && serve_in(p, *c, u.get())) {
          progress = true;
          break; // the pending list changed
        }
      }
      if (progress)
        break;
    }
  }
}

void printer_queue_notification(Printer &p) {
  if (!is_kelpin(p) || p.vanished)
    return;
  push_notification(p);
  printer_kick(p);
}

void printer_set_ready(Printer &p, bool ready) {
  if (p.ready == ready)
    return;
  p.ready = ready;
  printer_queue_notification(p);
}

void printer_vanish(Printer &p) {
  if (p.vanished)
    return;
  p.vanished = true;
  record_line(p, "vanish");
  worker_timer_cancel(p.chatter_timer);
  printer_remove_node(p);
  // Transfers in flight end as the kernel ends them on a disconnect.
  for (auto &c : p.clients) {
    while (!c->pending.empty()) {
      Urb *u = c->pending.front().get();
      const char *op = !(u->endpoint & 0x80) ? "bulk_out"
                       : u->type == USBDEVFS_URB_TYPE_INTERRUPT ? "interrupt_in"
                                                                : "bulk_in";
      record_line(p, fmt("%s endpoint=0x%02x length=%d result=%d%s", op, u->endpoint, u->length,
                         -ESHUTDOWN, (u->endpoint & 0x80) ? " data=" : ""));
      urb_complete(*c, u, -ESHUTDOWN, nullptr, 0);
    }
  }
}

void printer_remove_node(Printer &p) {
  if (p.node_removed)
    return;
  p.node_removed = true;
  // The node file, its device number link and the socket that new opens
  // connect to; the bound socket keeps serving the files already open.
  std::string name = p.devnode.substr(5);
  std::string link = name;
  for (char &ch : link)
    if (ch == '/')
      ch = '_';
  unlink(p.node_file.c_str());
  unlink((p.root + "/dev/.node/" + link).c_str());
  unlink((p.root + "/ioctl/dev/" + name).c_str());
}

void printer_client_opened(Printer &p) {
  ++p.opens;
  if (p.profile.open_limit > 0 && p.opens >= p.profile.open_limit)
    printer_remove_node(p);
  if (p.profile.chatter_ms > 0 && p.chatter_timer == nullptr && !p.vanished) {
    Printer *pp = &p;
    p.chatter_timer = worker_timer(p.profile.chatter_ms, [pp] {
      if (pp->vanished)
        return false;
      printer_queue_notification(*pp);
      return true;
    });
  }
}

void printer_client_gone(Printer &p, Client &c) {
  for (unsigned iface : c.claimed)
    if (iface < p.owner.size() && p.owner[iface] == &c)
      p.owner[iface] = nullptr;
  c.claimed.clear();
}

} // namespace vp
