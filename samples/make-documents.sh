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
printf 'Order 42\n\n2 x espresso        4.80\n1 x cardamom bun    3.10\n\nTotal               7.90\n' \
  >"$dir/notes.txt"
