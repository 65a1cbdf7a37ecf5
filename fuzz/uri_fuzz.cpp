// libFuzzer target for the device URI parser of the printer catalogue.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "catalogue.h"
#include "uri.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string text(reinterpret_cast<const char *>(data), size);
  KORV_UriParts parts;
  int status = KORV_ParseUri(text.c_str(), &parts);

  // Every field stays a terminated text within its buffer, never longer
  // than the URI's first 255 characters.
  size_t uri_length = strnlen(parts.uri, sizeof parts.uri);
  if (uri_length > KORV_URI_MAX_LENGTH ||
      strnlen(parts.method, sizeof parts.method) > uri_length ||
      strnlen(parts.resource, sizeof parts.resource) > uri_length ||
      strnlen(parts.protocol, sizeof parts.protocol) > uri_length ||
      strnlen(parts.printerIdText, sizeof parts.printerIdText) > uri_length)
    abort();
  if (strncmp(parts.uri, text.c_str(), uri_length) != 0)
    abort();
  if (status < KORV_URI_OK || status > KORV_URI_BAD_OPTION)
    abort();
  // Options: a refusal says why; accepted values are in range, and the
  // serial number is a terminated text within its limit.
  if (status == KORV_URI_BAD_OPTION &&
      (parts.optionError[0] == '\0' ||
       strnlen(parts.optionError, sizeof parts.optionError) >=
           sizeof parts.optionError))
    abort();
  if (status == KORV_URI_OK) {
    if (parts.waitSeconds < -1 || parts.waitSeconds > KORV_URI_WAIT_MAX)
      abort();
    if (parts.waitPrinter != 0 && parts.waitPrinter != 1)
      abort();
    if (strnlen(parts.serial, sizeof parts.serial) > KORV_URI_SERIAL_MAX_LENGTH)
      abort();
    if (parts.hasSerial && parts.serial[0] == '\0')
      abort();
    if (parts.hasOptions != (strchr(text.c_str(), '?') != nullptr))
      abort();
  }
  if (status == KORV_URI_OK || status == KORV_URI_BAD_OPTION) {
    if (parts.printerId < 1 || parts.printerId > 99)
      abort();
    if (strncmp(parts.method, KORV_URI_SCHEME, sizeof KORV_URI_SCHEME - 1) != 0)
      abort();
    const KORV_Model *model = KORV_FindModelByProtocol(parts.protocol);
    if (model == nullptr || model->family != parts.family)
      abort();
  }
  return 0;
}
