#!/usr/bin/env bash
# Many engines repairing empty copies of one client at the same moment, from
# one nginx web seed and each other through opentracker, all on loopback:
# how many copies of the client the web seed sends, and how long the swarm
# takes until its last engine is done, against one engine alone.
#
# Every engine runs with the arguments the repair tool gives it (-HttpThread 4
# -P2PUploadThread 6 -P2PUploadListSize 12 -DownloadLimit 10000
# -UploadLimit 10000 -DeleteDownloadInfo), on a loopback address of its own
# (-ListenIp 127.0.0.(100+i)), driven over its console by bench/ferrel_run.py.
# Each configuration runs without and with one aria2c seed box beside the web
# seed. The web seed's bytes are the sum of $body_bytes_sent in nginx's log
# over the client's files.
#
# Usage: bench/swarm.sh [BUILD_DIR] (default build/release)
# ENGINES ("1 6 12"), RUNS (3, medians), SIZE_MB (128), LIMIT_SECONDS (300),
# SEED_BOX ("no yes") and TOOL_ARGS (the tool's arguments above) may be set;
# KEEP=1 keeps the work folder with every engine's log. SHARE ("1 0") says
# which runs to make: 1 with -ShareWebSeeds, 0 without (web seeds at full
# speed, as by default); both are measured in turn within each round, so
# that the load of the machine hits them alike.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
engines_list=${ENGINES:-"1 6 12"}
runs=${RUNS:-3}
size_mb=${SIZE_MB:-128}
limit=${LIMIT_SECONDS:-300}
seed_box_list=${SEED_BOX:-"no yes"}
tool_args=${TOOL_ARGS:-"-HttpThread 4 -P2PUploadThread 6 -P2PUploadListSize 12 -DownloadLimit 10000 -UploadLimit 10000 -DeleteDownloadInfo"}
PY=/usr/bin/python3.11
share_list=${SHARE:-"1 0"}
ferrel="$build/Ferrel/Ferrel"
zrpatch="$build/tools/zrpatch"
for b in "$ferrel" "$zrpatch"; do
  [ -x "$b" ] || { echo "missing $b: build the release tree first (make release)" >&2; exit 2; }
done
for t in aria2c opentracker nginx; do
  command -v "$t" >/dev/null || [ -x "/usr/sbin/$t" ] || { echo "$t is missing" >&2; exit 2; }
done

work=$(mktemp -d /tmp/korvel-bench-swarm-XXXXXX)
pids=()
cleanup() {
  local p
  for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  tests/support/swarm.sh stop "$work/swarm" >/dev/null 2>&1 || true
  tests/support/nginx-server.sh stop "$work/nginx" >/dev/null 2>&1 || true
  if [ "${KEEP:-0}" = 1 ]; then echo "kept $work" >&2; else rm -rf "$work"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

median() { sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
load() { cut -d' ' -f1-3 /proc/loadavg; }

echo "$(nproc) processors, load average at start: $(load)"

# The client: a few files of different sizes, one in a subfolder.
client="$work/www/client"
mkdir -p "$client/data" "$work/nginx"
total=$((size_mb * 1024 * 1024))
echo "generating $size_mb MiB ..."
head -c $((total / 2 + 12345)) /dev/urandom > "$client/data/main.pak"
head -c $((total / 4 - 2345)) /dev/urandom > "$client/data/textures.pak"
head -c $((total / 8 + 999)) /dev/urandom > "$client/zorn.exe"
head -c $((total - total / 2 - 12345 - total / 4 + 2345 - total / 8 - 999)) /dev/urandom > "$client/movie.bin"
bytes=$(find "$client" -type f -printf '%s\n' | awk '{s += $1} END {print s}')

nginx_port=$(tests/support/nginx-server.sh start "$work/nginx" "$work/www")
base="http://127.0.0.1:$nginx_port"
echo "nginx :$nginx_port"

# web_bytes: what nginx has sent of the client's files so far.
web_bytes() {
  sleep 0.2  # nginx logs a request once its response is out
  awk '$4 ~ /^\/client\// {s += $1} END {printf "%.0f\n", s}' "$work/nginx/bytes.log"
}

# run_swarm ENGINES SEED_BOX SHARE: one run; appends "web_bytes last_done" to
# $work/result.ENGINES.SEED_BOX.SHARE.
run_swarm() {
  local n=$1 box=$2 share=$3 i t0 before after last share_flag=""
  [ "$share" = 0 ] || share_flag=-ShareWebSeeds
  tests/support/swarm.sh stop "$work/swarm" >/dev/null 2>&1 || true
  rm -rf "$work/swarm"
  local tracker
  tracker=$(tests/support/swarm.sh start "$work/swarm" $$)
  rm -f "$work/www/zornfix.data" "$work/www/zornfix.data.md5"
  "$zrpatch" seed "$client" --web-seed "$base" --tracker "http://127.0.0.1:$tracker/announce" \
    -o "$work/www/zornfix.data" > /dev/null
  if [ "$box" = yes ]; then
    tests/support/swarm.sh add "$work/swarm" "$work/www/zornfix.data" "$work/www" > /dev/null
  else
    tests/support/swarm.sh track "$work/swarm" "$work/www/zornfix.data"
  fi
  before=$(web_bytes)
  pids=()
  for i in $(seq 1 "$n"); do
    rm -rf "$work/copy.$i"; mkdir -p "$work/copy.$i"
    # shellcheck disable=SC2086
    timeout -k 5 $((limit + 60)) "$PY" bench/ferrel_run.py "$limit" "$work/ferrel.$i.log" \
      "$ferrel" -Dir "$work/copy.$i" -HttpUrl "$base" -Torrent zornfix.data -Mode repair \
      $tool_args -ListenIp "127.0.0.$((100 + i))" -NotUsingUPnP $share_flag \
      > "$work/run.$i.out" 2>> "$work/ferrel.$i.log" &
    pids+=($!)
  done
  local failed=0
  for i in $(seq 1 "$n"); do
    wait "${pids[$((i - 1))]}" || { failed=1; echo "engine $i failed:" >&2; tail -n 5 "$work/ferrel.$i.log" >&2; }
  done
  pids=()
  [ "$failed" = 0 ] || exit 1
  after=$(web_bytes)
  for i in $(seq 1 "$n"); do
    diff -r "$client" "$work/copy.$i" > /dev/null ||
      { echo "engine $i: the copy differs from the client" >&2; exit 1; }
    rm -rf "$work/copy.$i"
  done
  # The engines start within milliseconds of each other: the swarm's time
  # is its slowest engine's, from its start to its "P2PState=15".
  last=$(awk '{print $3}' "$work"/run.*.out | sort -g | tail -n 1)
  rm -f "$work"/run.*.out
  echo "$((after - before)) $last" >> "$work/result.$n.$box.$share"
  tests/support/swarm.sh stop "$work/swarm" >/dev/null 2>&1 || true
}

for r in $(seq 1 "$runs"); do
  for box in $seed_box_list; do
    for n in $engines_list; do
      for share in $share_list; do
        echo "run $r of $runs: $n engine(s), seed box $box, sharing $share (load average $(load)) ..."
        run_swarm "$n" "$box" "$share"
      done
    done
  done
done

echo
printf 'client: %d bytes (%d MiB); %d runs, medians; load average at end: %s\n' \
  "$bytes" "$size_mb" "$runs" "$(load)"
printf 'engine arguments: %s\n' "$tool_args"
printf 'web seed: bytes nginx sent of the client files, as copies of the client;\n'
printf 'last done: seconds from the start to the slowest engine'"'"'s completion\n\n'
printf 'sharing: 1 with -ShareWebSeeds, 0 without; vs 0: last done against the run without\n\n'
printf '%-8s %-9s %-8s %11s %12s %10s %11s   %s\n' engines "seed box" sharing "web copies" "last done" "vs 0" "vs 1 alone" "runs (copies/seconds)"
for box in $seed_box_list; do
  for share in $share_list; do
    alone=""
    [ -f "$work/result.1.$box.$share" ] && alone=$(awk '{print $2}' "$work/result.1.$box.$share" | median)
    for n in $engines_list; do
      f="$work/result.$n.$box.$share"
      copies=$(awk -v b="$bytes" '{print $1 / b}' "$f" | median)
      last=$(awk '{print $2}' "$f" | median)
      ratio="-"
      [ -n "$alone" ] && ratio=$(awk -v a="$alone" -v l="$last" 'BEGIN {printf "%.2f", l / a}')
      versus="-"
      if [ -f "$work/result.$n.$box.0" ]; then
        base=$(awk '{print $2}' "$work/result.$n.$box.0" | median)
        versus=$(awk -v a="$base" -v l="$last" 'BEGIN {printf "%.2f", l / a}')
      fi
      each=$(awk -v b="$bytes" '{printf " %.2f/%.2f", $1 / b, $2}' "$f")
      printf '%-8s %-9s %-8s %11.2f %10.2f s %10s %11s  %s\n' "$n" "$box" "$share" "$copies" "$last" "$versus" "$ratio" "$each"
    done
  done
done
