// BMP headers to bytes and back.
#include "bmp_header.h"

namespace {

void put16(uint8_t *at, uint16_t value) {
  at[0] = static_cast<uint8_t>(value);
  at[1] = static_cast<uint8_t>(value >> 8);
}

void put32(uint8_t *at, uint32_t value) {
  for (int k = 0; k < 4; ++k)
    at[k] = static_cast<uint8_t>(value >> (8 * k));
}

uint16_t get16(const uint8_t *at) { return static_cast<uint16_t>(at[0] | at[1] << 8); }

// Unsigned throughout: a stored value of 2^31 or more stays below 2^32.
uint32_t get32(const uint8_t *at) {
  return static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 |
         static_cast<uint32_t>(at[2]) << 16 | static_cast<uint32_t>(at[3]) << 24;
}

} // namespace

void bmp_header_for_image(bmp_header *header, uint64_t width, uint64_t height,
                          unsigned bits_per_pixel) {
  const uint64_t palette = bits_per_pixel == 8 ? BMP_PALETTE_BYTES : 0;
  const uint64_t image = bmp_row_bytes(width, bits_per_pixel) * height;
  *header = bmp_header{};
  header->magic = BMP_MAGIC;
  header->data_offset = static_cast<uint32_t>(BMP_HEADER_BYTES + palette);
  header->file_size = static_cast<uint32_t>(BMP_HEADER_BYTES + palette + image);
  header->info_size = BMP_INFO_HEADER_BYTES;
  header->width = static_cast<uint32_t>(width);
  header->height = static_cast<uint32_t>(height);
  header->planes = 1;
  header->bits_per_pixel = static_cast<uint16_t>(bits_per_pixel);
  header->image_size = static_cast<uint32_t>(image);
}

void bmp_header_encode(const bmp_header *header, uint8_t bytes[BMP_HEADER_BYTES]) {
  put16(bytes + 0, header->magic);
  put32(bytes + 2, header->file_size);
  put16(bytes + 6, header->reserved1);
  put16(bytes + 8, header->reserved2);
  put32(bytes + 10, header->data_offset);
  put32(bytes + 14, header->info_size);
  put32(bytes + 18, header->width);
  put32(bytes + 22, header->height);
  put16(bytes + 26, header->planes);
  put16(bytes + 28, header->bits_per_pixel);
  put32(bytes + 30, header->compression);
  put32(bytes + 34, header->image_size);
  put32(bytes + 38, header->x_pixels_per_meter);
  put32(bytes + 42, header->y_pixels_per_meter);
  put32(bytes + 46, header->colors_used);
  put32(bytes + 50, header->colors_important);
}

void bmp_header_decode(const uint8_t bytes[BMP_HEADER_BYTES], bmp_header *header) {
  header->magic = get16(bytes + 0);
  header->file_size = get32(bytes + 2);
  header->reserved1 = get16(bytes + 6);
  header->reserved2 = get16(bytes + 8);
  header->data_offset = get32(bytes + 10);
  header->info_size = get32(bytes + 14);
  header->width = get32(bytes + 18);
  header->height = get32(bytes + 22);
  header->planes = get16(bytes + 26);
  header->bits_per_pixel = get16(bytes + 28);
  header->compression = get32(bytes + 30);
  header->image_size = get32(bytes + 34);
  header->x_pixels_per_meter = get32(bytes + 38);
  header->y_pixels_per_meter = get32(bytes + 42);
  header->colors_used = get32(bytes + 46);
  header->colors_important = get32(bytes + 50);
}

uint64_t bmp_row_bytes(uint64_t width, unsigned bits_per_pixel) {
  return (width * bits_per_pixel + 31) / 32 * 4;
}
