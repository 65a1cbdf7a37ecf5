// The printer catalogue: which printers the package drives and every name
// they go by. The models (vendor and product IDs, protocol words, families,
// model names, fallback product texts, IEEE 1284 device IDs), the papers
// and the print line on each, what each model on each paper is called as a
// PPD and as a korvprint driver, and the backend's discovery line. The
// usbkorv device URI is in uri.h beside it.
//
// Adding a model is adding a row to the table in catalogue.cpp, and its
// PPDs to ppd/ (korvprint.drv and the file list in CMakeLists.txt): the
// test catalogue_test checks the PPDs, and korvprint's drivers, against
// this table.
//
// Plain data and text: no libusb, CUPS or PAPPL, no I/O, no shared state
// that changes.
//
// Error convention: a lookup returns a row of the table, or null; a function that writes text
// into the caller's buffer returns 0, or -1 when it did not fit (cut, always terminated).
#ifndef KORV_CATALOGUE_H
#define KORV_CATALOGUE_H

#include <stddef.h>

// Protocol families: how a printer is driven.
#define KORV_FAMILY_OSTREL 0 // USB-to-UART bridge, vendor requests
#define KORV_FAMILY_KELPIN 1 // CDC modem interface pair, notifications

// Vendor IDs under which the printers are sold.
#define KORV_VENDOR_KORVANIX 0x2F1C
#define KORV_VENDOR_MIRELWORKS 0x3A07

// The make that device IDs, PPDs and descriptions name.
#define KORV_MAKE "KorvaNIX"

// One printer model. Every product ID is valid under both vendor IDs.
struct KORV_Model {
  unsigned short productId;
  const char *protocol;        // lower-case protocol word of the device URI
  const char *name;            // model name, "TR3200AX"
  int family;                  // KORV_FAMILY_OSTREL or KORV_FAMILY_KELPIN
  const char *fallbackProduct; // make and model when the device has none
  const char *deviceId;        // IEEE 1284 device ID, the same in the PPDs
};

// The print line on each paper, in dots at 203 dpi: 58 mm rolls print 48 mm,
// 80 mm rolls 72 mm. The paper table's, named for code that needs a head of
// a given width.
#define KORV_HEAD_DOTS_58MM 384
#define KORV_HEAD_DOTS_80MM 576

// One paper width the printers take, and the print line on it.
struct KORV_Paper {
  int widthMm;  // roll width
  int headDots; // dots of the print line at 203 dpi
};

// The tables, in the order the PPDs and korvprint's drivers list them.
extern const KORV_Model KORV_MODELS[];
extern const int KORV_MODEL_COUNT;
extern const KORV_Paper KORV_PAPERS[];
extern const int KORV_PAPER_COUNT;

// 1 when the vendor ID is one the printers are sold under, else 0.
int KORV_IsSupportedVendor(unsigned short vendorId);
// The model of a product ID.
const KORV_Model *KORV_FindModelByProduct(unsigned short productId);
// The model of a protocol word, compared ignoring case.
const KORV_Model *KORV_FindModelByProtocol(const char *protocol);
// 1 when the product ID is a model of the family, else 0. Any family other
// than Kelpin counts as Ostrel.
int KORV_ProductInFamily(unsigned short productId, int family);
// The first model of a family in the table: the one a printer of the
// family is taken for when nothing says otherwise (the virtual printer's
// default). Any family other than Kelpin counts as Ostrel.
const KORV_Model *KORV_FirstModelOfFamily(int family);

// The print line in dots that a PPD model number (*cupsModelNumber) names,
// 0 for a number that names none.
int KORV_PpdHeadWidth(int modelNumber);

// Room for each name of a variant.
#define KORV_NAME_SIZE 64

// One model on one paper: one PPD, one korvprint driver.
struct KORV_Variant {
  const KORV_Model *model;
  const KORV_Paper *paper;
  int ppdModelNumber;                     // *cupsModelNumber of its PPD
  char ppdFileName[KORV_NAME_SIZE];       // "korv-tr3200ax-80.ppd"
  char ppdModelName[KORV_NAME_SIZE];      // *ModelName, "KorvaNIX TR3200AX 80mm"
  char ppdNickName[KORV_NAME_SIZE];       // *NickName, "KorvaNIX TR3200AX 80 mm"
  char driverName[KORV_NAME_SIZE];        // korvprint's driver, "tr3200ax_80"
  char driverDescription[KORV_NAME_SIZE]; // "KorvaNIX TR3200AX, 80 mm paper"
};

// Fills variant for model on paper (a row of KORV_PAPERS).
int KORV_DescribeVariant(const KORV_Model *model, const KORV_Paper *paper, KORV_Variant *variant);

// Room for a discovery line.
#define KORV_DISCOVERY_LINE_SIZE 1024

// The CUPS device line that the backend's discovery prints for a printer:
// direct URI "MAKE AND MODEL" "KorvaNIX USB Printer #LISTED" "DEVICE ID",
// and a newline. Double quotes and backslashes in the make and model are
// escaped with a backslash, as CUPS reads them.
int KORV_FormatDiscoveryLine(const char *uri, const char *makeAndModel, int listed,
                             const char *deviceId, char *out, size_t size);

#endif
