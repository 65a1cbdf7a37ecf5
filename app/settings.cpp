// The receipt settings of one job: each vendor attribute is taken from the
// job, else from the printer's default, else from the built-in default;
// values outside the supported ones fall back the same way.
#include <stdlib.h>
#include <string.h>

#include "korvprint.h"

// Keywords and the receipt library's values they stand for; the first is
// the default, the library's own.
const char *const settings_dither_keywords[] = {"sharp", "diffusion", "ordered", "threshold"};
const int settings_dither_count = 4;
static const int dither_values[] = {RECEIPT_DITHER_SHARP, RECEIPT_DITHER_DIFFUSION,
                                    RECEIPT_DITHER_ORDERED, RECEIPT_DITHER_THRESHOLD};
const char *const settings_trim_keywords[] = {"both", "bottom", "none"};
const int settings_trim_count = 3;
static const int trim_values[] = {RECEIPT_TRIM_BOTH, RECEIPT_TRIM_BOTTOM, RECEIPT_TRIM_NONE};

#define THRESHOLD_MIN 0
#define THRESHOLD_MAX 100
#define THRESHOLD_DEFAULT 50

static int keyword_value(const char *keyword, const char *const *keywords, const int *values,
                         int count) {
  if (keyword == nullptr)
    return -1;
  for (int i = 0; i < count; ++i)
    if (strcmp(keyword, keywords[i]) == 0)
      return values[i];
  return -1;
}

int settings_dither_value(const char *keyword) {
  return keyword_value(keyword, settings_dither_keywords, dither_values, settings_dither_count);
}

int settings_trim_value(const char *keyword) {
  return keyword_value(keyword, settings_trim_keywords, trim_values, settings_trim_count);
}

// A whole decimal number within [low, high], or -1.
static int integer_in(const char *text, int low, int high) {
  if (text == nullptr || *text == '\0')
    return -1;
  char *end = nullptr;
  long value = strtol(text, &end, 10);
  if (*end != '\0' || value < low || value > high)
    return -1;
  return static_cast<int>(value);
}

// The printer's default of a vendor attribute as text in value, or nullptr.
static const char *printer_default(ipp_t *printer_attrs, const char *name, char *value,
                                   size_t size) {
  char default_name[64];
  snprintf(default_name, sizeof(default_name), "%s-default", name);
  ipp_attribute_t *attr = ippFindAttribute(printer_attrs, default_name, IPP_TAG_ZERO);
  if (attr == nullptr)
    return nullptr;
  ippAttributeString(attr, value, size);
  return value;
}

// The job's value if valid, else the printer default's if valid, else
// fallback. parse returns -1 for a value it refuses.
template <typename Parse>
static int setting_value(const pappl_pr_options_t *options, ipp_t *printer_attrs, const char *name,
                         Parse parse, int fallback) {
  int value = parse(cupsGetOption(name, options->num_vendor, options->vendor));
  if (value >= 0)
    return value;
  char text[256];
  value = parse(printer_default(printer_attrs, name, text, sizeof(text)));
  return value >= 0 ? value : fallback;
}

void settings_for_job(pappl_job_t *job, const pappl_pr_options_t *options, int head_width,
                      job_settings *out) {
  receipt_default_settings(&out->receipt, head_width);
  pappl_printer_t *printer = papplJobGetPrinter(job);
  ipp_t *attrs = papplPrinterGetDriverAttributes(printer);

  out->receipt.dither =
      setting_value(options, attrs, SETTING_DITHERING, settings_dither_value, out->receipt.dither);
  out->receipt.trim =
      setting_value(options, attrs, SETTING_TRIM, settings_trim_value, RECEIPT_TRIM_BOTH);
  int percent = setting_value(
      options, attrs, SETTING_THRESHOLD,
      [](const char *text) { return integer_in(text, THRESHOLD_MIN, THRESHOLD_MAX); },
      THRESHOLD_DEFAULT);
  out->receipt.threshold = receipt_threshold_from_percent(percent);
  out->finish_wait = setting_value(
      options, attrs, SETTING_FINISH_WAIT,
      [](const char *text) { return integer_in(text, 0, FINISH_WAIT_MAX); },
      KORV_BACKEND_DEFAULT_WAIT);
  ippDelete(attrs);

  // Bi-level means black and white by a plain threshold.
  if (options->print_color_mode == PAPPL_COLOR_MODE_BI_LEVEL)
    out->receipt.dither = RECEIPT_DITHER_THRESHOLD;

  // printer-darkness-configured (0..100, 50 as rendered) sets the printer's
  // level, print-darkness (-100..100) moves a job from it by up to half the
  // range; the sum, 0..100, is the library's -100..100.
  int level = options->darkness_configured + options->print_darkness / 2;
  if (level < 0)
    level = 0;
  if (level > 100)
    level = 100;
  out->receipt.darkness = (level - 50) * 2;
}
