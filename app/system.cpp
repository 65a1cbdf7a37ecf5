// The system object of the server: the standard server options of
// PAPPL's sub-commands, the PDF filter, and the listeners.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
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

// The server-options list (comma separated) applied to the defaults.
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
      {"web-security", PAPPL_SOPTIONS_WEB_SECURITY, 0},
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

// The state file named by the state-file option.
static char state_file[1024];

static bool save_state(pappl_system_t *system, void *context) {
  (void)context;
  return papplSystemSaveState(system, state_file);
}

pappl_system_t *system_callback(int num_options, cups_option_t *options,
                                void *context) {
  (void)context;
  const char *port_text = cupsGetOption("server-port", num_options, options);
  int port = 0;
  if (port_text != nullptr) {
    char *end = nullptr;
    long value = strtol(port_text, &end, 10);
    if (*port_text == '\0' || *end != '\0' || value < 0 || value > 65535) {
      fprintf(stderr, "korvprint: Bad 'server-port' value '%s'.\n", port_text);
      return nullptr;
    }
    port = static_cast<int>(value);
  }
  char spool[1024];
  const char *directory = cupsGetOption("spool-directory", num_options, options);
  if (directory == nullptr) {
    default_spool(spool, sizeof(spool));
    directory = spool;
  }

  pappl_system_t *system = papplSystemCreate(
      server_options(cupsGetOption("server-options", num_options, options)),
      SERVER_NAME, port, "_print,_universal", directory,
      cupsGetOption("log-file", num_options, options),
      log_level(cupsGetOption("log-level", num_options, options)),
      cupsGetOption("auth-service", num_options, options), false);
  if (system == nullptr)
    return nullptr;

  const char *value = cupsGetOption("admin-group", num_options, options);
  if (value != nullptr)
    papplSystemSetAdminGroup(system, value);
  value = cupsGetOption("server-hostname", num_options, options);
  if (value != nullptr)
    papplSystemSetHostName(system, value);
  if (cupsGetOption("private-server", num_options, options) == nullptr)
    papplSystemAddListeners(
        system, cupsGetOption("listen-hostname", num_options, options));

  // PAPPL prints PNG, JPEG, PWG and Apple raster itself; PDF is ours. Before
  // any printer is made: a printer's document formats are fixed then.
  papplSystemAddMIMEFilter(system, "application/pdf", "image/pwg-raster",
                           pdf_filter, nullptr);
  queue_start(system);

  // A state file of one's own (tests, a second instance): the printers
  // and settings are kept there instead of PAPPL's default place, which
  // for root is /var/lib. The drivers must be known before it is read.
  const char *state = cupsGetOption("state-file", num_options, options);
  if (state != nullptr && *state != '\0') {
    papplCopyString(state_file, state, sizeof(state_file));
    papplSystemSetPrinterDrivers(system, driver_model_count, driver_table,
                                 driver_autoadd, nullptr, driver_callback,
                                 nullptr);
    papplSystemSetSaveCallback(system, save_state, nullptr);
    papplSystemLoadState(system, state_file);
  }

  return system;
}
