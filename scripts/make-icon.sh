#!/usr/bin/env bash
# Draws the program icon (resource 100): a white SD card with an upward
# arrow on a blue tile. Writes a multi-size .ico with ImageMagick.
set -euo pipefail
out=${1:?usage: make-icon.sh OUT.ico}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# One master drawn at 256 px; the small sizes are scaled from it. The
# shapes are bold enough to stay readable at 16 px.
convert -size 256x256 gradient:'#4A9BE8-#1A4E9A' \
  \( -size 256x256 xc:black -fill white -draw 'roundrectangle 8,8 247,247 44,44' \) \
  -alpha off -compose CopyOpacity -composite \
  -fill white -stroke '#0F3568' -strokewidth 6 \
  -draw 'polygon 70,36 154,36 190,72 190,222 70,222' \
  -stroke none -fill '#E8A91C' \
  -draw 'rectangle 88,50 100,88' -draw 'rectangle 110,50 122,88' \
  -draw 'rectangle 132,50 144,88' -draw 'rectangle 154,62 166,88' \
  -fill '#1FA35C' \
  -draw 'polygon 130,104 176,152 148,152 148,204 112,204 112,152 84,152' \
  "$work/master.png"

# Fixed metadata keeps the file the same from build to build.
convert "$work/master.png" -depth 8 -define icon:auto-resize=256,64,48,32,24,16 \
  -define png:exclude-chunks=date,time +set date:create +set date:modify "$out"
