// Cancelling a job: CUPS (or the printer application) sends SIGTERM.
//
// The signal only sets a flag. It is held back (blocked) while the port
// layer works, so it never cuts a USB transfer or one of the protocol's
// pauses short, and let through only during the front end's own waits:
// for the job's data, after a copy and between tries to find the printer.
// Those waits end at once when the flag is set.
#ifndef USBKORV_CANCEL_H
#define USBKORV_CANCEL_H

// Installs the handlers and holds SIGTERM back from here on. Job mode
// only; call it before the port is opened (the DSR monitor thread
// inherits the mask).
void cancel_setup(void);

// 1 once SIGTERM has come (a signal held back counts once a wait has
// let it through; see cancel_poll).
int cancel_requested(void);

// Lets a SIGTERM that is held back through, without waiting. Returns
// cancel_requested().
int cancel_poll(void);

// Waits until fd has data or end of input. Returns 1 when the wait was
// ended by a cancel (or one had come before), 0 otherwise.
int cancel_wait_input(int fd);

// Sleeps us microseconds as one usleep request (the test time shim sees
// and shortens it) that a cancel ends early. progress, when given, is
// told the whole seconds left at the start and every 5 seconds after.
// Returns 1 when cancelled, 0 when the whole time passed.
int cancel_sleep(long long us, void (*progress)(int seconds_left));

#endif
