// The usbkorv backend's front end: discovery listing and job mode.
#ifndef USBKORV_H
#define USBKORV_H

#define USBKORV_VERSION "2.0.0.5"

// Largest block read from the job's input and handed to one port write.
#define USBKORV_BLOCK_SIZE 10240
// Baud rate handed to the port open.
#define USBKORV_BAUD_RATE 500000
// The wait after each copy (40 s unless the URI's wait= option says
// otherwise) is in uri.h: the printer needs the time to print what it has
// buffered before the port may be closed.

// Pause between tries to find an absent or busy printer (waitprinter=).
#define USBKORV_RETRY_WAIT_US 5000000

// Writes one CUPS device line per supported printer on standard output.
void list_devices(void);

// Job mode (argc 6 or 7): chooses input and copies, sends the job and
// closes the input and the backend log. Returns the exit status.
int job_mode(int argc, char *argv[]);

// Sends the input to the printer of uri, copies times. 0 when every block
// of every copy was written, when the job was cancelled (SIGTERM) or its
// data ended inside an image that was then completed; 1 when the port
// cannot be opened, the input cannot be read or a write fails.
int print_device(const char *uri, int fd, int copies);

#endif
