// The Threshold job option: whether an 8-bit image is thresholded, and at
// which palette index.
#include <cmath>
#include <cstring>
#include <string_view>

#include "korvbmpthreshold.h"
#include "receipt.h"

namespace {

bool is_c_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

} // namespace

uint32_t threshold_from_percent(const char *value) {
  // Decimal text as strtoul reads it (blanks, an optional sign, digits up
  // to the first non-digit), but a minus sign or a result beyond 32 bits
  // gives a threshold above every index instead of a wrapped number.
  std::string_view text(value);
  size_t pos = 0;
  while (pos < text.size() && is_c_space(text[pos])) {
    ++pos;
  }
  bool negative = false;
  if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
    negative = text[pos] == '-';
    ++pos;
  }
  // Past this every percentage scales beyond 32 bits; stop counting there.
  constexpr uint64_t kCap = 10000000000ull;
  uint64_t percent = 0;
  while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
    if (percent < kCap) {
      percent = percent * 10 + static_cast<uint64_t>(text[pos] - '0');
    }
    ++pos;
  }
  if (negative && percent != 0) {
    return kSaturatedThreshold;
  }
  // A percentage up to 100 is the grey level the raster path takes too.
  if (percent <= 100) {
    return static_cast<uint32_t>(receipt_threshold_from_percent(static_cast<int>(percent)));
  }
  const double scaled = std::trunc(static_cast<double>(percent) / 100.0 * 255.0);
  if (scaled >= 4294967296.0) {
    return kSaturatedThreshold;
  }
  return static_cast<uint32_t>(scaled);
}

int threshold_from_options(int num_options, cups_option_t *options, uint32_t *threshold) {
  if (num_options == 0) {
    *threshold = kDefaultThreshold;
    return 1;
  }
  const char *value = cupsGetOption("Threshold", num_options, options);
  if (value == nullptr || value[0] == '0' || strncmp(value, "Off", 3) == 0) {
    return 0;
  }
  *threshold = threshold_from_percent(value);
  return 1;
}
