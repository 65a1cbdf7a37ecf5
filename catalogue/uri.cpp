// Device URI parsing and formatting: "usbkorv:/<protocol>/<printer id>"
// and the options after a '?'.
//
// Tokens are split the way strtok splits them (separators before a token
// are skipped, a run of separators ends a token), but without strtok's
// hidden state and without writing into the text.
#include "uri.h"

#include <stdio.h>
#include <string.h>
#include <strings.h>

#include <string_view>

#include "catalogue.h"

namespace {

// Takes the next token of text after *pos, split on sep, into out (which
// holds KORV_URI_MAX_LENGTH + 1 bytes; tokens never exceed the text, which
// is at most KORV_URI_MAX_LENGTH long). Returns 0 when no token is left.
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

bool is_unreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
         (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_' ||
         c == '~';
}

// Characters of the whole percent-encoding of text.
size_t encoded_length(const char *text) {
  size_t length = 0;
  for (const char *p = text; *p != '\0'; ++p)
    length += is_unreserved(static_cast<unsigned char>(*p)) ? 1 : 3;
  return length;
}

int hex_value(char c) {
  if (c >= '0' && c <= '9')
    return c - '0';
  if (c >= 'a' && c <= 'f')
    return c - 'a' + 10;
  if (c >= 'A' && c <= 'F')
    return c - 'A' + 10;
  return -1;
}

// Result of decoding one option key or value.
enum Decode { DECODED, BAD_ESCAPE, TOO_LONG, HAS_NUL };

// Percent-decodes text into out (room for limit characters and a NUL).
Decode percent_decode(std::string_view text, char *out, size_t limit) {
  size_t used = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    int c = static_cast<unsigned char>(text[i]);
    if (c == '%') {
      int high = i + 1 < text.size() ? hex_value(text[i + 1]) : -1;
      int low = i + 2 < text.size() ? hex_value(text[i + 2]) : -1;
      if (high < 0 || low < 0)
        return BAD_ESCAPE;
      c = high * 16 + low;
      i += 2;
    }
    if (c == 0)
      return HAS_NUL;
    if (used >= limit)
      return TOO_LONG;
    out[used++] = static_cast<char>(c);
  }
  out[used] = '\0';
  return DECODED;
}

// The raw text of a key or value as a refusal message shows it: printable
// ASCII as it is, anything else escaped, cut after 40 characters.
void shown(std::string_view text, char *out, size_t size) {
  size_t used = 0;
  for (size_t i = 0; i < text.size() && used + 5 < size; ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (used >= 40) {
      memcpy(out + used, "...", 3);
      used += 3;
      break;
    }
    if (c >= 0x20 && c < 0x7F && c != '\'') {
      out[used++] = static_cast<char>(c);
    } else {
      snprintf(out + used, size - used, "%%%02X", c);
      used += 3;
    }
  }
  out[used] = '\0';
}

int refuse(KORV_UriParts *parts, const char *format, std::string_view text) {
  char quoted[64];
  shown(text, quoted, sizeof quoted);
  snprintf(parts->optionError, sizeof parts->optionError, format, quoted);
  return KORV_URI_BAD_OPTION;
}

// The seconds of wait=: decimal digits only, 0 to KORV_URI_WAIT_MAX.
int wait_value(const char *text) {
  if (*text == '\0')
    return -1;
  int value = 0;
  for (const char *p = text; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9')
      return -1;
    value = value * 10 + (*p - '0');
    if (value > KORV_URI_WAIT_MAX)
      return -1;
  }
  return value;
}

// The value of waitprinter=: 1, 0, or -1 when it is neither.
int switch_value(const char *text) {
  for (const char *yes : {"true", "yes", "on", "1"})
    if (strcasecmp(text, yes) == 0)
      return 1;
  for (const char *no : {"false", "no", "off", "0"})
    if (strcasecmp(text, no) == 0)
      return 0;
  return -1;
}

// Reads the options "key=value&key=value" into parts. A key given twice
// is refused unless both values mean the same.
int parse_options(std::string_view query, KORV_UriParts *parts) {
  if (query.size() > KORV_URI_OPTIONS_MAX_LENGTH) {
    snprintf(parts->optionError, sizeof parts->optionError,
             "Device URI options longer than %d characters",
             KORV_URI_OPTIONS_MAX_LENGTH);
    return KORV_URI_BAD_OPTION;
  }
  int hasWait = 0;
  size_t at = 0;
  for (;;) {
    size_t end = query.find('&', at);
    if (end == std::string_view::npos)
      end = query.size();
    std::string_view pair = query.substr(at, end - at);
    if (pair.empty())
      return refuse(parts, "Empty device URI option%s", "");
    size_t equals = pair.find('=');
    std::string_view raw_key = pair.substr(0, equals);
    if (equals == std::string_view::npos)
      return refuse(parts, "Device URI option '%s' without a value", raw_key);
    std::string_view raw_value = pair.substr(equals + 1);

    char key[16];
    if (percent_decode(raw_key, key, sizeof key - 1) != DECODED ||
        (strcmp(key, "serial") != 0 && strcmp(key, "wait") != 0 &&
         strcmp(key, "waitprinter") != 0))
      return refuse(parts,
                    "Unknown device URI option '%s' (the options are serial, "
                    "wait and waitprinter)",
                    raw_key);
    char value[KORV_URI_OPTIONS_MAX_LENGTH + 1];
    Decode decoded = percent_decode(raw_value, value, sizeof value - 1);
    if (decoded == BAD_ESCAPE)
      return refuse(parts, "Bad percent escape in device URI option '%s'",
                    raw_key);
    if (decoded == HAS_NUL)
      return refuse(parts, "Device URI option '%s' holds a NUL byte",
                    raw_key);
    if (value[0] == '\0')
      return refuse(parts, "Device URI option '%s' is empty", raw_key);

    if (strcmp(key, "serial") == 0) {
      if (strlen(value) > KORV_URI_SERIAL_MAX_LENGTH) {
        snprintf(parts->optionError, sizeof parts->optionError,
                 "Device URI option 'serial' longer than %d characters (no "
                 "printer's serial number can be read that long)",
                 KORV_URI_SERIAL_MAX_LENGTH);
        return KORV_URI_BAD_OPTION;
      }
      if (parts->hasSerial && strcmp(parts->serial, value) != 0)
        return refuse(parts,
                      "Device URI option '%s' given twice with different "
                      "values",
                      raw_key);
      memcpy(parts->serial, value, strlen(value) + 1);
      parts->hasSerial = 1;
    } else if (strcmp(key, "wait") == 0) {
      int seconds = wait_value(value);
      if (seconds < 0)
        return refuse(parts,
                      "Device URI option 'wait' must be a whole number of "
                      "seconds from 0 to 600, not '%s'",
                      raw_value);
      if (hasWait && parts->waitSeconds != seconds)
        return refuse(parts,
                      "Device URI option '%s' given twice with different "
                      "values",
                      raw_key);
      parts->waitSeconds = seconds;
      hasWait = 1;
    } else {
      int on = switch_value(value);
      if (on < 0)
        return refuse(parts,
                      "Device URI option 'waitprinter' must be true or "
                      "false, not '%s'",
                      raw_value);
      if (parts->hasWaitPrinter && parts->waitPrinter != on)
        return refuse(parts,
                      "Device URI option '%s' given twice with different "
                      "values",
                      raw_key);
      parts->waitPrinter = on;
      parts->hasWaitPrinter = 1;
    }
    if (end == query.size())
      return KORV_URI_OK;
    at = end + 1;
  }
}

} // namespace

int KORV_ParseUri(const char *uri, KORV_UriParts *parts) {
  memset(parts, 0, sizeof *parts);
  parts->waitSeconds = -1;
  if (uri == nullptr)
    uri = "";
  size_t length = strnlen(uri, KORV_URI_MAX_LENGTH);
  memcpy(parts->uri, uri, length);
  parts->uri[length] = '\0';

  // The path ends at the first '?', wherever it stands; without one the
  // URI is read exactly as it always was.
  const char *question = strchr(uri, '?');
  if (question != nullptr) {
    parts->hasOptions = 1;
    size_t path = static_cast<size_t>(question - uri);
    if (path < length)
      length = path;
  }
  std::string_view text(parts->uri, length);
  size_t pos = 0;
  parts->hasMethod = next_token(text, &pos, ':', parts->method);
  if (!parts->hasMethod)
    return KORV_URI_NO_METHOD;
  parts->hasResource = next_token(text, &pos, ':', parts->resource);
  if (!parts->hasResource)
    return KORV_URI_NO_RESOURCE;

  // Only the scheme word's seven characters are compared: "usbkorvx"
  // passes.
  const size_t scheme = sizeof KORV_URI_SCHEME - 1;
  if (strncmp(parts->method, KORV_URI_SCHEME, scheme) != 0)
    return KORV_URI_BAD_METHOD;

  std::string_view resource(parts->resource);
  size_t at = 0;
  parts->hasProtocol = next_token(resource, &at, '/', parts->protocol);
  if (!parts->hasProtocol)
    return KORV_URI_NO_PROTOCOL;
  const KORV_Model *model = KORV_FindModelByProtocol(parts->protocol);
  if (model == nullptr)
    return KORV_URI_BAD_PROTOCOL;

  parts->hasPrinterId = next_token(resource, &at, '/', parts->printerIdText);
  if (!parts->hasPrinterId)
    return KORV_URI_NO_PRINTERID;
  parts->printerId = printer_id_value(parts->printerIdText);
  if (parts->printerId < 1 || parts->printerId > 99)
    return KORV_URI_BAD_PRINTERID;

  parts->family = model->family;
  if (question != nullptr)
    return parse_options(question + 1, parts);
  return KORV_URI_OK;
}

void KORV_EncodeUriText(const char *text, char *out, size_t size) {
  if (size == 0)
    return;
  size_t used = 0;
  for (const char *p = text; *p != '\0'; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    size_t need = is_unreserved(c) ? 1 : 3;
    if (used + need >= size)
      break;
    if (need == 1)
      out[used] = static_cast<char>(c);
    else
      snprintf(out + used, size - used, "%%%02X", c);
    used += need;
  }
  out[used] = '\0';
}

int KORV_FormatUri(const char *protocol, int number, const char *serial,
                   char *out, size_t size) {
  int length = snprintf(out, size, KORV_URI_SCHEME ":/%s/%d", protocol, number);
  if (length < 0 || static_cast<size_t>(length) >= size)
    return -1;
  if (serial == nullptr || serial[0] == '\0')
    return 0;
  size_t used = static_cast<size_t>(length);
  length = snprintf(out + used, size - used, "?serial=");
  if (static_cast<size_t>(length) >= size - used)
    return -1;
  used += static_cast<size_t>(length);
  KORV_EncodeUriText(serial, out + used, size - used);
  return encoded_length(serial) < size - used ? 0 : -1;
}
