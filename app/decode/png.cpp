// PNG through libpng, one row at a time: every colour type becomes 8-bit
// grey, transparency white paper. Only an interlaced image, whose rows
// come in seven passes, is held, and only up to DECODE_MAX_HELD_BYTES.
//
// libpng reports errors by longjmp: the functions between setjmp and the
// calls into libpng hold no C++ objects, and what they must free after a
// jump is kept where the jump cannot lose it (the png_reader record).
#include <png.h>
#include <setjmp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "decode.h"

namespace {

// Ancillary chunks (text, profiles) are never needed; none may make
// libpng take more memory than this.
const png_alloc_size_t kChunkMax = 1024 * 1024;

struct png_reader {
  png_structp png;
  png_infop info;
  unsigned char *row;     // one row as libpng gives it
  unsigned char *grey;    // the same in grey
  unsigned char *held;    // the whole image, interlaced only
  image_page page;
  bool page_begun;
  char message[160];      // libpng's error
};

void on_error(png_structp png, png_const_charp text) {
  png_reader *reader = static_cast<png_reader *>(png_get_error_ptr(png));
  snprintf(reader->message, sizeof reader->message, "%s", text);
  longjmp(png_jmpbuf(png), 1);
}

void on_warning(png_structp png, png_const_charp text) {
  (void)png;
  (void)text;
}

// A row of libpng's grey or grey+alpha pixels as grey on white paper.
void to_grey(const unsigned char *in, int channels, int width, unsigned char *out) {
  if (channels == 1) {
    memcpy(out, in, static_cast<size_t>(width));
    return;
  }
  for (int x = 0; x < width; ++x) {
    const unsigned g = in[2 * x], a = in[2 * x + 1];
    out[x] = static_cast<unsigned char>((g * a + 255 * (255 - a) + 127) / 255);
  }
}

// The reading proper; returns the status, error set on failure.
int read_png(png_reader *r, const decode_request *request, receipt_job *job,
             decode_error *error) {
  if (setjmp(png_jmpbuf(r->png)))
    return decode_fail(error, DECODE_STATUS_BAD_DOCUMENT, "The PNG image is damaged: %s.",
                       r->message);
  png_set_chunk_malloc_max(r->png, kChunkMax);
  png_init_io(r->png, stdin);
  png_read_info(r->png, r->info);
  png_uint_32 width = 0, height = 0;
  int depth = 0, colour = 0, interlace = 0;
  png_get_IHDR(r->png, r->info, &width, &height, &depth, &colour, &interlace, nullptr, nullptr);
  int out_width = 0, out_height = 0;
  int status = image_size_on_paper(request, static_cast<long>(width), static_cast<long>(height),
                                   static_cast<int>(png_get_x_pixels_per_inch(r->png, r->info)),
                                   static_cast<int>(png_get_y_pixels_per_inch(r->png, r->info)),
                                   &out_width, &out_height, error);
  if (status != DECODE_STATUS_OK)
    return status;

  // Everything to 8-bit grey, with its alpha when it has one.
  if (colour == PNG_COLOR_TYPE_PALETTE)
    png_set_palette_to_rgb(r->png);
  if (colour == PNG_COLOR_TYPE_GRAY && depth < 8)
    png_set_expand_gray_1_2_4_to_8(r->png);
  if (png_get_valid(r->png, r->info, PNG_INFO_tRNS))
    png_set_tRNS_to_alpha(r->png);
  if (depth == 16)
    png_set_strip_16(r->png);
  if (colour & PNG_COLOR_MASK_COLOR)
    png_set_rgb_to_gray(r->png, 1, -1, -1);
  const int passes = interlace != PNG_INTERLACE_NONE ? png_set_interlace_handling(r->png) : 1;
  png_read_update_info(r->png, r->info);
  const int channels = png_get_channels(r->png, r->info);
  const size_t row_bytes = png_get_rowbytes(r->png, r->info);
  if (channels < 1 || channels > 2 || row_bytes != static_cast<size_t>(channels) * width)
    return decode_fail(error, DECODE_STATUS_BAD_DOCUMENT, "The PNG image has an unusual layout.");
  if (passes > 1 && static_cast<long>(row_bytes) > DECODE_MAX_HELD_BYTES / static_cast<long>(height))
    return decode_fail(error, DECODE_STATUS_TOO_LARGE,
                       "The document is too large: an interlaced image of %lu x %lu pixels; "
                       "interlaced images of up to %ld MB are printed.",
                       static_cast<unsigned long>(width), static_cast<unsigned long>(height),
                       DECODE_MAX_HELD_BYTES / (1024 * 1024));

  r->grey = static_cast<unsigned char *>(malloc(width));
  r->row = static_cast<unsigned char *>(malloc(row_bytes));
  if (passes > 1)
    r->held = static_cast<unsigned char *>(malloc(row_bytes * height));
  if (r->grey == nullptr || r->row == nullptr || (passes > 1 && r->held == nullptr))
    return decode_receipt_failure(error, RECEIPT_ERROR_MEMORY);
  status = image_page_begin(&r->page, job, request, static_cast<int>(width),
                            static_cast<int>(height), out_width, out_height, error);
  if (status != DECODE_STATUS_OK)
    return status;
  r->page_begun = true;

  if (passes > 1) {
    // Each pass adds pixels to rows already begun.
    for (int pass = 0; pass < passes; ++pass)
      for (png_uint_32 y = 0; y < height; ++y)
        png_read_row(r->png, r->held + y * row_bytes, nullptr);
  }
  for (png_uint_32 y = 0; y < height; ++y) {
    const unsigned char *source = r->held + y * row_bytes;
    if (passes == 1) {
      png_read_row(r->png, r->row, nullptr);
      source = r->row;
    }
    to_grey(source, channels, static_cast<int>(width), r->grey);
    status = image_page_add_row(&r->page, r->grey, error);
    if (status != DECODE_STATUS_OK)
      return status;
  }
  // The end of the file must be there too: a file cut short is damaged.
  png_read_end(r->png, nullptr);
  r->page_begun = false;
  return image_page_end(&r->page, error);
}

} // namespace

int decode_png(const decode_request *request, receipt_job *job, decode_error *error) {
  png_reader reader;
  memset(&reader, 0, sizeof reader);
  reader.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &reader, on_error, on_warning);
  if (reader.png != nullptr)
    reader.info = png_create_info_struct(reader.png);
  if (reader.info == nullptr) {
    png_destroy_read_struct(&reader.png, nullptr, nullptr);
    return decode_receipt_failure(error, RECEIPT_ERROR_MEMORY);
  }
  int status = read_png(&reader, request, job, error);
  if (reader.page_begun)
    image_page_free(&reader.page);
  free(reader.row);
  free(reader.grey);
  free(reader.held);
  png_destroy_read_struct(&reader.png, &reader.info, nullptr);
  return status;
}
