#!/usr/bin/env bash
# An expansion-pack run against a local sample server:
#   scripts/demo-expansion.sh [BUILD_DIR]   (make demo-expansion: BUILD_DIR is build/debug)
# Makes a sample game folder in which every expansion pack but the second is
# installed, publishes that pack's installer (a shell script), the expansion
# list with its MD5 digest and an update list in a folder that nginx serves
# on a loopback port, runs `korvel 0 GAME` (the window when there is a
# display, the console otherwise) and shows what the installer changed. A
# second run then finds nothing left to install. Everything lives in
# BUILD_DIR/demo-expansion; nginx is stopped on the way out.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -m "${1:-$root/build/debug}")
korvel="$build/korvel/korvel"
nginx_helper="$root/tests/support/nginx-server.sh"
[ -x "$korvel" ] || { echo "demo: $korvel is missing; build first (make build)" >&2; exit 1; }

demo="$build/demo-expansion"
rm -rf "$demo"
mkdir -p "$demo/site/packs" "$demo/nginx"

step() { printf '\n== %s\n' "$*"; }

step "publishing the installer of pack 2 (EXP2)"
cat > "$demo/site/packs/ZORNEXP2.exe" <<'SH'
#!/bin/sh
# Sample installer of expansion pack 2: started by the updater in the game
# folder; it installs its files and leaves the pack's marker last.
set -e
echo "ZORNEXP2: installing into $(pwd)"
mkdir -p maps/dragonspine
for part in north pass summit; do
  printf 'dragonspine %s\n' "$part" > "maps/dragonspine/$part.map"
  sleep 1
done
printf '[expansion]\npack=2\n' > data/expansion2.cfg
touch shape.wd2
echo "ZORNEXP2: done"
exit 0
SH
# A real installer carries its payload; this one's is filler after the script.
/usr/bin/python3.11 -c 'import random,sys; sys.stdout.buffer.write(random.Random(2).randbytes(400000))' \
  >> "$demo/site/packs/ZORNEXP2.exe"
digest=$(md5sum "$demo/site/packs/ZORNEXP2.exe" | cut -d' ' -f1)
printf 'EXP1 %s\nEXP2 %s\n' "$(printf 'pack one' | md5sum | cut -d' ' -f1)" "$digest" \
  > "$demo/site/exp_list1.txt"
echo "##1 3 - - - - demo" > "$demo/site/update_list.txt"
echo "expansion list:"
sed 's/^/  /' "$demo/site/exp_list1.txt"

step "starting nginx on loopback"
port=$(bash "$nginx_helper" start "$demo/nginx" "$demo/site")
trap 'bash "$nginx_helper" stop "$demo/nginx"; echo "demo: nginx stopped"' EXIT
site="http://127.0.0.1:$port"
echo "serving $demo/site at $site"

step "sample game folder: packs 1 and 3 to 10 installed, pack 2 missing"
game="$demo/game"
mkdir -p "$game/data"
printf 'Zornia II client\n' > "$game/readme.txt"
for shape in shape.wd1 shape.wd3 shape.wd4 shape.wd5 shape.wd6 shape.wd7 shape.wd8 shape.wd9 shape.wda; do
  : > "$game/$shape"
done
# EXPDTYPE=0: the installer comes over HTTP (1, the default, is BitTorrent).
printf '[Setting]\r\nVersion=1.0.0\r\nUpdateURLEX=%s/update_list.txt\r\nExpMd5Info=%s/exp_list1.txt\r\nExpVersion2=%s/packs/ZORNEXP2.exe\r\nEXPDTYPE=0\r\n' \
  "$site" "$site" "$site" > "$game/update.ini"
sed 's/^/  /' "$game/update.ini" | tr -d '\r'
(cd "$game" && find . -type f -print0 | sort -z | xargs -0 md5sum) > "$demo/before.md5"

if [ "${KORVEL_UI:-}" != console ] && { [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; }; then
  how="window on ${DISPLAY:-$WAYLAND_DISPLAY}"
else
  how="console: no display"
fi
run_korvel() {
  set +e
  "$korvel" 0 "$game"
  local code=$?
  set -e
  echo "korvel ended with exit code $code"
}

step "running korvel 0 $game ($how)"
run_korvel

step "what the installer changed in the game folder"
(cd "$game" && find . -type f ! -path './download/*' -print0 | sort -z | xargs -0 md5sum) > "$demo/after.md5"
/usr/bin/python3.11 "$root/scripts/compare-md5-lists.py" "$demo/before.md5" "$demo/after.md5"
echo "downloaded installer:"
ls -l "$game/download" 2>/dev/null | sed -n '2,$p' | sed 's/^/  /'
if [ -f "$game/shape.wd2" ]; then
  echo "pack 2 is installed (shape.wd2 exists)"
else
  echo "pack 2 is not installed (no shape.wd2)"
fi

step "running korvel 0 $game again: every pack is there now"
run_korvel
