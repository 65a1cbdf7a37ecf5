// Follows the BMP images in a copy's data, so that an image cut short (the
// job cancelled, or its data ending early) can be completed.
//
// The printer takes the start byte and then a BMP whose header says how
// many bytes it has; until it has them all, it takes whatever comes next
// as the missing pixels. A copy's data that begins with "BM" is followed
// image after image; other data is not looked at.
//
// Error convention: nothing here fails; data that is not a plausible image
// is passed on unfollowed.
#ifndef USBKORV_IMAGE_H
#define USBKORV_IMAGE_H

#include <stddef.h>

#include "bmp_header.h"

// Bytes of a BMP file header and info header: what must have been seen
// before an image's length is trusted.
#define IMAGE_HEADER_SIZE BMP_HEADER_BYTES
// Largest image that is ever completed: 72 MiB holds the longest receipt
// the raster filter and the printer application write (40000 rows of the
// widest head, 576 dots: 69 MB, 5 m of paper). A larger size field is
// taken for a damaged header, never for a reason to send filler.
#define IMAGE_MAX_BYTES (72LL * 1024 * 1024)
// The byte that completes an image: white in 24- and 32-bit images.
#define IMAGE_FILL_BYTE 0xFF

enum image_state {
  IMAGE_NONE,       // no image begun, the last one complete, or no BMP
  IMAGE_OPEN,       // an image whose missing bytes are known
  IMAGE_HEADER_CUT, // an image whose header is not complete yet
  IMAGE_UNCHECKED,  // a header that is not a plausible image: its length
                    // is not trusted, so it cannot be completed
};

struct image_track {
  int state; // image_state
  int raw;   // the data is not a BMP: nothing more is looked at
  unsigned char header[IMAGE_HEADER_SIZE];
  size_t header_seen; // bytes of header collected so far
  long long declared; // bytes the image's header declares
  long long sent;     // bytes of the image passed so far
};

// Starts following a copy's data.
void image_track_start(struct image_track *track);

// Takes the next length bytes of the copy, as they are sent.
void image_track_feed(struct image_track *track, const unsigned char *data, size_t length);

// The bytes still missing from the current image when its state is
// IMAGE_OPEN, 0 otherwise.
long long image_track_missing(const struct image_track *track);

#endif
