// The driver table (every model of the printer catalogue on every paper it
// lists) and the driver callback that describes a printer to PAPPL: 203 dpi
// receipt printers with roll paper, black and white output, and the receipt
// settings as vendor attributes.
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include "korvprint.h"

#define DPI 203

// Paper of each width: four fixed lengths and a roll of any length from
// 25 mm to 1 m. PWG self-describing names, so that clients understand them.
static const int media_lengths_mm[] = {100, 150, 210, 297};
#define ROLL_MIN_MM 25
#define ROLL_MAX_MM 1000
static_assert(sizeof media_lengths_mm / sizeof media_lengths_mm[0] + 2 == DRIVER_MEDIA_COUNT,
              "the fixed lengths and the two roll limits");
// The default is the longest fixed length: a tall image is not shrunk to a
// short page, and the blank paper below a receipt is trimmed anyway.
#define MEDIA_DEFAULT 3

// The paper that a printer found on the buses is taken to hold: the usual
// till roll.
#define AUTOADD_PAPER_MM 80

static driver_model *driver_models;
int driver_model_count;
pappl_pr_driver_t *driver_table;
static pthread_once_t table_once = PTHREAD_ONCE_INIT;

// The media names of one driver's paper; 0, or -1 when a name was cut.
static int name_media(driver_model *model) {
  const int mm = model->variant.paper->widthMm;
  int cut = 0;
  int i = 0;
  for (int length : media_lengths_mm) {
    int n = snprintf(model->media[i++], DRIVER_MEDIA_NAME_SIZE, "om_%dx%dmm_%dx%dmm", mm, length,
                     mm, length);
    cut |= n < 0 || n >= DRIVER_MEDIA_NAME_SIZE;
  }
  int n = snprintf(model->media[i++], DRIVER_MEDIA_NAME_SIZE, "roll_max_%dx%dmm", mm, ROLL_MAX_MM);
  cut |= n < 0 || n >= DRIVER_MEDIA_NAME_SIZE;
  n = snprintf(model->media[i++], DRIVER_MEDIA_NAME_SIZE, "roll_min_%dx%dmm", mm, ROLL_MIN_MM);
  cut |= n < 0 || n >= DRIVER_MEDIA_NAME_SIZE;
  return cut ? -1 : 0;
}

// One driver per model and paper, in the catalogue's order. Left empty
// when the memory or a name does not fit: korvprint then serves nothing.
static void make_table(void) {
  const int count = KORV_MODEL_COUNT * KORV_PAPER_COUNT;
  driver_model *models = static_cast<driver_model *>(calloc(count, sizeof *models));
  pappl_pr_driver_t *table = static_cast<pappl_pr_driver_t *>(calloc(count, sizeof *table));
  int made = models != nullptr && table != nullptr ? 0 : -1;
  for (int i = 0; made == 0 && i < count; ++i) {
    driver_model *model = &models[i];
    made |= KORV_DescribeVariant(&KORV_MODELS[i / KORV_PAPER_COUNT],
                                 &KORV_PAPERS[i % KORV_PAPER_COUNT], &model->variant);
    made |= name_media(model);
    model->head_width = model->variant.paper->headDots;
    table[i].name = model->variant.driverName;
    table[i].description = model->variant.driverDescription;
    table[i].device_id = model->variant.model->deviceId;
    table[i].extension = nullptr;
  }
  if (made != 0) {
    free(models);
    free(table);
    return;
  }
  driver_models = models;
  driver_table = table;
  driver_model_count = count;
}

bool driver_make_table(void) {
  pthread_once(&table_once, make_table);
  return driver_model_count > 0;
}

const driver_model *driver_find(const char *driver_name) {
  if (driver_name == nullptr || !driver_make_table())
    return nullptr;
  for (int i = 0; i < driver_model_count; ++i)
    if (strcmp(driver_models[i].variant.driverName, driver_name) == 0)
      return &driver_models[i];
  return nullptr;
}

// The vendor attributes: supported values and defaults.
static ipp_t *vendor_attributes(void) {
  ipp_t *attrs = ippNew();
  ippAddStrings(attrs, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, SETTING_DITHERING "-supported",
                settings_dither_count, nullptr, settings_dither_keywords);
  ippAddString(attrs, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, SETTING_DITHERING "-default", nullptr,
               settings_dither_keywords[0]);
  ippAddStrings(attrs, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, SETTING_TRIM "-supported",
                settings_trim_count, nullptr, settings_trim_keywords);
  ippAddString(attrs, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, SETTING_TRIM "-default", nullptr,
               settings_trim_keywords[0]);
  ippAddRange(attrs, IPP_TAG_PRINTER, SETTING_THRESHOLD "-supported", 0, 100);
  ippAddInteger(attrs, IPP_TAG_PRINTER, IPP_TAG_INTEGER, SETTING_THRESHOLD "-default", 50);
  ippAddRange(attrs, IPP_TAG_PRINTER, SETTING_FINISH_WAIT "-supported", 0, FINISH_WAIT_MAX);
  ippAddInteger(attrs, IPP_TAG_PRINTER, IPP_TAG_INTEGER, SETTING_FINISH_WAIT "-default",
                KORV_BACKEND_DEFAULT_WAIT);
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

bool driver_callback(pappl_system_t *system, const char *driver_name, const char *device_uri,
                     const char *device_id, pappl_pr_driver_data_t *data, ipp_t **attrs,
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
  const KORV_Paper *paper = model->variant.paper;
  papplCopyString(data->make_and_model, model->variant.driverDescription,
                  sizeof(data->make_and_model));
  data->ppm = 10;
  data->kind = PAPPL_KIND_RECEIPT | PAPPL_KIND_ROLL;
  data->input_face_up = true;
  data->output_face_up = true;
  // Never turned: a logo or a photo wider than tall stays across the paper.
  data->orient_default = IPP_ORIENT_PORTRAIT;

  // Black and white paper: PAPPL renders grey, the receipt library dithers.
  data->color_supported =
      PAPPL_COLOR_MODE_AUTO | PAPPL_COLOR_MODE_MONOCHROME | PAPPL_COLOR_MODE_BI_LEVEL;
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
  // The paper beyond the print line, half on either side, in hundredths of
  // millimetres; the head prints as many dots a millimetre across as rows
  // along.
  data->left_right = (paper->widthMm * 100 - paper->headDots * 100 / RECEIPT_ROWS_PER_MM) / 2;
  data->bottom_top = 0;
  data->num_media = DRIVER_MEDIA_COUNT;
  for (int i = 0; i < DRIVER_MEDIA_COUNT; ++i)
    data->media[i] = model->media[i];
  data->num_source = 1;
  data->source[0] = "main-roll";
  data->num_type = 1;
  data->type[0] = "continuous";
  data->tracking_supported = PAPPL_MEDIA_TRACKING_CONTINUOUS;

  pappl_media_col_t *def = &data->media_default;
  papplCopyString(def->size_name, model->media[MEDIA_DEFAULT], sizeof(def->size_name));
  pwg_media_t *pwg = pwgMediaForPWG(model->media[MEDIA_DEFAULT]);
  def->size_width = pwg ? pwg->width : paper->widthMm * 100;
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

// The model of a device ID: the one whose "MDL:" field begins it.
static const KORV_Model *model_of_device_id(const char *device_id) {
  const char *mdl = strstr(device_id, "MDL:");
  if (mdl == nullptr)
    return nullptr;
  for (int i = 0; i < KORV_MODEL_COUNT; ++i) {
    const char *ours = strstr(KORV_MODELS[i].deviceId, "MDL:");
    if (strncasecmp(mdl, ours, strcspn(ours, ";")) == 0)
      return &KORV_MODELS[i];
  }
  return nullptr;
}

// The backend's URIs name the model's protocol; the paper width is not
// known, and 80 mm rolls are the usual till roll.
const char *driver_autoadd(const char *device_info, const char *device_uri, const char *device_id,
                           void *context) {
  (void)device_info;
  (void)context;
  KORV_UriParts parts;
  KORV_ParseUri(device_uri, &parts);
  const KORV_Model *model = nullptr;
  if (parts.hasProtocol)
    model = KORV_FindModelByProtocol(parts.protocol);
  else if (device_id != nullptr) // a device ID (the device-id option of "drivers")
    model = model_of_device_id(device_id);
  if (model == nullptr || !driver_make_table())
    return nullptr;
  for (int i = 0; i < driver_model_count; ++i)
    if (driver_models[i].variant.model == model &&
        driver_models[i].variant.paper->widthMm == AUTOADD_PAPER_MM)
      return driver_models[i].variant.driverName;
  return nullptr;
}
