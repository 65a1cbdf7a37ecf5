// The usbfs front end: answers the ioctls, reads and writes that libusb
// makes on /dev/bus/usb nodes, as the kernel would, on the umockdev worker
// thread. URBs are kept per open file; reaping hands a completed URB back
// by pointing the caller's context pointer at the URB it submitted.
#include "model.h"

#include <cerrno>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <linux/usbdevice_fs.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vp {

std::mutex g_lock;
std::vector<std::unique_ptr<Printer>> g_printers;
GMainContext *g_worker_ctx = nullptr;
bool g_stopped = false;

namespace {

// An empty REAPURBNDELAY is answered after this grace period, so that
// libusb's polling loop sleeps instead of spinning.
constexpr unsigned kReapGraceMs = 1;
constexpr unsigned kClosePollMs = 20;

GSource *g_close_poll = nullptr;
std::set<unsigned long> g_known_sockets;

// Our socket descriptors and their inodes.
std::vector<std::pair<int, unsigned long>> list_sockets() {
  std::vector<std::pair<int, unsigned long>> out;
  DIR *dir = opendir("/proc/self/fd");
  if (dir == nullptr)
    return out;
  while (struct dirent *e = readdir(dir)) {
    char path[300], link[64];
    snprintf(path, sizeof path, "/proc/self/fd/%s", e->d_name);
    ssize_t n = readlink(path, link, sizeof link - 1);
    if (n <= 0)
      continue;
    link[n] = 0;
    unsigned long inode;
    if (sscanf(link, "socket:[%lu]", &inode) == 1)
      out.push_back({atoi(e->d_name), inode});
  }
  closedir(dir);
  return out;
}

// umockdev does not always notice a client that died while one of its
// requests was outstanding; its socket shows the hang-up.
bool peer_gone(const Client &c) {
  if (!umockdev_ioctl_client_get_connected(c.ioctl))
    return true;
  if (c.socket_fd < 0)
    return false;
  struct stat st;
  if (fstat(c.socket_fd, &st) != 0 || st.st_ino != c.socket_inode)
    return true; // umockdev closed it
  struct pollfd fd = {c.socket_fd, POLLRDHUP, 0};
  return poll(&fd, 1, 0) > 0 && (fd.revents & (POLLHUP | POLLRDHUP | POLLERR));
}

struct TimerData {
  std::function<bool()> fn;
};

gboolean timer_fired(gpointer data) {
  std::lock_guard<std::mutex> hold(g_lock);
  if (g_stopped)
    return G_SOURCE_REMOVE;
  return static_cast<TimerData *>(data)->fn() ? G_SOURCE_CONTINUE : G_SOURCE_REMOVE;
}

void timer_free(gpointer data) { delete static_cast<TimerData *>(data); }

void note_worker() {
  if (g_worker_ctx == nullptr) {
    g_worker_ctx = g_main_context_get_thread_default();
    if (g_worker_ctx == nullptr)
      g_worker_ctx = g_main_context_default();
  }
}

void finish(UMockdevIoctlClient *ioctl, long result) {
  if (result < 0)
    umockdev_ioctl_client_complete(ioctl, -1, int(-result));
  else
    umockdev_ioctl_client_complete(ioctl, result, 0);
}

std::shared_ptr<Client> client_for(Printer &p, UMockdevIoctlClient *ioctl) {
  for (auto &c : p.clients)
    if (c->ioctl == ioctl)
      return c;
  return nullptr;
}

void answer_reap(Client &c) {
  std::unique_ptr<Urb> urb = std::move(c.completed.front());
  c.completed.pop_front();
  UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(c.ioctl);
  GError *error = nullptr;
  UMockdevIoctlData *slot = umockdev_ioctl_data_resolve(arg, 0, sizeof(void *), &error);
  if (slot == nullptr) {
    g_clear_error(&error);
    umockdev_ioctl_client_complete(c.ioctl, -1, EFAULT);
    return;
  }
  umockdev_ioctl_data_set_ptr(slot, 0, urb->urb);
  umockdev_ioctl_client_complete(c.ioctl, 0, 0);
  g_object_unref(slot);
  c.last_reaped = std::move(urb);
}

void drop_client(Printer &p, Client &c) {
  c.closed = true;
  record_line(p, "close");
  printer_client_gone(p, c);
  c.pending.clear();
  c.completed.clear();
  worker_timer_cancel(c.reap_timer);
  c.reap_waiting = false;
}

gboolean poll_closes(gpointer) {
  std::lock_guard<std::mutex> hold(g_lock);
  if (g_stopped)
    return G_SOURCE_REMOVE;
  bool any = false;
  for (auto &p : g_printers) {
    usbfs_check_clients(*p);
    any = any || !p->clients.empty();
  }
  if (!any) {
    g_close_poll = nullptr;
    return G_SOURCE_REMOVE;
  }
  return G_SOURCE_CONTINUE;
}

const char *urb_op(uint8_t type, uint8_t endpoint) {
  if (!(endpoint & 0x80))
    return "bulk_out";
  return type == USBDEVFS_URB_TYPE_INTERRUPT ? "interrupt_in" : "bulk_in";
}

template <typename T> T *resolve(UMockdevIoctlData *data, size_t offset, size_t len, UMockdevIoctlData **out) {
  GError *error = nullptr;
  *out = umockdev_ioctl_data_resolve(data, offset, len, &error);
  if (*out == nullptr) {
    g_clear_error(&error);
    return nullptr;
  }
  return reinterpret_cast<T *>((*out)->data);
}

long do_control(Printer &p, Client &c, UMockdevIoctlClient *ioctl, UMockdevIoctlData *arg,
                bool &answered) {
  UMockdevIoctlData *held;
  auto *ctrl = resolve<usbdevfs_ctrltransfer>(arg, 0, sizeof(usbdevfs_ctrltransfer), &held);
  if (ctrl == nullptr)
    return -EFAULT;
  uint8_t type = ctrl->bRequestType, request = ctrl->bRequest;
  uint16_t value = ctrl->wValue, index = ctrl->wIndex, length = ctrl->wLength;
  unsigned timeout = ctrl->timeout;
  UMockdevIoctlData *buffer = nullptr;
  uint8_t *data = nullptr;
  std::vector<uint8_t> scratch;
  if (length > 0) {
    data = resolve<uint8_t>(held, offsetof(usbdevfs_ctrltransfer, data), length, &buffer);
    if (data == nullptr) {
      g_object_unref(held);
      return -EFAULT;
    }
  }
  std::string out_data = (type & 0x80) || data == nullptr ? "" : hex(data, length);
  bool nak = false;
  int result = printer_control(p, c, type, request, value, index, length, data, nak);
  std::string head = fmt("control type=0x%02x request=0x%02x value=0x%04x index=0x%04x length=%u",
                         type, request, value, index, length);
  if (buffer)
    g_object_unref(buffer);
  g_object_unref(held);
  if (nak) {
    // The device never answers: the transfer ends when its timeout runs out.
    answered = true;
    if (timeout == 0)
      return 0;
    std::shared_ptr<Client> cp = client_for(p, ioctl);
    Printer *pp = &p;
    worker_timer(timeout, [pp, cp, head, out_data] {
      if (!cp->closed) {
        record_line(*pp, head + " data=" + out_data + fmt(" result=%d", -ETIMEDOUT));
        umockdev_ioctl_client_complete(cp->ioctl, -1, ETIMEDOUT);
      }
      return false;
    });
    return 0;
  }
  std::string shown = (type & 0x80) ? (result > 0 ? hex(data, size_t(result)) : "") : out_data;
  record_line(p, head + " data=" + shown + fmt(" result=%d", result));
  return result;
}

long do_submit(Printer &p, Client &c, UMockdevIoctlData *arg) {
  unsigned long address = 0;
  memcpy(&address, arg->data, sizeof address);
  UMockdevIoctlData *held;
  auto *u = resolve<usbdevfs_urb>(arg, 0, sizeof(usbdevfs_urb), &held);
  if (u == nullptr)
    return -EFAULT;
  uint8_t type = u->type, endpoint = u->endpoint;
  int length = u->buffer_length;
  int check = printer_check_urb(p, c, type, endpoint);
  if (check == 0 && length < 0)
    check = -EINVAL;
  if (check < 0) {
    record_line(p, fmt("%s endpoint=0x%02x length=%d result=%d%s", urb_op(type, endpoint), endpoint,
                       length, check, (endpoint & 0x80) ? " data=" : ""));
    g_object_unref(held);
    return check;
  }
  auto urb = std::make_unique<Urb>();
  urb->urb = held;
  urb->address = address;
  urb->type = type;
  urb->endpoint = endpoint;
  urb->length = length;
  if (length > 0) {
    if (resolve<uint8_t>(held, offsetof(usbdevfs_urb, buffer), size_t(length), &urb->buffer) == nullptr)
      return -EFAULT;
  }
  u->status = 0;
  u->actual_length = 0;
  Urb *raw = urb.get();
  c.pending.push_back(std::move(urb));
  printer_serve_urb(p, c, raw);
  return 0;
}

long do_discard(Printer &p, Client &c, UMockdevIoctlData *arg) {
  unsigned long address = 0;
  memcpy(&address, arg->data, sizeof address);
  for (auto &u : c.pending) {
    if (u->address != address)
      continue;
    Urb *raw = u.get();
    record_line(p, fmt("%s endpoint=0x%02x length=%d result=%d%s", urb_op(raw->type, raw->endpoint),
                       raw->endpoint, raw->length, -ETIMEDOUT, (raw->endpoint & 0x80) ? " data=" : ""));
    urb_complete(c, raw, -ENOENT, nullptr, 0);
    return 0;
  }
  return -EINVAL;
}

// Returns true when the ioctl was answered (now or later).
bool do_reap(Printer &p, Client &c, bool blocking) {
  if (!c.completed.empty()) {
    answer_reap(c);
    return true;
  }
  if (blocking && (c.pending.empty() || p.vanished))
    return false;
  c.reap_waiting = true;
  c.reap_blocking = blocking;
  if (!blocking) {
    std::shared_ptr<Client> cp = client_for(p, c.ioctl);
    Printer *pp = &p;
    c.reap_timer = worker_timer(kReapGraceMs, [pp, cp] {
      cp->reap_timer = nullptr;
      if (cp->closed || !cp->reap_waiting)
        return false;
      cp->reap_waiting = false;
      umockdev_ioctl_client_complete(cp->ioctl, -1, pp->vanished ? ENODEV : EAGAIN);
      return false;
    });
  }
  return true;
}

gboolean on_ioctl(UMockdevIoctlBase *, UMockdevIoctlClient *ioctl, gpointer user) {
  std::lock_guard<std::mutex> hold(g_lock);
  if (g_stopped) {
    umockdev_ioctl_client_complete(ioctl, -1, ENODEV);
    return TRUE;
  }
  note_worker();
  Printer &p = *static_cast<Printer *>(user);
  std::shared_ptr<Client> cp = client_for(p, ioctl);
  if (cp == nullptr) {
    umockdev_ioctl_client_complete(ioctl, -1, EBADF);
    return TRUE;
  }
  Client &c = *cp;
  unsigned long request = umockdev_ioctl_client_get_request(ioctl);
  UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(ioctl);
  long result = 0;
  UMockdevIoctlData *held = nullptr;

  switch (request) {
  case USBDEVFS_CONNECTINFO: {
    auto *ci = resolve<usbdevfs_connectinfo>(arg, 0, sizeof(usbdevfs_connectinfo), &held);
    if (ci == nullptr) {
      result = -EFAULT;
    } else if (p.vanished) {
      result = -ENODEV;
    } else {
      ci->devnum = unsigned(p.profile.dev);
      ci->slow = 0;
    }
    break;
  }
  case USBDEVFS_CONTROL: {
    bool answered = false;
    result = do_control(p, c, ioctl, arg, answered);
    if (answered)
      return TRUE;
    break;
  }
  case USBDEVFS_CLAIMINTERFACE:
  case USBDEVFS_RELEASEINTERFACE:
  case USBDEVFS_CLEAR_HALT: {
    auto *n = resolve<unsigned>(arg, 0, sizeof(unsigned), &held);
    if (n == nullptr) {
      result = -EFAULT;
      break;
    }
    if (request == USBDEVFS_CLAIMINTERFACE) {
      result = printer_claim(p, c, *n);
      record_line(p, fmt("claim interface=%u result=%ld", *n, result));
    } else if (request == USBDEVFS_RELEASEINTERFACE) {
      result = printer_release(p, c, *n);
      record_line(p, fmt("release interface=%u result=%ld", *n, result));
    } else {
      result = printer_clear_halt(p, c, *n);
      record_line(p, fmt("clear_halt endpoint=0x%02x result=%ld", *n, result));
    }
    break;
  }
  case USBDEVFS_GETDRIVER: {
    auto *gd = resolve<usbdevfs_getdriver>(arg, 0, sizeof(usbdevfs_getdriver), &held);
    if (gd == nullptr) {
      result = -EFAULT;
      break;
    }
    std::string name;
    result = printer_getdriver(p, gd->interface, name);
    if (result == 0) {
      snprintf(gd->driver, sizeof gd->driver, "%s", name.c_str());
      record_line(p, fmt("getdriver interface=%u result=0 driver=%s", gd->interface, name.c_str()));
    } else {
      record_line(p, fmt("getdriver interface=%u result=%ld", gd->interface, result));
    }
    break;
  }
  case USBDEVFS_IOCTL: {
    auto *io = resolve<usbdevfs_ioctl>(arg, 0, sizeof(usbdevfs_ioctl), &held);
    if (io == nullptr) {
      result = -EFAULT;
    } else if (unsigned(io->ioctl_code) == USBDEVFS_DISCONNECT) {
      result = printer_detach(p, unsigned(io->ifno));
      record_line(p, fmt("detach interface=%d result=%ld", io->ifno, result));
    } else {
      result = p.vanished ? -ENODEV : -ENOTTY; // not a hub, no other driver ioctls
    }
    break;
  }
  case USBDEVFS_SUBMITURB:
    result = do_submit(p, c, arg);
    break;
  case USBDEVFS_DISCARDURB:
    result = do_discard(p, c, arg);
    break;
  case USBDEVFS_REAPURB:
  case USBDEVFS_REAPURBNDELAY:
    if (do_reap(p, c, request == USBDEVFS_REAPURB))
      return TRUE;
    result = p.vanished ? -ENODEV : -EAGAIN;
    break;
  case USBDEVFS_SETINTERFACE:
  case USBDEVFS_SETCONFIGURATION:
  case USBDEVFS_RESET:
  case USBDEVFS_RESETEP:
    result = p.vanished ? -ENODEV : 0;
    break;
  default:
    result = p.vanished ? -ENODEV : -ENOTTY;
    record_line(p, fmt("ioctl request=0x%08lx result=%ld", request, result));
    break;
  }
  if (held)
    g_object_unref(held);
  finish(ioctl, result);
  return TRUE;
}

gboolean on_read(UMockdevIoctlBase *, UMockdevIoctlClient *ioctl, gpointer user) {
  std::lock_guard<std::mutex> hold(g_lock);
  if (g_stopped) {
    umockdev_ioctl_client_complete(ioctl, -1, ENODEV);
    return TRUE;
  }
  note_worker();
  Printer &p = *static_cast<Printer *>(user);
  std::shared_ptr<Client> c = client_for(p, ioctl);
  UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(ioctl);
  if (c == nullptr || p.vanished) {
    umockdev_ioctl_client_complete(ioctl, -1, c ? ENODEV : EBADF);
    return TRUE;
  }
  // usbfs files read as the device descriptor followed by the configuration.
  std::vector<uint8_t> file = p.desc.device;
  file.insert(file.end(), p.desc.config.begin(), p.desc.config.end());
  size_t want = arg->data_len > 0 ? size_t(arg->data_len) : 0;
  size_t n = c->read_offset < file.size() ? file.size() - c->read_offset : 0;
  if (n > want)
    n = want;
  memcpy(arg->data, file.data() + c->read_offset, n);
  c->read_offset += n;
  umockdev_ioctl_client_complete(ioctl, long(n), 0);
  return TRUE;
}

gboolean on_write(UMockdevIoctlBase *, UMockdevIoctlClient *ioctl, gpointer) {
  umockdev_ioctl_client_complete(ioctl, -1, EINVAL);
  return TRUE;
}

void on_connected(UMockdevIoctlBase *, UMockdevIoctlClient *ioctl, gpointer user) {
  std::lock_guard<std::mutex> hold(g_lock);
  if (g_stopped)
    return;
  note_worker();
  Printer &p = *static_cast<Printer *>(user);
  auto c = std::make_shared<Client>();
  c->ioctl = static_cast<UMockdevIoctlClient *>(g_object_ref(ioctl));
  c->printer = &p;
  // The client's socket is the one new connected socket (a printer
  // plugged in meanwhile adds a listening one). With several (clients
  // connecting at once) which is whose is not known, and a wrong guess
  // would drop a live client when another one closes: such a client is
  // left to umockdev's own connection state.
  int fresh = 0;
  for (auto &[fd, inode] : list_sockets()) {
    int listening = 0;
    socklen_t len = sizeof listening;
    if (getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &len) == 0 && listening)
      continue;
    if (g_known_sockets.insert(inode).second && ++fresh == 1) {
      c->socket_fd = fd;
      c->socket_inode = inode;
    }
  }
  if (fresh > 1) {
    c->socket_fd = -1;
    c->socket_inode = 0;
  }
  p.clients.push_back(c);
  record_line(p, "open");
  printer_client_opened(p);
  if (g_close_poll == nullptr) {
    g_close_poll = g_timeout_source_new(kClosePollMs);
    g_source_set_callback(g_close_poll, poll_closes, nullptr, nullptr);
    g_source_attach(g_close_poll, g_worker_ctx);
    g_source_unref(g_close_poll);
  }
}

} // namespace

Urb::~Urb() {
  if (buffer)
    g_object_unref(buffer);
  if (urb)
    g_object_unref(urb);
}

Client::~Client() {
  if (ioctl)
    g_object_unref(ioctl);
}

GSource *worker_timer(unsigned ms, std::function<bool()> fn) {
  GSource *source = g_timeout_source_new(ms);
  g_source_set_callback(source, timer_fired, new TimerData{std::move(fn)}, timer_free);
  g_source_attach(source, g_worker_ctx);
  g_source_unref(source);
  return source;
}

void worker_timer_cancel(GSource *&source) {
  if (source != nullptr) {
    g_source_destroy(source);
    source = nullptr;
  }
}

void urb_complete(Client &c, Urb *urb, int status, const uint8_t *data, int actual) {
  auto *u = reinterpret_cast<usbdevfs_urb *>(urb->urb->data);
  u->status = status;
  u->actual_length = actual;
  if (data != nullptr && actual > 0 && urb->buffer != nullptr)
    memcpy(urb->buffer->data, data, size_t(actual));
  for (auto it = c.pending.begin(); it != c.pending.end(); ++it) {
    if (it->get() == urb) {
      c.completed.push_back(std::move(*it));
      c.pending.erase(it);
      break;
    }
  }
  if (c.reap_waiting) {
    c.reap_waiting = false;
    worker_timer_cancel(c.reap_timer);
    answer_reap(c);
  }
}

void usbfs_check_clients(Printer &p) {
  for (size_t i = 0; i < p.clients.size();) {
    Client &c = *p.clients[i];
    if (peer_gone(c)) {
      drop_client(p, c);
      p.clients.erase(p.clients.begin() + long(i));
    } else {
      ++i;
    }
  }
}

void usbfs_note_sockets() {
  for (auto &entry : list_sockets())
    g_known_sockets.insert(entry.second);
}

bool usbfs_attach(UMockdevTestbed *testbed, Printer &p, std::string &err) {
  char devnode[64];
  snprintf(devnode, sizeof devnode, "/dev/bus/usb/%03d/%03d", p.profile.bus, p.profile.dev);
  p.devnode = devnode;
  p.syspath = fmt("/devices/pci0000:00/0000:00:14.0/usb%d/%d-%d", p.profile.bus, p.profile.bus, p.profile.dev);
  gchar *root = umockdev_testbed_get_root_dir(testbed);
  p.root = root;
  p.node_file = std::string(root) + devnode;
  g_free(root);

  // The handler first, the node after: a program scanning the buses while
  // a printer is plugged in must never find the node without its handler
  // (libusb 0.1 would keep the empty descriptors it read from it).
  GError *error = nullptr;
  UMockdevIoctlBase *handler = umockdev_ioctl_base_new();
  g_signal_connect(handler, "handle-ioctl", G_CALLBACK(on_ioctl), &p);
  g_signal_connect(handler, "handle-read", G_CALLBACK(on_read), &p);
  g_signal_connect(handler, "handle-write", G_CALLBACK(on_write), &p);
  g_signal_connect(handler, "client-connected", G_CALLBACK(on_connected), &p);
  bool ok = umockdev_testbed_attach_ioctl(testbed, devnode, handler, &error);
  g_object_unref(handler);
  if (!ok) {
    err = std::string("cannot attach ") + p.profile.name + ": " + error->message;
    g_clear_error(&error);
    return false;
  }

  std::string record =
      fmt("P: %s\nN: %s\nE: SUBSYSTEM=usb\nE: DEVNAME=%s\nE: DEVTYPE=usb_device\n"
          "E: BUSNUM=%03d\nE: DEVNUM=%03d\nA: busnum=%d\nA: devnum=%d\n"
          "A: idVendor=%04lx\nA: idProduct=%04lx\nA: bcdDevice=%04lx\nA: dev=189:%d\n",
          p.syspath.c_str(), devnode + 5, devnode, p.profile.bus, p.profile.dev, p.profile.bus, p.profile.dev,
          p.profile.vid, p.profile.pid, p.profile.bcd, (p.profile.bus - 1) * 128 + p.profile.dev - 1);
  if (!umockdev_testbed_add_from_string(testbed, record.c_str(), &error)) {
    err = std::string("cannot add ") + p.profile.name + ": " + error->message;
    g_clear_error(&error);
    return false;
  }
  return true;
}

} // namespace vp
