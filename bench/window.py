#!/usr/bin/python3.11
"""The updater's window on screen against a plain GTK 3 window.

Under a private Xvfb, starts `korvel 1 GAMEDIR` (the update list held back
by a loopback server that accepts and never answers, so the window only
shows its start) and bench/window_reference.c's program in turn, and times
from the process start:
  - mapped: the MapNotify of the 437 x 463 top-level window;
  - complete: the first frame equal to the settled frame, reading the
    window's pixels every 10 ms until they stop changing.
korvel runs twice per round: with a home whose cache folder holds what an
earlier run left ("second start"), and with a new empty home ("fresh user").
Prints medians and the ratios to the reference; nothing is asserted.

Usage: bench/window.py [BUILD_DIR] (default build/release); RUNS (7) and
SETTLE_MS (5000: how long a frame must stay unchanged) may be set; KEEP=1
keeps the work folder, with every distinct frame of each run in frames/.
"""
import hashlib
import os
import select
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

from Xlib import X, display as xdisplay, error as xerror

WIDTH, HEIGHT = 437, 463
POLL = 0.010
LIMIT = 15.0  # seconds a run may take before it is given up


def start_xvfb():
    read_fd, write_fd = os.pipe()
    proc = subprocess.Popen(
        ["Xvfb", "-displayfd", str(write_fd), "-screen", "0", "1024x768x24",
         "-nolisten", "tcp", "-noreset"],
        pass_fds=(write_fd,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write_fd)
    number = b""
    deadline = time.monotonic() + 20
    while not number.endswith(b"\n") and time.monotonic() < deadline:
        ready, _, _ = select.select([read_fd], [], [], 1)
        if ready:
            chunk = os.read(read_fd, 16)
            if not chunk:
                break
            number += chunk
    os.close(read_fd)
    if not number.strip():
        proc.kill()
        sys.exit("Xvfb did not start (Debian package xvfb)")
    return proc, ":" + number.decode().strip()


class SilentServer:
    """Accepts connections on 127.0.0.1 and never answers them."""

    def __init__(self):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(64)
        self.port = self.sock.getsockname()[1]
        self.held = []
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            self.held.append(conn)


class Watcher:
    """Top-level windows of the display and their pixels."""

    def __init__(self, name):
        self.d = xdisplay.Display(name)
        self.root = self.d.screen().root
        self.root.change_attributes(event_mask=X.SubstructureNotifyMask)
        self.d.sync()

    def drain(self):
        while self.d.pending_events():
            self.d.next_event()

    def wait_map(self, deadline):
        """The first 437 x 463 window mapped before the deadline: (time, window)."""
        fd = self.d.fileno()
        while time.monotonic() < deadline:
            while self.d.pending_events():
                ev = self.d.next_event()
                if ev.type != X.MapNotify:
                    continue
                t = time.monotonic()
                try:
                    g = ev.window.get_geometry()
                except xerror.XError:
                    continue
                if g.width == WIDTH and g.height == HEIGHT:
                    return t, ev.window
            select.select([fd], [], [], 0.05)
        return None, None

    def frame(self, window):
        try:
            pos = window.translate_coords(self.root, 0, 0)
            img = self.root.get_image(-pos.x, -pos.y, WIDTH, HEIGHT, X.ZPixmap, 0xFFFFFFFF)
        except xerror.XError:
            return None
        # The fourth byte of each pixel is padding, not always written alike.
        data = img.data
        colour = hashlib.blake2b(data[0::4], digest_size=16)
        colour.update(data[1::4])
        colour.update(data[2::4])
        return colour.digest(), data

    def wait_settled(self, window, start, settle, keep=None):
        """(first time the settled frame showed, frames seen changing after it).
        With keep, a folder: each distinct frame is written there as a
        picture named after its time."""
        frames = []
        deadline = time.monotonic() + LIMIT
        while time.monotonic() < deadline:
            t = time.monotonic()
            got = self.frame(window)
            f = got[0] if got else None
            if f is not None and (not frames or frames[-1][1] != f):
                frames.append((t, f))
                if keep:
                    save_frame(os.path.join(keep, "%05d.ppm" % ((t - start) * 1000)), got[1])
            if frames and t - frames[-1][0] >= settle:
                break
            time.sleep(max(0.0, POLL - (time.monotonic() - t)))
        if not frames:
            return None, 0
        last = frames[-1][1]
        first = next(i for i, (_, f) in enumerate(frames) if f == last)
        return frames[first][0] - start, len(frames) - 1 - first

    def wait_gone(self, deadline):
        while time.monotonic() < deadline:
            while self.d.pending_events():
                ev = self.d.next_event()
                if ev.type in (X.UnmapNotify, X.DestroyNotify):
                    return
            select.select([self.d.fileno()], [], [], 0.05)


def save_frame(path, data):
    # 32-bit BGRX rows from the server, as a binary PPM.
    rgb = bytearray(WIDTH * HEIGHT * 3)
    rgb[0::3], rgb[1::3], rgb[2::3] = data[2::4], data[1::4], data[0::4]
    with open(path, "wb") as f:
        f.write(b"P6 %d %d 255\n" % (WIDTH, HEIGHT) + bytes(rgb))


def make_game(root, port):
    game = os.path.join(root, "game")
    os.makedirs(game)
    with open(os.path.join(game, "update.ini"), "wb") as f:
        f.write(("[Setting]\r\nVersion=1.0.0\r\nUpdateURLEX=http://127.0.0.1:%d/list.txt\r\n"
                 "PATCHDOWNLOADINFO=http://127.0.0.1:%d/stat\r\n" % (port, port)).encode())
    with open(os.path.join(game, "readme.txt"), "w") as f:
        f.write("Zornia client 1.0.0\n")
    return game


def run_once(watcher, argv, env, settle, keep=None):
    watcher.drain()
    start = time.monotonic()
    proc = subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL, start_new_session=True)
    try:
        mapped_at, window = watcher.wait_map(start + LIMIT)
        if window is None:
            return None
        complete, changes = watcher.wait_settled(window, start, settle, keep)
        if complete is None:
            return None
        return mapped_at - start, complete, changes
    finally:
        try:
            os.killpg(proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        proc.wait()
        watcher.wait_gone(time.monotonic() + 2)
        time.sleep(0.2)


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else "build/release"
    runs = int(os.environ.get("RUNS", "7"))
    settle = int(os.environ.get("SETTLE_MS", "5000")) / 1000.0
    korvel = os.path.abspath(os.path.join(build, "korvel/korvel"))
    reference = os.path.abspath(os.path.join(build, "bench/window_reference"))
    for b in (korvel, reference):
        if not os.access(b, os.X_OK):
            sys.exit("missing %s: build the release tree first (make release)" % b)
    if not shutil.which("Xvfb"):
        sys.exit("Xvfb is missing (Debian package xvfb)")

    work = tempfile.mkdtemp(prefix="korvel-bench-window-")
    xvfb, name = start_xvfb()
    try:
        server = SilentServer()
        game = make_game(work, server.port)
        watcher = Watcher(name)
        runtime = os.path.join(work, "run")
        os.makedirs(runtime, mode=0o700)
        base = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "DISPLAY": name,
                "XDG_RUNTIME_DIR": runtime, "TMPDIR": work, "NO_AT_BRIDGE": "1",
                "LANG": os.environ.get("LANG", "C.UTF-8")}
        counter = [0]

        def home(fresh):
            if fresh:
                counter[0] += 1
                path = os.path.join(work, "home-fresh-%d" % counter[0])
            else:
                path = os.path.join(work, "home")
            os.makedirs(path, exist_ok=True)
            return path

        kinds = [
            ("reference", lambda: ([reference], dict(base, HOME=home(False)))),
            ("korvel, second start",
             lambda: ([korvel, "1", game], dict(base, HOME=home(False), KORVEL_UI="gtk"))),
            ("korvel, fresh user",
             lambda: ([korvel, "1", game], dict(base, HOME=home(True), KORVEL_UI="gtk"))),
        ]
        # Unmeasured: disk caches warm for both programs, and the second
        # start's home as one earlier run left it.
        for _, make in kinds[:2]:
            run_once(watcher, *make(), settle)

        results = {k: [] for k, _ in kinds}
        for r in range(runs):
            for kind, make in kinds:
                keep = None
                if os.environ.get("KEEP") == "1":
                    keep = os.path.join(work, "frames", "%d-%s" % (r + 1, kind.split()[-1]))
                    os.makedirs(keep)
                got = run_once(watcher, *make(), settle, keep)
                if got is None:
                    print("run %d, %s: no window" % (r + 1, kind), file=sys.stderr)
                    continue
                results[kind].append(got)
                print("run %d %-22s mapped %4.0f ms  complete %4.0f ms  changes after %d"
                      % (r + 1, kind, got[0] * 1000, got[1] * 1000, got[2]), flush=True)

        def med(kind, i):
            return statistics.median(x[i] for x in results[kind]) * 1000

        if not all(results.values()):
            sys.exit("some program never showed its window")
        print()
        print("medians of %d runs, load %s" % (runs, open("/proc/loadavg").read().split()[0:3]))
        ref_map, ref_done = med("reference", 0), med("reference", 1)
        print("%-22s mapped %5.0f ms  complete %5.0f ms" % ("reference", ref_map, ref_done))
        for kind, _ in kinds[1:]:
            m, c = med(kind, 0), med(kind, 1)
            flicker = max(x[2] for x in results[kind])
            print("%-22s mapped %5.0f ms (%.2fx)  complete %5.0f ms (%.2fx)  changes after complete: %d"
                  % (kind, m, m / ref_map, c, c / ref_done, flicker))
    finally:
        xvfb.terminate()
        xvfb.wait()
        if os.environ.get("KEEP") == "1":
            print("kept", work, file=sys.stderr)
        else:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
