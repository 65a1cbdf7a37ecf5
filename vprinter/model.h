// The virtual printers' run-time state, shared by the usbfs front end
// (usbfs.cpp), the printer behaviour (printer.cpp) and the transcript
// (record.cpp). Everything here is touched only with g_lock held; the
// umockdev worker thread runs all requests and timers, the main thread only
// starts, feeds commands and stops.
#pragma once

#include "descriptors.h"
#include "profile.h"

#include <umockdev.h>

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace vp {

struct Printer;

// One submitted URB, kept from SUBMITURB until it is reaped.
struct Urb {
  UMockdevIoctlData *urb = nullptr;    // the client's struct usbdevfs_urb
  UMockdevIoctlData *buffer = nullptr; // its data buffer
  unsigned long address = 0;           // the URB's address in the client
  uint8_t type = 0;
  uint8_t endpoint = 0;
  int length = 0;
  // The fault rule decided once at submit (counted once per URB).
  bool fault_checked = false;
  const FailRule *fault = nullptr;
  ~Urb();
};

// One open file descriptor of a device node.
struct Client {
  UMockdevIoctlClient *ioctl = nullptr; // reference held
  Printer *printer = nullptr;
  size_t read_offset = 0;
  std::deque<std::unique_ptr<Urb>> pending;
  std::deque<std::unique_ptr<Urb>> completed;
  std::unique_ptr<Urb> last_reaped; // kept until the next reap has synced it
  std::set<unsigned> claimed;
  bool closed = false;
  // A reap waiting for a completion: REAPURB, or REAPURBNDELAY during its
  // short grace period.
  bool reap_waiting = false;
  bool reap_blocking = false;
  GSource *reap_timer = nullptr;
  // The socket umockdev accepted for this client (-1: unknown), to see a
  // peer that died while a request was outstanding.
  int socket_fd = -1;
  unsigned long socket_inode = 0;
  ~Client();
};

struct Printer {
  PrinterProfile profile;
  Descriptors desc;
  std::string devnode;   // /dev/bus/usb/BBB/DDD
  std::string node_file; // the node's file in the testbed
  std::string root;      // the testbed
  std::string syspath;

  // Device state.
  bool vanished = false;
  bool node_removed = false;
  bool ready = true;
  bool dtr = false, rts = false;
  bool uart_enabled = false;
  uint16_t baud_divisor = 0, line_control = 0;
  std::array<uint8_t, 7> line_coding{};
  std::string driver; // kernel driver bound to interface 0
  uint64_t received = 0;
  uint64_t since_low = 0;
  bool low_pending = false; // a dsr_low period is running
  bool dsr_delay_started = false;
  std::deque<std::array<uint8_t, 10>> notifications;
  std::deque<BulkInItem> bulk_in;
  std::vector<unsigned> rule_seen;
  unsigned opens = 0;
  std::vector<std::shared_ptr<Client>> clients;
  std::array<Client *, 8> owner{}; // interface claims
  GSource *chatter_timer = nullptr;
  int capture_fd = -1;
};

extern std::mutex g_lock;
extern std::vector<std::unique_ptr<Printer>> g_printers;
extern GMainContext *g_worker_ctx; // set at the first request
extern bool g_stopped;              // shutting down: requests get ENODEV

// record.cpp
bool record_open(const std::string &transcript, const std::string &capture_dir, std::string &err);
void record_close();
// Opens the capture file of a printer plugged in while serving.
bool record_add_capture(Printer &p, std::string &err);
void record_line(const Printer &p, const std::string &event);
void record_capture(Printer &p, const uint8_t *data, size_t len);
std::string hex(const uint8_t *data, size_t len);
// printf into a std::string, for transcript lines (cut at 511 bytes).
std::string fmt(const char *format, ...) __attribute__((format(printf, 1, 2)));

// printer.cpp: device behaviour, called with g_lock held on the worker.
void printer_init(Printer &p);
const FailRule *printer_fault(Printer &p, const char *op, std::initializer_list<long> keys);
int printer_control(Printer &p, Client &c, uint8_t type, uint8_t request, uint16_t value,
                    uint16_t index, uint16_t length, uint8_t *data, bool &nak);
int printer_claim(Printer &p, Client &c, unsigned iface);
int printer_release(Printer &p, Client &c, unsigned iface);
int printer_clear_halt(Printer &p, Client &c, unsigned endpoint);
int printer_getdriver(Printer &p, unsigned iface, std::string &name);
int printer_detach(Printer &p, unsigned iface);
// Validates a URB at submit; 0 or a negative errno for the SUBMITURB.
int printer_check_urb(Printer &p, Client &c, uint8_t type, uint8_t endpoint);
// Serves a freshly submitted URB (completes it now or leaves it pending).
void printer_serve_urb(Printer &p, Client &c, Urb *urb);
// Unplugs the node: new opens fail, open files stay.
void printer_remove_node(Printer &p);
// Delivers waiting bulk IN data and notifications to pending URBs.
void printer_kick(Printer &p);
void printer_vanish(Printer &p);
void printer_client_gone(Printer &p, Client &c);
void printer_client_opened(Printer &p);
void printer_set_ready(Printer &p, bool ready);
void printer_queue_notification(Printer &p);

// usbfs.cpp
bool usbfs_attach(UMockdevTestbed *testbed, Printer &p, std::string &err);
// Completes a pending URB: status (0 or negative errno), bytes moved, and
// for IN transfers the data. Writes nothing to the transcript.
void urb_complete(Client &c, Urb *urb, int status, const uint8_t *data, int actual);
// Runs fn on the worker after ms milliseconds (with g_lock held).
GSource *worker_timer(unsigned ms, std::function<bool()> fn);
void worker_timer_cancel(GSource *&source);
void usbfs_check_clients(Printer &p);
// Notes the sockets that exist before any client (the listeners).
void usbfs_note_sockets();

} // namespace vp
