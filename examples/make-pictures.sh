#!/bin/sh
# Regenerates the demo pictures 01.bmp ... 06.bmp next to this script with
# ImageMagick. Each is 80 x 60 and of another BMP kind, so the demo walks
# through the reader's paths: 24-bit with a 40-byte header and with a 124-byte
# one, 8-bit and 4-bit palettes, and 16-bit bit fields in 5-6-5 and 5-5-5.
# Plasma is seeded, but its noise may still differ between ImageMagick
# versions; the committed pictures are the reference.
set -eu
convert=${CONVERT:-/usr/bin/convert}
cd "$(dirname "$0")"

# A photograph: ImageMagick's built-in rose, 24-bit, plain 40-byte header.
"$convert" rose: -resize '80x60!' -type TrueColor BMP3:01.bmp

# A drawing with a white background: 8-bit palette, 124-byte header.
"$convert" wizard: -resize '80x60!' -colors 256 -type Palette -compress none 02.bmp

# Coloured noise: 16-bit with 5-6-5 bit fields.
"$convert" -seed 7 -size 80x60 plasma:fractal -define bmp:subtype=RGB565 03.bmp

# A sunset over hills: 24-bit, 124-byte header.
"$convert" -size 80x60 gradient:'#1a2a6c'-'#fdbb2d' \
  -fill '#ffef7a' -draw 'circle 56,20 56,9' \
  -fill '#2d5016' -draw 'polygon 0,60 0,44 18,36 34,46 52,38 80,48 80,60' \
  -type TrueColor 04.bmp

# A checkerboard with a disc: 4-bit palette, 40-byte header.
"$convert" -size 80x60 pattern:checkerboard -auto-level +level-colors '#c0392b','#f5e6ca' \
  -fill '#2c3e50' -draw 'circle 40,30 40,14' \
  -colors 16 -type Palette -compress none BMP3:05.bmp

# Colour bars: 16-bit with 5-5-5 bit fields.
"$convert" -size 80x60 xc:black \
  -fill '#c0c0c0' -draw 'rectangle 0,0 10,44' \
  -fill '#c0c000' -draw 'rectangle 11,0 22,44' \
  -fill '#00c0c0' -draw 'rectangle 23,0 33,44' \
  -fill '#00c000' -draw 'rectangle 34,0 45,44' \
  -fill '#c000c0' -draw 'rectangle 46,0 56,44' \
  -fill '#c00000' -draw 'rectangle 57,0 68,44' \
  -fill '#0000c0' -draw 'rectangle 69,0 79,44' \
  -fill white -draw 'rectangle 0,45 26,59' \
  -fill '#202020' -draw 'rectangle 53,45 79,59' \
  -alpha off -type TrueColor -define bmp:subtype=RGB555 06.bmp
