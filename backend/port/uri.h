// Parsing of the device URI "usbkorv:/<protocol>/<printer id>".
//
// A pure function: no trace lines, no USB, no shared state, so that the
// open, the tests and the fuzzer all use the same parser.
#ifndef USBQRP_URI_H
#define USBQRP_URI_H

// Longest URI text that is read; the rest of a longer URI is ignored.
#define QRP_URI_MAX_LENGTH 255

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
};

// Parses uri (null is read as an empty text) into parts and returns the
// QRP_UriStatus. The fields up to the failing token are filled.
int QRP_ParseUri(const char *uri, QRP_UriParts *parts);

#endif
