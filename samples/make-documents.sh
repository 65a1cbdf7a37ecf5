#!/bin/sh
# Makes the documents that the raster path's tests, demo and benchmark
# print, with Debian tools (ghostscript's ps2pdf, qrencode, GNU barcode,
# ImageMagick), into DIR:
#   receipt.pdf  one receipt page, 72 x 200 mm: a grey logo, text, a
#                Code 128 bar code of "KORV-000123" and a QR code of
#                "https://korva.example/r/0042"
#   long.pdf     20 pages of 72 x 200 mm, 40 lines of text each
#   photo.jpg    a photograph (ImageMagick's built-in rose), 640 wide
#   logo.png     a grey logo with a black frame, 600 x 240
#   notes.txt    a few lines of plain text
# and, on 80 mm pages with their content inside the 72 mm a head prints,
# the documents that print quality is measured on:
#   text.pdf       four fonts (Helvetica, Times, Courier, DejaVu Sans) at
#                  7, 9, 12 and 18 pt, fonts embedded
#   codes.pdf      EAN-13 "5901234123457" at 2.2 dots a module, Code 128
#                  "KORV-000123" at 2.0 dots a module and a QR code of
#                  "https://korva.example/r/0042" at 2.5 dots a module,
#                  all vectors (the smallest a 203 dpi render still scans)
#   ramp.pdf       grey patches of 10 % to 90 % ink in steps of 10, in a
#                  black frame, 3 x 3, left to right and top to bottom
#   screenshot.png a phone screenshot, 720 pixels wide: anti-aliased text
#                  and a Code 128 image of "KORV-000123" scaled by 1.37
#   samples/make-documents.sh DIR
set -eu
dir=$1
mkdir -p "$dir"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

qrencode -t EPS -s 3 -m 2 -o "$tmp/qr.eps" "https://korva.example/r/0042"
barcode -e 128 -b "KORV-000123" -E -o "$tmp/bar.eps"

# An EPS file placed at x y (points from the bottom left) and scaled.
place_eps() { # file x y scale
  printf 'save /showpage {} def %s %s translate %s %s scale\n' "$2" "$3" "$4" "$4"
  sed -n '/^%%EndComments/,$p' "$1" | grep -v '^%%EOF'
  printf 'restore\n'
}

page_setup='<< /PageSize [204 567] >> setpagedevice'
{
  cat <<PS
%!PS-Adobe-3.0
%%BoundingBox: 0 0 204 567
%%Pages: 1
%%EndComments
%%Page: 1 1
$page_setup
% The logo: a grey disc in a black ring with a white K.
0 setgray 102 515 30 0 360 arc fill
0.55 setgray 102 515 26 0 360 arc fill
1 setgray /Helvetica-Bold findfont 30 scalefont setfont 92 504 moveto (K) show
0 setgray /Helvetica-Bold findfont 14 scalefont setfont 47 462 moveto (KORVA CAFE) show
/Courier findfont 10 scalefont setfont
12 436 moveto (Espresso, double    2 x 2.40) show
12 424 moveto (Cardamom bun            3.10) show
12 412 moveto (Sparkling water         1.80) show
/Courier-Bold findfont 10 scalefont setfont
12 396 moveto (TOTAL                  10.70) show
0 setgray 12 386 180 1 rectfill
PS
  place_eps "$tmp/bar.eps" 25 270 1
  place_eps "$tmp/qr.eps" 52 140 1
  cat <<PS
/Helvetica findfont 8 scalefont setfont 58 120 moveto (Thank you - receipt 0042) show
showpage
%%EOF
PS
} >"$tmp/receipt.ps"
ps2pdf -dDEVICEWIDTHPOINTS=204 -dDEVICEHEIGHTPOINTS=567 "$tmp/receipt.ps" "$dir/receipt.pdf"

{
  printf '%%!PS-Adobe-3.0\n%%%%Pages: 20\n%%%%EndComments\n'
  page=1
  while [ $page -le 20 ]; do
    printf '%%%%Page: %d %d\n%s\n/Courier findfont 9 scalefont setfont\n' $page $page "$page_setup"
    line=1
    while [ $line -le 40 ]; do
      printf '10 %d moveto (Page %02d line %02d  item %04d     %3d.%02d) show\n' \
        $((550 - line * 13)) $page $line $((page * 100 + line)) $((line * 7 % 100)) $((line * 13 % 100))
      line=$((line + 1))
    done
    printf 'showpage\n'
    page=$((page + 1))
  done
  printf '%%%%EOF\n'
} >"$tmp/long.ps"
ps2pdf -dDEVICEWIDTHPOINTS=204 -dDEVICEHEIGHTPOINTS=567 "$tmp/long.ps" "$dir/long.pdf"

convert rose: -resize 640x "$dir/photo.jpg"
convert -size 600x240 xc:white -fill black -draw "rectangle 0,0 599,239" \
  -fill white -draw "rectangle 12,12 587,227" \
  -fill gray50 -draw "circle 120,120 120,30" \
  -fill gray80 -draw "rectangle 240,60 560,100" \
  -fill gray25 -draw "rectangle 240,140 480,180" "$dir/logo.png"
# Print quality documents: points are 1/72 inch, a dot 72/203 points, an
# 80 mm page 226.77 points.
page80='<< /PageSize [226.77 340] >> setpagedevice'
{
  printf '%%!PS-Adobe-3.0\n%%%%BoundingBox: 0 0 227 340\n%%%%Pages: 1\n%%%%EndComments\n'
  printf '%%%%Page: 1 1\n%s\n' "$page80"
  y=322
  for font in Helvetica Times-Roman Courier DejaVuSans; do
    for size in 7 9 12 18; do
      y=$((y - size - size / 3 - 2))
      case $size in
        7|9) words="Espresso 2.40 Cardamom bun 3.10" ;;
        12) words="Receipt 0042 TOTAL 10.70" ;;
        *) words="KORVA CAFE 42" ;;
      esac
      printf '/%s findfont %s scalefont setfont 16 %s moveto (%s %s) show\n' \
        "$font" "$size" "$y" "$words" "$size"
    done
    y=$((y - 6))
  done
  printf 'showpage\n%%%%EOF\n'
} >"$tmp/text.ps"
ps2pdf -dEmbedAllFonts=true -dDEVICEWIDTHPOINTS=226.77 -dDEVICEHEIGHTPOINTS=340 \
  "$tmp/text.ps" "$dir/text.pdf"

# Bar codes at the smallest sizes a 203 dpi render still scans: GNU
# barcode draws a module 1 point wide, qrencode -s 1 one point a module.
dots_a_module() { awk "BEGIN { print $1 * 72 / 203 }"; }
barcode -e ean13 -b 590123412345 -E -o "$tmp/ean.eps"
qrencode -t EPS -s 1 -m 0 -o "$tmp/qrs.eps" "https://korva.example/r/0042"
{
  printf '%%!PS-Adobe-3.0\n%%%%BoundingBox: 0 0 227 340\n%%%%Pages: 1\n%%%%EndComments\n'
  printf '%%%%Page: 1 1\n%s\n' "$page80"
  place_eps "$tmp/ean.eps" 24 240 "$(dots_a_module 2.2)"
  place_eps "$tmp/bar.eps" 20 140 "$(dots_a_module 2.0)"
  place_eps "$tmp/qrs.eps" 80 30 "$(dots_a_module 2.5)"
  printf 'showpage\n%%%%EOF\n'
} >"$tmp/codes.ps"
ps2pdf -dDEVICEWIDTHPOINTS=226.77 -dDEVICEHEIGHTPOINTS=340 "$tmp/codes.ps" "$dir/codes.pdf"

{
  printf '%%!PS-Adobe-3.0\n%%%%BoundingBox: 0 0 227 340\n%%%%Pages: 1\n%%%%EndComments\n'
  printf '%%%%Page: 1 1\n%s\n' "$page80"
  printf '0 setgray 1 setlinewidth 23.5 83.5 180 180 rectstroke\n'
  ink=10
  while [ $ink -le 90 ]; do
    k=$((ink / 10 - 1))
    printf '%s setgray %s %s 56 56 rectfill\n' "$(awk "BEGIN { print 1 - $ink / 100 }")" \
      $((28 + k % 3 * 58)) $((206 - k / 3 * 58))
    ink=$((ink + 10))
  done
  printf 'showpage\n%%%%EOF\n'
} >"$tmp/ramp.ps"
ps2pdf -dDEVICEWIDTHPOINTS=226.77 -dDEVICEHEIGHTPOINTS=340 "$tmp/ramp.ps" "$dir/ramp.pdf"

# A screenshot: text as a phone draws it (anti-aliased) and a bar code
# image drawn 2 pixels a module, then scaled by 1.37 as a phone shows it.
gs -q -dNOPAUSE -dBATCH -dSAFER -sDEVICE=pnggray -r144 -dEPSCrop \
  -dTextAlphaBits=1 -dGraphicsAlphaBits=1 -sOutputFile="$tmp/bar.png" "$tmp/bar.eps"
convert "$tmp/bar.png" -filter Triangle -resize 137% "$tmp/bar137.png"
convert -size 720x900 xc:white -fill black -font DejaVu-Sans-Bold -pointsize 44 \
  -annotate +40+80 "Boarding pass" -font DejaVu-Sans -pointsize 28 \
  -annotate +40+140 "Passenger  KORVA / ANNA" -annotate +40+185 "Flight KX 042   Gate 12" \
  -annotate +40+230 "Seat 14C    Boards 07:35" -fill gray40 -pointsize 22 \
  -annotate +40+275 "Show this code at the gate" \
  "$tmp/bar137.png" -gravity North -geometry +0+320 -composite \
  -gravity NorthWest -fill black -font DejaVu-Sans -pointsize 24 \
  -annotate +40+720 "Thank you for flying with us" \
  -colorspace Gray -depth 8 -define png:color-type=0 "$dir/screenshot.png"

printf 'Order 42\n\n2 x espresso        4.80\n1 x cardamom bun    3.10\n\nTotal               7.90\n' \
  >"$dir/notes.txt"
