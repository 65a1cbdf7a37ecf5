// libFuzzer target for the filter's whole run: byte 0 picks the queue's PPD
// (model numbers 0 to 5, an unknown one, none), byte 1 the job options, and
// the rest is the image file given as argv[6]. Standard output goes to
// /dev/null.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "korvbmpthreshold.h"

namespace {

std::string g_dir;
std::string g_input;

void remove_dir() {
  std::error_code ignored;
  std::filesystem::remove_all(g_dir, ignored);
}

const char *const kOptions[] = {
    "",
    "copies=1",
    "Threshold=50",
    "Threshold=Off",
    "Threshold=0",
    "Threshold=100",
    "Threshold=off",
    "job-uuid=urn:uuid:0 Threshold=75%",
};
constexpr unsigned kOptionCount = sizeof kOptions / sizeof kOptions[0];
// Model numbers of the PPDs written at start-up; the last choice is no PPD.
const int kModels[] = {0, 1, 2, 3, 4, 5, 9};
constexpr unsigned kModelChoices = sizeof kModels / sizeof kModels[0] + 1;

std::string ppd_path(int model) { return g_dir + "/model" + std::to_string(model) + ".ppd"; }

void write_ppd(int model) {
  FILE *f = fopen(ppd_path(model).c_str(), "w");
  if (f == nullptr) {
    abort();
  }
  fprintf(f,
          "*PPD-Adobe: \"4.3\"\n*FormatVersion: \"4.3\"\n*FileVersion: \"1.0\"\n"
          "*LanguageVersion: English\n*LanguageEncoding: ISOLatin1\n"
          "*PCFileName: \"fuzz.ppd\"\n*Manufacturer: \"KorvaNIX\"\n*Product: \"(fuzz)\"\n"
          "*ModelName: \"fuzz\"\n*ShortNickName: \"fuzz\"\n*NickName: \"fuzz\"\n"
          "*PSVersion: \"(3010.000) 0\"\n*cupsModelNumber: %d\n",
          model);
  fclose(f);
}

uint32_t get32(const uint8_t *p) {
  return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  char dir[] = "/tmp/korv-filterfuzz-XXXXXX";
  if (mkdtemp(dir) == nullptr) {
    abort();
  }
  g_dir = dir;
  atexit(remove_dir);
  g_input = g_dir + "/in.bmp";
  for (int model : kModels) {
    write_ppd(model);
  }
  const int null = open("/dev/null", O_WRONLY);
  if (null < 0 || dup2(null, 1) < 0) {
    abort();
  }
  close(null);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 2) {
    return 0;
  }
  const unsigned modelChoice = data[0] % kModelChoices;
  std::string options;
  const uint8_t *image = data + 2;
  size_t imageSize = size - 2;
  if (data[1] < kOptionCount) {
    options = kOptions[data[1]];
  } else {
    // A Threshold value of up to 7 bytes taken from the input.
    const size_t length = data[1] % 8 < imageSize ? data[1] % 8 : imageSize;
    options = "Threshold=" + std::string(reinterpret_cast<const char *>(image), length);
    options = options.substr(0, strnlen(options.c_str(), options.size()));
    image += length;
    imageSize -= length;
  }
  // A zero-width image of millions of rows is a legitimate, but enormous,
  // blank page: beyond what one fuzzing run should allocate.
  if (imageSize >= 26 && get32(image + 18) == 0 && get32(image + 22) > 100000) {
    return 0;
  }

  FILE *f = fopen(g_input.c_str(), "wb");
  if (f == nullptr || fwrite(image, 1, imageSize, f) != imageSize || fclose(f) != 0) {
    abort();
  }
  if (modelChoice < kModelChoices - 1) {
    setenv("PPD", ppd_path(kModels[modelChoice]).c_str(), 1);
  } else {
    unsetenv("PPD");
  }
  std::string args[] = {"fuzzqueue", "1", "user", "title", "1", options, g_input};
  char *argv[7];
  for (int k = 0; k < 7; ++k) {
    argv[k] = args[k].data();
  }
  const int status = filter_main(7, argv);
  if (status != 0 && status != -2) {
    abort();
  }
  // The unknown model and the missing PPD never produce an image.
  if (modelChoice >= 6 && status == 0) {
    abort();
  }
  return 0;
}
