#!/bin/sh
# Makes receipt.bmp, the sample receipt that the demo prints: a small logo
# and some text, 1152 x 432 pixels (two print lines of 576 dots, three of
# 384, so the filter reduces it by 2 or 3 without cutting), 8 bits per
# pixel with a grey palette (entry k = k, k, k), as the threshold filter
# expects (the remap onto a 256-step grey ramp gives that palette). Needs
# ImageMagick and the DejaVu fonts (Debian: imagemagick, fonts-dejavu-core).
# The committed receipt.bmp was made with this script.
#   samples/make-receipt.sh [output.bmp]
set -eu
out=${1:-$(dirname "$0")/receipt.bmp}
font=DejaVu-Sans
bold=DejaVu-Sans-Bold
mono=DejaVu-Sans-Mono
monobold=DejaVu-Sans-Mono-Bold

convert -size 1152x432 xc:white \
  -fill black -draw "circle 104,104 104,14" \
  -fill white -draw "circle 104,104 104,34" \
  -fill black -draw "circle 104,104 104,44" \
  -fill white -font "$bold" -pointsize 96 -gravity NorthWest \
  -annotate +70+46 "K" \
  -fill black -font "$bold" -pointsize 72 -annotate +232+30 "KORVA CAFE" \
  -fill gray40 -font "$font" -pointsize 34 -annotate +236+122 "Harbour Street 7  -  open 7 to 19" \
  -fill black -draw "rectangle 40,200 1112,204" \
  -font "$mono" -pointsize 40 \
  -annotate +60+222 "Espresso, double          2 x 2.40" \
  -annotate +60+272 "Cardamom bun                  3.10" \
  -font "$monobold" -pointsize 40 -annotate +60+330 "TOTAL                         7.90" \
  -fill gray55 -font "$font" -pointsize 30 -annotate +60+396 "Thank you - receipt 0042 - 2026-12-07 08:15" \
  -colorspace Gray +dither -size 1x256 -remap gradient:black-white \
  -type Palette -compress none "BMP3:$out"
