// How client documents come in. PAPPL 1.3.1 decodes a PWG or Apple raster
// document in its own process while the client sends it (and never ends a
// job whose stream stops short of what its header announced); every other
// document it spools to a file and hands to the MIME filter registered
// for its format. Every document must go the second way, to the decoder
// (decode_job.cpp): a raster document is renamed, before PAPPL looks at
// it, to a format of this program's own that PAPPL only spools.
//
// PAPPL asks the system's authorisation callback at the very start of
// Print-Job and Send-Document, before it reads the document or its
// format, for every client but those of its domain socket: that is where
// intake_route_request is called.
#include <string.h>
#include <strings.h>

#include "korvprint.h"

// What PAPPL peeks at to type a document sent as application/octet-stream
// (or without a format) as raster.
static bool raster_magic(const char *head, size_t len) {
  return len >= 8 && (memcmp(head, "RaS2PwgR", 8) == 0 || memcmp(head, "UNIRAST", 8) == 0);
}

bool intake_route_request(pappl_client_t *client) {
  ipp_t *request = papplClientGetRequest(client);
  if (request == nullptr)
    return false;
  ipp_op_t op = ippGetOperation(request);
  if (op != IPP_OP_PRINT_JOB && op != IPP_OP_SEND_DOCUMENT)
    return false;
  ipp_attribute_t *format_attr = ippFindAttribute(request, "document-format", IPP_TAG_ZERO);
  const char *format = nullptr;
  if (format_attr != nullptr) {
    // A malformed attribute is PAPPL's to refuse.
    if (ippGetCount(format_attr) != 1 || ippGetValueTag(format_attr) != IPP_TAG_MIMETYPE ||
        ippGetGroupTag(format_attr) != IPP_TAG_OPERATION)
      return false;
    format = ippGetString(format_attr, 0, nullptr);
  }

  bool spool_only = false;
  if (format != nullptr &&
      (strcasecmp(format, "image/pwg-raster") == 0 || strcasecmp(format, "image/urf") == 0)) {
    spool_only = true;
  } else if (format == nullptr || strcasecmp(format, "application/octet-stream") == 0) {
    // PAPPL types such a document by its first bytes; compressed ones it
    // types after uncompressing them, which a peek here cannot do: those
    // are typed by the decoder from the spool file.
    const char *compression =
        ippGetString(ippFindAttribute(request, "compression", IPP_TAG_KEYWORD), 0, nullptr);
    if (compression != nullptr && strcmp(compression, "none") != 0) {
      spool_only = true;
    } else {
      char head[8];
      ssize_t got = httpPeek(papplClientGetHTTP(client), head, sizeof head);
      spool_only = got > 0 && raster_magic(head, static_cast<size_t>(got));
    }
  }
  if (!spool_only)
    return false;
  if (format_attr != nullptr)
    ippSetString(request, &format_attr, 0, INTAKE_SPOOL_FORMAT);
  else
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_MIMETYPE, "document-format", nullptr,
                 INTAKE_SPOOL_FORMAT);
  return true;
}
