// Device URI parsing: "usbkorv:/<protocol>/<printer id>".
//
// Tokens are split the way strtok splits them (separators before a token
// are skipped, a run of separators ends a token), but without strtok's
// hidden state and without writing into the text.
#include "uri.h"

#include <string.h>

#include <string_view>

#include "usbqrp.h"

namespace {

// Takes the next token of text after *pos, split on sep, into out (which
// holds QRP_URI_MAX_LENGTH + 1 bytes; tokens never exceed the text, which
// is at most QRP_URI_MAX_LENGTH long). Returns 0 when no token is left.
int next_token(std::string_view text, size_t *pos, char sep, char *out) {
  size_t at = *pos;
  while (at < text.size() && text[at] == sep)
    ++at;
  if (at >= text.size()) {
    *pos = at;
    out[0] = '\0';
    return 0;
  }
  size_t end = text.find(sep, at);
  if (end == std::string_view::npos)
    end = text.size();
  std::string_view token = text.substr(at, end - at);
  memcpy(out, token.data(), token.size());
  out[token.size()] = '\0';
  // Like strtok, step over the one separator that ended the token.
  *pos = end < text.size() ? end + 1 : end;
  return 1;
}

bool is_blank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' ||
         c == '\r';
}

// Decimal value as atoi reads it (leading blanks, optional sign, digits up
// to the first non-digit, none gives 0), but clamped instead of overflowing:
// a long run of digits must not wrap round into the valid range.
int printer_id_value(const char *text) {
  const char *p = text;
  while (is_blank(*p))
    ++p;
  int sign = 1;
  if (*p == '+' || *p == '-') {
    if (*p == '-')
      sign = -1;
    ++p;
  }
  int value = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    value = value * 10 + (*p - '0');
    if (value > 100000)
      value = 100000;
  }
  return sign * value;
}

} // namespace

int QRP_ParseUri(const char *uri, QRP_UriParts *parts) {
  memset(parts, 0, sizeof *parts);
  if (uri == nullptr)
    uri = "";
  size_t length = strnlen(uri, QRP_URI_MAX_LENGTH);
  memcpy(parts->uri, uri, length);
  parts->uri[length] = '\0';

  std::string_view text(parts->uri, length);
  size_t pos = 0;
  parts->hasMethod = next_token(text, &pos, ':', parts->method);
  if (!parts->hasMethod)
    return QRP_URI_NO_METHOD;
  parts->hasResource = next_token(text, &pos, ':', parts->resource);
  if (!parts->hasResource)
    return QRP_URI_NO_RESOURCE;

  // Only the first seven characters are compared: "usbkorvx" passes.
  if (strncmp(parts->method, "usbkorv", 7) != 0)
    return QRP_URI_BAD_METHOD;

  std::string_view resource(parts->resource);
  size_t at = 0;
  parts->hasProtocol = next_token(resource, &at, '/', parts->protocol);
  if (!parts->hasProtocol)
    return QRP_URI_NO_PROTOCOL;
  const QRP_PrinterModel *model = QRP_FindModelByProtocol(parts->protocol);
  if (model == nullptr)
    return QRP_URI_BAD_PROTOCOL;

  parts->hasPrinterId = next_token(resource, &at, '/', parts->printerIdText);
  if (!parts->hasPrinterId)
    return QRP_URI_NO_PRINTERID;
  parts->printerId = printer_id_value(parts->printerIdText);
  if (parts->printerId < 1 || parts->printerId > 99)
    return QRP_URI_BAD_PRINTERID;

  parts->family = model->family;
  return QRP_URI_OK;
}
