// Who may do what. PAPPL asks access_callback for every check of a client
// on TCP (remote clients only once they use TLS; clients of the domain
// socket are never asked). Printing, looking and a client's own job are
// open to anyone; everything else needs an HTTP Basic login that PAM
// accepts, of a member of the admin group. The printer page's forms, which
// PAPPL acts on without any check, and the domain socket are closed here
// too.
#include <dirent.h>
#include <grp.h>
#include <pthread.h>
#include <pwd.h>
#include <security/pam_appl.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "korvprint.h"

// PAPPL's own printer page (printer-webif.c, exported by libpappl): it
// shows the printer and its jobs, and acts on its forms.
extern "C" void _papplPrinterWebHome(pappl_client_t *client, pappl_printer_t *printer);

// The address a job was sent from, kept with the job so that only the
// same client on the same machine counts as its owner.
#define ORIGIN_ATTRIBUTE "job-originating-host-name"

// Longest user name and password taken from an Authorization header.
#define LOGIN_TEXT_MAX 512

static struct {
  char pam_service[64];
  char admin_group[256];
  bool print_needs_login;
} access_rules;

// Serializes PAM transactions: not every module is safe in parallel.
static pthread_mutex_t pam_lock = PTHREAD_MUTEX_INITIALIZER;

enum request_kind {
  REQUEST_STATUS, // looking: printers, jobs, notifications
  REQUEST_PRINT,  // sending a job
  REQUEST_OWN_JOB, // acting on one job: its owner, or an administrator
  REQUEST_ADMIN,  // everything else
};

enum login_result { LOGIN_NONE, LOGIN_BAD, LOGIN_OK };

// The client's address ("localhost" on the loopback interface), not the
// Host: field it sent.
static const char *peer_address(pappl_client_t *client, char *buffer, size_t size) {
  return httpGetHostname(papplClientGetHTTP(client), buffer, static_cast<int>(size));
}

static request_kind kind_of(pappl_client_t *client) {
  // Every check of the web interface is PAPPL's administration check.
  if (papplClientGetRequest(client) == nullptr)
    return REQUEST_ADMIN;
  switch (papplClientGetOperation(client)) {
  case IPP_OP_PRINT_JOB:
  case IPP_OP_VALIDATE_JOB:
  case IPP_OP_CREATE_JOB:
    return REQUEST_PRINT;
  case IPP_OP_SEND_DOCUMENT:
  case IPP_OP_CLOSE_JOB:
  case IPP_OP_CANCEL_JOB:
  case IPP_OP_HOLD_JOB:
  case IPP_OP_RELEASE_JOB:
    return REQUEST_OWN_JOB;
  case IPP_OP_GET_JOBS:
  case IPP_OP_GET_JOB_ATTRIBUTES:
  case IPP_OP_GET_PRINTER_ATTRIBUTES:
  case IPP_OP_GET_PRINTER_SUPPORTED_VALUES:
  case IPP_OP_GET_PRINTERS:
  case IPP_OP_GET_SYSTEM_ATTRIBUTES:
  case IPP_OP_CREATE_PRINTER_SUBSCRIPTIONS:
  case IPP_OP_CREATE_JOB_SUBSCRIPTIONS:
  case IPP_OP_CREATE_SYSTEM_SUBSCRIPTIONS:
  case IPP_OP_GET_SUBSCRIPTIONS:
  case IPP_OP_GET_SUBSCRIPTION_ATTRIBUTES:
  case IPP_OP_GET_NOTIFICATIONS:
  case IPP_OP_RENEW_SUBSCRIPTION:
  case IPP_OP_CANCEL_SUBSCRIPTION:
    return REQUEST_STATUS;
  default:
    return REQUEST_ADMIN;
  }
}

// ---- PAM ----

struct pam_login_data {
  const char *user;
  const char *password;
  unsigned delay_usec; // the wait PAM asks for after a failure
};

static int pam_conversation(int count, const struct pam_message **messages,
                            struct pam_response **responses, void *data) {
  const pam_login_data *login = static_cast<const pam_login_data *>(data);
  if (count <= 0)
    return PAM_CONV_ERR;
  pam_response *replies =
      static_cast<pam_response *>(calloc(static_cast<size_t>(count), sizeof(pam_response)));
  if (replies == nullptr)
    return PAM_BUF_ERR;
  for (int i = 0; i < count; ++i) {
    const char *answer = nullptr;
    if (messages[i]->msg_style == PAM_PROMPT_ECHO_ON)
      answer = login->user;
    else if (messages[i]->msg_style == PAM_PROMPT_ECHO_OFF)
      answer = login->password;
    if (answer != nullptr && (replies[i].resp = strdup(answer)) == nullptr) {
      for (int j = 0; j < i; ++j)
        free(replies[j].resp);
      free(replies);
      return PAM_BUF_ERR;
    }
  }
  *responses = replies;
  return PAM_SUCCESS;
}

// PAM's wait after a failed login happens after the lock is released, so
// that one client guessing passwords does not hold up everyone's login.
static void pam_note_delay(int status, unsigned usec, void *data) {
  static_cast<pam_login_data *>(data)->delay_usec = status == PAM_SUCCESS ? 0 : usec;
}

// Does PAM accept this user and password, and may the account log in now?
static bool pam_accepts(pappl_client_t *client, const char *user, const char *password) {
  pam_login_data login = {user, password, 0};
  struct pam_conv conversation = {pam_conversation, &login};
  pam_handle_t *pam = nullptr;
  char peer[256];
  peer_address(client, peer, sizeof(peer));
  pthread_mutex_lock(&pam_lock);
  int status = pam_start(access_rules.pam_service, user, &conversation, &pam);
  if (status == PAM_SUCCESS)
    status = pam_set_item(pam, PAM_RHOST, peer);
  if (status == PAM_SUCCESS)
    status = pam_set_item(pam, PAM_FAIL_DELAY, reinterpret_cast<const void *>(pam_note_delay));
  if (status == PAM_SUCCESS)
    status = pam_authenticate(pam, PAM_SILENT | PAM_DISALLOW_NULL_AUTHTOK);
  if (status == PAM_SUCCESS)
    status = pam_acct_mgmt(pam, PAM_SILENT | PAM_DISALLOW_NULL_AUTHTOK);
  const char *reason = pam_strerror(pam, status);
  if (pam != nullptr)
    pam_end(pam, status);
  pthread_mutex_unlock(&pam_lock);
  if (status == PAM_SUCCESS)
    return true;
  papplLogClient(client, PAPPL_LOGLEVEL_WARN, "Login of '%s' refused: %s.", user, reason);
  if (login.delay_usec > 0)
    usleep(login.delay_usec);
  return false;
}

// The user of the request's HTTP Basic login, checked with PAM.
static login_result basic_login(pappl_client_t *client, char *user, size_t user_size) {
  const char *header = httpGetField(papplClientGetHTTP(client), HTTP_FIELD_AUTHORIZATION);
  if (header == nullptr || *header == '\0')
    return LOGIN_NONE;
  if (strncasecmp(header, "Basic ", 6) != 0) {
    papplLogClient(client, PAPPL_LOGLEVEL_WARN, "Only Basic logins are taken.");
    return LOGIN_BAD;
  }
  for (header += 6; *header == ' '; ++header)
    ;
  char text[LOGIN_TEXT_MAX + 1];
  int length = LOGIN_TEXT_MAX;
  memset(text, 0, sizeof(text));
  httpDecode64_2(text, &length, header);
  text[length >= 0 && length <= LOGIN_TEXT_MAX ? length : LOGIN_TEXT_MAX] = '\0';
  char *password = strchr(text, ':');
  bool ok = password != nullptr && password != text &&
            static_cast<size_t>(password - text) < user_size;
  // No user name has control characters: such a name goes no further
  // (and into no log line).
  for (const char *c = text; ok && c < password; ++c)
    ok = static_cast<unsigned char>(*c) >= 0x20 && *c != 0x7f;
  if (ok) {
    *password++ = '\0';
    ok = pam_accepts(client, text, password);
  }
  if (ok)
    papplCopyString(user, text, user_size);
  memset(text, 0, sizeof(text));
  return ok ? LOGIN_OK : LOGIN_BAD;
}

// Is the user a member of the admin group (as primary or secondary group)?
static bool in_admin_group(pappl_client_t *client, const char *user) {
  char buffer[16384];
  struct group group_entry, *group = nullptr;
  if (getgrnam_r(access_rules.admin_group, &group_entry, buffer, sizeof(buffer), &group) != 0 ||
      group == nullptr) {
    papplLogClient(client, PAPPL_LOGLEVEL_ERROR, "The admin group '%s' does not exist.",
                   access_rules.admin_group);
    return false;
  }
  gid_t admin = group->gr_gid;
  struct passwd user_entry, *account = nullptr;
  if (getpwnam_r(user, &user_entry, buffer, sizeof(buffer), &account) != 0 || account == nullptr)
    return false;
  if (account->pw_gid == admin)
    return true;
  int count = 64;
  gid_t *groups = static_cast<gid_t *>(malloc(sizeof(gid_t) * static_cast<size_t>(count)));
  if (groups != nullptr && getgrouplist(user, account->pw_gid, groups, &count) < 0) {
    // count now says how many there are.
    free(groups);
    groups = static_cast<gid_t *>(malloc(sizeof(gid_t) * static_cast<size_t>(count)));
    if (groups != nullptr && getgrouplist(user, account->pw_gid, groups, &count) < 0)
      count = 0;
  }
  bool member = false;
  for (int i = 0; groups != nullptr && i < count && !member; ++i)
    member = groups[i] == admin;
  free(groups);
  return member;
}

// ---- jobs and their owners ----

// Only the server says where a job came from: any value the client sent
// goes, and a new job gets the client's address.
static void record_origin(pappl_client_t *client, ipp_t *request) {
  ipp_attribute_t *sent;
  while ((sent = ippFindAttribute(request, ORIGIN_ATTRIBUTE, IPP_TAG_ZERO)) != nullptr)
    ippDeleteAttribute(request, sent);
  ipp_op_t op = papplClientGetOperation(client);
  char peer[256];
  if (op == IPP_OP_PRINT_JOB || op == IPP_OP_CREATE_JOB)
    ippAddString(request, IPP_TAG_JOB, IPP_TAG_NAME, ORIGIN_ATTRIBUTE, nullptr,
                 peer_address(client, peer, sizeof(peer)));
}

// Is the request's job the client's own? With a login: the job's owner is
// that user. Without: the same requesting-user-name as the owner, from the
// address the job was sent from.
static bool owns_job(pappl_client_t *client, const char *user) {
  pappl_job_t *job = papplClientGetJob(client);
  const char *owner = job != nullptr ? papplJobGetUsername(job) : nullptr;
  if (owner == nullptr)
    return false;
  if (user != nullptr)
    return strcmp(owner, user) == 0;
  if (access_rules.print_needs_login)
    return false;
  const char *name = ippGetString(
      ippFindAttribute(papplClientGetRequest(client), "requesting-user-name", IPP_TAG_NAME), 0,
      nullptr);
  const char *origin = ippGetString(papplJobGetAttribute(job, ORIGIN_ATTRIBUTE), 0, nullptr);
  char peer[256];
  const char *host = peer_address(client, peer, sizeof(peer));
  return name != nullptr && strcmp(name, owner) == 0 && origin != nullptr && host != nullptr &&
         strcmp(origin, host) == 0;
}

http_status_t access_callback(pappl_client_t *client, const char *group, gid_t group_id,
                              void *data) {
  // PAPPL asks once with the printer's print group and, for someone else's
  // job, again with the admin group: the answer depends on the request
  // alone, so both get the same.
  (void)group;
  (void)group_id;
  (void)data;
  // Before any decision: a raster document must be spooled for the
  // decoder, not read by PAPPL as it arrives.
  intake_route_request(client);
  char user[256];
  login_result login = basic_login(client, user, sizeof(user));
  if (login == LOGIN_BAD)
    return HTTP_STATUS_UNAUTHORIZED;
  // A kept-alive connection must not keep an earlier request's login.
  papplClientSetUsername(client, login == LOGIN_OK ? user : nullptr);
  ipp_t *request = papplClientGetRequest(client);
  if (request != nullptr)
    record_origin(client, request);

  switch (kind_of(client)) {
  case REQUEST_STATUS:
    return HTTP_STATUS_CONTINUE;
  case REQUEST_PRINT:
    if (access_rules.print_needs_login && login != LOGIN_OK)
      return HTTP_STATUS_UNAUTHORIZED;
    return HTTP_STATUS_CONTINUE;
  case REQUEST_OWN_JOB:
    if (owns_job(client, login == LOGIN_OK ? user : nullptr))
      return HTTP_STATUS_CONTINUE;
    break;
  case REQUEST_ADMIN:
    break;
  }
  if (login != LOGIN_OK)
    return HTTP_STATUS_UNAUTHORIZED;
  if (in_admin_group(client, user))
    return HTTP_STATUS_CONTINUE;
  papplLogClient(client, PAPPL_LOGLEVEL_WARN, "'%s' is not in the admin group '%s'.", user,
                 access_rules.admin_group);
  return HTTP_STATUS_FORBIDDEN;
}

// ---- the printer page and the domain socket ----

// PAPPL's printer page pauses and resumes the printer, holds and releases
// new jobs and sets the default printer from its forms without asking who
// sends them: a form needs an administrator's login here first.
static bool printer_page(pappl_client_t *client, void *data) {
  if (papplClientGetMethod(client) == HTTP_STATE_POST && !papplClientHTMLAuthorize(client))
    return true;
  _papplPrinterWebHome(client, static_cast<pappl_printer_t *>(data));
  return true;
}

void access_printer_created(pappl_printer_t *printer, void *data) {
  (void)data;
  pappl_system_t *system = papplPrinterGetSystem(printer);
  if (!(papplSystemGetOptions(system) & PAPPL_SOPTIONS_WEB_INTERFACE))
    return;
  // Added before PAPPL adds its own page at the same path, so this one
  // serves it.
  char path[1024];
  if (papplPrinterGetPath(printer, "", path, sizeof(path)) != nullptr)
    papplSystemAddResourceCallback(system, path, "text/html", printer_page, printer);
}

// The domain socket of the sub-commands: PAPPL makes it reachable by every
// local user, and PAPPL takes every client there for an administrator. Only
// the server's own user (and root) may reach it.
static bool restrict_domain_sockets(pappl_system_t *system, void *data) {
  (void)data;
  DIR *descriptors = opendir("/proc/self/fd");
  if (descriptors == nullptr)
    return false;
  while (struct dirent *entry = readdir(descriptors)) {
    int fd = atoi(entry->d_name);
    int listening = 0;
    socklen_t length = sizeof(listening);
    if (entry->d_name[0] < '0' || entry->d_name[0] > '9' ||
        getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &length) != 0 || !listening)
      continue;
    struct sockaddr_storage address;
    memset(&address, 0, sizeof(address));
    length = sizeof(address) - 1;
    const struct sockaddr_un *local = reinterpret_cast<const struct sockaddr_un *>(&address);
    if (getsockname(fd, reinterpret_cast<struct sockaddr *>(&address), &length) != 0 ||
        local->sun_family != AF_UNIX || local->sun_path[0] != '/')
      continue;
    struct stat info;
    if (lstat(local->sun_path, &info) != 0 || !S_ISSOCK(info.st_mode) ||
        info.st_uid != geteuid() || chmod(local->sun_path, 0600) != 0)
      papplLog(system, PAPPL_LOGLEVEL_ERROR, "Unable to restrict '%s' to its owner.",
               local->sun_path);
  }
  closedir(descriptors);
  return false;
}

void access_setup(pappl_system_t *system, const char *pam_service, const char *admin_group,
                  bool print_needs_login) {
  papplCopyString(access_rules.pam_service, pam_service, sizeof(access_rules.pam_service));
  papplCopyString(access_rules.admin_group, admin_group, sizeof(access_rules.admin_group));
  access_rules.print_needs_login = print_needs_login;
  papplSystemSetAuthCallback(system, "Basic", access_callback, nullptr);
  // The socket is made after this, when the server starts: the first turn
  // of its main loop restricts it.
  papplSystemAddTimerCallback(system, 0, 0, restrict_domain_sockets, nullptr);
}
