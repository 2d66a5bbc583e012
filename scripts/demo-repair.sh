#!/usr/bin/env bash
# A repair against local sample servers:
#   scripts/demo-repair.sh [BUILD_DIR]   (make demo-repair: BUILD_DIR is build/debug)
# Publishes a sample client folder (about 40 MB) with `zrpatch seed`: nginx
# serves its files and the seed on a loopback port, opentracker and an aria2c
# seeder offer it as a peer. A copy of the client is then damaged (a file
# missing, one overwritten in the middle, a crash dump left behind) and
# `Vellum` repairs it: the window when there is a display, the console
# otherwise (the demo answers its questions and presses "完成" for you).
# Everything lives in BUILD_DIR/demo-repair; the servers stop on the way out.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -m "${1:-$root/build/debug}")
vellum="$build/Vellum/app/Vellum"
zrpatch="$build/tools/zrpatch"
nginx_helper="$root/tests/support/nginx-server.sh"
swarm_helper="$root/tests/support/swarm.sh"
for b in "$vellum" "$zrpatch"; do
  [ -x "$b" ] || { echo "demo: $b is missing; build first (make build)" >&2; exit 1; }
done

demo="$build/demo-repair"
rm -rf "$demo"
mkdir -p "$demo/site/client/data" "$demo/nginx" "$demo/swarm" "$demo/run"
chmod 700 "$demo/run"
vellum_pid=""
cleanup() {
  [ -n "$vellum_pid" ] && kill "$vellum_pid" 2>/dev/null || true
  bash "$swarm_helper" stop "$demo/swarm" >/dev/null 2>&1 || true
  bash "$nginx_helper" stop "$demo/nginx" >/dev/null 2>&1 || true
  echo "demo: servers stopped"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

step() { printf '\n== %s\n' "$*"; }

step "the published client"
client="$demo/site/client"
PY=/usr/bin/python3.11
$PY -c 'import random,sys; sys.stdout.buffer.write(random.Random(1).randbytes(32 << 20))' > "$client/data/world.pak"
$PY -c 'import random,sys; sys.stdout.buffer.write(random.Random(2).randbytes(8 << 20))' > "$client/data/sound.pak"
printf 'Zornia II client\n' > "$client/readme.txt"
cat > "$client/zorn.exe" <<'SH'
#!/bin/sh
# The sample game: says where it was started.
echo "zorn.exe: the game starts in $(pwd)" > "$(dirname "$0")/game-started.txt"
SH
chmod 755 "$client/zorn.exe"
(cd "$client" && find . -type f | sort | xargs ls -l | awk '{print "  " $5 "\t" $9}')

step "publishing: nginx, opentracker and an aria2c seeder on loopback"
port=$(bash "$nginx_helper" start "$demo/nginx" "$demo/site")
tracker=$(bash "$swarm_helper" start "$demo/swarm" $$)
site="http://127.0.0.1:$port"
"$zrpatch" seed "$client" --web-seed "$site/" --tracker "http://127.0.0.1:$tracker/announce" \
  -o "$demo/site/zornfix.data"
bash "$swarm_helper" add "$demo/swarm" "$demo/site/zornfix.data" "$demo/site" >/dev/null
echo "seed $site/zornfix.data, files as web seed from $site/client/, one peer via the tracker"

step "a damaged copy of the client"
game="$demo/game"
cp -r "$client" "$game"
rm "$game/data/sound.pak"
printf 'damaged' | dd of="$game/data/world.pak" bs=1 seek=$((16 << 20)) conv=notrunc 2>/dev/null
echo "crash" > "$game/zorn-crash.dmp"
echo "  data/sound.pak removed, data/world.pak overwritten at 16 MiB, zorn-crash.dmp left behind"

export VELLUM_SEED_URL="$site/zornfix.data" XDG_RUNTIME_DIR="$demo/run"
# Keep the engine's sockets on loopback and off the router.
export FERREL_OPTIONS="-ListenIp 127.0.0.1 -NotUsingUPnP"
cd "$game"
if [ "${VELLUM_UI:-}" != console ] && { [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; }; then
  step "running Vellum in $game (window on ${DISPLAY:-$WAYLAND_DISPLAY})"
  echo "answer 是 to repair the current folder, then press 完成 when it appears"
  set +e; "$vellum"; code=$?; set -e
else
  step "running Vellum in $game (console: no display)"
  # "ok" to the explanation, "yes" to repairing the current folder; Ctrl+C
  # (here a SIGINT from the demo) presses the button once it reads "完成".
  VELLUM_UI=console VELLUM_ANSWERS="ok,yes" "$vellum" > "$demo/vellum.out" 2>&1 &
  vellum_pid=$!
  tail -f "$demo/vellum.out" --pid="$vellum_pid" &
  for _ in $(seq 600); do
    grep -q '\[完成\]' "$demo/vellum.out" && break
    kill -0 "$vellum_pid" 2>/dev/null || break
    sleep 0.5
  done
  kill -INT "$vellum_pid" 2>/dev/null || true
  set +e; wait "$vellum_pid"; code=$?; set -e
  vellum_pid=""
  sleep 0.5
fi
echo "Vellum ended with exit code $code"

step "the result"
if diff -r --exclude=game-started.txt "$client" "$game" >/dev/null; then
  echo "the game folder matches the published client"
else
  echo "the game folder still differs:"; diff -rq --exclude=game-started.txt "$client" "$game" || true
fi
[ -e "$game/zorn-crash.dmp" ] && echo "the crash dump is still there" || echo "the crash dump was removed"
cat "$game/game-started.txt" 2>/dev/null || echo "the game was not started"
