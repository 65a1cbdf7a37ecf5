// korvprint: an IPP Everywhere printer application for the KorvaNIX and
// Mirel Works USB receipt printers. PAPPL provides the IPP service, the web
// interface, the spool and the sub-commands (server, add, printers,
// devices, drivers, submit, jobs, cancel, shutdown, ...).
#include <signal.h>
#include <stdio.h>

#include "korvprint.h"

// PAPPL 1.3.1 crashes on the first web page without a footer.
static const char footer_html[] =
    "korvprint " KORVPRINT_VERSION " - KorvaNIX and Mirel Works USB receipt printers";

int main(int argc, char *argv[]) {
  // A backend or renderer that ends early must not end the server with it.
  signal(SIGPIPE, SIG_IGN);
  if (!driver_make_table()) {
    fputs("korvprint: cannot make the driver table from the printer catalogue\n", stderr);
    return 1;
  }
  device_register_scheme();
  return papplMainloop(argc, argv, KORVPRINT_VERSION, footer_html, driver_model_count, driver_table,
                       driver_autoadd, driver_callback, nullptr, nullptr, system_callback, nullptr,
                       nullptr);
}
