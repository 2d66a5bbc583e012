#!/usr/bin/env bash
# Draws the updater's artwork with ImageMagick and writes it beside this
# script: page142.png (the page's background), background129.bmp (the same
# picture as an 8-bit bitmap, the window's own background) and icon128.png.
# The output is committed; run this again only to change the pictures.
#
# The picture is 437 x 463 pixels, the window's client size. Its regions
# follow the page and the window's controls: a dark banner band with the
# framed banner (16,16 405x114), a light parchment panel for the notice
# (24,201), the progress bars and texts below it and the links at the bottom.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
font=/usr/share/fonts/truetype/wqy/wqy-zenhei.ttc
[ -f "$font" ] || { echo "make-artwork.sh: needs $font (fonts-wqy-zenhei)" >&2; exit 1; }
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

W=437
H=463
# Deterministic output: no time stamps or other ancillary chunks.
png_opts=(-depth 8 -strip -define png:exclude-chunks=date,time,tEXt,zTXt,iTXt)

# Parchment ground, a little darker towards the bottom.
convert -size ${W}x${H} gradient:'#f6eedb'-'#e4d3ad' "$tmp/ground.png"

# Dark banner band, night blue into violet.
convert -size ${W}x146 gradient:'#22335e'-'#3a2c5e' "$tmp/band.png"

convert "$tmp/ground.png" "$tmp/band.png" -geometry +0+0 -composite \
  -fill none \
  -stroke '#b8903f' -strokewidth 2 -draw "line 0,146 $W,146" \
  -stroke '#f0d88a' -strokewidth 1 -draw "line 0,148 $W,148" \
  `# banner frame: dark inner field, gold double outline` \
  -stroke none -fill '#0d1428' -draw "rectangle 16,16 420,129" \
  -fill none -stroke '#c9a24d' -strokewidth 2 -draw "rectangle 13,13 423,132" \
  -stroke '#6d5421' -strokewidth 1 -draw "rectangle 10,10 426,135" \
  `# title in the banner, seen until the banner page is shown` \
  -stroke none -fill '#e8c670' -font "$font" -pointsize 30 -gravity north \
  -annotate +0+40 'Zornia II' \
  -fill '#b9c3e6' -pointsize 13 -annotate +0+84 '客户端更新程序' \
  -gravity northwest \
  `# notice panel` \
  -fill '#fbf6e9' -stroke '#c4a871' -strokewidth 1 -draw "roundrectangle 20,170 416,338 6,6" \
  -fill '#8a6a2c' -stroke none -draw "rectangle 20,170 416,196" \
  -fill '#fbf0cf' -font "$font" -pointsize 13 -annotate +30+175 '更新公告' \
  `# progress area and status line` \
  -fill none -stroke '#c4a871' -draw "roundrectangle 20,341 416,410 6,6" \
  `# outer border of the borderless window` \
  -stroke '#3a2a14' -draw "rectangle 0,0 436,462" \
  "${png_opts[@]}" "$here/page142.png"

# The window's background: the same picture in 256 colours, undithered so
# that flat areas keep exactly the page's colours.
convert "$here/page142.png" -dither None -colors 256 -type Palette -compress None \
  BMP3:"$here/background129.bmp"

# Icon: a gold rune stone on the banner's blue.
convert -size 48x48 xc:none \
  -fill '#1b2748' -stroke '#c9a24d' -strokewidth 3 -draw "roundrectangle 2,2 45,45 9,9" \
  -fill '#e8c670' -stroke none -font "$font" -pointsize 30 -gravity center -annotate +0+1 'Z' \
  "${png_opts[@]}" "$here/icon128.png"

identify "$here/page142.png" "$here/background129.bmp" "$here/icon128.png"
