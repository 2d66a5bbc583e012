#!/usr/bin/env bash
# A whole patch update against a local sample server:
#   scripts/demo.sh [BUILD_DIR]     (make demo: BUILD_DIR is build/demo)
# Makes a sample game folder at version 1.0.0, publishes three patches
# (LZO1X and bzip2 bodies) with zrpatch into a folder that nginx serves on a
# loopback port, the second also over BitTorrent (opentracker and an aria2c
# seeder on loopback), runs `korvel 1 GAME` (the window when there is a
# display, the console otherwise) and then shows what changed and how each
# patch arrived. Everything lives in BUILD_DIR/demo; nginx and the swarm are
# stopped on the way out.
# When BUILD_DIR's programs trust a keys file inside BUILD_DIR/demo (make demo
# builds such a tree, build/demo), the demo also signs its list and patches
# with `zrpatch sign`, puts its public key into that file, and at the end shows
# an altered patch being refused by its signature.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -m "${1:-$root/build/debug}")
korvel="$build/korvel/korvel"
zrpatch="$build/tools/zrpatch"
nginx_helper="$root/tests/support/nginx-server.sh"
swarm_helper="$root/tests/support/swarm.sh"
for tool in "$korvel" "$zrpatch"; do
  [ -x "$tool" ] || { echo "demo: $tool is missing; build first (make build)" >&2; exit 1; }
done

demo="$build/demo"
rm -rf "$demo"
mkdir -p "$demo/versions" "$demo/site/patches" "$demo/nginx"

# The keys file the build trusts (its cache variable); signing only when it
# lies in the demo's folder.
keys_file=$(sed -n 's/^ZORNIA_TRUSTED_KEYS_FILE:[A-Z]*=//p' "$build/CMakeCache.txt" 2>/dev/null || true)
signing=no
case "$keys_file" in
  "$demo"/*) signing=yes ;;
esac

step() { printf '\n== %s\n' "$*"; }

# Seeded pseudo-random bytes, the same on every run.
bytes() { /usr/bin/python3.11 -c 'import random,sys; r=random.Random(int(sys.argv[2])); sys.stdout.buffer.write(r.randbytes(int(sys.argv[1])))' "$1" "$2"; }

step "sample client versions 1.0.0 to 1.0.3"
v="$demo/versions"
mkdir -p "$v/1.0.0/data" "$v/1.0.0/maps"
printf 'Zornia II client 1.0.0\n' > "$v/1.0.0/readme.txt"
printf '[graphics]\nwidth=1024\nheight=768\n' > "$v/1.0.0/data/client.cfg"
bytes 300000 1 > "$v/1.0.0/maps/world.map"
cp -a "$v/1.0.0" "$v/1.0.1"
printf 'Zornia II client 1.0.1: the harbour district opens\n' > "$v/1.0.1/readme.txt"
bytes 40000 2 > "$v/1.0.1/maps/harbour.map"
cp -a "$v/1.0.1" "$v/1.0.2"
printf '[graphics]\nwidth=1280\nheight=800\nvsync=1\n' > "$v/1.0.2/data/client.cfg"
/usr/bin/python3.11 - "$v/1.0.2/maps/world.map" <<'PY'
import sys
p = sys.argv[1]
b = bytearray(open(p, 'rb').read())
b[5000:5200] = b'\x07' * 200          # a changed run inside the file
open(p, 'wb').write(bytes(b))
PY
cp -a "$v/1.0.2" "$v/1.0.3"
printf 'Zornia II client 1.0.3: winter festival\n' > "$v/1.0.3/readme.txt"
mkdir -p "$v/1.0.3/events"
printf 'festival=winter\nstart=2026-12-20\n' > "$v/1.0.3/events/winter.ini"
bytes 20000 3 >> "$v/1.0.3/maps/world.map"  # grows

step "publishing three patches with zrpatch"
"$zrpatch" make --from "$v/1.0.0" --to "$v/1.0.1" --version 1.0.1 --codec lzo \
  -o "$demo/site/patches/zornia_1.0.1.dat"
"$zrpatch" make --from "$v/1.0.1" --to "$v/1.0.2" --version 1.0.2 --codec bzip2 \
  -o "$demo/site/patches/zornia_1.0.2.dat"
"$zrpatch" make --from "$v/1.0.2" --to "$v/1.0.3" --version 1.0.3 --codec lzo \
  -o "$demo/site/patches/zornia_1.0.3.dat"

step "starting nginx and a BitTorrent swarm (opentracker, aria2c) on loopback"
port=$(bash "$nginx_helper" start "$demo/nginx" "$demo/site")
tracker=$(bash "$swarm_helper" start "$demo/swarm" $$)
trap 'bash "$swarm_helper" stop "$demo/swarm"; bash "$nginx_helper" stop "$demo/nginx"; echo "demo: nginx and the swarm stopped"' EXIT
site="http://127.0.0.1:$port"
echo "serving $demo/site at $site"
echo "tracker http://127.0.0.1:$tracker/announce"

# 1.0.2 goes over BitTorrent: its torrent lies beside it (the updater asks
# for the file's address + ".torrent") and aria2c seeds it.
"$zrpatch" torrent "$demo/site/patches/zornia_1.0.2.dat" \
  --tracker "http://127.0.0.1:$tracker/announce" -o "$demo/site/patches/zornia_1.0.2.dat.torrent"
seeder=$(bash "$swarm_helper" add "$demo/swarm" "$demo/site/patches/zornia_1.0.2.dat.torrent" \
  "$demo/site/patches")
echo "aria2c seeds zornia_1.0.2.dat on port $seeder"

# The script's option word (pickled list, Base64, reversed) for
# ["--bind", "127.0.0.1"]: the demo's client stays on loopback.
options=$(/usr/bin/python3.11 -c '
import base64, pickle, sys
print(base64.encodebytes(pickle.dumps(sys.argv[1:], 2)).decode().strip().rstrip("=")[::-1])
' --bind 127.0.0.1)

# The update list: one header group, then one line per patch.
{
  echo "##1 3 - - - - $options"
  for version in 1.0.1 1.0.2 1.0.3; do
    method=http
    [ "$version" = 1.0.2 ] && method=bt
    "$zrpatch" entry "$demo/site/patches/zornia_$version.dat" --version "$version" \
      --bt-url "$site/patches/zornia_$version.dat" \
      --http-url "$site/patches/zornia_$version.dat" --method "$method"
  done
} > "$demo/site/update_list.txt"
echo "update list $site/update_list.txt:"
sed 's/^/  /' "$demo/site/update_list.txt"

if [ "$signing" = yes ]; then
  step "signing the list and the patches with zrpatch"
  "$zrpatch" keygen -o "$demo/publisher"
  "$zrpatch" sign --key "$demo/publisher.key" --expires 30 "$demo/site/update_list.txt" \
    "$demo"/site/patches/zornia_1.0.?.dat
  cp "$demo/publisher.pub" "$keys_file"
  chmod 644 "$keys_file"
  echo "the updater trusts $keys_file:"
  sed 's/^/  /' "$keys_file"
  echo "trusted comment of update_list.txt.minisig:"
  sed -n 's/^trusted comment: /  /p' "$demo/site/update_list.txt.minisig"
else
  echo "(this build trusts ${keys_file:-no keys file}: nothing is signed)"
fi

step "sample game folder at 1.0.0"
game="$demo/game"
cp -a "$v/1.0.0" "$game"
printf '[Setting]\r\nVersion=1.0.0\r\nUpdateURLEX=%s/update_list.txt\r\nPATCHDOWNLOADINFO=%s/patch_download\r\n' \
  "$site" "$site" > "$game/update.ini"
cat > "$game/zorn.exe" <<'SH'
#!/bin/sh
# Stand-in for the game program.
cd "$(dirname "$0")"
line="zorn.exe: the game started in $(pwd) ($(head -n1 readme.txt))"
echo "$line"
echo "$line" >> started.log
SH
chmod 755 "$game/zorn.exe"
(cd "$game" && find . -type f ! -name started.log -print0 | sort -z | xargs -0 md5sum) > "$demo/before.md5"

if [ "${KORVEL_UI:-}" != console ] && { [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; }; then
  step "running korvel 1 $game (window on ${DISPLAY:-$WAYLAND_DISPLAY})"
else
  step "running korvel 1 $game (console: no display)"
fi
set +e
"$korvel" 1 "$game"
code=$?
set -e
case $code in
  0) echo "korvel ended with exit code 0" ;;
  253) echo "korvel ended with exit code 253 (-3: its exit watchdog after the closing seconds)" ;;
  *) echo "korvel ended with exit code $code" ;;
esac

step "what changed in the game folder"
for _ in $(seq 1 50); do [ -f "$game/started.log" ] && break; sleep 0.1; done
(cd "$game" && find . -type f ! -name started.log ! -path './download/*' -print0 | sort -z | xargs -0 md5sum) > "$demo/after.md5"
/usr/bin/python3.11 "$root/scripts/compare-md5-lists.py" "$demo/before.md5" "$demo/after.md5"
if diff -rq --exclude=update.ini --exclude=zorn.exe --exclude=started.log --exclude=download \
     "$v/1.0.3" "$game" >/dev/null; then
  echo "the client files now equal version 1.0.3"
else
  echo "the client files differ from version 1.0.3"
fi
echo "how the patches arrived (nginx's log):"
grep -E 'GET /patches/' "$demo/nginx/access.log" | sed -E 's/^.*"GET ([^ ]*) [^"]*" "([^"]*)" ([0-9]+).*$/  \1  (\2, \3)/' || true
echo "  zornia_1.0.2.dat itself came from the aria2c seeder over BitTorrent; the"
echo "  first patch's torrent is asked for in the closing phase (list mode 1), which"
echo "  this demo does not publish"
echo "downloaded patch files:"
ls -l "$game/download" 2>/dev/null | sed -n '2,$p' | sed 's/^/  /'
if [ -f "$game/started.log" ]; then
  echo "game start:"
  sed 's/^/  /' "$game/started.log"
else
  echo "the game was not started"
fi

if [ "$signing" = yes ]; then
  step "an altered patch is refused by its signature"
  # A mirror serves zornia_1.0.1.dat with one byte changed, beside the
  # publisher's signature of the real file. The list names the altered file's
  # digest and is signed, so that only the patch's own signature stands in
  # its way.
  mkdir -p "$demo/site/altered"
  cp "$demo/site/patches/zornia_1.0.1.dat" "$demo/site/patches/zornia_1.0.1.dat.minisig" \
    "$demo/site/altered/"
  printf '\x5a' | dd of="$demo/site/altered/zornia_1.0.1.dat" bs=1 seek=2000 conv=notrunc status=none
  good=$(md5sum < "$demo/site/patches/zornia_1.0.1.dat" | cut -c1-32)
  bad=$(md5sum < "$demo/site/altered/zornia_1.0.1.dat" | cut -c1-32)
  { echo "##1 3 - - - - $options"
    grep '^1\.0\.1 ' "$demo/site/update_list.txt" | sed "s#/patches/#/altered/#g; s#$good#$bad#"
  } > "$demo/site/altered_list.txt"
  "$zrpatch" sign --key "$demo/publisher.key" "$demo/site/altered_list.txt"
  game2="$demo/game-altered"
  cp -a "$v/1.0.0" "$game2"
  printf '[Setting]\r\nVersion=1.0.0\r\nUpdateURLEX=%s/altered_list.txt\r\nPATCHDOWNLOADINFO=%s/patch_download\r\n' \
    "$site" "$site" > "$game2/update.ini"
  echo "running korvel 1 $game2"
  set +e
  "$korvel" 1 "$game2"
  code=$?
  set -e
  echo "korvel ended with exit code $code"
  if diff -rq --exclude=update.ini --exclude=download "$v/1.0.0" "$game2" >/dev/null; then
    echo "the client files are still version 1.0.0: nothing was applied"
  else
    echo "the client files changed"
  fi
  if [ -e "$game2/download/zornia_1.0.1.dat" ]; then
    echo "the altered patch is still in $game2/download"
  else
    echo "the altered patch was deleted from $game2/download"
  fi
fi
