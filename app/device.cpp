// The usbkorv device scheme. Printers are listed by the backend's own
// discovery (usbkorv without arguments) and printed through one run of
// usbkorv in job mode per job, so the USB port layer, its process-wide
// record and its root-only work stay in a short-lived process, and a
// cancelled job ends as the backend ends a cancelled CUPS job.
//
// PAPPL keeps a device open from one job to the next while jobs wait; the
// backend takes one image per run, so a run starts at a job's first write
// and ends at the job's end (device_end_job).
#include <atomic>
#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "korvprint.h"
#include "status.h"

#ifndef KORV_BACKEND_PATH
#define KORV_BACKEND_PATH "/usr/lib/cups/backend/usbkorv"
#endif

// One open device.
struct korv_device {
  char uri[1024];                // the printer's device URI
  pappl_job_t *job;              // the job being printed, or nullptr
  int finish_wait;               // the job's finish wait, seconds
  backend_run run;               // the job's backend run, pid -1 when none
  std::atomic<unsigned> reasons; // printer-state-reasons the backend reported
  char message[256];             // the last INFO: text made the job's message
  bool gave_up;                  // the backend stopped waiting for the printer
};

const char *device_backend_path(void) {
  const char *path = getenv(KORV_BACKEND_ENV);
  return path != nullptr && *path != '\0' ? path : KORV_BACKEND_PATH;
}

// ---- the backend's messages ----

// printer-state-reasons keywords the backend may report, and PAPPL's bits.
static const struct {
  const char *keyword;
  pappl_preason_t reason;
} reason_table[] = {
    {"other", PAPPL_PREASON_OTHER},
    {"cover-open", PAPPL_PREASON_COVER_OPEN},
    {"door-open", PAPPL_PREASON_DOOR_OPEN},
    {"media-empty", PAPPL_PREASON_MEDIA_EMPTY},
    {"media-jam", PAPPL_PREASON_MEDIA_JAM},
    {"media-low", PAPPL_PREASON_MEDIA_LOW},
    {"media-needed", PAPPL_PREASON_MEDIA_NEEDED},
    {"offline", PAPPL_PREASON_OFFLINE},
};

// The reason bit of a keyword such as "offline-report": the severity
// suffix is dropped. 0 when PAPPL has no such reason.
static pappl_preason_t reason_of(const char *keyword, size_t len) {
  static const char *const suffixes[] = {"-report", "-warning", "-error"};
  for (const char *suffix : suffixes) {
    size_t slen = strlen(suffix);
    if (len > slen && strncmp(keyword + len - slen, suffix, slen) == 0) {
      len -= slen;
      break;
    }
  }
  for (const auto &entry : reason_table)
    if (strlen(entry.keyword) == len && strncmp(entry.keyword, keyword, len) == 0)
      return entry.reason;
  return 0;
}

// "STATE: +a,b" adds, "-a,b" removes, "a,b" sets the reasons.
static void apply_state(korv_device *device, const char *text) {
  while (*text == ' ')
    ++text;
  char mode = '=';
  if (*text == '+' || *text == '-')
    mode = *text++;
  pappl_preason_t listed = 0;
  while (*text != '\0') {
    size_t len = strcspn(text, ", ");
    listed |= reason_of(text, len);
    text += len;
    text += strspn(text, ", ");
  }
  unsigned before = device->reasons.load();
  unsigned after = mode == '+' ? before | listed : mode == '-' ? before & ~listed : listed;
  device->reasons.store(after);
  if (device->job != nullptr && after != before)
    papplPrinterSetReasons(papplJobGetPrinter(device->job), after & ~before, before & ~after);
}

static void backend_message(const char *line, void *context) {
  korv_device *device = static_cast<korv_device *>(context);
  pappl_job_t *job = device->job;
  if (strncmp(line, "STATE:", 6) == 0) {
    apply_state(device, line + 6);
  } else if (strncmp(line, "INFO:", 5) == 0) {
    // Only a new text: PAPPL 1.3.1 reads the message without the job's
    // lock, so it is replaced no more often than it changes.
    const char *text = line + 5 + strspn(line + 5, " ");
    if (strcmp(text, STATUS_CANCELLED_WAITING) == 0)
      device->gave_up = true;
    if (job != nullptr && *text != '\0' && strcmp(text, device->message) != 0) {
      papplCopyString(device->message, text, sizeof(device->message));
      papplJobSetMessage(job, "%s", text);
    }
  }
  if (job != nullptr) {
    pappl_loglevel_t level =
        strncmp(line, "ERROR:", 6) == 0 ? PAPPL_LOGLEVEL_ERROR : PAPPL_LOGLEVEL_DEBUG;
    papplLogJob(job, level, "usbkorv: %s", line);
  }
}

static bool job_cancelled(void *context) {
  korv_device *device = static_cast<korv_device *>(context);
  return device->job != nullptr && papplJobIsCanceled(device->job);
}

// The server is stopping: a backend that has its whole job need not wait
// for the paper.
static bool server_stopping(void *context) {
  korv_device *device = static_cast<korv_device *>(context);
  return device->job != nullptr &&
         system_stop_time(papplPrinterGetSystem(papplJobGetPrinter(device->job))) > 0;
}

// The backend is stopped at once: the job was cancelled, or the server is
// stopping while the backend still waits for its printer (nothing of the
// job has reached the printer; the job ends aborted, the server need not
// wait for a printer that may never come).
static bool stop_backend(void *context) {
  korv_device *device = static_cast<korv_device *>(context);
  return job_cancelled(context) ||
         (server_stopping(context) && (device->reasons.load() & PAPPL_PREASON_OFFLINE) != 0);
}

// The URI handed to the backend: the printer's, with the finish wait when
// it is not the backend's own default, and waiting for an absent printer.
static void backend_uri(const korv_device *device, char *out, size_t size) {
  if (device->finish_wait == KORV_BACKEND_DEFAULT_WAIT || strstr(device->uri, "wait=") != nullptr)
    papplCopyString(out, device->uri, size);
  else
    snprintf(out, size, "%s%cwait=%d", device->uri, strchr(device->uri, '?') ? '&' : '?',
             device->finish_wait);
  queue_wait_for_printer(out, size);
}

// ---- job hooks ----

void device_begin_job(pappl_device_t *device, pappl_job_t *job, int finish_wait) {
  korv_device *korv = static_cast<korv_device *>(papplDeviceGetData(device));
  if (korv == nullptr)
    return; // another scheme (file:, say) takes the bytes as they are
  korv->job = job;
  korv->finish_wait = finish_wait;
  korv->message[0] = '\0';
  korv->gave_up = false;
}

bool device_end_job(pappl_device_t *device, bool cancel) {
  korv_device *korv = static_cast<korv_device *>(papplDeviceGetData(device));
  if (korv == nullptr)
    return true;
  bool printed = true;
  if (korv->run.pid >= 0) {
    papplDeviceFlush(device);
    int status =
        backend_finish(&korv->run, cancel, backend_message, stop_backend, server_stopping, korv);
    if (korv->job != nullptr)
      papplLogJob(korv->job, PAPPL_LOGLEVEL_INFO, "usbkorv ended with status %d.", status);
    // A backend stopped by someone else (systemd stopping the service)
    // while it waited for the printer ends as cancelled ones do: status 0.
    printed = status == 0 && !korv->gave_up;
    if (!printed && korv->job != nullptr && !papplJobIsCanceled(korv->job)) {
      if (korv->gave_up)
        papplJobSetMessage(korv->job, "The printer did not take the job "
                                      "(usbkorv was stopped while it waited "
                                      "for the printer).");
      else
        papplJobSetMessage(korv->job,
                           "The printer did not take the job "
                           "(usbkorv status %d).",
                           status);
    }
  } else if (!cancel) {
    printed = false; // nothing was ever sent
  }
  queue_job_ended(korv->job);
  korv->job = nullptr;
  return printed;
}

// ---- scheme callbacks ----

struct list_context {
  pappl_device_cb_t cb;
  void *data;
  bool stop;
};

// One device line: class, URI, "make and model", "info", ["device id"].
static void list_line(const char *line, void *context) {
  list_context *list = static_cast<list_context *>(context);
  if (list->stop)
    return;
  char uri[1024], make_model[256], info[256], device_id[512];
  uri[0] = make_model[0] = info[0] = device_id[0] = '\0';
  const char *p = line;
  if (strncmp(p, "direct ", 7) != 0)
    return;
  p += 7;
  size_t len = strcspn(p, " ");
  if (len == 0 || len >= sizeof(uri) ||
      strncmp(p, KORV_URI_SCHEME ":", strlen(KORV_URI_SCHEME ":")) != 0)
    return;
  memcpy(uri, p, len);
  uri[len] = '\0';
  p += len;
  // The quoted fields; a backslash escapes the next character.
  char *fields[3] = {make_model, info, device_id};
  size_t sizes[3] = {sizeof(make_model), sizeof(info), sizeof(device_id)};
  for (int f = 0; f < 3; ++f) {
    p += strspn(p, " ");
    if (*p != '"')
      break;
    ++p;
    size_t used = 0;
    while (*p != '\0' && *p != '"') {
      if (*p == '\\' && p[1] != '\0')
        ++p;
      if (used + 1 < sizes[f])
        fields[f][used++] = *p;
      ++p;
    }
    fields[f][used] = '\0';
    if (*p == '"')
      ++p;
  }
  // Room for both fields whole: a listing is never cut short.
  char description[sizeof(make_model) + sizeof(info) + 4];
  snprintf(description, sizeof(description), "%s (%s)",
           make_model[0] ? make_model : KORV_MAKE " printer", info);
  if (list->cb(description, uri, device_id, list->data))
    list->stop = true;
}

static bool korv_list(pappl_device_cb_t cb, void *data, pappl_deverror_cb_t err_cb,
                      void *err_data) {
  list_context list = {cb, data, false};
  int status = backend_list(device_backend_path(), list_line, &list);
  if (status != 0 && err_cb != nullptr) {
    char message[1200];
    snprintf(message, sizeof(message), "Unable to list printers with %s (status %d).",
             device_backend_path(), status);
    err_cb(message, err_data);
  }
  return list.stop;
}

static bool korv_open(pappl_device_t *device, const char *device_uri, const char *name) {
  (void)name;
  korv_device *korv = new korv_device;
  papplCopyString(korv->uri, device_uri, sizeof(korv->uri));
  korv->job = nullptr;
  korv->finish_wait = KORV_BACKEND_DEFAULT_WAIT;
  korv->run.pid = -1;
  korv->run.input = korv->run.messages = -1;
  korv->run.line_used = 0;
  korv->run.heard = 0;
  korv->run.stall_ms = BACKEND_STALL_SECONDS * 1000L;
  korv->reasons.store(0);
  korv->message[0] = '\0';
  korv->gave_up = false;
  papplDeviceSetData(device, korv);
  return true;
}

static void korv_close(pappl_device_t *device) {
  korv_device *korv = static_cast<korv_device *>(papplDeviceGetData(device));
  if (korv == nullptr)
    return;
  // A run still going here belongs to a job that did not end normally:
  // the backend completes or drops the image and releases the printer.
  if (korv->run.pid >= 0)
    backend_finish(&korv->run, true, backend_message, stop_backend, server_stopping, korv);
  papplDeviceSetData(device, nullptr);
  delete korv;
}

static ssize_t korv_read(pappl_device_t *device, void *buffer, size_t bytes) {
  (void)device;
  (void)buffer;
  (void)bytes;
  return 0; // the printer has nothing to say to a job
}

static ssize_t korv_write(pappl_device_t *device, const void *buffer, size_t bytes) {
  korv_device *korv = static_cast<korv_device *>(papplDeviceGetData(device));
  if (korv == nullptr)
    return -1;
  if (korv->run.pid < 0) {
    char uri[1100];
    backend_uri(korv, uri, sizeof(uri));
    pappl_job_t *job = korv->job;
    if (backend_start(&korv->run, device_backend_path(), uri, job ? papplJobGetID(job) : 0,
                      job ? papplJobGetUsername(job) : nullptr,
                      job ? papplJobGetName(job) : nullptr) < 0) {
      papplDeviceError(device, "Unable to run %s: %s", device_backend_path(), strerror(errno));
      return -1;
    }
    if (job != nullptr)
      papplLogJob(job, PAPPL_LOGLEVEL_DEBUG, "Started %s for %s, pid %d.", device_backend_path(),
                  uri, korv->run.pid);
  }
  if (backend_write(&korv->run, buffer, bytes, backend_message, stop_backend, korv) < 0)
    return -1;
  return static_cast<ssize_t>(bytes);
}

static pappl_preason_t korv_status(pappl_device_t *device) {
  korv_device *korv = static_cast<korv_device *>(papplDeviceGetData(device));
  return korv ? static_cast<pappl_preason_t>(korv->reasons.load())
              : static_cast<pappl_preason_t>(PAPPL_PREASON_NONE);
}

void device_register_scheme(void) {
  // PAPPL adds its own schemes (file, socket, usb, ...) only when none is
  // registered yet: let it do so first, or they would all be lost.
  papplDeviceIsSupported("file:///dev/null");
  papplDeviceAddScheme(KORV_URI_SCHEME, PAPPL_DEVTYPE_CUSTOM_LOCAL, korv_list, korv_open,
                       korv_close, korv_read, korv_write, korv_status, nullptr);
}

// ---- presence ----

// Is the printer that wanted names among the listed URIs? A URI with a
// serial number names the printer of its family with that serial, wherever
// it is plugged in; one without names the n-th printer of its family on
// the buses, so it is there when the family has at least n printers (the
// listing names printers with a serial number by it, not by position). The
// serial numbers are compared decoded, as the backend compares them; a URI
// that the backend refuses names no printer.
static bool printer_listed(const char *wanted, char (*listed)[1024], int count) {
  KORV_UriParts want, seen;
  if (KORV_ParseUri(wanted, &want) != KORV_URI_OK)
    return false;
  int in_family = 0;
  for (int i = 0; i < count; ++i) {
    if (KORV_ParseUri(listed[i], &seen) != KORV_URI_OK || seen.family != want.family)
      continue;
    ++in_family;
    if (want.hasSerial && seen.hasSerial && strcmp(want.serial, seen.serial) == 0)
      return true;
  }
  return !want.hasSerial && in_family >= want.printerId;
}

// The listing is shared by every printer's status check and made again
// only when older than this, since each one walks the USB buses.
#define LISTING_MAX_AGE_SECONDS 10
#define LISTING_MAX_URIS 64

static pthread_mutex_t listing_lock = PTHREAD_MUTEX_INITIALIZER;
static time_t listing_time; // 0: never made
static int listing_status;  // the listing's exit status
static int listing_count;
static char listing_uris[LISTING_MAX_URIS][1024];

static bool collect_uri(const char *info, const char *uri, const char *id, void *data) {
  (void)info;
  (void)id;
  (void)data;
  if (listing_count < LISTING_MAX_URIS)
    papplCopyString(listing_uris[listing_count++], uri, sizeof(listing_uris[0]));
  return false;
}

int device_is_listed(const char *uri) {
  if (uri == nullptr || strncmp(uri, KORV_URI_SCHEME ":", strlen(KORV_URI_SCHEME ":")) != 0)
    return -1;
  pthread_mutex_lock(&listing_lock);
  time_t now = time(nullptr);
  if (listing_time == 0 || now - listing_time >= LISTING_MAX_AGE_SECONDS || now < listing_time) {
    listing_count = 0;
    list_context list = {collect_uri, nullptr, false};
    listing_status = backend_list(device_backend_path(), list_line, &list);
    listing_time = now;
  }
  int found = listing_status != 0 ? -1 : printer_listed(uri, listing_uris, listing_count) ? 1 : 0;
  pthread_mutex_unlock(&listing_lock);
  return found;
}
