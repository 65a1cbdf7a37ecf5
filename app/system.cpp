// The system object of the server: the standard server options of
// PAPPL's sub-commands, the document filters and their intake, the
// listeners, and the moment the server is told to stop.
#include <atomic>
#include <errno.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "korvprint.h"

#define SERVER_NAME "korvprint"

// "error", "warn", ... as PAPPL's log level; warn when not given.
static pappl_loglevel_t log_level(const char *value) {
  static const struct {
    const char *name;
    pappl_loglevel_t level;
  } levels[] = {{"fatal", PAPPL_LOGLEVEL_FATAL}, {"error", PAPPL_LOGLEVEL_ERROR},
                {"warn", PAPPL_LOGLEVEL_WARN},   {"info", PAPPL_LOGLEVEL_INFO},
                {"debug", PAPPL_LOGLEVEL_DEBUG}};
  for (const auto &entry : levels)
    if (value != nullptr && strcmp(value, entry.name) == 0)
      return entry.level;
  return PAPPL_LOGLEVEL_WARN;
}

// The server-options list (comma separated) applied to the defaults. PAPPL's
// "web-security" page is not offered: its password check accepts any
// password, and logins are the system's own (access.cpp).
static pappl_soptions_t server_options(const char *value) {
  pappl_soptions_t options = PAPPL_SOPTIONS_MULTI_QUEUE |
                             PAPPL_SOPTIONS_WEB_INTERFACE |
                             PAPPL_SOPTIONS_WEB_TLS;
  static const struct {
    const char *name;
    pappl_soptions_t add, remove;
  } words[] = {
      {"dnssd-host", PAPPL_SOPTIONS_DNSSD_HOST, 0},
      {"no-multi-queue", 0, PAPPL_SOPTIONS_MULTI_QUEUE},
      {"raw-socket", PAPPL_SOPTIONS_RAW_SOCKET, 0},
      {"no-web-interface", 0, PAPPL_SOPTIONS_WEB_INTERFACE},
      {"web-log", PAPPL_SOPTIONS_WEB_LOG, 0},
      {"web-network", PAPPL_SOPTIONS_WEB_NETWORK, 0},
      {"web-remote", PAPPL_SOPTIONS_WEB_REMOTE, 0},
      {"no-tls", PAPPL_SOPTIONS_NO_TLS, PAPPL_SOPTIONS_WEB_TLS},
  };
  for (const char *p = value; p != nullptr && *p != '\0';) {
    size_t len = strcspn(p, ",");
    if (len == 4 && strncmp(p, "none", 4) == 0)
      options = PAPPL_SOPTIONS_NONE;
    for (const auto &word : words)
      if (strlen(word.name) == len && strncmp(p, word.name, len) == 0)
        options = (options | word.add) & ~word.remove;
    p += len;
    if (*p == ',')
      ++p;
  }
  return options;
}

// The spool directory when none is given: the system's for the service
// (root), else one in the user's configuration directory, else in the
// temporary directory.
static void default_spool(char *out, size_t size) {
  if (getuid() == 0 && (mkdir("/var/spool", 0755) == 0 || errno == EEXIST)) {
    snprintf(out, size, "/var/spool/%s", SERVER_NAME);
    return;
  }
  const char *home = getenv("HOME");
  if (home != nullptr) {
    snprintf(out, size, "%s/.config", home);
    if (mkdir(out, 0700) == 0 || errno == EEXIST) {
      size_t used = strlen(out);
      snprintf(out + used, size - used, "/%s.d", SERVER_NAME);
      return;
    }
  }
  snprintf(out, size, "%s/%s%d.d", papplGetTempDir(), SERVER_NAME,
           static_cast<int>(getuid()));
}

// The state file when none is given, where PAPPL's main loop keeps it: the
// system's for root, else the user's configuration directory, else the
// temporary directory. The server names it itself so that it can save its
// state when it stops on its own (system_stop_now).
static void default_state(char *out, size_t size) {
  const char *config = getenv("XDG_CONFIG_HOME");
  const char *home = getenv("HOME");
  if (getuid() == 0 && (mkdir("/var/lib", 0755) == 0 || errno == EEXIST)) {
    snprintf(out, size, "/var/lib/%s.state", SERVER_NAME);
    return;
  }
  if (getuid() != 0 && config != nullptr && access(config, X_OK) == 0) {
    snprintf(out, size, "%s/%s.state", config, SERVER_NAME);
    return;
  }
  if (getuid() != 0 && home != nullptr) {
    snprintf(out, size, "%s/.config", home);
    if (mkdir(out, 0700) == 0 || errno == EEXIST) {
      size_t used = strlen(out);
      snprintf(out + used, size - used, "/%s.state", SERVER_NAME);
      return;
    }
  }
  snprintf(out, size, "%s/%s%d.state", papplGetTempDir(), SERVER_NAME,
           static_cast<int>(getuid()));
}

// The state file: the state-file option's, or the default one.
static char state_file[1024];

static bool save_state(pappl_system_t *system, void *context) {
  (void)context;
  return papplSystemSaveState(system, state_file);
}

long long system_now_ms(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// ---- the stop ----
// PAPPL ends its main loop once SIGTERM (or SIGINT) has come and no job is
// active any more, but it tells no one; its handler is chained here so
// that a document still being read does not hold the server.
static std::atomic<long long> stop_time{0};
static struct sigaction pappl_term, pappl_int;

static void on_stop_signal(int sig) {
  long long expected = 0;
  stop_time.compare_exchange_strong(expected, system_now_ms());
  const struct sigaction *pappl = sig == SIGTERM ? &pappl_term : &pappl_int;
  if (pappl->sa_handler != SIG_DFL && pappl->sa_handler != SIG_IGN)
    pappl->sa_handler(sig);
}

// Runs on PAPPL's main loop, after PAPPL has set its own handlers. PAPPL
// 1.3.1 loses the record of a timer that does not repeat, so this one
// repeats, doing nothing after its first run.
#define CHAIN_TIMER_SECONDS 3600
static bool chain_stop_handlers(pappl_system_t *system, void *context) {
  (void)system;
  (void)context;
  static bool chained;
  if (chained)
    return true;
  chained = true;
  struct sigaction ours;
  memset(&ours, 0, sizeof(ours));
  ours.sa_handler = on_stop_signal;
  ours.sa_flags = SA_RESTART;
  sigemptyset(&ours.sa_mask);
  sigaction(SIGTERM, &ours, &pappl_term);
  sigaction(SIGINT, &ours, &pappl_int);
  return true;
}

long long system_stop_time(pappl_system_t *system) {
  long long at = stop_time.load();
  if (at == 0 && system != nullptr && papplSystemIsShutdown(system)) {
    long long expected = 0;
    stop_time.compare_exchange_strong(expected, system_now_ms());
    at = stop_time.load();
  }
  return at;
}

// A yes/no server option: 1 yes, 0 no (or not given), -1 a bad value.
static int yes_no_option(const char *name, int num_options, cups_option_t *options) {
  const char *value = cupsGetOption(name, num_options, options);
  if (value == nullptr || strcmp(value, "no") == 0)
    return 0;
  if (strcmp(value, "yes") == 0)
    return 1;
  fprintf(stderr, "korvprint: Bad '%s' value '%s' (yes or no).\n", name, value);
  return -1;
}

// A whole-number server option from low to high; *value is kept when it is
// not given. False, with a message, for a bad value.
static bool number_option(const char *name, long low, long high, int num_options,
                          cups_option_t *options, long *value) {
  const char *text = cupsGetOption(name, num_options, options);
  if (text == nullptr)
    return true;
  char *end = nullptr;
  errno = 0;
  long number = strtol(text, &end, 10);
  if (*text == '\0' || *end != '\0' || errno != 0 || number < low || number > high) {
    fprintf(stderr, "korvprint: Bad '%s' value '%s'.\n", name, text);
    return false;
  }
  *value = number;
  return true;
}

pappl_system_t *system_callback(int num_options, cups_option_t *options,
                                void *context) {
  (void)context;
  int print_needs_login = yes_no_option("print-needs-login", num_options, options);
  if (print_needs_login < 0)
    return nullptr;
  long port = 0;
  if (!number_option("server-port", 0, 65535, num_options, options, &port))
    return nullptr;
  // PAPPL's default, 1 MB; 0 lets the log grow (the tests keep theirs whole).
  long log_max_size = 1024 * 1024;
  if (!number_option("log-max-size", 0, LONG_MAX, num_options, options, &log_max_size))
    return nullptr;
  if (!decode_set_user(cupsGetOption("decode-user", num_options, options)))
    return nullptr;
  char spool[1024];
  const char *directory = cupsGetOption("spool-directory", num_options, options);
  if (directory == nullptr) {
    default_spool(spool, sizeof(spool));
    directory = spool;
  }

  const char *pam_service = cupsGetOption("auth-service", num_options, options);
  if (pam_service == nullptr)
    pam_service = SERVER_NAME;
  pappl_system_t *system = papplSystemCreate(
      server_options(cupsGetOption("server-options", num_options, options)),
      SERVER_NAME, static_cast<int>(port), "_print,_universal", directory,
      cupsGetOption("log-file", num_options, options),
      log_level(cupsGetOption("log-level", num_options, options)), pam_service,
      false);
  if (system == nullptr)
    return nullptr;
  papplSystemSetMaxLogSize(system, static_cast<size_t>(log_max_size));

  // Debian's group of printing administrators, unless another is named.
  const char *admin_group = cupsGetOption("admin-group", num_options, options);
  access_setup(system, pam_service, admin_group != nullptr ? admin_group : "lpadmin",
               print_needs_login == 1);
  const char *value = cupsGetOption("server-hostname", num_options, options);
  if (value != nullptr)
    papplSystemSetHostName(system, value);
  if (cupsGetOption("private-server", num_options, options) == nullptr)
    papplSystemAddListeners(
        system, cupsGetOption("listen-hostname", num_options, options));

  // Every document is read by the decoder, never by PAPPL. Before any
  // printer is made: a printer's document formats are fixed then.
  decode_register_filters(system);
  papplSystemAddTimerCallback(system, time(nullptr), CHAIN_TIMER_SECONDS, chain_stop_handlers,
                              nullptr);
  queue_start(system);

  // The drivers, with the printer creation callback of the access rules;
  // PAPPL sets them without one only when none are set here. They must be
  // known before any state is read.
  papplSystemSetPrinterDrivers(system, driver_model_count, driver_table,
                               driver_autoadd, access_printer_created,
                               driver_callback, nullptr);

  // A state file of one's own (the service, tests, a second instance): the
  // printers, settings and queued jobs are kept there instead of the
  // default place, which for root is /var/lib.
  const char *state = cupsGetOption("state-file", num_options, options);
  if (state != nullptr && *state != '\0')
    papplCopyString(state_file, state, sizeof(state_file));
  else
    default_state(state_file, sizeof(state_file));
  papplSystemSetSaveCallback(system, save_state, nullptr);
  papplSystemLoadState(system, state_file);

  return system;
}

void system_stop_now(pappl_system_t *system, int queued) {
  papplLog(system, PAPPL_LOGLEVEL_INFO,
           "Stopping with %d job(s) queued, kept for the next start.", queued);
  save_state(system, nullptr);
  // PAPPL's main loop would wait up to a minute for the queued jobs, or
  // start them; nothing of the server is left to tidy that the next start
  // does not redo (it makes its socket afresh).
  _exit(0);
}
