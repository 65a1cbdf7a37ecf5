// Bitmap records: creation, release, reading and writing BMP files, and the
// module's last-error code with its texts.
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bitmap.h"
#include "bitmap_internal.h"
#include "bmp_header.h"

namespace {

BMP_ERROR_CODE BMP_LAST_ERROR_CODE = BMP_ERR_NONE;

const char *const BMP_ERROR_STRING[9] = {
    "",
    "General error",
    "Could not allocate enough memory to complete the operation",
    "File input/output error",
    "File not found",
    "File is not a supported BMP variant (must be uncompressed 8, 24 or 32 BPP)",
    "File is not a valid BMP image",
    "An argument is invalid or out of range",
    "The requested action is not compatible with the BMP's type",
};

// The format stores width and height as signed 32-bit numbers and the
// sizes as unsigned 32-bit ones.
constexpr uint64_t kDimensionLimit = 0x80000000u;
constexpr uint64_t kSizeLimit = 0xFFFFFFFFu;
// Growth step for pixel data from a pipe, whose length is not known ahead.
constexpr uint64_t kStreamChunk = 1u << 20;

// Pixel blocks of whole images are large: put them in huge pages where
// the system offers them on request, which saves thousands of page faults
// per image. The block is released with free() like any other.
constexpr uint64_t kHugePage = 2u << 20;
uint8_t *allocate_pixels(uint64_t size, bool zeroed) {
  if (size < 2 * kHugePage) {
    return static_cast<uint8_t *>(zeroed ? calloc(size != 0 ? size : 1, 1)
                                         : malloc(size != 0 ? size : 1));
  }
  const uint64_t rounded = (size + kHugePage - 1) / kHugePage * kHugePage;
  void *block = nullptr;
  if (posix_memalign(&block, kHugePage, rounded) != 0) {
    return nullptr;
  }
  madvise(block, rounded, MADV_HUGEPAGE);
  if (zeroed) {
    memset(block, 0, size);
  }
  return static_cast<uint8_t *>(block);
}

void release(BMP *bmp) {
  free(bmp->palette);
  free(bmp->data);
  free(bmp);
}

bool depth_supported(uint64_t bitsPerPixel) {
  return bitsPerPixel == 8 || bitsPerPixel == 24 || bitsPerPixel == 32;
}

// Reads exactly `size` bytes into a new block. A regular file too short
// for them is refused before anything is allocated; a pipe is read in
// growing steps, so a header that claims gigabytes costs nothing when the
// data never comes. Result 0, 2 (no memory) or 6 (short).
BMP_ERROR_CODE read_block(FILE *stream, uint64_t size, uint8_t **block) {
  *block = nullptr;
  struct stat st;
  if (fstat(fileno(stream), &st) == 0 && S_ISREG(st.st_mode)) {
    long position = ftell(stream);
    if (position < 0 || st.st_size < position ||
        static_cast<uint64_t>(st.st_size - position) < size) {
      return BMP_ERR_INVALID_FILE;
    }
    uint8_t *data = allocate_pixels(size, false);
    if (data == nullptr) {
      return BMP_ERR_NO_MEMORY;
    }
    if (fread(data, 1, size, stream) != size) {
      free(data);
      return BMP_ERR_INVALID_FILE;
    }
    *block = data;
    return BMP_ERR_NONE;
  }

  uint8_t *data = nullptr;
  uint64_t capacity = 0;
  uint64_t filled = 0;
  do {
    if (filled == capacity) {
      uint64_t grown = capacity < kStreamChunk ? kStreamChunk : capacity * 2;
      if (grown > size) {
        grown = size != 0 ? size : 1;
      }
      uint8_t *bigger = static_cast<uint8_t *>(realloc(data, grown));
      if (bigger == nullptr) {
        free(data);
        return BMP_ERR_NO_MEMORY;
      }
      data = bigger;
      capacity = grown;
    }
    uint64_t want = (capacity < size ? capacity : size) - filled;
    size_t got = fread(data + filled, 1, want, stream);
    filled += got;
    if (got < want) {
      free(data);
      return BMP_ERR_INVALID_FILE;
    }
  } while (filled < size);
  *block = data;
  return BMP_ERR_NONE;
}

// Opens a file by path. "/dev/stdin" and "/dev/stdout" name the process's
// own standard streams and are taken from the open descriptors: reopening
// them by path fails when they are pipes of another user, as they are for
// a filter that the CUPS scheduler runs as an unprivileged user.
FILE *open_stream(const char *path, const char *mode) {
  int fd = -1;
  if (strcmp(path, "/dev/stdin") == 0 && mode[0] == 'r') {
    fd = STDIN_FILENO;
  } else if (strcmp(path, "/dev/stdout") == 0 && mode[0] == 'w') {
    fd = STDOUT_FILENO;
  } else {
    return fopen(path, mode);
  }
  const int copy = dup(fd);
  if (copy < 0) {
    return nullptr;
  }
  FILE *stream = fdopen(copy, mode);
  if (stream == nullptr) {
    close(copy);
  }
  return stream;
}

// The record's header fields from a header, and a header from them. The
// record holds the file's 32-bit fields in 64 bits.
void record_from_header(const bmp_header &header, BMP *bmp) {
  bmp->magic = header.magic;
  bmp->fileSize = header.file_size;
  bmp->reserved1 = header.reserved1;
  bmp->reserved2 = header.reserved2;
  bmp->dataOffset = header.data_offset;
  bmp->headerSize = header.info_size;
  bmp->width = header.width;
  bmp->height = header.height;
  bmp->planes = header.planes;
  bmp->bitsPerPixel = header.bits_per_pixel;
  bmp->compression = header.compression;
  bmp->imageSize = header.image_size;
  bmp->xPixelsPerMeter = header.x_pixels_per_meter;
  bmp->yPixelsPerMeter = header.y_pixels_per_meter;
  bmp->colorsUsed = header.colors_used;
  bmp->colorsImportant = header.colors_important;
}

void header_from_record(const BMP *bmp, bmp_header *header) {
  header->magic = bmp->magic;
  header->file_size = static_cast<uint32_t>(bmp->fileSize);
  header->reserved1 = bmp->reserved1;
  header->reserved2 = bmp->reserved2;
  header->data_offset = static_cast<uint32_t>(bmp->dataOffset);
  header->info_size = static_cast<uint32_t>(bmp->headerSize);
  header->width = static_cast<uint32_t>(bmp->width);
  header->height = static_cast<uint32_t>(bmp->height);
  header->planes = bmp->planes;
  header->bits_per_pixel = bmp->bitsPerPixel;
  header->compression = static_cast<uint32_t>(bmp->compression);
  header->image_size = static_cast<uint32_t>(bmp->imageSize);
  header->x_pixels_per_meter = static_cast<uint32_t>(bmp->xPixelsPerMeter);
  header->y_pixels_per_meter = static_cast<uint32_t>(bmp->yPixelsPerMeter);
  header->colors_used = static_cast<uint32_t>(bmp->colorsUsed);
  header->colors_important = static_cast<uint32_t>(bmp->colorsImportant);
}

} // namespace

BMP_ERROR_CODE ReadHeader(BMP *bmp, FILE *stream) {
  if (bmp == nullptr || stream == nullptr) {
    return BMP_ERR_INVALID_ARGUMENT;
  }
  uint8_t bytes[BMP_HEADER_BYTES];
  if (fread(bytes, 1, sizeof bytes, stream) != sizeof bytes) {
    return BMP_ERR_IO;
  }
  bmp_header header;
  bmp_header_decode(bytes, &header);
  record_from_header(header, bmp);
  return BMP_ERR_NONE;
}

BMP_ERROR_CODE WriteHeader(BMP *bmp, FILE *stream) {
  if (bmp == nullptr || stream == nullptr) {
    return BMP_ERR_INVALID_ARGUMENT;
  }
  bmp_header header;
  header_from_record(bmp, &header);
  uint8_t bytes[BMP_HEADER_BYTES];
  bmp_header_encode(&header, bytes);
  return fwrite(bytes, 1, sizeof bytes, stream) == sizeof bytes ? BMP_ERR_NONE : BMP_ERR_IO;
}

void bmp_set_error(BMP_ERROR_CODE code) { BMP_LAST_ERROR_CODE = code; }

BMP_ERROR_CODE BMP_GetError() { return BMP_LAST_ERROR_CODE; }

const char *BMP_GetErrorDescription() {
  if (BMP_LAST_ERROR_CODE >= 1 && BMP_LAST_ERROR_CODE <= 8) {
    return BMP_ERROR_STRING[BMP_LAST_ERROR_CODE];
  }
  return nullptr;
}

BMP *BMP_Create(uint64_t width, uint64_t height, uint16_t bitsPerPixel) {
  if (width == 0 || height == 0) {
    bmp_set_error(BMP_ERR_INVALID_ARGUMENT);
    return nullptr;
  }
  if (!depth_supported(bitsPerPixel)) {
    bmp_set_error(BMP_ERR_UNSUPPORTED);
    return nullptr;
  }
  // Only sizes the file's 32-bit fields can hold: no wrapped size in a
  // written header.
  const uint64_t paletteBytes = bitsPerPixel == 8 ? BMP_PALETTE_BYTES : 0;
  if (width >= kDimensionLimit || height >= kDimensionLimit) {
    bmp_set_error(BMP_ERR_INVALID_ARGUMENT);
    return nullptr;
  }
  const uint64_t imageSize = bmp_row_bytes(width, bitsPerPixel) * height;
  if (imageSize > kSizeLimit - BMP_HEADER_BYTES - paletteBytes) {
    bmp_set_error(BMP_ERR_INVALID_ARGUMENT);
    return nullptr;
  }

  BMP *bmp = static_cast<BMP *>(calloc(1, sizeof(BMP)));
  if (bmp == nullptr) {
    bmp_set_error(BMP_ERR_NO_MEMORY);
    return nullptr;
  }
  bmp_header header;
  bmp_header_for_image(&header, width, height, bitsPerPixel);
  record_from_header(header, bmp);

  if (bitsPerPixel == 8) {
    bmp->palette = static_cast<uint8_t *>(calloc(BMP_PALETTE_BYTES, 1));
    if (bmp->palette == nullptr) {
      release(bmp);
      bmp_set_error(BMP_ERR_NO_MEMORY);
      return nullptr;
    }
  }
  bmp->data = allocate_pixels(imageSize, true);
  if (bmp->data == nullptr) {
    release(bmp);
    bmp_set_error(BMP_ERR_NO_MEMORY);
    return nullptr;
  }
  bmp_set_error(BMP_ERR_NONE);
  return bmp;
}

void BMP_Free(BMP *bmp) {
  if (bmp == nullptr) {
    return;
  }
  release(bmp);
  bmp_set_error(BMP_ERR_NONE);
}

BMP *BMP_ReadFile(const char *path) {
  if (path == nullptr) {
    bmp_set_error(BMP_ERR_INVALID_ARGUMENT);
    return nullptr;
  }
  BMP *bmp = static_cast<BMP *>(calloc(1, sizeof(BMP)));
  if (bmp == nullptr) {
    bmp_set_error(BMP_ERR_NO_MEMORY);
    return nullptr;
  }
  FILE *stream = open_stream(path, "rb");
  if (stream == nullptr) {
    release(bmp);
    bmp_set_error(BMP_ERR_NOT_FOUND);
    return nullptr;
  }

  BMP_ERROR_CODE code = BMP_ERR_NONE;
  if (ReadHeader(bmp, stream) != BMP_ERR_NONE || bmp->magic != BMP_MAGIC) {
    code = BMP_ERR_INVALID_FILE;
  } else if (!depth_supported(bmp->bitsPerPixel) || bmp->compression != 0 ||
             bmp->headerSize != BMP_INFO_HEADER_BYTES) {
    code = BMP_ERR_UNSUPPORTED;
  } else if (bmp->width >= kDimensionLimit || bmp->height >= kDimensionLimit) {
    // Negative (top-down) heights and widths: no such variant here.
    code = BMP_ERR_UNSUPPORTED;
  } else {
    // 0 is the format's "work it out" for uncompressed data; anything else
    // must cover every row, so pixel access stays inside the block.
    const uint64_t needed = bmp_row_bytes(bmp->width, bmp->bitsPerPixel) * bmp->height;
    if (bmp->imageSize == 0) {
      bmp->imageSize = needed;
    } else if (bmp->imageSize < needed) {
      code = BMP_ERR_INVALID_FILE;
    }
  }

  if (code == BMP_ERR_NONE && bmp->bitsPerPixel == 8) {
    bmp->palette = static_cast<uint8_t *>(malloc(BMP_PALETTE_BYTES));
    if (bmp->palette == nullptr) {
      code = BMP_ERR_NO_MEMORY;
    } else if (fread(bmp->palette, 1, BMP_PALETTE_BYTES, stream) != BMP_PALETTE_BYTES) {
      code = BMP_ERR_INVALID_FILE;
    }
  }
  if (code == BMP_ERR_NONE) {
    code = read_block(stream, bmp->imageSize, &bmp->data);
  }
  fclose(stream);
  if (code != BMP_ERR_NONE) {
    release(bmp);
    bmp_set_error(code);
    return nullptr;
  }
  bmp_set_error(BMP_ERR_NONE);
  return bmp;
}

void BMP_WriteFile(BMP *bmp, const char *path) {
  if (path == nullptr) {
    bmp_set_error(BMP_ERR_INVALID_ARGUMENT);
    return;
  }
  FILE *stream = open_stream(path, "wb");
  if (stream == nullptr) {
    bmp_set_error(BMP_ERR_NOT_FOUND);
    return;
  }
  BMP_ERROR_CODE code = BMP_ERR_NONE;
  if (WriteHeader(bmp, stream) != BMP_ERR_NONE) {
    code = BMP_ERR_IO;
  } else if (bmp->palette != nullptr &&
             fwrite(bmp->palette, 1, BMP_PALETTE_BYTES, stream) != BMP_PALETTE_BYTES) {
    code = BMP_ERR_IO;
  } else if (bmp->imageSize != 0 &&
             fwrite(bmp->data, 1, bmp->imageSize, stream) != bmp->imageSize) {
    code = BMP_ERR_IO;
  }
  // What stays in the stream's buffer can still fail to arrive (a reader
  // that went away): that is a failed write too, not a success.
  if (fflush(stream) != 0 && code == BMP_ERR_NONE) {
    code = BMP_ERR_IO;
  }
  if (fclose(stream) != 0 && code == BMP_ERR_NONE) {
    code = BMP_ERR_IO;
  }
  bmp_set_error(code);
}
