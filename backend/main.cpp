// usbkorv: CUPS backend for KorvaNIX and Mirel Works USB receipt printers.
//
// Without arguments it lists the printers it can reach; with the six or
// seven arguments of a CUPS job it prints the job on the printer named by
// the device URI in argv[0].
#include <signal.h>
#include <stdio.h>

#include "log.h"
#include "usbkorv.h"

int main(int argc, char *argv[]) {
  setbuf(stderr, nullptr);
  // A write to a closed pipe fails with an error instead of ending the run.
  signal(SIGPIPE, SIG_IGN);
  log_open();

  // There is no job id in discovery mode, and none at all when the
  // argument vector is empty.
  const char *job_id = argc > 1 ? argv[1] : nullptr;
  log_start_banner(job_id);

  if (argc == 1) {
    fprintf(stderr,
            "Usage: usbkorvqrp (%s) job-id user title copies options [file]\n",
            USBKORV_VERSION);
    log_message("[CUPS][usbkorvqrp] We were called with no arguments, entering "
                "list_devices().\n");
    list_devices();
    log_end_banner(job_id);
    log_close();
    return 0;
  }

  if (argc < 6 || argc > 7) {
    log_message("[CUPS][usbkorvqrp] -> ERROR on calling convention, number of "
                "arguments (%d) incorrect.\n",
                argc);
    log_end_banner(job_id);
    fprintf(stderr, "Usage: usbkorv job-id user title copies options [file]\n");
    return 1;
  }

  return job_mode(argc, argv);
}
