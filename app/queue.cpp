// No job lost, none out of turn.
//
// A job to a printer that is unplugged or switched off waits for it: the
// backend is asked to look for the printer every few seconds (its
// waitprinter= option) and reports it offline meanwhile, instead of
// failing the job.
//
// Receipts print in the order their jobs were created. PAPPL keeps the
// waiting jobs newest first and starts the first pending one it finds, so
// of the jobs of a printer that have their document, only the oldest is
// left pending: every other one is held here and released when the job
// before it ends, so that the printer's next job is the only pending one
// when PAPPL looks. A job held here is pending-held with the reason
// job-queued, which PAPPL never sets itself, and no job-hold-until value,
// which a user's hold always has. It also has job-hold-until-specified,
// which keeps PAPPL's Release-Held-New-Jobs from releasing it (PAPPL does
// not show that reason).
//
// The queue is put in order at the end of every job, in the job's thread,
// just before PAPPL looks for the next one; and once a second by a thread
// of its own for every printer with jobs, for jobs that ended before they
// reached the printer, new jobs, and jobs restored after a restart. Never
// under a PAPPL lock: PAPPL's main loop holds the system's lock while its
// timers run, and a printer's lock taken there can deadlock against a
// client thread that holds the printer's lock and waits for the system's.
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "korvprint.h"
#include "uri.h"

// ---- waiting for the printer ----

void queue_wait_for_printer(char *uri, size_t size) {
  static const char option[] = "waitprinter=true";
  size_t used = strlen(uri);
  // The backend reads no more than KORV_URI_MAX_LENGTH characters of a
  // URI: an option beyond them would be cut.
  if (used + 1 + strlen(option) > KORV_URI_MAX_LENGTH ||
      used + 1 + strlen(option) >= size)
    return;
  KORV_UriParts parts;
  // A URI the backend refuses is handed on as it is, for the backend to
  // say why; one that says waitprinter= itself is obeyed.
  if (KORV_ParseUri(uri, &parts) != KORV_URI_OK || parts.hasWaitPrinter)
    return;
  snprintf(uri + used, size - used, "%c%s", parts.hasOptions ? '&' : '?',
           option);
}

// ---- the order of the jobs ----

// What a job held here says, and what the next one says.
#define MESSAGE_HELD "Waiting for the jobs sent before it to print."
#define MESSAGE_NEXT "Next to print."

// One arrangement at a time.
static pthread_mutex_t queue_lock = PTHREAD_MUTEX_INITIALIZER;

struct queue_entry {
  pappl_job_t *job;
  int id;
  ipp_jstate_t state;
  pappl_jreason_t reasons;
  bool has_document; // received whole: PAPPL may start it
  bool restored;     // created before this server started
};

struct queue_list {
  queue_entry *entries;
  int count;
  int size;
  bool failed; // a job could not be noted: nothing is changed this time
};

// When this server started: jobs created before come from its state file.
static time_t started_at;

// Called with the printer's lock held: only a note of each job.
static void collect_job(pappl_job_t *job, void *data) {
  queue_list *list = static_cast<queue_list *>(data);
  if (list->count == list->size) {
    int size = list->size > 0 ? list->size * 2 : 16;
    void *grown = realloc(list->entries, static_cast<size_t>(size) * sizeof(queue_entry));
    if (grown == nullptr) {
      list->failed = true;
      return;
    }
    list->entries = static_cast<queue_entry *>(grown);
    list->size = size;
  }
  queue_entry *entry = &list->entries[list->count++];
  entry->job = job;
  entry->id = papplJobGetID(job);
  entry->state = papplJobGetState(job);
  entry->reasons = papplJobGetReasons(job);
  entry->has_document = papplJobGetFilename(job) != nullptr;
  entry->restored = papplJobGetTimeCreated(job) < started_at;
}

static int by_id(const void *a, const void *b) {
  int x = static_cast<const queue_entry *>(a)->id;
  int y = static_cast<const queue_entry *>(b)->id;
  return (x > y) - (x < y);
}

// Held here, and not since held by a user (Hold-Job or the job-hold-until
// attribute give it a job-hold-until value).
static bool held_here(const queue_entry *entry) {
  return entry->state == IPP_JSTATE_HELD && (entry->reasons & PAPPL_JREASON_JOB_QUEUED) &&
         papplJobGetAttribute(entry->job, "job-hold-until") == nullptr &&
         papplJobGetAttribute(entry->job, "job-hold-until-time") == nullptr;
}

static const pappl_jreason_t held_reasons =
    PAPPL_JREASON_JOB_QUEUED | PAPPL_JREASON_JOB_HOLD_UNTIL_SPECIFIED;

static void hold(pappl_job_t *job) {
  // PAPPL refuses once the job has started.
  if (!papplJobHold(job, nullptr, nullptr, 0))
    return;
  papplJobSetReasons(job, held_reasons, PAPPL_JREASON_NONE);
  papplJobSetMessage(job, MESSAGE_HELD);
  papplLogJob(job, PAPPL_LOGLEVEL_DEBUG, "Held until the jobs before it have printed.");
}

// Puts the printer's jobs in order: of the jobs that have their document
// and are pending or held here, the oldest is pending and the others held.
// restart: just after a start, the oldest is started if it is pending on
// an idle printer and every job is from the state file: PAPPL starts no
// restored job by itself, and with no job of this run there is no start
// of PAPPL's own under way to collide with. (A restored job that says it
// is processing was cut off by the stop and never runs again.)
// Returns the number of jobs still to print, or -1 while one is being
// printed (or its document read).
static int arrange(pappl_printer_t *printer, bool restart) {
  pthread_mutex_lock(&queue_lock);
  queue_list list = {nullptr, 0, 0, false};
  papplPrinterIterateActiveJobs(printer, collect_job, &list, 1, 0);
  if (list.count > 1)
    qsort(list.entries, static_cast<size_t>(list.count), sizeof(queue_entry), by_id);
  bool quiet = !list.failed;
  for (int i = 0; i < list.count; ++i)
    if (!list.entries[i].restored)
      quiet = false;
  // While the server shuts down nothing more is started, the next job is
  // held too: a job started then would be cut off, and PAPPL restores such
  // a job as processing and never runs it. They all wait for the next start.
  bool stopping = system_stop_time(papplPrinterGetSystem(printer)) != 0;
  // The others are held before the next one is released: a release makes
  // PAPPL start the newest pending job at once when the printer is idle.
  queue_entry *next = nullptr;
  int waiting = list.failed ? -1 : 0;
  for (int i = 0; i < list.count && !list.failed; ++i) {
    queue_entry *entry = &list.entries[i];
    if (entry->state == IPP_JSTATE_PROCESSING || entry->state == IPP_JSTATE_STOPPED)
      waiting = -1;
    else if (waiting >= 0)
      ++waiting;
    if (entry->state == IPP_JSTATE_PROCESSING) {
      // Started by PAPPL before it could be held: no longer waiting.
      if (entry->reasons & held_reasons)
        papplJobSetReasons(entry->job, PAPPL_JREASON_NONE, held_reasons);
      continue;
    }
    bool is_held = entry->has_document && held_here(entry);
    if (!entry->has_document || (entry->state != IPP_JSTATE_PENDING && !is_held))
      continue; // still coming in, or held by a user
    if (next == nullptr && !stopping) {
      next = entry; // pending, or held here
    } else if (entry->state == IPP_JSTATE_PENDING) {
      hold(entry->job);
    } else if (papplJobGetMessage(entry->job) == nullptr) {
      papplJobSetMessage(entry->job, MESSAGE_HELD); // from the state file
    }
  }
  if (next != nullptr && next->state == IPP_JSTATE_HELD) {
    papplJobSetReasons(next->job, PAPPL_JREASON_NONE, PAPPL_JREASON_JOB_QUEUED);
    papplJobSetMessage(next->job, MESSAGE_NEXT);
    papplLogJob(next->job, PAPPL_LOGLEVEL_DEBUG, "Released: next to print.");
    papplJobRelease(next->job, nullptr);
  } else if (next != nullptr && restart && quiet &&
             papplPrinterGetState(printer) == IPP_PSTATE_IDLE &&
             papplJobHold(next->job, nullptr, nullptr, 0)) {
    papplJobRelease(next->job, nullptr);
  }
  free(list.entries);
  pthread_mutex_unlock(&queue_lock);
  return waiting;
}

void queue_job_ended(pappl_job_t *job) {
  if (job != nullptr)
    arrange(papplJobGetPrinter(job), false);
}

// ---- the keeper: once a second, every printer with jobs ----

#define KEEPER_MAX_PRINTERS 256

static pthread_mutex_t keeper_lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t keeper_wake = PTHREAD_COND_INITIALIZER;
static bool keeper_started;
static int keeper_count;                      // printers noted
static int keeper_ids[KEEPER_MAX_PRINTERS];   // their ids

static void *keeper(void *data) {
  pappl_system_t *system = static_cast<pappl_system_t *>(data);
  bool first = true;
  for (;;) {
    int ids[KEEPER_MAX_PRINTERS];
    pthread_mutex_lock(&keeper_lock);
    while (keeper_count == 0)
      pthread_cond_wait(&keeper_wake, &keeper_lock);
    int count = keeper_count;
    memcpy(ids, keeper_ids, static_cast<size_t>(count) * sizeof(int));
    keeper_count = 0;
    pthread_mutex_unlock(&keeper_lock);
    // Only printers that had jobs a moment ago: while a job is active the
    // main loop does not end, so the system is not deleted under us.
    int queued = 0;
    for (int i = 0; i < count; ++i) {
      pappl_printer_t *printer = papplSystemFindPrinter(system, nullptr, ids[i], nullptr);
      int waiting = printer != nullptr ? arrange(printer, first) : 0;
      queued = queued < 0 || waiting < 0 ? -1 : queued + waiting;
    }
    first = false;
    // A stopping server that prints nothing any more ends now, its queued
    // jobs kept: PAPPL would wait a minute for them.
    if (queued >= 0 && system_stop_time(system) != 0)
      system_stop_now(system, queued);
  }
  return nullptr;
}

// In PAPPL's main loop, under the system's lock: reads without locks only.
static void note_printer(pappl_printer_t *printer, void *data) {
  (void)data;
  if (papplPrinterGetNumberOfActiveJobs(printer) > 0 &&
      keeper_count < KEEPER_MAX_PRINTERS)
    keeper_ids[keeper_count++] = papplPrinterGetID(printer);
}

static bool keeper_tick(pappl_system_t *system, void *data) {
  (void)data;
  pthread_mutex_lock(&keeper_lock);
  if (!keeper_started) {
    // Started with the main loop, not for the sub-commands that only
    // make a system to list drivers.
    pthread_t thread;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    keeper_started = pthread_create(&thread, &attr, keeper, system) == 0;
    pthread_attr_destroy(&attr);
    if (!keeper_started)
      papplLog(system, PAPPL_LOGLEVEL_ERROR,
               "Unable to start the job queue's thread, trying again.");
  }
  keeper_count = 0;
  papplSystemIteratePrinters(system, note_printer, nullptr);
  if (keeper_count > 0)
    pthread_cond_signal(&keeper_wake);
  pthread_mutex_unlock(&keeper_lock);
  return true;
}

void queue_start(pappl_system_t *system) {
  started_at = time(nullptr);
  papplSystemAddTimerCallback(system, 0, 1, keeper_tick, nullptr);
}
