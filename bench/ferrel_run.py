#!/usr/bin/python3.11
"""Runs Ferrel once over its console until it reports completion.

Usage: ferrel_run.py LIMIT_SECONDS LOG_FILE FERREL [ARGUMENT...]

Ferrel is started without -InteractivePort, so it prints
"[Interactive]P2PState=N" on every change of state. This script reads its
output until state 15 (completed), an error state or LIMIT_SECONDS, then
writes "quit" and waits for the engine to end. Ferrel's output and standard
error go to LOG_FILE.

On success it prints one line of seconds since the engine was started:
    check_start check_end completed exit cpu rss_kb
(check_start: state 12 reported, check_end: state 14 reported, completed:
state 15 reported, exit: the process ended; cpu: the engine's user and
system time; rss_kb: its peak resident size) and exits 0; otherwise it says why
on standard error and exits 1.
"""

import os
import resource
import selectors
import signal
import subprocess
import sys
import time

PREFIX = "[Interactive]P2PState="
CHECKING, DOWNLOADING, COMPLETED = 12, 14, 15
ERROR_STATES = {2: "bad arguments", 4: "start-up failed", 6: "seed digest not fetched",
                9: "seed not fetched", 13: "seed unusable"}
QUIT_WAIT = 30.0


def main(argv):
    if len(argv) < 4:
        print(__doc__, file=sys.stderr)
        return 2
    limit = float(argv[1])
    log = open(argv[2], "ab")
    command = argv[3:]
    t0 = time.monotonic()
    engine = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                              stderr=log)

    # A signal to this script ends the engine too, in its orderly way.
    def stop(signum, _frame):
        engine.terminate()
        try:
            engine.wait(QUIT_WAIT)
        except subprocess.TimeoutExpired:
            engine.kill()
            engine.wait()
        sys.exit(128 + signum)

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)

    seen = {}
    failure = None
    pending = b""
    selector = selectors.DefaultSelector()
    selector.register(engine.stdout, selectors.EVENT_READ)
    deadline = t0 + limit
    while COMPLETED not in seen and failure is None:
        left = deadline - time.monotonic()
        if left <= 0:
            failure = f"no completion within {limit:g} s"
            break
        if not selector.select(min(left, 1.0)):
            continue
        chunk = os.read(engine.stdout.fileno(), 65536)
        now = time.monotonic() - t0
        if not chunk:
            failure = "the engine ended before completion"
            break
        log.write(chunk)
        pending += chunk
        *lines, pending = pending.split(b"\n")
        for raw in lines:
            line = raw.decode("utf-8", "replace").strip()
            if not line.startswith(PREFIX):
                continue
            try:
                state = int(line[len(PREFIX):])
            except ValueError:
                continue
            seen.setdefault(state, now)
            if state in ERROR_STATES:
                failure = f"state {state}: {ERROR_STATES[state]}"
    log.flush()

    try:
        engine.stdin.write(b"quit\n")
        engine.stdin.close()
    except BrokenPipeError:
        pass
    # Drain the rest of its output so that it never blocks on a full pipe.
    end = time.monotonic() + QUIT_WAIT
    while engine.poll() is None and time.monotonic() < end:
        if selector.select(0.2):
            chunk = os.read(engine.stdout.fileno(), 65536)
            if chunk:
                log.write(chunk)
            else:
                selector.unregister(engine.stdout)
    if engine.poll() is None:
        failure = failure or "the engine did not end after quit"
        engine.kill()
    code = engine.wait()
    exit_at = time.monotonic() - t0
    log.close()

    if failure is None and code != 0:
        failure = f"the engine exited with {code}"
    if failure is not None:
        print(f"ferrel_run: {failure} (see {argv[2]})", file=sys.stderr)
        return 1
    check_start = seen.get(CHECKING, seen[COMPLETED])
    check_end = seen.get(DOWNLOADING, seen[COMPLETED])
    # The engine is this script's only child.
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = usage.ru_utime + usage.ru_stime
    print(f"{check_start:.4f} {check_end:.4f} {seen[COMPLETED]:.4f} {exit_at:.4f} {cpu:.4f} "
          f"{usage.ru_maxrss}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
