// The table of supported printers and the lookups in it: pure data, shared
// by the port layer, the device URI parser and korvprint.
#include <strings.h>

#include "usbqrp.h"

// Every product ID is valid under both vendor IDs.
// The device IDs name the command set KORVBMP: a start byte, then one
// BMP image; the PPDs of each model carry the same *1284DeviceID.
static const QRP_PrinterModel supported_printers[] = {
    {QRP_PRODUCT_TR3000AX, "tr3000ax", QRP_FAMILY_OSTREL,
     "Korvanix TR3000AX miniprinter", "MFG:KorvaNIX;MDL:TR3000AX;CMD:KORVBMP;"},
    {QRP_PRODUCT_TR3200AX, "tr3200ax", QRP_FAMILY_KELPIN,
     "Korvanix TR3200AX miniprinter", "MFG:KorvaNIX;MDL:TR3200AX;CMD:KORVBMP;"},
    {QRP_PRODUCT_TR090SAX, "tr090sax", QRP_FAMILY_KELPIN,
     "Korvanix TR090SAX miniprinter", "MFG:KorvaNIX;MDL:TR090SAX;CMD:KORVBMP;"},
    {QRP_PRODUCT_TR3500AX, "tr3500ax", QRP_FAMILY_KELPIN,
     "Korvanix TR3500AX miniprinter", "MFG:KorvaNIX;MDL:TR3500AX;CMD:KORVBMP;"},
};

int QRP_IsSupportedVendor(unsigned short vendorId) {
  return vendorId == QRP_VENDOR_KORVANIX || vendorId == QRP_VENDOR_MIRELWORKS;
}

const QRP_PrinterModel *QRP_FindModelByProduct(unsigned short productId) {
  for (const QRP_PrinterModel &model : supported_printers)
    if (model.productId == productId)
      return &model;
  return nullptr;
}

const QRP_PrinterModel *QRP_FindModelByProtocol(const char *protocol) {
  if (protocol == nullptr)
    return nullptr;
  for (const QRP_PrinterModel &model : supported_printers)
    if (strcasecmp(model.protocol, protocol) == 0)
      return &model;
  return nullptr;
}

int QRP_ProductInFamily(unsigned short productId, int family) {
  const QRP_PrinterModel *model = QRP_FindModelByProduct(productId);
  if (model == nullptr)
    return 0;
  // The lookups treat any family other than Kelpin like Ostrel.
  int wanted = family == QRP_FAMILY_KELPIN ? QRP_FAMILY_KELPIN : QRP_FAMILY_OSTREL;
  return model->family == wanted;
}
