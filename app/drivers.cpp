// The driver table (four models on 58 mm and 80 mm paper) and the driver
// callback that describes a printer to PAPPL: 203 dpi receipt printers with
// roll paper, black and white output, and the receipt settings as vendor
// attributes.
#include <string.h>

#include "korvprint.h"

// Roll paper at 203 dpi: 58 mm rolls print 48 mm (384 dots), 80 mm rolls
// 72 mm (576 dots); the rest is the paper's margin on either side.
#define DPI 203
#define MARGIN_58 500 // hundredths of millimetres, left and right
#define MARGIN_80 400

const driver_model driver_models[] = {
    {"tr3000ax_58", "KorvaNIX TR3000AX, 58 mm paper",
     "MFG:KorvaNIX;MDL:TR3000AX;CMD:KORVBMP;", "tr3000ax", 58, 384},
    {"tr3000ax_80", "KorvaNIX TR3000AX, 80 mm paper",
     "MFG:KorvaNIX;MDL:TR3000AX;CMD:KORVBMP;", "tr3000ax", 80, 576},
    {"tr3200ax_58", "KorvaNIX TR3200AX, 58 mm paper",
     "MFG:KorvaNIX;MDL:TR3200AX;CMD:KORVBMP;", "tr3200ax", 58, 384},
    {"tr3200ax_80", "KorvaNIX TR3200AX, 80 mm paper",
     "MFG:KorvaNIX;MDL:TR3200AX;CMD:KORVBMP;", "tr3200ax", 80, 576},
    {"tr090sax_58", "KorvaNIX TR090SAX, 58 mm paper",
     "MFG:KorvaNIX;MDL:TR090SAX;CMD:KORVBMP;", "tr090sax", 58, 384},
    {"tr090sax_80", "KorvaNIX TR090SAX, 80 mm paper",
     "MFG:KorvaNIX;MDL:TR090SAX;CMD:KORVBMP;", "tr090sax", 80, 576},
    {"tr3500ax_58", "KorvaNIX TR3500AX, 58 mm paper",
     "MFG:KorvaNIX;MDL:TR3500AX;CMD:KORVBMP;", "tr3500ax", 58, 384},
    {"tr3500ax_80", "KorvaNIX TR3500AX, 80 mm paper",
     "MFG:KorvaNIX;MDL:TR3500AX;CMD:KORVBMP;", "tr3500ax", 80, 576},
};
const int driver_model_count =
    static_cast<int>(sizeof(driver_models) / sizeof(driver_models[0]));

// PAPPL's view of the table, made from it by driver_make_table().
pappl_pr_driver_t driver_table[sizeof(driver_models) / sizeof(driver_models[0])];

void driver_make_table(void) {
  for (int i = 0; i < driver_model_count; ++i) {
    driver_table[i].name = driver_models[i].name;
    driver_table[i].description = driver_models[i].description;
    driver_table[i].device_id = driver_models[i].device_id;
    driver_table[i].extension = nullptr;
  }
}

// Paper of each width: four fixed lengths and a roll of any length from
// 25 mm to 1 m. PWG self-describing names, so that clients understand them.
static const char *const media_58[] = {
    "om_58x100mm_58x100mm", "om_58x150mm_58x150mm", "om_58x210mm_58x210mm",
    "om_58x297mm_58x297mm", "roll_max_58x1000mm",   "roll_min_58x25mm"};
static const char *const media_80[] = {
    "om_80x100mm_80x100mm", "om_80x150mm_80x150mm", "om_80x210mm_80x210mm",
    "om_80x297mm_80x297mm", "roll_max_80x1000mm",   "roll_min_80x25mm"};
#define MEDIA_COUNT 6
// The default is the longest fixed length: a tall image is not shrunk to a
// short page, and the blank paper below a receipt is trimmed anyway.
#define MEDIA_DEFAULT 3

const driver_model *driver_find(const char *driver_name) {
  if (driver_name == nullptr)
    return nullptr;
  for (int i = 0; i < driver_model_count; ++i)
    if (strcmp(driver_models[i].name, driver_name) == 0)
      return &driver_models[i];
  return nullptr;
}

// The vendor attributes: supported values and defaults.
static ipp_t *vendor_attributes(void) {
  ipp_t *attrs = ippNew();
  ippAddStrings(attrs, IPP_TAG_PRINTER, IPP_TAG_KEYWORD,
                SETTING_DITHERING "-supported", settings_dither_count, nullptr,
                settings_dither_keywords);
  ippAddString(attrs, IPP_TAG_PRINTER, IPP_TAG_KEYWORD,
               SETTING_DITHERING "-default", nullptr,
               settings_dither_keywords[0]);
  ippAddStrings(attrs, IPP_TAG_PRINTER, IPP_TAG_KEYWORD,
                SETTING_TRIM "-supported", settings_trim_count, nullptr,
                settings_trim_keywords);
  ippAddString(attrs, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, SETTING_TRIM "-default",
               nullptr, settings_trim_keywords[0]);
  ippAddRange(attrs, IPP_TAG_PRINTER, SETTING_THRESHOLD "-supported", 0, 100);
  ippAddInteger(attrs, IPP_TAG_PRINTER, IPP_TAG_INTEGER,
                SETTING_THRESHOLD "-default", 50);
  ippAddRange(attrs, IPP_TAG_PRINTER, SETTING_FINISH_WAIT "-supported", 0,
              FINISH_WAIT_MAX);
  ippAddInteger(attrs, IPP_TAG_PRINTER, IPP_TAG_INTEGER,
                SETTING_FINISH_WAIT "-default", KORV_BACKEND_DEFAULT_WAIT);
  return attrs;
}

// Printer status while idle: offline when the backend does not list the
// printer (unplugged or switched off), online again when it does.
static bool driver_status(pappl_printer_t *printer) {
  int listed = device_is_listed(papplPrinterGetDeviceURI(printer));
  if (listed == 1)
    papplPrinterSetReasons(printer, PAPPL_PREASON_NONE, PAPPL_PREASON_OFFLINE);
  else if (listed == 0)
    papplPrinterSetReasons(printer, PAPPL_PREASON_OFFLINE, PAPPL_PREASON_NONE);
  return true;
}

bool driver_callback(pappl_system_t *system, const char *driver_name,
                     const char *device_uri, const char *device_id,
                     pappl_pr_driver_data_t *data, ipp_t **attrs,
                     void *context) {
  (void)device_uri;
  (void)device_id;
  (void)context;
  const driver_model *model = driver_find(driver_name);
  if (model == nullptr) {
    papplLog(system, PAPPL_LOGLEVEL_ERROR, "Unknown driver '%s'.",
             driver_name ? driver_name : "(null)");
    return false;
  }

  data->extension = const_cast<driver_model *>(model);
  data->rstartjob_cb = raster_start_job;
  data->rstartpage_cb = raster_start_page;
  data->rwriteline_cb = raster_write_line;
  data->rendpage_cb = raster_end_page;
  data->rendjob_cb = raster_end_job;
  data->status_cb = driver_status;
  // Every client format goes through the decoder's filters to this.
  data->format = INTAKE_DRIVER_FORMAT;
  papplCopyString(data->make_and_model, model->description,
                  sizeof(data->make_and_model));
  data->ppm = 10;
  data->kind = PAPPL_KIND_RECEIPT | PAPPL_KIND_ROLL;
  data->input_face_up = true;
  data->output_face_up = true;
  // Never turned: a logo or a photo wider than tall stays across the paper.
  data->orient_default = IPP_ORIENT_PORTRAIT;

  // Black and white paper: PAPPL renders grey, the receipt library dithers.
  data->color_supported = PAPPL_COLOR_MODE_AUTO | PAPPL_COLOR_MODE_MONOCHROME |
                          PAPPL_COLOR_MODE_BI_LEVEL;
  data->color_default = PAPPL_COLOR_MODE_MONOCHROME;
  data->content_default = PAPPL_CONTENT_AUTO;
  data->quality_default = IPP_QUALITY_NORMAL;
  data->scaling_default = PAPPL_SCALING_AUTO;
  // Only 8-bit grey: PAPPL 1.3.1 would hand a client's 1-bit raster to
  // the driver under an 8-bit page header.
  data->raster_types = PAPPL_PWG_RASTER_TYPE_SGRAY_8;
  data->force_raster_type = PAPPL_PWG_RASTER_TYPE_NONE;
  data->duplex = PAPPL_DUPLEX_NONE;
  data->sides_supported = PAPPL_SIDES_ONE_SIDED;
  data->sides_default = PAPPL_SIDES_ONE_SIDED;
  data->finishings = PAPPL_FINISHINGS_NONE;

  data->num_resolution = 1;
  data->x_resolution[0] = DPI;
  data->y_resolution[0] = DPI;
  data->x_default = DPI;
  data->y_default = DPI;

  data->borderless = false;
  data->left_right = model->paper_mm == 58 ? MARGIN_58 : MARGIN_80;
  data->bottom_top = 0;
  const char *const *media = model->paper_mm == 58 ? media_58 : media_80;
  data->num_media = MEDIA_COUNT;
  for (int i = 0; i < MEDIA_COUNT; ++i)
    data->media[i] = media[i];
  data->num_source = 1;
  data->source[0] = "main-roll";
  data->num_type = 1;
  data->type[0] = "continuous";
  data->tracking_supported = PAPPL_MEDIA_TRACKING_CONTINUOUS;

  pappl_media_col_t *def = &data->media_default;
  papplCopyString(def->size_name, media[MEDIA_DEFAULT], sizeof(def->size_name));
  pwg_media_t *pwg = pwgMediaForPWG(media[MEDIA_DEFAULT]);
  def->size_width = pwg ? pwg->width : model->paper_mm * 100;
  def->size_length = pwg ? pwg->length : 29700;
  def->left_margin = def->right_margin = data->left_right;
  def->top_margin = def->bottom_margin = data->bottom_top;
  papplCopyString(def->source, data->source[0], sizeof(def->source));
  papplCopyString(def->type, data->type[0], sizeof(def->type));
  def->tracking = PAPPL_MEDIA_TRACKING_CONTINUOUS;
  data->media_ready[0] = *def;

  // The receipt library's darkness curve, -100..100, is print-darkness.
  data->darkness_supported = 100;
  data->darkness_default = 0;
  data->darkness_configured = 50;

  data->identify_supported = PAPPL_IDENTIFY_ACTIONS_NONE;
  data->identify_default = PAPPL_IDENTIFY_ACTIONS_NONE;

  data->num_vendor = 4;
  data->vendor[0] = SETTING_DITHERING;
  data->vendor[1] = SETTING_TRIM;
  data->vendor[2] = SETTING_THRESHOLD;
  data->vendor[3] = SETTING_FINISH_WAIT;
  *attrs = vendor_attributes();
  return true;
}

// The backend's URIs name the model's protocol; the paper width is not
// known, and 80 mm rolls are the usual till roll.
const char *driver_autoadd(const char *device_info, const char *device_uri,
                           const char *device_id, void *context) {
  (void)device_info;
  (void)context;
  char protocol[16] = "";
  if (device_uri != nullptr &&
      strncmp(device_uri, KORV_SCHEME ":/", sizeof(KORV_SCHEME ":/") - 1) == 0) {
    const char *start = device_uri + sizeof(KORV_SCHEME ":/") - 1;
    size_t len = strcspn(start, "/?");
    if (len < sizeof(protocol)) {
      memcpy(protocol, start, len);
      protocol[len] = '\0';
    }
  }
  for (int i = 0; i < driver_model_count; ++i) {
    const driver_model *model = &driver_models[i];
    if (model->paper_mm != 80)
      continue;
    if (protocol[0] != '\0' && strcasecmp(protocol, model->protocol) == 0)
      return model->name;
    // A device ID of the model (the device-id option of "drivers").
    if (protocol[0] == '\0' && device_id != nullptr) {
      const char *mdl = strstr(device_id, "MDL:");
      const char *ours = strstr(model->device_id, "MDL:");
      if (mdl != nullptr && strncasecmp(mdl, ours, strcspn(ours, ";")) == 0)
        return model->name;
    }
  }
  return nullptr;
}
