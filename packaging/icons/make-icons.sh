#!/usr/bin/env bash
# Draws the programs' icons for the hicolor theme with ImageMagick and writes
# them beside this script as hicolor/SIZExSIZE/apps/{korvel,Vellum}.png. The
# output is committed; run this again only to change the pictures.
#
# Each icon is drawn once at 256 pixels and scaled down. The updater's is the
# design of its window icon (korvel/res/make-artwork.sh draws that at 48
# pixels); the repair tool's window shows the 48-pixel file made here.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
font=/usr/share/fonts/truetype/wqy/wqy-zenhei.ttc
[ -f "$font" ] || { echo "make-icons.sh: needs $font (fonts-wqy-zenhei)" >&2; exit 1; }
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# Deterministic output: no time stamps or other ancillary chunks.
png_opts=(-depth 8 -strip -define png:exclude-chunks=date,time,tEXt,zTXt,iTXt)
# The 48-pixel designs, drawn at 256/48 of their size.
scale="scale 5.3333,5.3333"

# The updater: a gold rune stone on the banner's blue.
convert -size 256x256 xc:none \
  -fill '#1b2748' -stroke '#c9a24d' -strokewidth 3 \
  -draw "$scale roundrectangle 2,2 45,45 9,9" \
  -fill '#e8c670' -stroke none -font "$font" -pointsize 160 -gravity center \
  -annotate +0+5 'Z' "$tmp/korvel.png"

# The repair tool: a blue tile with a white arrow into a tray.
convert -size 256x256 xc:none \
  -fill '#2e70d1' -stroke none -draw "$scale roundrectangle 1,1 47,47 8,8" \
  -fill none -stroke white -strokewidth 5 -draw "$scale stroke-linecap round stroke-linejoin round \
     line 24,9 24,29 polyline 15,21 24,30 33,21 polyline 10,31 10,38 38,38 38,31" \
  "$tmp/Vellum.png"

for size in 16 24 32 48 64 128 256; do
  mkdir -p "$here/hicolor/${size}x${size}/apps"
  for name in korvel Vellum; do
    convert "$tmp/$name.png" -filter Lanczos -resize ${size}x${size} "${png_opts[@]}" \
      "PNG32:$here/hicolor/${size}x${size}/apps/$name.png"
  done
done
identify "$here"/hicolor/*/apps/*.png
