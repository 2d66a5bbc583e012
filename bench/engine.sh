#!/usr/bin/env bash
# The download engine Ferrel against reference tools on one client folder
# published with 'zrpatch seed' and served by nginx on 127.0.0.1:
#   1. checking an intact copy (Ferrel -HttpThread 0) against sha1sum over
#      the same files;
#   2. filling an empty folder from the web seed (Ferrel -HttpThread 4)
#      against aria2c -x4 fetching every file from the same nginx.
# Ferrel is driven over its console by bench/ferrel_run.py.
# Usage: bench/engine.sh [BUILD_DIR] (default build/release)
# RUNS (5), SIZE_MB (1024) and LIMIT_SECONDS (300, per run) may be set;
# KEEP=1 keeps the work folder with the engine's logs. CACHE=warm keeps the
# page cache between runs; by default it is dropped before every timed run
# when /proc/sys/vm/drop_caches can be written, otherwise both tools run with
# a warm cache and the report says so.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
runs=${RUNS:-5}
size_mb=${SIZE_MB:-1024}
limit=${LIMIT_SECONDS:-300}
PY=/usr/bin/python3.11
ferrel="$build/Ferrel/Ferrel"
zrpatch="$build/tools/zrpatch"
for b in "$ferrel" "$zrpatch"; do
  [ -x "$b" ] || { echo "missing $b: build the release tree first (make release)" >&2; exit 2; }
done
command -v aria2c >/dev/null || { echo "aria2c is missing (Debian package aria2)" >&2; exit 2; }

work=$(mktemp -d /tmp/korvel-bench-engine-XXXXXX)
child=""
cleanup() {
  if [ -n "$child" ]; then
    kill -TERM "$child" 2>/dev/null || true
    wait "$child" 2>/dev/null || true
  fi
  tests/support/nginx-server.sh stop "$work/nginx" >/dev/null 2>&1 || true
  if [ "${KEEP:-0}" = 1 ]; then echo "kept $work" >&2; else rm -rf "$work"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

now() { date +%s.%N; }
median() { sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
load() { cut -d' ' -f1-3 /proc/loadavg; }
# bounded SECONDS COMMAND...: as in bt_download.sh, the command runs under
# timeout in the background so that a signal to this script is acted on at
# once (the clean-up ends timeout's whole process group).
bounded() {
  local seconds=$1 rc=0
  shift
  timeout -k 5 "$seconds" "$@" &
  child=$!
  wait "$child" || rc=$?
  child=""
  return "$rc"
}

# The page cache: dropped before each timed run when that is allowed and
# takes effect (a container may accept the write and keep the cache).
cached_kb() { awk '/^Cached:/ {print $2}' /proc/meminfo; }
cache=${CACHE:-cold}
drop_cache() {
  [ "$cache" = cold ] || return 0
  sync
  echo 3 > /proc/sys/vm/drop_caches 2>/dev/null || return 1
}

echo "$(nproc) processors, load average at start: $(load)"

# The client folder: a handful of files of different sizes, some in
# subfolders, none a whole number of pieces, adding up to SIZE_MB MiB.
client="$work/www/client"
mkdir -p "$client/data" "$client/media/sound" "$work/nginx"
total=$((size_mb * 1024 * 1024))
names=(data/main.pak data/textures.pak media/movie.bin data/models.pak
  media/sound/music.bin data/script.pak zorn.exe media/sound/voice.bin)
permille=(400 250 150 100 50 30 15 5)
echo "generating $size_mb MiB in ${#names[@]} files and a few small ones ..."
left=$total
for i in "${!names[@]}"; do
  size=$((total / 1000 * ${permille[$i]} + 1234 * (i + 1)))
  [ "$size" -le "$left" ] || size=$left
  head -c "$size" /dev/urandom > "$client/${names[$i]}"
  left=$((left - size))
done
for n in 1 2 3; do head -c $((n * 777)) /dev/urandom > "$client/small$n.ini"; left=$((left - n * 777)); done
[ "$left" -gt 0 ] && head -c "$left" /dev/urandom > "$client/data/rest.dat"
files=$(find "$client" -type f | wc -l)
bytes=$(find "$client" -type f -printf '%s\n' | awk '{s += $1} END {print s}')

nginx_port=$(tests/support/nginx-server.sh start "$work/nginx" "$work/www")
base="http://127.0.0.1:$nginx_port"
"$zrpatch" seed "$client" --web-seed "$base" -o "$work/www/zornfix.data"
echo "nginx :$nginx_port"

if [ "$cache" = cold ]; then
  before=$(cached_kb)
  if drop_cache && [ "$(cached_kb)" -lt $((before - bytes / 2048)) ]; then
    echo "page cache: dropped before every timed run (cold)"
  else
    cache=warm
    echo "page cache: cannot be dropped here; every run with a warm cache"
  fi
fi
[ "$cache" = warm ] && echo "page cache: kept (warm); a warm-up run of each tool first"

# run_ferrel DIR HTTP_THREADS: one engine run in repair mode; appends its line
# (check_start check_end completed exit cpu rss_kb, seconds from its start;
# cpu: its user and system time; rss_kb: its peak resident size) to
# $work/ferrel.out.
run_ferrel() {
  local dir=$1 threads=$2
  if ! bounded $((limit + 60)) "$PY" bench/ferrel_run.py "$limit" "$work/ferrel.log" \
      "$ferrel" -Mode repair -Dir "$dir" -HttpUrl "$base" -Torrent zornfix.data \
      -ListenIp 127.0.0.1 -NotUsingUPnP -HttpThread "$threads" -DeleteDownloadInfo \
      >> "$work/ferrel.out"; then
    echo "Ferrel failed; the end of its log:" >&2
    tail -n 20 "$work/ferrel.log" >&2
    exit 1
  fi
}

same_files() {
  diff -r "$client" "$1" > /dev/null || { echo "$2: the folder differs from the published one" >&2; exit 1; }
}

# 1. Checking an intact copy.
copy="$work/copy"
cp -r "$client" "$copy"
# check.tsv: ferrel_check (state 12 to 15) ferrel_process (start to 15) sha1sum
#            ferrel_cpu sha1sum_cpu ferrel_rss_kb sha1sum_rss_kb
run_check() {
  local t0 t1
  : > "$work/ferrel.out"
  drop_cache || true
  run_ferrel "$copy" 0
  drop_cache || true
  t0=$(now)
  /usr/bin/time -f '%U %S %M' -o "$work/time.txt" \
    bash -c 'find "$1" -type f -print0 | xargs -0 sha1sum > /dev/null' _ "$copy"
  t1=$(now)
  awk -v s="$(echo "$t1 - $t0" | bc -l)" -v usage="$(cat "$work/time.txt")" '
    { split(usage, u, " ")
      printf "%.4f %.4f %.4f %.4f %.4f %d %d\n", $3 - $1, $3, s, $5, u[1] + u[2], $6, u[3] }' \
    "$work/ferrel.out" >> "$work/check.tsv"
}

# 2. Filling an empty folder. aria2c gets every file's address with its path.
list="$work/aria2c.txt"
: > "$list"
(cd "$client" && find . -type f -printf '%P\n') | while read -r path; do
  printf '%s/client/%s\n  out=%s\n' "$base" "$path" "$path" >> "$list"
done
# download.tsv: ferrel_download (state 12 to 15) ferrel_process (start to 15) aria2c
#               ferrel_cpu aria2c_cpu ferrel_rss_kb aria2c_rss_kb
run_download() {
  local dl="$work/dl" t0 t1
  rm -rf "$dl"; mkdir -p "$dl"
  : > "$work/ferrel.out"
  drop_cache || true
  run_ferrel "$dl" 4
  same_files "$dl" Ferrel
  rm -rf "$dl"; mkdir -p "$dl"
  drop_cache || true
  t0=$(now)
  if ! bounded "$limit" /usr/bin/time -f '%U %S %M' -o "$work/time.txt" aria2c --no-conf -x4 -s4 -j "$files" -d "$dl" -i "$list" \
      --allow-overwrite=true --auto-file-renaming=false --file-allocation=none \
      --auto-save-interval=0 --summary-interval=0 --console-log-level=warn \
      --disable-ipv6=true >> "$work/aria2c.log" 2>&1; then
    echo "aria2c failed; the end of its log:" >&2
    tail -n 20 "$work/aria2c.log" >&2
    exit 1
  fi
  t1=$(now)
  same_files "$dl" aria2c
  rm -rf "$dl"
  awk -v s="$(echo "$t1 - $t0" | bc -l)" -v usage="$(cat "$work/time.txt")" '
    { split(usage, u, " ")
      printf "%.4f %.4f %.4f %.4f %.4f %d %d\n", $3 - $1, $3, s, $5, u[1] + u[2], $6, u[3] }' \
    "$work/ferrel.out" >> "$work/download.tsv"
}

if [ "$cache" = warm ]; then
  echo "warm-up ..."
  run_check; run_download
fi
: > "$work/check.tsv"; : > "$work/download.tsv"
for i in $(seq 1 "$runs"); do
  echo "run $i of $runs (load average $(load)) ..."
  run_check
  run_download
done

col() { awk -v n="$2" '{print $n}' "$work/$1.tsv" | median; }
each() { awk -v n="$2" '{printf " %.3f", $n}' "$work/$1.tsv"; }
mb=$(echo "$bytes / 1000000" | bc -l)
rate() { echo "$mb / $1" | bc -l; }

echo
printf 'client folder: %d files, %d bytes (%d MiB); %d runs, medians; page cache %s;\n' \
  "$files" "$bytes" "$size_mb" "$runs" "$cache"
printf 'load average at end: %s. Ferrel: from "P2PState=12" to "P2PState=15" on its console\n' "$(load)"
printf '(process: from its start, seed fetch included); MB/s = 10^6 bytes/s\n'
echo
echo "1. check of an intact copy"
c_f=$(col check 1); c_p=$(col check 2); c_s=$(col check 3)
printf '  %-44s %8.3f s %7.1f MB/s   runs:%s\n' \
  "Ferrel -HttpThread 0, state 12 to 15" "$c_f" "$(rate "$c_f")" "$(each check 1)" \
  "Ferrel, process start to state 15" "$c_p" "$(rate "$c_p")" "$(each check 2)" \
  "find | xargs -0 sha1sum" "$c_s" "$(rate "$c_s")" "$(each check 3)"
printf '  processor time (user + system): Ferrel %.2f s, sha1sum %.2f s; peak RSS: Ferrel %.0f MB, sha1sum %.0f MB\n' \
  "$(col check 4)" "$(col check 5)" "$(echo "$(col check 6) / 1024" | bc -l)" "$(echo "$(col check 7) / 1024" | bc -l)"
printf '  speed ratio Ferrel / sha1sum (sha1sum time / Ferrel time): %.2f   (goal 0.8 or more)\n' \
  "$(echo "$c_s / $c_f" | bc -l)"
printf '  the same from the process start:                           %.2f\n' \
  "$(echo "$c_s / $c_p" | bc -l)"
echo
echo "2. download into an empty folder"
d_f=$(col download 1); d_p=$(col download 2); d_a=$(col download 3)
printf '  %-44s %8.3f s %7.1f MB/s   runs:%s\n' \
  "Ferrel -HttpThread 4, state 12 to 15" "$d_f" "$(rate "$d_f")" "$(each download 1)" \
  "Ferrel, process start to state 15" "$d_p" "$(rate "$d_p")" "$(each download 2)" \
  "aria2c -x4 -s4 -j $files, whole process" "$d_a" "$(rate "$d_a")" "$(each download 3)"
printf '  processor time (user + system): Ferrel %.2f s, aria2c %.2f s; peak RSS: Ferrel %.0f MB, aria2c %.0f MB\n' \
  "$(col download 4)" "$(col download 5)" "$(echo "$(col download 6) / 1024" | bc -l)" \
  "$(echo "$(col download 7) / 1024" | bc -l)"
printf '  speed ratio Ferrel / aria2c (aria2c time / Ferrel time): %.2f   (goal 0.8 or more)\n' \
  "$(echo "$d_a / $d_f" | bc -l)"
printf '  the same from the process start:                         %.2f\n' \
  "$(echo "$d_a / $d_p" | bc -l)"
