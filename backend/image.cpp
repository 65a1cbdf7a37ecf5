// Following the BMP images of a copy: header check and byte count.
#include "image.h"

#include <stdint.h>
#include <string.h>

namespace {

// The image length a complete header declares (its file-size field), or
// -1 when the header does not describe a plausible uncompressed image:
// the size must hold the headers and the pixel rows the header describes,
// and stay within IMAGE_MAX_BYTES.
long long declared_length(const unsigned char *h) {
  bmp_header header;
  bmp_header_decode(h, &header);
  long long size = header.file_size;
  long long offset = header.data_offset;
  uint32_t info_size = header.info_size;
  long long width = static_cast<int32_t>(header.width);
  long long height = static_cast<int32_t>(header.height);
  unsigned planes = header.planes;
  unsigned bits = header.bits_per_pixel;
  uint32_t compression = header.compression;

  if (size < IMAGE_HEADER_SIZE || size > IMAGE_MAX_BYTES)
    return -1;
  if (info_size < BMP_INFO_HEADER_BYTES || offset < IMAGE_HEADER_SIZE || offset > size)
    return -1;
  if (planes != 1 || width < 1 || height == 0)
    return -1;
  if (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32)
    return -1;
  // Uncompressed rows (BI_RGB, BI_BITFIELDS): their size is known.
  if (compression != 0 && compression != 3)
    return -1;
  if (height < 0)
    height = -height;
  if (width > IMAGE_MAX_BYTES || height > IMAGE_MAX_BYTES)
    return -1;
  long long row = static_cast<long long>(bmp_row_bytes(static_cast<uint64_t>(width), bits));
  if (row * height > size - offset)
    return -1;
  return size;
}

} // namespace

void image_track_start(struct image_track *track) {
  memset(track, 0, sizeof *track);
  track->state = IMAGE_NONE;
}

void image_track_feed(struct image_track *track, const unsigned char *data, size_t length) {
  size_t at = 0;
  while (at < length && !track->raw) {
    if (track->state == IMAGE_OPEN) {
      long long left = track->declared - track->sent;
      long long take =
          static_cast<long long>(length - at) < left ? static_cast<long long>(length - at) : left;
      track->sent += take;
      at += static_cast<size_t>(take);
      if (track->sent == track->declared) {
        // Complete: whatever follows may be the next image.
        track->state = IMAGE_NONE;
        track->header_seen = 0;
      }
      continue;
    }
    if (track->state == IMAGE_UNCHECKED) {
      // Its length is unknown, so nothing after it can be followed.
      track->raw = 1;
      break;
    }

    // Collecting a header (IMAGE_NONE or IMAGE_HEADER_CUT).
    track->header[track->header_seen++] = data[at++];
    if ((track->header_seen == 1 && track->header[0] != 'B') ||
        (track->header_seen == 2 && track->header[1] != 'M')) {
      // Not a BMP: sent as it comes. After a complete image this ends the
      // following as well, since nothing tells where such data ends.
      track->raw = 1;
      track->state = IMAGE_NONE;
      break;
    }
    // Begun once its signature is there.
    if (track->header_seen >= 2)
      track->state = IMAGE_HEADER_CUT;
    if (track->header_seen == IMAGE_HEADER_SIZE) {
      track->declared = declared_length(track->header);
      track->sent = IMAGE_HEADER_SIZE;
      if (track->declared < 0) {
        track->state = IMAGE_UNCHECKED;
      } else if (track->declared == IMAGE_HEADER_SIZE) {
        track->state = IMAGE_NONE;
        track->header_seen = 0;
      } else {
        track->state = IMAGE_OPEN;
      }
    }
  }
}

long long image_track_missing(const struct image_track *track) {
  if (track->state != IMAGE_OPEN)
    return 0;
  return track->declared - track->sent;
}
