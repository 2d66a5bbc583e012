#!/usr/bin/env bash
# A whole update as a player waits for it, against the floor the reference
# tools make doing the same work.
# Usage: bench/update.sh [BUILD_DIR] (default build/release)
#   SIZE_MB (default 1024): unpacked bytes of the three patches in all
#   RUNS (default 5): timed runs of each side, after one warm-up run
#
# A game folder at 1.0.0 and three patches (LZO, bzip2, LZO; the bzip2 one
# the biggest, half of it all) served by nginx on loopback. Ours: `korvel 1
# GAME` in console mode, from its start to the moment the game program
# starts. The floor: `curl -o` of each patch's packed data, then `lbzip2 -d`
# (every core) or `lzop -d` of it into a file, one patch after the other.
# Then where korvel's time goes, each part timed on its own with the same
# code: the download with its digest (http_download_bench), the digest
# check before use (md5_check_bench), the unpacking (`zrpatch info`, which
# unpacks and walks the sections) and the writing (`zrpatch apply` less the
# unpacking).
# Figures are printed; nothing is asserted.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=$(realpath -m "${1:-build/release}")
runs=${RUNS:-5}
size_mb=${SIZE_MB:-1024}
korvel="$build/korvel/korvel"
zrpatch="$build/tools/zrpatch"
download="$build/bench/http_download_bench"
md5check="$build/bench/md5_check_bench"
for tool in "$korvel" "$zrpatch" "$download" "$md5check"; do
  [ -x "$tool" ] || { echo "missing $tool: build the release tree first (make release)" >&2; exit 2; }
done
for tool in curl lbzip2 lzop nginx; do
  command -v "$tool" >/dev/null || { echo "missing $tool: make deps" >&2; exit 2; }
done

work=$(mktemp -d /tmp/korvel-bench-update-XXXXXX)
trap 'bash tests/support/nginx-server.sh stop "$work/nginx" >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
mkdir -p "$work/site/patches" "$work/site/ref"
cores=$(nproc)

now() { date +%s.%N; }
median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
sum() { awk '{s+=$1} END {printf "%.3f\n", s}'; }

echo "generating client versions ($size_mb MiB unpacked in three patches) ..."
/usr/bin/python3.11 bench/update_data.py "$work/versions" "$size_mb"
versions=(1.0.1 1.0.2 1.0.3)
codecs=(lzo bzip2 lzo)
previous=1.0.0
for i in 0 1 2; do
  v=${versions[$i]} codec=${codecs[$i]}
  echo "making the $codec patch $v ..."
  patch="$work/site/patches/p_$v.dat"
  "$zrpatch" make --from "$work/versions/$previous" --to "$work/versions/$v" --version "$v" \
    --codec "$codec" -o "$patch" >/dev/null
  # The floor's packed data: the bzip2 body as it is, the LZO body in lzop's
  # own format.
  if [ "$codec" = bzip2 ]; then
    tail -c +13 "$patch" > "$work/site/ref/p_$v.bz2"
  else
    "$zrpatch" info "$patch" --body "$work/body" >/dev/null
    lzop -q -f -o "$work/site/ref/p_$v.lzo" "$work/body"
    rm -f "$work/body"
  fi
  previous=$v
done
rm -rf "$work/versions/1.0.1" "$work/versions/1.0.2"

port=$(bash tests/support/nginx-server.sh start "$work/nginx" "$work/site")
site="http://127.0.0.1:$port"
# The header group ends with the download script's option word (pickled
# list, Base64, reversed): ["--bind", "127.0.0.1"], should it ever run.
options=$(/usr/bin/python3.11 -c '
import base64, pickle, sys
print(base64.encodebytes(pickle.dumps(sys.argv[1:], 2)).decode().strip().rstrip("=")[::-1])
' --bind 127.0.0.1)
{
  echo "##0 0 - - - - $options"
  for v in "${versions[@]}"; do
    "$zrpatch" entry "$work/site/patches/p_$v.dat" --version "$v" \
      --bt-url "$site/patches/p_$v.dat" --http-url "$site/patches/p_$v.dat" --method http
  done
} > "$work/site/update_list.txt"

game="$work/game"
fresh_game() {
  rm -rf "$game"
  cp -a "$work/versions/1.0.0" "$game"
  printf '[Setting]\r\nVersion=1.0.0\r\nUpdateURLEX=%s/update_list.txt\r\nPATCHDOWNLOADINFO=%s/patch_download\r\n' \
    "$site" "$site" > "$game/update.ini"
  printf '#!/bin/sh\ndate +%%s.%%N > "$(dirname "$0")/started"\n' > "$game/zorn.exe"
  chmod 755 "$game/zorn.exe"
  sync
}

ours_once() {
  fresh_game
  local t0 code
  t0=$(now)
  set +e
  KORVEL_UI=console "$korvel" 1 "$game" >"$work/korvel.log" 2>&1 </dev/null
  code=$?
  set -e
  for _ in $(seq 1 100); do [ -f "$game/started" ] && break; sleep 0.1; done
  if [ ! -f "$game/started" ] || ! diff -rq --exclude=update.ini --exclude=zorn.exe \
       --exclude=started --exclude=download "$work/versions/1.0.3" "$game" >/dev/null; then
    echo "korvel did not bring the game to 1.0.3 (exit code $code):" >&2
    tail -n 20 "$work/korvel.log" >&2
    exit 1
  fi
  echo "$(cat "$game/started") - $t0" | bc -l
}

floor_once() {
  rm -rf "$work/floor"; mkdir -p "$work/floor"; sync
  local t0 v
  t0=$(now)
  for i in 0 1 2; do
    v=${versions[$i]}
    if [ "${codecs[$i]}" = bzip2 ]; then
      curl -s -o "$work/floor/p_$v.bz2" "$site/ref/p_$v.bz2"
      lbzip2 -d -n "$cores" -c "$work/floor/p_$v.bz2" > "$work/floor/body_$v"
    else
      curl -s -o "$work/floor/p_$v.lzo" "$site/ref/p_$v.lzo"
      lzop -d -c "$work/floor/p_$v.lzo" > "$work/floor/body_$v"
    fi
  done
  echo "$(now) - $t0" | bc -l
}

echo "timing korvel and the floor, $runs runs each after a warm-up ..."
ours_once >/dev/null
floor_once >/dev/null
ours=() floor=()
for _ in $(seq 1 "$runs"); do
  ours+=("$(ours_once)")
  floor+=("$(floor_once)")
done
m_ours=$(printf '%s\n' "${ours[@]}" | median)
m_floor=$(printf '%s\n' "${floor[@]}" | median)

echo "timing korvel's parts ..."
parts_download=() parts_check=() parts_unpack=() parts_apply=()
for _ in $(seq 1 "$runs"); do
  d=() c=() u=() a=()
  fresh_game
  for v in "${versions[@]}"; do
    p="$work/site/patches/p_$v.dat"
    md5=$(md5sum "$p" | cut -d' ' -f1)
    rm -f "$work/dl.dat"
    d+=("$("$download" "$site/patches/p_$v.dat" "$work/dl.dat" "$md5" 2>/dev/null)")
    t0=$(now); "$md5check" "$work/dl.dat" "$md5"; t1=$(now)
    c+=("$(echo "$t1 - $t0" | bc -l)")
    "$zrpatch" info "$work/dl.dat" >/dev/null; t2=$(now)
    u+=("$(echo "$t2 - $t1" | bc -l)")
    "$zrpatch" apply "$work/dl.dat" --game "$game" --version "$v" >/dev/null; t3=$(now)
    a+=("$(echo "$t3 - $t2" | bc -l)")
  done
  parts_download+=("$(printf '%s\n' "${d[@]}" | sum)")
  parts_check+=("$(printf '%s\n' "${c[@]}" | sum)")
  parts_unpack+=("$(printf '%s\n' "${u[@]}" | sum)")
  parts_apply+=("$(printf '%s\n' "${a[@]}" | sum)")
done
m_download=$(printf '%s\n' "${parts_download[@]}" | median)
m_check=$(printf '%s\n' "${parts_check[@]}" | median)
m_unpack=$(printf '%s\n' "${parts_unpack[@]}" | median)
m_apply=$(printf '%s\n' "${parts_apply[@]}" | median)
m_write=$(echo "$m_apply - $m_unpack" | bc -l)
m_rest=$(echo "$m_ours - $m_download - $m_check - $m_apply" | bc -l)

echo
printf 'whole update, %d MiB unpacked in three patches (LZO %s, bzip2 %s, LZO %s packed bytes)\n' \
  "$size_mb" "$(stat -c %s "$work/site/patches/p_1.0.1.dat")" \
  "$(stat -c %s "$work/site/patches/p_1.0.2.dat")" "$(stat -c %s "$work/site/patches/p_1.0.3.dat")"
printf 'medians of %d runs after one warm-up, seconds\n' "$runs"
printf '  korvel, start to game start:                  %8.3f\n' "$m_ours"
printf '  floor (curl -o; lbzip2 -d -n %d / lzop -d):    %8.3f\n' "$cores" "$m_floor"
printf '  speed ratio vs the floor:                     %8.2f\n' "$(echo "$m_floor / $m_ours" | bc -l)"
printf "where korvel's time goes (each part on its own, medians):\n"
printf '  download with its digest:                     %8.3f\n' "$m_download"
printf '  digest check before use:                      %8.3f\n' "$m_check"
printf '  unpacking:                                    %8.3f\n' "$m_unpack"
printf '  writing the files:                            %8.3f\n' "$m_write"
printf '  the rest (start, update list, game start):    %8.3f\n' "$m_rest"
