// The table of printer models and papers, the lookups in it, and the names
// and lines made from it.
#include "catalogue.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>

// A model's fallback product text and device ID are made from its name, so
// that each name is written once. The device IDs name the command set
// KORVBMP: a start byte, then one BMP image.
#define MODEL(productId, protocol, name, family)                                                   \
  {                                                                                                \
    productId, protocol, name, family, "Korvanix " name " miniprinter",                            \
        "MFG:" KORV_MAKE ";MDL:" name ";CMD:KORVBMP;"                                              \
  }

const KORV_Model KORV_MODELS[] = {
    MODEL(0x0001, "tr3000ax", "TR3000AX", KORV_FAMILY_OSTREL),
    MODEL(0x0003, "tr3200ax", "TR3200AX", KORV_FAMILY_KELPIN),
    MODEL(0x0005, "tr090sax", "TR090SAX", KORV_FAMILY_KELPIN),
    MODEL(0x0006, "tr3500ax", "TR3500AX", KORV_FAMILY_KELPIN),
};
const int KORV_MODEL_COUNT = sizeof KORV_MODELS / sizeof KORV_MODELS[0];

const KORV_Paper KORV_PAPERS[] = {{58, KORV_HEAD_DOTS_58MM}, {80, KORV_HEAD_DOTS_80MM}};
const int KORV_PAPER_COUNT = sizeof KORV_PAPERS / sizeof KORV_PAPERS[0];

// PPD model numbers come in one run per protocol family, one number per
// paper in the order of KORV_PAPERS: 0 and 1 for the Ostrel family, 2 and 3
// for the Kelpin family. Room is kept for a third family (4 and 5), whose
// widths the filters already know.
#define PPD_FAMILY_RUNS 3

namespace {

int family_of(int family) {
  return family == KORV_FAMILY_KELPIN ? KORV_FAMILY_KELPIN : KORV_FAMILY_OSTREL;
}

// snprintf into a name of a variant; 0, or -1 when it was cut.
int name(char *out, const char *format, ...) {
  va_list args;
  va_start(args, format);
  int length = vsnprintf(out, KORV_NAME_SIZE, format, args);
  va_end(args);
  return length >= 0 && length < KORV_NAME_SIZE ? 0 : -1;
}

} // namespace

int KORV_IsSupportedVendor(unsigned short vendorId) {
  return vendorId == KORV_VENDOR_KORVANIX || vendorId == KORV_VENDOR_MIRELWORKS;
}

const KORV_Model *KORV_FindModelByProduct(unsigned short productId) {
  for (int i = 0; i < KORV_MODEL_COUNT; ++i)
    if (KORV_MODELS[i].productId == productId)
      return &KORV_MODELS[i];
  return nullptr;
}

const KORV_Model *KORV_FindModelByProtocol(const char *protocol) {
  if (protocol == nullptr)
    return nullptr;
  for (int i = 0; i < KORV_MODEL_COUNT; ++i)
    if (strcasecmp(KORV_MODELS[i].protocol, protocol) == 0)
      return &KORV_MODELS[i];
  return nullptr;
}

int KORV_ProductInFamily(unsigned short productId, int family) {
  const KORV_Model *model = KORV_FindModelByProduct(productId);
  return model != nullptr && model->family == family_of(family);
}

const KORV_Model *KORV_FirstModelOfFamily(int family) {
  for (int i = 0; i < KORV_MODEL_COUNT; ++i)
    if (KORV_MODELS[i].family == family_of(family))
      return &KORV_MODELS[i];
  return nullptr;
}

int KORV_PpdHeadWidth(int modelNumber) {
  if (modelNumber < 0 || modelNumber >= PPD_FAMILY_RUNS * KORV_PAPER_COUNT)
    return 0;
  return KORV_PAPERS[modelNumber % KORV_PAPER_COUNT].headDots;
}

int KORV_DescribeVariant(const KORV_Model *model, const KORV_Paper *paper, KORV_Variant *variant) {
  const char *protocol = model->protocol;
  const int mm = paper->widthMm;
  variant->model = model;
  variant->paper = paper;
  variant->ppdModelNumber =
      model->family * KORV_PAPER_COUNT + static_cast<int>(paper - KORV_PAPERS);
  int cut = name(variant->ppdFileName, "korv-%s-%d.ppd", protocol, mm);
  cut |= name(variant->ppdModelName, KORV_MAKE " %s %dmm", model->name, mm);
  cut |= name(variant->ppdNickName, KORV_MAKE " %s %d mm", model->name, mm);
  cut |= name(variant->driverName, "%s_%d", protocol, mm);
  cut |= name(variant->driverDescription, KORV_MAKE " %s, %d mm paper", model->name, mm);
  return cut;
}

int KORV_FormatDiscoveryLine(const char *uri, const char *makeAndModel, int listed,
                             const char *deviceId, char *out, size_t size) {
  int length = snprintf(out, size, "direct %s \"", uri);
  if (length < 0 || static_cast<size_t>(length) >= size)
    return -1;
  // The make and model is a double-quoted CUPS string.
  size_t used = static_cast<size_t>(length);
  for (const char *in = makeAndModel; *in != '\0'; ++in) {
    bool escape = *in == '"' || *in == '\\';
    if (used + (escape ? 2 : 1) >= size) {
      out[used] = '\0';
      return -1;
    }
    if (escape)
      out[used++] = '\\';
    out[used++] = *in;
  }
  length = snprintf(out + used, size - used, "\" \"" KORV_MAKE " USB Printer #%d\" \"%s\"\n",
                    listed, deviceId);
  return length >= 0 && static_cast<size_t>(length) < size - used ? 0 : -1;
}
