// The darkness curve: a power curve on the grey level that keeps pure
// black and pure white where they are, so text stays sharp at any setting.
#include <math.h>

#include "receipt_internal.h"

void receipt_make_curve(unsigned char curve[256], int darkness) {
  if (darkness == 0) {
    for (int g = 0; g < 256; ++g)
      curve[g] = (unsigned char)g;
    return;
  }
  const double exponent = pow(3.0, darkness / 100.0);
  for (int g = 0; g < 256; ++g) {
    const double level = 255.0 * pow(g / 255.0, exponent);
    curve[g] = (unsigned char)lround(level);
  }
  // Rounding must not turn a grey into pure white or black, which the
  // dither would then print without any dots of the other colour.
  for (int g = 1; g < 255; ++g) {
    if (curve[g] == 0)
      curve[g] = 1;
    if (curve[g] == 255)
      curve[g] = 254;
  }
  curve[0] = 0;
  curve[255] = 255;
}
