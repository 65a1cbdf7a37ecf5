// The header of a BMP file: the 14-byte file header and the 40-byte info
// header (BITMAPINFOHEADER) that begin every BMP the package reads or
// writes, as one record; the header of a new image; and the size of a
// stored row. The BMP filter's bitmap module, the receipt library and the
// backend (which follows the images it sends) read and write BMP headers
// through it.
//
// No dependencies, no I/O, no shared state.
//
// Error convention: nothing here fails. bmp_header_decode takes any 54
// bytes and leaves judging the values to its caller; sizes are computed in
// 64 bits and stored in the header's 32-bit fields as the file holds them
// (callers keep them in range).
#ifndef BMP_HEADER_H
#define BMP_HEADER_H

#include <stdint.h>

// Bytes of the file header and info header together: where a palette or
// the pixels begin.
#define BMP_HEADER_BYTES 54
// Bytes of the info header, the one variant written.
#define BMP_INFO_HEADER_BYTES 40
// The palette of an 8-bit image: 256 entries of blue, green, red, unused.
#define BMP_PALETTE_BYTES 1024
// The signature, the characters B then M read as a little-endian number.
#define BMP_MAGIC 0x4D42

// The header's fields in file order, all little-endian in the file.
struct bmp_header {
  uint16_t magic;
  uint32_t file_size; // bytes of the whole file
  uint16_t reserved1;
  uint16_t reserved2;
  uint32_t data_offset; // where the pixels begin
  uint32_t info_size;   // bytes of the info header
  uint32_t width;       // stored as a signed number: read it so where it matters
  uint32_t height;      // negative: rows stored top-down
  uint16_t planes;
  uint16_t bits_per_pixel;
  uint32_t compression; // 0: none
  uint32_t image_size;  // bytes of the pixels, 0 allowed for uncompressed data
  uint32_t x_pixels_per_meter;
  uint32_t y_pixels_per_meter;
  uint32_t colors_used;
  uint32_t colors_important;
};

// The header of a new image of width x height pixels of bits_per_pixel
// bits, rows bottom-up without compression: the 40-byte info header, one
// plane, a palette for 8 bits per pixel, the sizes of the rows and of the
// file; resolutions and colour counts 0.
void bmp_header_for_image(bmp_header *header, uint64_t width, uint64_t height,
                          unsigned bits_per_pixel);

// The 54 bytes of a header, and the header of 54 bytes.
void bmp_header_encode(const bmp_header *header, uint8_t bytes[BMP_HEADER_BYTES]);
void bmp_header_decode(const uint8_t bytes[BMP_HEADER_BYTES], bmp_header *header);

// Bytes of one stored row of width pixels: width x bits_per_pixel bits,
// raised to a multiple of 4 bytes. The caller keeps width below 2^58.
uint64_t bmp_row_bytes(uint64_t width, unsigned bits_per_pixel);

#endif
