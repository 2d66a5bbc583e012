#!/usr/bin/env bash
# korvel's BitTorrent download (the script host running btdownloadlibrary)
# against aria2c as a client: the same file from the same aria2c seeder,
# tracked by opentracker, the .torrent served by nginx, all on 127.0.0.1.
# Then the interpreter's share of the updater's start-up.
# Usage: bench/bt_download.sh [BUILD_DIR] (default build/release)
# RUNS (5), SIZE_MB (200) and LIMIT_SECONDS (120, per download) may be set;
# KEEP=1 keeps the work folder with the clients' logs.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
runs=${RUNS:-5}
size_mb=${SIZE_MB:-200}
limit=${LIMIT_SECONDS:-120}
PY=/usr/bin/python3.11
bin="$build/bench/bt_download_bench"
zrpatch="$build/tools/zrpatch"
korvel="$build/korvel/korvel"
for b in "$bin" "$zrpatch" "$korvel"; do
  [ -x "$b" ] || { echo "missing $b: build the release tree first (make release)" >&2; exit 2; }
done
command -v aria2c >/dev/null || { echo "aria2c is missing (Debian package aria2)" >&2; exit 2; }

work=$(mktemp -d /tmp/korvel-bench-bt-XXXXXX)
child=""
cleanup() {
  if [ -n "$child" ]; then
    kill -TERM "$child" 2>/dev/null || true
    wait "$child" 2>/dev/null || true
  fi
  tests/support/swarm.sh stop "$work/swarm" >/dev/null 2>&1 || true
  tests/support/nginx-server.sh stop "$work/nginx" >/dev/null 2>&1 || true
  if [ "${KEEP:-0}" = 1 ]; then echo "kept $work" >&2; else rm -rf "$work"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP
# No user's option files: the download script reads its own from here, and
# aria2c gets --no-conf. The updater's instance lock goes here too.
export XDG_CONFIG_HOME="$work/config" XDG_RUNTIME_DIR="$work/run"
mkdir -p "$XDG_CONFIG_HOME" "$XDG_RUNTIME_DIR" "$work/seed" "$work/www"
chmod 700 "$XDG_RUNTIME_DIR"

now() { date +%s.%N; }
median() { sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
free_port() {
  "$PY" -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1]); s.close()'
}
load() { cut -d' ' -f1-3 /proc/loadavg; }
# bounded SECONDS COMMAND...: runs COMMAND under timeout and waits for it in
# the background, so that a signal to this script is acted on at once (the
# clean-up ends the command with timeout's whole process group).
bounded() {
  local seconds=$1 rc=0
  shift
  timeout -k 5 "$seconds" "$@" &
  child=$!
  wait "$child" || rc=$?
  child=""
  return "$rc"
}

echo "$(nproc) processors, load average at start: $(load)"
echo "generating $size_mb MiB ..."
head -c "$((size_mb * 1024 * 1024))" /dev/urandom > "$work/seed/big.dat"
bytes=$(stat -c %s "$work/seed/big.dat")

# The swarm ends by itself should this shell be killed outright.
tracker_port=$(tests/support/swarm.sh start "$work/swarm" $$)
"$zrpatch" torrent "$work/seed/big.dat" --tracker "http://127.0.0.1:$tracker_port/announce" \
  -o "$work/www/big.dat.torrent"
nginx_port=$(tests/support/nginx-server.sh start "$work/nginx" "$work/www")
seeder_port=$(tests/support/swarm.sh add "$work/swarm" "$work/www/big.dat.torrent" "$work/seed")
url="http://127.0.0.1:$nginx_port/big.dat.torrent"
echo "tracker :$tracker_port, nginx :$nginx_port, aria2c seeder :$seeder_port"

# The options the update server would hand over: listen on loopback only.
option=$("$PY" -c '
import base64, pickle
text = base64.encodebytes(pickle.dumps(["--bind", "127.0.0.1"], 2)).decode("ascii")
print(text.strip().rstrip("=")[::-1])')

# aria2c notes the moment the file is complete (before it would seed).
hook="$work/aria2c-done.sh"
printf '#!/bin/sh\ndate +%%s.%%N > "%s"\n' "$work/aria2c.done" > "$hook"
chmod 755 "$hook"

# One run of each client; each appends one line of seconds to its table.
#   korvel.tsv: complete whole start init import fetch session first_data transfer
#               stop teardown finalize exit user sys rss_kb
#   aria2c.tsv: complete whole user sys rss_kb
run_korvel() {
  local dl="$work/dl" t0 t1
  rm -rf "$dl"; mkdir -p "$dl"
  t0=$(now)
  if ! bounded $((limit + 30)) /usr/bin/time -f '%U %S %M' -o "$work/time.txt" \
      "$bin" "$url" "$dl/big.dat" "$option" "$limit" > "$work/steps.txt" 2>> "$work/korvel.log"; then
    echo "korvel's download failed; the end of its log:" >&2
    tail -n 20 "$work/korvel.log" >&2
    exit 1
  fi
  t1=$(now)
  cmp -s "$dl/big.dat" "$work/seed/big.dat" || { echo "korvel's file differs" >&2; exit 1; }
  rm -rf "$dl"
  awk -v t0="$t0" -v t1="$t1" -v usage="$(cat "$work/time.txt")" '
    { t[$1] = $2 }
    END {
      split(usage, u, " ")
      printf "%.4f %.4f %.4f %.4f %.4f %.4f %.4f %.4f %.4f %.4f %.4f %.4f %.4f %s %s %s\n",
        t["finish"] - t0, t1 - t0, t["main"] - t0, t["init"] - t["main"],
        t["import"] - t["init"], t["fetched"] - t["call"], t["session"] - t["fetched"],
        t["first_data"] - t["session"], t["finish"] - t["first_data"],
        t["stopping"] - t["finish"], t["returned"] - t["stopping"],
        t["finalized"] - t["returned"], t1 - t["finalized"], u[1], u[2], u[3]
    }' "$work/steps.txt" >> "$work/korvel.tsv"
}

run_aria2c() {
  local dl="$work/dl" t0 t1 done_at
  rm -rf "$dl" "$work/aria2c.done"; mkdir -p "$dl"
  t0=$(now)
  if ! bounded "$limit" /usr/bin/time -f '%U %S %M' -o "$work/time.txt" \
      aria2c --no-conf --dir="$dl" --follow-torrent=mem --seed-time=0 \
      --enable-dht=false --enable-dht6=false --bt-enable-lpd=false --enable-peer-exchange=false \
      --disable-ipv6=true --interface=127.0.0.1 --listen-port="$(free_port)" \
      --file-allocation=none --auto-save-interval=0 --summary-interval=0 \
      --console-log-level=warn --on-bt-download-complete="$hook" "$url" \
      >> "$work/aria2c.log" 2>&1; then
    echo "aria2c's download failed; the end of its log:" >&2
    tail -n 20 "$work/aria2c.log" >&2
    exit 1
  fi
  t1=$(now)
  cmp -s "$dl/big.dat" "$work/seed/big.dat" || { echo "aria2c's file differs" >&2; exit 1; }
  rm -rf "$dl"
  # The hook runs apart from aria2c; it has written by now or never will.
  [ -s "$work/aria2c.done" ] && done_at=$(cat "$work/aria2c.done") || done_at=$t1
  echo "$done_at $t0 $t1 $(cat "$work/time.txt")" |
    awk '{ printf "%.4f %.4f %s %s %s\n", $1 - $2, $3 - $2, $4, $5, $6 }' >> "$work/aria2c.tsv"
}

# One warm-up run of each (page cache, the seeder's first reads), then the
# runs in turns so that the other users' load falls on both alike.
echo "warm-up ..."
run_korvel; run_aria2c
: > "$work/korvel.tsv"; : > "$work/aria2c.tsv"
for i in $(seq 1 "$runs"); do
  echo "run $i of $runs (load average $(load)) ..."
  run_korvel
  run_aria2c
done

# column N of a table, median
col() { awk -v n="$2" '{print $n}' "$work/$1.tsv" | median; }

# The updater itself, up to its window (console mode; the update list is
# empty, so it shows "没有补丁需要更新" and ends).
mkdir -p "$work/game"
echo "##1 0 - - - - -" > "$work/www/list.txt"
echo "1.0.0" > "$work/game/readme.txt"
printf '[Setting]\r\nVersion=1.0.0\r\nUpdateURLEX=http://127.0.0.1:%s/list.txt\r\nPATCHDOWNLOADINFO=http://127.0.0.1:%s/patch_download\r\n' \
  "$nginx_port" "$nginx_port" > "$work/game/update.ini"
: > "$work/start.tsv"
for i in $(seq 1 "$runs"); do
  rm -f "$work/window.time"
  t0=$(now)
  # Standard output: the first line is the window's title line.
  { read -r _ && now > "$work/window.time"; cat > /dev/null; } < <(
    KORVEL_UI=console KORVEL_ANSWERS=ok timeout -k 5 30 "$korvel" 1 "$work/game" 2>/dev/null </dev/null)
  t1=$(now)
  [ -s "$work/window.time" ] || { echo "korvel showed no window" >&2; exit 1; }
  echo "$(cat "$work/window.time") $t0 $t1" | awk '{printf "%.4f %.4f\n", $1 - $2, $3 - $2}' \
    >> "$work/start.tsv"
done

k_complete=$(col korvel 1); k_whole=$(col korvel 2)
a_complete=$(col aria2c 1); a_whole=$(col aria2c 2)
mb=$(echo "$bytes / 1000000" | bc -l)
init=$(col korvel 4); import=$(col korvel 5); start=$(col korvel 3)
window=$(col start 1)

echo
printf 'file: %d MiB (%d bytes), %d runs after one warm-up, medians; load average at end: %s\n' \
  "$size_mb" "$bytes" "$runs" "$(load)"
printf 'times from the start of the process to the complete file (korvel: C_debug.finish;\n'
printf 'aria2c: its --on-bt-download-complete hook) and to its end; MB/s = 10^6 bytes/s\n'
printf '%-34s %9s %8s %9s %8s %7s %7s %8s\n' "client" "complete" "MB/s" "process" "MB/s" \
  "user" "sys" "peak RSS"
printf '%-34s %9.3f %8.1f %9.3f %8.1f %7.2f %7.2f %6.0fMB\n' "korvel (script host, libtorrent)" \
  "$k_complete" "$(echo "$mb / $k_complete" | bc -l)" "$k_whole" "$(echo "$mb / $k_whole" | bc -l)" \
  "$(col korvel 14)" "$(col korvel 15)" "$(echo "$(col korvel 16) / 1024" | bc -l)"
printf '%-34s %9.3f %8.1f %9.3f %8.1f %7.2f %7.2f %6.0fMB\n' "aria2c --seed-time=0" \
  "$a_complete" "$(echo "$mb / $a_complete" | bc -l)" "$a_whole" "$(echo "$mb / $a_whole" | bc -l)" \
  "$(col aria2c 3)" "$(col aria2c 4)" "$(echo "$(col aria2c 5) / 1024" | bc -l)"
printf '%-34s %s\n' "  korvel, complete in each run" "$(awk '{printf " %.3f", $1}' "$work/korvel.tsv")" \
  "  aria2c, complete in each run" "$(awk '{printf " %.3f", $1}' "$work/aria2c.tsv")"
printf 'speed ratio korvel / aria2c, file complete: %.2f   (goal 0.7 or more)\n' \
  "$(echo "$a_complete / $k_complete" | bc -l)"
printf 'speed ratio korvel / aria2c, whole process: %.2f\n' "$(echo "$a_whole / $k_whole" | bc -l)"
echo
echo "where korvel's time goes (medians of each step, seconds):"
printf '  %-58s %7.3f\n' \
  "process start to main()" "$start" \
  "InitScriptHost()" "$init" \
  "first import of btdownloadlibrary" "$import" \
  "torrent file fetched (download() to its first status text)" "$(col korvel 6)" \
  "session made, torrent read (to C_debug.active)" "$(col korvel 7)" \
  "first data in the file (connect, handshake, first blocks)" "$(col korvel 8)" \
  "transfer (first data to C_debug.finish)" "$(col korvel 9)" \
  "stop noticed (finish to the 'shutting down' report)" "$(col korvel 10)" \
  "teardown (last announces, session end)" "$(col korvel 11)" \
  "FinalizeScriptHost()" "$(col korvel 12)" \
  "process end" "$(col korvel 13)"
printf '  transfer rate alone: %.1f MB/s\n' "$(echo "$mb / $(col korvel 9)" | bc -l)"
echo
echo "interpreter in start-up (InitScriptHost and the import timed in the bench program):"
printf '  korvel 1 GAME (console, empty update list): start to window %.3f s, whole run %.3f s\n' \
  "$window" "$(col start 2)"
printf '  InitScriptHost() %.3f s = %.0f %% of that start to window\n' \
  "$init" "$(echo "100 * $init / $window" | bc -l)"
printf '  the script'"'"'s first import (at the first BitTorrent download, not at start-up) %.3f s;\n' \
  "$import"
printf '  both together = %.0f %% of the bench process'"'"'s start to download call (%.3f s)\n' \
  "$(echo "100 * ($init + $import) / ($start + $init + $import)" | bc -l)" \
  "$(echo "$start + $init + $import" | bc -l)"
