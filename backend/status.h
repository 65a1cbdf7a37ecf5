// The backend's messages to CUPS on standard error during a job: printer
// state reasons (STATE:), what a user reads in the web interface and
// lpstat (INFO:), and failures (WARNING:, ERROR:). Every text is here,
// since the scheduler and the printer application read them; the manual
// page lists them.
#ifndef USBKORV_STATUS_H
#define USBKORV_STATUS_H

// Room for a printer's description in messages.
#define STATUS_PRINTER_SIZE 256

// The INFO: text of a job cancelled while the backend waited for its
// printer: nothing of it was sent.
#define STATUS_CANCELLED_WAITING "Job cancelled while waiting for the printer"

// Describes the printer that a URI names for messages: "tr3200ax #1",
// "tr3200ax with serial number AB12" (serial as the URI encodes it), or the
// URI itself (control characters shown as '?') when its path is refused.
void status_describe(const char *uri, char *printer);

void status_bad_options(const char *why);
void status_connecting(const char *printer);
void status_connected(int was_offline);
void status_retrying(const char *printer, int busy, int seconds);
void status_cancelled_waiting(int was_offline);
void status_open_failed(const char *printer, int open_result, int uri_status);
void status_sending(const char *printer, int copy, int copies);
void status_paper(int seconds_left);
void status_image_completing(long long added, long long missing);
void status_image_completed(long long sent, long long declared,
                            long long added);
void status_image_not_completed(void);
void status_write_failed(const char *printer);
void status_read_failed(const char *reason);
void status_rewind_failed(int copy);
void status_cancelled(const char *printer);
void status_done(const char *printer);

#endif
