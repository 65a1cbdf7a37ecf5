// korvprint, the IPP Everywhere printer application: what its files share.
//
// main.cpp        entry: PAPPL's main loop with the drivers and sub-commands
// system.cpp      the system object: server options, PDF filter, state
// drivers.cpp     the driver table and the driver callback (media, options)
// settings.cpp    the receipt settings of a job, from job and printer values
// raster.cpp      the raster callbacks that feed the receipt library
// device.cpp      the usbkorv device scheme: list, open, write, close, status
// process.cpp     child processes: spawned with chosen descriptors, confined
// backend_run.cpp one run of the usbkorv backend: spawn, pipe, messages, exit
// intake.cpp      client documents routed past PAPPL's own raster reading
// decode_job.cpp  every document read by korvprint-decode, confined
// access.cpp      who may do what: logins (PAM), the admin group, job owners
// queue.cpp       jobs wait for an absent printer and print in their order
//
// decode/ is korvprint-decode itself, a program of its own.
//
// Error convention: true, or an int of 0 or more, is success; false or -1 is failure, with errno
// set where a system call failed, and the job's message or the log saying why where a job is at
// hand.
#ifndef KORVPRINT_H
#define KORVPRINT_H

#include <pappl/pappl.h>

#include "catalogue.h"
#include "receipt.h"
#include "uri.h"

#define KORVPRINT_VERSION "2.0.0.5"

// The device scheme is the backend's own (uri.h): usbkorv:/<protocol>/<n>[?...].

// Environment variable naming the usbkorv program to run instead of the
// installed one (tests point it at the build tree).
#define KORV_BACKEND_ENV "KORVPRINT_BACKEND"

// The backend's own wait after a job when its URI names none, in seconds.
#define KORV_BACKEND_DEFAULT_WAIT KORV_URI_WAIT_DEFAULT

// ---- drivers.cpp ----
// One driver per model and paper of the printer catalogue.
#define DRIVER_MEDIA_COUNT 6
#define DRIVER_MEDIA_NAME_SIZE 64
struct driver_model {
  KORV_Variant variant; // the model on the paper: driver name, description, device ID
  int head_width;       // dots of the print line on the paper
  char media[DRIVER_MEDIA_COUNT][DRIVER_MEDIA_NAME_SIZE]; // PWG names of the paper's sizes
};
extern int driver_model_count;
extern pappl_pr_driver_t *driver_table;
// Makes driver_table (once; every lookup below makes it first). false when
// it could not be made.
bool driver_make_table(void);

// The model record of a driver name, or nullptr.
const driver_model *driver_find(const char *driver_name);
// PAPPL driver callback: fills the driver data and the vendor attributes.
bool driver_callback(pappl_system_t *system, const char *driver_name, const char *device_uri,
                     const char *device_id, pappl_pr_driver_data_t *data, ipp_t **attrs,
                     void *context);
// PAPPL auto-add callback: the driver for a listed device, or nullptr.
const char *driver_autoadd(const char *device_info, const char *device_uri, const char *device_id,
                           void *context);

// ---- settings.cpp ----
// Vendor attributes (job attributes and printer defaults).
#define SETTING_DITHERING "dithering"
#define SETTING_TRIM "trim"
#define SETTING_THRESHOLD "threshold"
#define SETTING_FINISH_WAIT "finish-wait"

#define FINISH_WAIT_MAX KORV_URI_WAIT_MAX

struct job_settings {
  receipt_settings receipt;
  int finish_wait; // seconds the backend waits after the job
};

// Keyword <-> value tables of the two keyword settings.
int settings_dither_value(const char *keyword); // -1 when unknown
int settings_trim_value(const char *keyword);   // -1 when unknown
extern const char *const settings_dither_keywords[];
extern const int settings_dither_count;
extern const char *const settings_trim_keywords[];
extern const int settings_trim_count;

// The settings of one job: job attributes first, then the printer's
// defaults, then the built-in defaults. Darkness combines print-darkness
// with printer-darkness-configured; bi-level colour mode means threshold.
void settings_for_job(pappl_job_t *job, const pappl_pr_options_t *options, int head_width,
                      job_settings *out);

// ---- raster.cpp ----
// What the raster callbacks below get comes from PAPPL's own raster
// reading, which only the domain socket's clients still reach (every
// other document is read by korvprint-decode, see intake.cpp).
bool raster_start_job(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device);
bool raster_start_page(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device,
                       unsigned page);
bool raster_write_line(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device,
                       unsigned y, const unsigned char *line);
bool raster_end_page(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device,
                     unsigned page);
bool raster_end_job(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device);
// Sends a finished receipt (copies times) to the printer through one run
// of the backend and ends that run. true when it printed, or when the job
// was cancelled on the way (PAPPL marks it cancelled); false with the
// job's message set when it failed.
bool raster_print_receipt(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device,
                          receipt_job *receipt, const job_settings *settings);

// ---- device.cpp ----
// Registers the usbkorv scheme (after PAPPL's own schemes).
void device_register_scheme(void);
// The usbkorv program to run: $KORVPRINT_BACKEND or the installed one.
const char *device_backend_path(void);
// Before a job's first write: the job (for its id, user, title and its
// cancel flag) and the finish wait to hand to the backend.
void device_begin_job(pappl_device_t *device, pappl_job_t *job, int finish_wait);
// Ends the job's backend run: closes its input and waits for it; with
// cancel, stops it (SIGTERM) first. true when the backend printed the job.
bool device_end_job(pappl_device_t *device, bool cancel);
// Is the printer of uri among the printers the backend lists now?
// 1 yes, 0 no, -1 the listing could not be made.
int device_is_listed(const char *uri);

// ---- process.cpp ----
// fork + exec of program with argv and envp; in, out and err become the
// child's standard input, output and error (-1: /dev/null), every other
// descriptor is closed. Returns the child's pid, or -1 with errno set.
int process_spawn(const char *program, char *const argv[], char *const envp[], int in, int out,
                  int err);
// What a confined child may do: it leads a process group of its own (so
// that it and its children are stopped together), runs in /, with no
// new privileges and no core files, with the limits below, and as the
// user given (when the server runs as root).
struct process_limits {
  bool change_user; // become uid/gid (and no other group)
  uid_t uid;
  gid_t gid;
  unsigned long cpu_seconds;  // processor time; SIGXCPU then SIGKILL a second later
  unsigned long memory_bytes; // address space; 0: none
  unsigned long open_files;   // descriptors
  bool write_no_file;         // a file of any length is too long (SIGXFSZ)
};
int process_spawn_confined(const char *program, char *const argv[], char *const envp[], int in,
                           int out, int err, const process_limits *limits);

// ---- backend_run.cpp ----
// One run of usbkorv in job mode with the job's data on a pipe.
// A backend told to stop completes the image it has begun with white, as
// fast as the printer takes it, and reports its progress meanwhile; it is
// killed only when it has said nothing for this long.
#define BACKEND_STALL_SECONDS 30
struct backend_run {
  int pid;         // -1 when not running
  int input;       // write end of the backend's standard input, or -1
  int messages;    // read end of the backend's standard error, or -1
  char line[1024]; // a message line being collected
  size_t line_used;
  long long heard; // when it last wrote a message (system_now_ms)
  long stall_ms;   // BACKEND_STALL_SECONDS, in ms
};
// Starts the backend: argv[0] = uri, then job id, user, title, "1", "".
// Returns 0, or -1 (errno set) when it could not be started.
int backend_start(backend_run *run, const char *program, const char *uri, int job_id,
                  const char *user, const char *title);
// Writes len bytes to the backend's input, reading its messages on the way;
// message(line, context) gets every complete line. stop() is asked every
// 100 ms while the pipe is full; when it says yes the write gives up.
// Returns 0, or -1 when the backend stopped reading (it ended).
typedef void (*backend_message_fn)(const char *line, void *context);
typedef bool (*backend_stop_fn)(void *context);
int backend_write(backend_run *run, const void *data, size_t len, backend_message_fn message,
                  backend_stop_fn stop, void *context);
// Ends the backend's input and waits for the backend's end, reading its
// messages. With terminate, or once stop() says so, it is sent SIGTERM
// at once (a cancel: it completes its image with white); once wind_up()
// says so (the server is stopping), only after it has read every byte of
// the job (it ends its wait for the paper). A backend that was sent
// SIGTERM and then says nothing for stall_ms is killed. Returns the exit
// status, 128+N for signal N, -1 on error.
int backend_finish(backend_run *run, bool terminate, backend_message_fn message,
                   backend_stop_fn stop, backend_stop_fn wind_up, void *context);
// Runs usbkorv without arguments and calls line() for every standard
// output line. Returns its exit status, or -1.
int backend_list(const char *program, void (*line)(const char *, void *), void *context);

// ---- intake.cpp ----
// The printers' own format: what PAPPL's MIME filters turn documents into
// (PAPPL lists it as every printer's raw format; as the generic type it
// names nothing a client could send untyped past the decoder).
#define INTAKE_DRIVER_FORMAT "application/octet-stream"
// A document PAPPL must only spool: a PWG or Apple raster document, or a
// compressed one of unknown type. The decoder finds out what it is.
#define INTAKE_SPOOL_FORMAT "application/vnd.korvprint-document"
// For a Print-Job or Send-Document request: gives a document that PAPPL
// would read itself (raster) the spool-only format. Call it first thing in
// the system's authorisation callback. true when the request was changed.
bool intake_route_request(pappl_client_t *client);

// ---- decode_job.cpp ----
// Limits of one document's decoding (korvprint-decode and its pdftoppm).
#define DECODE_CPU_SECONDS 10  // processor time of each process
#define DECODE_WALL_SECONDS 60 // the whole decoding, however it spends it
#define DECODE_MEMORY_MIB 512  // address space of each process
// After the server is told to stop, a decoding still going gets this long.
#define DECODE_STOP_GRACE_SECONDS 1
// The user documents are decoded as when the server runs as root.
#define DECODE_DEFAULT_USER "nobody"
// Environment variable naming the decoder to run instead of the installed
// one (tests point it at the build tree).
#define KORV_DECODER_ENV "KORVPRINT_DECODER"

// The decode-user server option: the user whose account decoders run
// under when the server runs as root. false (with a message on standard
// error) when there is no such user.
bool decode_set_user(const char *name);
// Registers the MIME filters that decode every client format.
void decode_register_filters(pappl_system_t *system);

// ---- access.cpp ----
// Installs the access rules on the system: PAM logins of service
// pam_service, administration for members of admin_group, printing for
// anyone or (print_needs_login) for any user PAM accepts.
void access_setup(pappl_system_t *system, const char *pam_service, const char *admin_group,
                  bool print_needs_login);
// PAPPL's authorization callback: HTTP_STATUS_CONTINUE (allowed),
// _UNAUTHORIZED (no or a wrong login) or _FORBIDDEN (not an administrator).
http_status_t access_callback(pappl_client_t *client, const char *group, gid_t group_id,
                              void *data);
// PAPPL's printer creation callback: the printer page asks for a login
// before it acts on a form.
void access_printer_created(pappl_printer_t *printer, void *data);

// ---- queue.cpp ----
// Adds waitprinter=true to a backend URI (in place, size bytes) unless the
// URI has a waitprinter= option of its own: a job waits for an absent
// printer instead of failing.
void queue_wait_for_printer(char *uri, size_t size);
// At the end of a job, in its thread: the printer's next job in order of
// creation is made the only one PAPPL may start.
void queue_job_ended(pappl_job_t *job);
// Keeps every printer's jobs in order from the system's main loop on.
void queue_start(pappl_system_t *system);

// ---- system.cpp ----
// papplMainloop's system callback.
pappl_system_t *system_callback(int num_options, cups_option_t *options, void *context);
// Milliseconds (CLOCK_MONOTONIC) when the server was told to stop
// (SIGTERM, SIGINT or PAPPL's shutdown), 0 while it runs.
long long system_stop_time(pappl_system_t *system);
long long system_now_ms(void);
// Once a stopping server prints nothing any more but still has queued
// jobs (which PAPPL would wait for): saves the state, queued jobs and all,
// and ends the process with status 0.
void system_stop_now(pappl_system_t *system, int queued);

#endif
