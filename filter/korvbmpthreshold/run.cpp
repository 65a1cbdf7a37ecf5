// The filter's run as CUPS starts it: argv[0] queue name, argv[1..4] job
// id, user, title, copies (unused), argv[5] job options, optional argv[6]
// input file; the queue's PPD in the environment variable PPD. The 24-bit
// result goes to standard output.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "korvbmpthreshold.h"

namespace {

constexpr int kStatusUsage = 1;
constexpr int kStatusFailed = -2;
constexpr size_t kPathMax = 1023;

int report_failure() {
  fprintf(stderr, "BMP error: %s\n", BMP_GetErrorDescription());
  return kStatusFailed;
}

} // namespace

int filter_main(int argc, char **argv) {
  uint32_t threshold = kDefaultThreshold;
  char inputPath[kPathMax + 1] = {};
  int32_t outputWidth = 0;
  float factor = 1.0f;

  // A reader that went away must give a failed write, not a dead filter.
  signal(SIGPIPE, SIG_IGN);
  setbuf(stderr, nullptr);

  if (argc != 6 && argc != 7) {
    fprintf(stderr, "Usage: %s job-id user title copies options [file]\n",
            argc > 0 && argv[0] != nullptr ? argv[0] : "korvbmpthreshold");
    return kStatusUsage;
  }
  strncpy(inputPath, argc == 7 ? argv[6] : "/dev/stdin", kPathMax);

  BMP *input = BMP_ReadFile(inputPath);
  if (BMP_GetError() != BMP_ERR_NONE) {
    return report_failure();
  }

  cups_option_t *options = nullptr;
  const int numOptions = cupsParseOptions(argv[5], 0, &options);
  const bool thresholded = threshold_from_options(numOptions, options, &threshold) != 0;
  cupsFreeOptions(numOptions, options);

  // Without a PPD, or with a model number of no known printer, there is no
  // print line: the output cannot be made and the write below reports it.
  const int32_t width = ppd_output_width(getenv("PPD"));
  if (width > 0) {
    outputWidth = width;
    factor = scale_factor(BMP_GetWidth(input), outputWidth);
  }
  if (factor < 1.0f) {
    factor = 1.0f;
  }
  const uint64_t outputHeight = scaled_height(BMP_GetHeight(input), factor);

  BMP *output = BMP_Create(static_cast<uint64_t>(outputWidth), outputHeight, 24);
  if (output != nullptr) {
    scale_pass(input, output, factor, thresholded ? &threshold : nullptr);
  }
  BMP_WriteFile(output, "/dev/stdout");
  if (BMP_GetError() != BMP_ERR_NONE) {
    const int status = report_failure();
    BMP_Free(output);
    BMP_Free(input);
    return status;
  }
  BMP_Free(output);
  BMP_Free(input);
  return 0;
}
