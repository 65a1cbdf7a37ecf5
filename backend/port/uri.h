// Parsing of the device URI "usbkorv:/<protocol>/<printer id>", optionally
// followed by "?key=value&key=value" options (percent-encoded values).
//
// A pure function: no trace lines, no USB, no shared state, so that the
// front end, the open, the tests and the fuzzer all use the same parser.
#ifndef USBQRP_URI_H
#define USBQRP_URI_H

#include <stddef.h>

// Longest URI text that is read; the rest of a longer URI is ignored.
#define QRP_URI_MAX_LENGTH 255

// Longest option text after the '?'; a longer one is refused as a whole.
#define QRP_URI_OPTIONS_MAX_LENGTH 1024
// Longest serial number: libusb 0.1 reads no string of 63 characters or
// more, so a longer one could never match a printer.
#define QRP_URI_SERIAL_MAX_LENGTH 62
// The wait after each copy, in seconds: default and largest value.
#define QRP_URI_WAIT_DEFAULT 40
#define QRP_URI_WAIT_MAX 600
// Room for a refusal message.
#define QRP_URI_ERROR_SIZE 200

// Where parsing stopped. Each value maps to one error of the open.
enum QRP_UriStatus {
  QRP_URI_OK = 0,
  QRP_URI_NO_METHOD,      // nothing before the first colon
  QRP_URI_NO_RESOURCE,    // nothing after it
  QRP_URI_BAD_METHOD,     // method does not begin with "usbkorv"
  QRP_URI_NO_PROTOCOL,    // resource holds only slashes
  QRP_URI_BAD_PROTOCOL,   // not one of the four protocol names
  QRP_URI_NO_PRINTERID,   // no token after the protocol
  QRP_URI_BAD_PRINTERID,  // printer id outside 1..99
  QRP_URI_BAD_OPTION,     // the options after '?' are refused (optionError)
};

struct QRP_UriParts {
  char uri[QRP_URI_MAX_LENGTH + 1];      // the URI cut to 255 characters
  char method[QRP_URI_MAX_LENGTH + 1];   // tokens, each NUL-terminated;
  char resource[QRP_URI_MAX_LENGTH + 1]; // empty when has... is 0
  char protocol[QRP_URI_MAX_LENGTH + 1];
  char printerIdText[QRP_URI_MAX_LENGTH + 1];
  int hasMethod;
  int hasResource;
  int hasProtocol;
  int hasPrinterId;
  int printerId; // decimal value of printerIdText, clamped; valid 1..99
  int family;    // QRP_FAMILY_OSTREL or QRP_FAMILY_KELPIN when status OK

  // Options, filled only when the path is valid.
  int hasOptions;  // the URI has a '?'
  int hasSerial;   // serial= given: choose the printer by serial number
  char serial[QRP_URI_SERIAL_MAX_LENGTH + 1]; // decoded
  int waitSeconds; // wait= value, or -1 when not given
  int waitPrinter; // waitprinter= value, 0 when not given
  int hasWaitPrinter; // waitprinter= given, with either value
  char optionError[QRP_URI_ERROR_SIZE]; // why QRP_URI_BAD_OPTION
};

// Parses uri (null is read as an empty text) into parts and returns the
// QRP_UriStatus. The fields up to the failing token are filled. The path
// is the text before the first '?'; a URI without '?' is read exactly as
// a URI without options always was.
int QRP_ParseUri(const char *uri, QRP_UriParts *parts);

// Writes text percent-encoded into out (size bytes, always terminated):
// letters, digits and "-._~" stay, every other byte becomes %XX. A text
// that does not fit is cut before an escape, never inside one.
void QRP_EncodeUriText(const char *text, char *out, size_t size);

#endif
