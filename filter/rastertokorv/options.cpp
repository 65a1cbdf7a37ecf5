// The raster filter's job options: Dithering, Darkness, Trim and the
// Threshold percentage, each from the job's options, else the queue's PPD
// default, else the library's default; and the number of copies.
//
// Copies: the PPD leaves them to the printer (cupsManualCopies False), so
// pdftopdf and imagetoraster hand over one copy and the copies still to
// make in the raster header's NumCopies; when pdftopdf has to collate a
// document itself it repeats the pages and sets NumCopies to 1. The
// copies argument is the same for every filter of the chain and would
// count those copies twice; the backend reads the filter's output from
// standard input and makes no copies of its own.
#include <strings.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "rastertokorv.h"

namespace {

// The option's value: the job's, the PPD's default choice, or null.
const char *option_value(const char *name, int num_options, cups_option_t *options,
                         ppd_file_t *ppd) {
  const char *value = cupsGetOption(name, num_options, options);
  if (value != nullptr || ppd == nullptr)
    return value;
  ppd_option_t *option = ppdFindOption(ppd, name);
  return option != nullptr ? option->defchoice : nullptr;
}

// A whole decimal number in [low, high], nothing else in the text.
bool parse_int(const char *text, long low, long high, long *value) {
  char *end = nullptr;
  errno = 0;
  const long v = strtol(text, &end, 10);
  if (end == text || *end != '\0' || errno != 0 || v < low || v > high)
    return false;
  *value = v;
  return true;
}

struct Word {
  const char *text;
  int value;
};

const Word kDithering[] = {{"Sharp", RECEIPT_DITHER_SHARP},
                           {"Diffusion", RECEIPT_DITHER_DIFFUSION},
                           {"Ordered", RECEIPT_DITHER_ORDERED},
                           {"Threshold", RECEIPT_DITHER_THRESHOLD}};
const Word kTrim[] = {
    {"Both", RECEIPT_TRIM_BOTH}, {"Bottom", RECEIPT_TRIM_BOTTOM}, {"None", RECEIPT_TRIM_NONE}};

template <size_t N> bool parse_word(const char *text, const Word (&words)[N], int *value) {
  for (const Word &w : words) {
    if (strcasecmp(text, w.text) == 0) {
      *value = w.value;
      return true;
    }
  }
  return false;
}

} // namespace

int raster_settings(int num_options, cups_option_t *options, ppd_file_t *ppd, int head_width,
                    receipt_settings *settings, char *message, size_t size) {
  receipt_default_settings(settings, head_width);

  const char *value = option_value("Dithering", num_options, options, ppd);
  if (value != nullptr && !parse_word(value, kDithering, &settings->dither)) {
    snprintf(message, size, "Dithering=%s: use Sharp, Diffusion, Ordered or Threshold.", value);
    return -1;
  }
  value = option_value("Trim", num_options, options, ppd);
  if (value != nullptr && !parse_word(value, kTrim, &settings->trim)) {
    snprintf(message, size, "Trim=%s: use Both, Bottom or None.", value);
    return -1;
  }
  long number = 0;
  value = option_value("Darkness", num_options, options, ppd);
  if (value != nullptr) {
    if (!parse_int(value, -100, 100, &number)) {
      snprintf(message, size, "Darkness=%s: use a whole number from -100 to 100.", value);
      return -1;
    }
    settings->darkness = (int)number;
  }
  // The BMP path's Threshold, in percent; Off (its PPD default) leaves the
  // middle grey.
  value = option_value("Threshold", num_options, options, ppd);
  if (value != nullptr && strcasecmp(value, "Off") != 0) {
    if (!parse_int(value, 0, 100, &number)) {
      snprintf(message, size, "Threshold=%s: use Off or a percentage from 0 to 100.", value);
      return -1;
    }
    settings->threshold = receipt_threshold_from_percent((int)number);
  }
  return 0;
}

int raster_copies(int header_copies, const char *argument) {
  long copies = header_copies;
  if (copies < 1)
    copies = argument != nullptr ? strtol(argument, nullptr, 10) : 1;
  if (copies < 1)
    return 1;
  return copies > 9999 ? 9999 : (int)copies;
}
