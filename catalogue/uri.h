// The usbkorv device URI "usbkorv:/<protocol>/<printer id>", optionally
// followed by "?key=value&key=value" options (percent-encoded values): its
// parser and its formatter.
//
// Pure functions: no trace lines, no USB, no shared state, so that the
// backend's discovery, job mode and port open, korvprint, the tests and
// the fuzzer all read and write URIs the same way.
//
// Error convention: the parser returns a KORV_UriStatus (KORV_URI_OK, 0, for a valid URI); the
// formatters write into the caller's buffer, always terminated, KORV_FormatUri -1 when it was cut.
#ifndef KORV_URI_H
#define KORV_URI_H

#include <stddef.h>

// The scheme word. The parser compares only its length of the method, so
// "usbkorvx:" is read as "usbkorv:".
#define KORV_URI_SCHEME "usbkorv"

// Longest URI text that is read; the rest of a longer URI is ignored.
#define KORV_URI_MAX_LENGTH 255

// Longest option text after the '?'; a longer one is refused as a whole.
#define KORV_URI_OPTIONS_MAX_LENGTH 1024
// Longest serial number: libusb 0.1 reads no string of 63 characters or
// more, so a longer one could never match a printer.
#define KORV_URI_SERIAL_MAX_LENGTH 62
// The wait after each copy, in seconds: default and largest value.
#define KORV_URI_WAIT_DEFAULT 40
#define KORV_URI_WAIT_MAX 600
// Room for a refusal message.
#define KORV_URI_ERROR_SIZE 200

// Where parsing stopped. Each value maps to one error of the open.
enum KORV_UriStatus {
  KORV_URI_OK = 0,
  KORV_URI_NO_METHOD,     // nothing before the first colon
  KORV_URI_NO_RESOURCE,   // nothing after it
  KORV_URI_BAD_METHOD,    // method does not begin with "usbkorv"
  KORV_URI_NO_PROTOCOL,   // resource holds only slashes
  KORV_URI_BAD_PROTOCOL,  // not one of the four protocol names
  KORV_URI_NO_PRINTERID,  // no token after the protocol
  KORV_URI_BAD_PRINTERID, // printer id outside 1..99
  KORV_URI_BAD_OPTION,    // the options after '?' are refused (optionError)
};

struct KORV_UriParts {
  char uri[KORV_URI_MAX_LENGTH + 1];      // the URI cut to 255 characters
  char method[KORV_URI_MAX_LENGTH + 1];   // tokens, each NUL-terminated;
  char resource[KORV_URI_MAX_LENGTH + 1]; // empty when has... is 0
  char protocol[KORV_URI_MAX_LENGTH + 1];
  char printerIdText[KORV_URI_MAX_LENGTH + 1];
  int hasMethod;
  int hasResource;
  int hasProtocol;
  int hasPrinterId;
  int printerId; // decimal value of printerIdText, clamped; valid 1..99
  int family;    // KORV_FAMILY_OSTREL or KORV_FAMILY_KELPIN when status OK

  // Options, filled only when the path is valid.
  int hasOptions;                              // the URI has a '?'
  int hasSerial;                               // serial= given: choose the printer by serial number
  char serial[KORV_URI_SERIAL_MAX_LENGTH + 1]; // decoded
  int waitSeconds;                             // wait= value, or -1 when not given
  int waitPrinter;                             // waitprinter= value, 0 when not given
  int hasWaitPrinter;                          // waitprinter= given, with either value
  char optionError[KORV_URI_ERROR_SIZE];       // why KORV_URI_BAD_OPTION
};

// Parses uri (null is read as an empty text) into parts and returns the
// KORV_UriStatus. The fields up to the failing token are filled. The path
// is the text before the first '?'; a URI without '?' is read exactly as
// a URI without options always was.
int KORV_ParseUri(const char *uri, KORV_UriParts *parts);

// Writes the URI of the printer numbered number among the printers of the
// protocol's family into out (size bytes): "usbkorv:/<protocol>/<number>",
// and "?serial=<serial>" percent-encoded when serial is not empty.
int KORV_FormatUri(const char *protocol, int number, const char *serial, char *out, size_t size);

// Writes text percent-encoded into out (size bytes, always terminated):
// letters, digits and "-._~" stay, every other byte becomes %XX. A text
// that does not fit is cut before an escape, never inside one.
void KORV_EncodeUriText(const char *text, char *out, size_t size);

#endif
