#!/usr/bin/env bash
# Draws the window's icons and picture with ImageMagick, each at its size
# and at twice its size (NAME@2x.png, picked on a screen scaled to 200 %),
# and writes each drawing again as a PAM file (NAME.pam), which is what the
# program carries: its pixels need no decoding when the window starts. The
# files are committed; run this again after changing a drawing.
set -euo pipefail
cd "$(dirname "$0")"

# draw SCALE SUFFIX: every image at SCALE times its size. The drawings are
# in the coordinates of the 1x image; -affine scales them, strokes and text
# included, so the 2x image is drawn sharp rather than enlarged.
draw() {
  local k=$1 s=$2
  local a="$k,0,0,$k,0,0"
  local n32=$((32 * k)) n64=$((64 * k))

  # Application icon: a dark-blue rounded square with a speed dial.
  convert -size ${n64}x${n64} xc:none -affine "$a" \
    -fill '#1d3f8f' -draw 'roundrectangle 2,2 61,61 12,12' \
    -stroke white -strokewidth 5 -fill none -draw 'arc 12,14 52,54 150,390' \
    -stroke '#ffcc33' -strokewidth 4 -draw 'line 32,34 46,20' \
    -stroke none -fill white -draw 'circle 32,34 36,34' \
    "PNG32:trevik$s.png"

  # Open: a yellow folder.
  convert -size ${n32}x${n32} xc:none -affine "$a" \
    -fill '#c98a10' -draw 'polygon 2,8 12,8 15,11 29,11 29,27 2,27' \
    -fill '#f4c542' -draw 'polygon 2,14 30,14 27,27 2,27' \
    -stroke '#8a5d00' -strokewidth 1 -fill none -draw 'polygon 2,8 12,8 15,11 29,11 29,27 2,27' \
    "PNG32:open$s.png"

  # Close: a red disc with a white cross.
  convert -size ${n32}x${n32} xc:none -affine "$a" \
    -fill '#c62828' -draw 'circle 16,16 16,2' \
    -stroke white -strokewidth 4 -draw 'line 10,10 22,22' -draw 'line 22,10 10,22' \
    "PNG32:close$s.png"

  # Update: a green disc with a downward arrow into a bar.
  convert -size ${n32}x${n32} xc:none -affine "$a" \
    -fill '#2e7d32' -draw 'circle 16,16 16,2' \
    -fill white -draw 'polygon 13,6 19,6 19,15 24,15 16,23 8,15 13,15' \
    -draw 'rectangle 8,24 24,26' \
    "PNG32:update$s.png"

  # Setting: a grey gear.
  convert -size ${n32}x${n32} xc:none -affine "$a" \
    -fill '#546e7a' \
    -draw 'rectangle 14,2 18,30' -draw 'rectangle 2,14 30,18' \
    -draw 'polygon 6,9 9,6 26,23 23,26' -draw 'polygon 23,6 26,9 9,26 6,23' \
    -draw 'circle 16,16 16,6' \
    -fill '#eceff1' -draw 'circle 16,16 16,12' \
    "PNG32:setting$s.png"

  # The window's picture: a road at dusk with a speed camera on its pole.
  convert -size $((564 * k))x$((268 * k)) gradient:'#24407a-#f0a04b' -affine "$a" \
    -fill '#3a3a3a' -draw 'polygon 200,268 364,268 300,150 264,150' \
    -fill '#f5f5f5' -draw 'polygon 280,268 284,268 283,150 281,150' \
    -fill '#2f5d2f' -draw 'polygon 0,268 200,268 264,150 0,170' \
    -fill '#2f5d2f' -draw 'polygon 564,268 364,268 300,150 564,170' \
    -fill '#777777' -draw 'rectangle 420,60 426,200' \
    -fill '#dddddd' -draw 'roundrectangle 400,40 470,75 6,6' \
    -fill '#222222' -draw 'circle 450,57 450,49' \
    -fill white -font DejaVu-Sans-Bold -pointsize 34 -draw "text 24,60 'Trevik'" \
    -pointsize 16 -draw "text 26,86 'GPS speed-camera unit update'" \
    "PNG24:picture$s.png"
}

draw 1 ""
draw 2 "@2x"
for name in trevik open close update setting picture; do
  for s in "" "@2x"; do
    convert "$name$s.png" "PAM:$name$s.pam"
  done
done
echo "drawn: trevik open close update setting picture, each also @2x, as PNG and PAM"
