#!/usr/bin/env bash
# A private BitTorrent swarm on the loopback address for tests, demos and
# benchmarks: one opentracker that only tracks whitelisted torrents, and one
# aria2c seeder per added torrent. Nothing listens anywhere but 127.0.0.1.
#
#   swarm.sh start STATE_DIR [OWNER_PID]
#       starts the tracker and prints its port; the announce address is
#       http://127.0.0.1:PORT/announce. With OWNER_PID, the swarm stops by
#       itself once that process is gone (a crashed test leaves nothing).
#   swarm.sh add STATE_DIR TORRENT_FILE DATA_DIR
#       whitelists the torrent's info-hash, starts an aria2c seeder for the
#       data in DATA_DIR (checked in full first), waits until the tracker
#       lists it as a seed and prints the seeder's port.
#   swarm.sh track STATE_DIR TORRENT_FILE
#       whitelists the torrent only: the tracker knows it, nobody seeds it.
#   swarm.sh stop STATE_DIR
#       stops the seeders, the tracker and the watchdog.
#
# STATE_DIR gets opentracker.log, aria2c.N.log and the pid files.
set -euo pipefail

PY=/usr/bin/python3.11
OPENTRACKER=${OPENTRACKER:-$(command -v opentracker || echo /usr/bin/opentracker)}
ARIA2C=${ARIA2C:-$(command -v aria2c || echo /usr/bin/aria2c)}
# Upper bound of a seeder's life, in minutes.
SEED_MINUTES=${SWARM_SEED_MINUTES:-120}

free_port() {
  "$PY" -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1]); s.close()'
}

# Whether process $1 runs (a zombie does not).
running() {
  [ -r "/proc/$1/stat" ] || return 1
  case "$(cut -d' ' -f3 "/proc/$1/stat" 2>/dev/null)" in Z|X|"") return 1 ;; esac
}

# Ends the processes whose pids are given: TERM to all, then waits for each
# to be gone; what still runs after 2 s gets KILL.
end_processes() {
  local pid
  kill -TERM "$@" 2>/dev/null || true
  for pid in "$@"; do
    for _ in $(seq 1 100); do
      running "$pid" || break
      sleep 0.02
    done
    if running "$pid"; then kill -KILL "$pid" 2>/dev/null || true; fi
  done
}

# tracker_wait PORT INFO_HASH_HEX whitelisted|seeded SECONDS [PID]: polls the
# tracker for at most SECONDS until it accepts the torrent (a probe peer is
# announced and taken off again) or lists a seed for it; gives up early when
# process PID has ended.
tracker_wait() {
  "$PY" - "$@" <<'PY'
import os, sys, time, urllib.parse, urllib.request
import libtorrent as lt
port, info_hash, what, seconds = sys.argv[1:5]
pid = int(sys.argv[5]) if len(sys.argv) > 5 else 0
opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))

last = ""

def ask(path, **query):
    global last
    query["info_hash"] = bytes.fromhex(info_hash)
    # %20, not "+", for a space: the tracker takes "+" literally.
    url = "http://127.0.0.1:%s/%s?%s" % (
        port, path, urllib.parse.urlencode(query, quote_via=urllib.parse.quote))
    try:
        with opener.open(url, timeout=5) as r:
            data = r.read()
        last = repr(data[:200])
        return lt.bdecode(data) or {}
    except (OSError, RuntimeError) as e:
        last = repr(e)
        return {}

def probe(event):
    return ask("announce", peer_id=b"-SWARMSH-probe000000", port=9, uploaded=0,
               downloaded=0, left=0, compact=1, event=event)

def ready():
    if what == "whitelisted":
        answer = probe("started")
        if answer and b"failure reason" not in answer:
            probe("stopped")
            return True
        return False
    files = ask("scrape").get(b"files", {})
    return files.get(bytes.fromhex(info_hash), {}).get(b"complete", 0) >= 1

def alive():
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().split(")")[-1].split()[0] not in ("Z", "X")
    except OSError:
        return False

end = time.monotonic() + float(seconds)
while time.monotonic() < end:
    if ready():
        sys.exit(0)
    if pid and not alive():
        sys.exit(1)
    time.sleep(0.05)
print("swarm.sh: last answer of the tracker: " + last, file=sys.stderr)
sys.exit(1)
PY
}

case "${1:-}" in
  start)
    state=$(realpath -m "$2"); owner=${3:-}
    mkdir -p "$state"
    : > "$state/whitelist"
    chmod 644 "$state/whitelist"
    # As root, opentracker always drops to "nobody" and chroots into its -d
    # folder: the state folder is then its whole world and the whitelist is
    # /whitelist inside it. Otherwise it keeps our user and the host path.
    if [ "$(id -u)" = 0 ]; then
      chmod 755 "$state"
      whitelist=/whitelist
    else
      whitelist=$state/whitelist
    fi
    for attempt in 1 2 3 4 5; do
      port=$(free_port)
      "$OPENTRACKER" -i 127.0.0.1 -p "$port" -P "$port" -A 127.0.0.1 \
        -w "$whitelist" -d "$state" </dev/null >>"$state/opentracker.log" 2>&1 &
      echo $! > "$state/opentracker.pid"
      echo "$port" > "$state/tracker.port"
      for _ in $(seq 1 100); do
        kill -0 "$(cat "$state/opentracker.pid")" 2>/dev/null || break
        if (exec 3<>/dev/tcp/127.0.0.1/$port) 2>/dev/null; then
          if [ -n "$owner" ]; then
            (
              # sleep in the background so that TERM ends the wait at once
              while running "$owner"; do sleep 1 & wait $!; done
              "$0" stop "$state"
            ) </dev/null >/dev/null 2>&1 &
            echo $! > "$state/watchdog.pid"
          fi
          echo "$port"
          exit 0
        fi
        sleep 0.05
      done
      end_processes "$(cat "$state/opentracker.pid")"
    done
    echo "swarm.sh: opentracker did not start (see $state/opentracker.log)" >&2
    exit 1
    ;;
  add|track)
    state=$(realpath -m "$2"); torrent=$(realpath "$3")
    port=$(cat "$state/tracker.port")
    tracker_pid=$(cat "$state/opentracker.pid")
    info_hash=$("$PY" -c 'import sys, libtorrent as lt; print(lt.torrent_info(sys.argv[1]).info_hashes().v1)' "$torrent")
    echo "$info_hash" >> "$state/whitelist"
    kill -HUP "$tracker_pid"
    # The tracker reloads its list on a thread of its own.
    if ! tracker_wait "$port" "$info_hash" whitelisted 10; then
      echo "swarm.sh: the tracker did not take $info_hash (see $state/opentracker.log)" >&2
      exit 1
    fi
    [ "$1" = track ] && exit 0
    data=$(realpath "$4")
    n=0
    while [ -e "$state/aria2c.$n.pid" ]; do n=$((n + 1)); done
    seeder_port=$(free_port)
    # Each seeder has a loopback address of its own: a client that takes
    # one connection per address would otherwise see every seeder and every
    # departed peer as the same peer.
    seeder_ip=127.0.0.$((10 + n % 240))
    "$ARIA2C" --dir="$data" --check-integrity=true --bt-seed-unverified=false \
      --seed-ratio=0.0 --seed-time="$SEED_MINUTES" --stop-with-process="$tracker_pid" \
      --enable-dht=false --enable-dht6=false --bt-enable-lpd=false --enable-peer-exchange=false \
      --disable-ipv6=true --interface="$seeder_ip" --bt-external-ip="$seeder_ip" \
      --listen-port="$seeder_port" --file-allocation=none --auto-save-interval=0 \
      --summary-interval=0 --console-log-level=warn --log="$state/aria2c.$n.log" --log-level=notice \
      "$torrent" </dev/null >>"$state/aria2c.$n.out" 2>&1 &
    echo $! > "$state/aria2c.$n.pid"
    if tracker_wait "$port" "$info_hash" seeded 30 "$(cat "$state/aria2c.$n.pid")"; then
      echo "$seeder_port"
      exit 0
    fi
    echo "swarm.sh: the seeder did not reach the tracker; $state/aria2c.$n.log:" >&2
    tail -n 20 "$state/aria2c.$n.log" "$state/aria2c.$n.out" >&2 || true
    exit 1
    ;;
  stop)
    state=$(realpath -m "$2")
    pids=()
    # Not the watchdog when it is the one calling (as our parent, or as
    # ourselves when its shell ran us in its own place).
    if [ -f "$state/watchdog.pid" ]; then
      watchdog=$(cat "$state/watchdog.pid")
      if [ "$watchdog" != "$PPID" ] && [ "$watchdog" != $$ ]; then pids+=("$watchdog"); fi
    fi
    for f in "$state"/aria2c.*.pid "$state/opentracker.pid"; do
      if [ -f "$f" ]; then pids+=("$(cat "$f")"); fi
    done
    if [ ${#pids[@]} -gt 0 ]; then end_processes "${pids[@]}"; fi
    rm -f "$state"/*.pid
    ;;
  *)
    echo "usage: $0 start STATE_DIR [OWNER_PID] | add STATE_DIR TORRENT DATA_DIR | stop STATE_DIR" >&2
    exit 2
    ;;
esac
