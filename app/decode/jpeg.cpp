// JPEG through libjpeg, one row at a time, in grey. A large photo is
// decoded at a half, a quarter or an eighth of its size when that is still
// at least its size on the paper (libjpeg scales while it decodes, for
// far less work). A damaged or cut-off file is refused: libjpeg would
// print it with grey where its data is missing.
//
// libjpeg reports errors by longjmp: the functions between setjmp and the
// calls into libjpeg hold no C++ objects.
#include <setjmp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <jpeglib.h>

#include "decode.h"

namespace {

// The most memory libjpeg may take for its own tables and buffers (a
// progressive image needs all its coefficients at once).
const long kLibraryMemory = 160L * 1024 * 1024;

struct jpeg_reader {
  jpeg_decompress_struct info;
  jpeg_error_mgr errors;
  jmp_buf jump;
  unsigned char *row;   // one decoded row
  unsigned char *grey;  // the same in grey
  image_page page;
  bool page_begun;
  char message[JMSG_LENGTH_MAX];
};

void on_error(j_common_ptr info) {
  jpeg_reader *reader = reinterpret_cast<jpeg_reader *>(info->client_data);
  (*info->err->format_message)(info, reader->message);
  longjmp(reader->jump, 1);
}

// Warnings (level -1) are data damaged or missing: errors here. Other
// levels are traces.
void on_message(j_common_ptr info, int level) {
  if (level < 0)
    on_error(info);
}

// CMYK as libjpeg gives it (Adobe's inverted ink) to grey.
void cmyk_to_grey(const unsigned char *in, int width, unsigned char *out) {
  for (int x = 0; x < width; ++x) {
    const unsigned c = in[4 * x], m = in[4 * x + 1], y = in[4 * x + 2], k = in[4 * x + 3];
    const unsigned r = c * k / 255, g = m * k / 255, b = y * k / 255;
    out[x] = static_cast<unsigned char>((r * 77 + g * 150 + b * 29) >> 8);
  }
}

int resolution(const jpeg_decompress_struct *info, unsigned density) {
  if (info->density_unit == 1)
    return static_cast<int>(density);
  if (info->density_unit == 2)
    return static_cast<int>((density * 254 + 50) / 100);
  return 0;
}

int read_jpeg(jpeg_reader *r, const decode_request *request, receipt_job *job,
              decode_error *error) {
  jpeg_decompress_struct *info = &r->info;
  if (setjmp(r->jump))
    return decode_fail(error, DECODE_STATUS_BAD_DOCUMENT, "The JPEG image is damaged: %s.",
                       r->message);
  jpeg_create_decompress(info);
  info->mem->max_memory_to_use = kLibraryMemory;
  jpeg_stdio_src(info, stdin);
  jpeg_read_header(info, TRUE);
  int out_width = 0, out_height = 0;
  int status = image_size_on_paper(request, static_cast<long>(info->image_width),
                                   static_cast<long>(info->image_height),
                                   resolution(info, info->X_density),
                                   resolution(info, info->Y_density), &out_width, &out_height,
                                   error);
  if (status != DECODE_STATUS_OK)
    return status;
  const bool cmyk = info->jpeg_color_space == JCS_CMYK || info->jpeg_color_space == JCS_YCCK;
  info->out_color_space = cmyk ? JCS_CMYK : JCS_GRAYSCALE;
  info->scale_num = 1;
  info->scale_denom = 1;
  for (unsigned denom = 8; denom > 1; denom /= 2)
    if ((info->image_width + denom - 1) / denom >= static_cast<unsigned>(out_width) &&
        (info->image_height + denom - 1) / denom >= static_cast<unsigned>(out_height)) {
      info->scale_denom = denom;
      break;
    }
  jpeg_start_decompress(info);
  const int width = static_cast<int>(info->output_width);
  const int height = static_cast<int>(info->output_height);
  r->row = static_cast<unsigned char *>(
      malloc(static_cast<size_t>(width) * static_cast<size_t>(info->output_components)));
  r->grey = static_cast<unsigned char *>(malloc(static_cast<size_t>(width)));
  if (r->row == nullptr || r->grey == nullptr)
    return decode_receipt_failure(error, RECEIPT_ERROR_MEMORY);
  status = image_page_begin(&r->page, job, request, width, height, out_width, out_height, error);
  if (status != DECODE_STATUS_OK)
    return status;
  r->page_begun = true;
  while (info->output_scanline < info->output_height) {
    JSAMPROW rows[1] = {r->row};
    if (jpeg_read_scanlines(info, rows, 1) != 1)
      return decode_fail(error, DECODE_STATUS_BAD_DOCUMENT, "The JPEG image ends early.");
    const unsigned char *grey = r->row;
    if (cmyk) {
      cmyk_to_grey(r->row, width, r->grey);
      grey = r->grey;
    }
    status = image_page_add_row(&r->page, grey, error);
    if (status != DECODE_STATUS_OK)
      return status;
  }
  jpeg_finish_decompress(info);
  r->page_begun = false;
  return image_page_end(&r->page, error);
}

} // namespace

int decode_jpeg(const decode_request *request, receipt_job *job, decode_error *error) {
  jpeg_reader reader;
  memset(&reader, 0, sizeof reader);
  reader.info.err = jpeg_std_error(&reader.errors);
  reader.errors.error_exit = on_error;
  reader.errors.emit_message = on_message;
  reader.info.client_data = &reader; // kept by jpeg_create_decompress
  int status = read_jpeg(&reader, request, job, error);
  if (reader.page_begun)
    image_page_free(&reader.page);
  free(reader.row);
  free(reader.grey);
  jpeg_destroy_decompress(&reader.info);
  return status;
}
