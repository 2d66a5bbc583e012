"""Shared pieces of the download script's tests: a recording C_debug, the
script module itself, torrents made with libtorrent, and the loopback
servers (nginx, and the opentracker/aria2c swarm of tests/support)."""

import atexit
import os
import pathlib
import subprocess
import sys
import tempfile
import threading
import time
import types
import urllib.parse
import urllib.request

import libtorrent as lt

REPO = pathlib.Path(__file__).resolve().parents[4]
SUPPORT = REPO / "tests" / "support"


class FakeCDebug(types.ModuleType):
    """The host's C_debug: checks argument types as the host's parse formats
    do ("s", "", "s", "iO!", "L") and records every call with its time and
    thread. display answers what `answer(done, statistics)` returns."""

    def __init__(self):
        super().__init__("C_debug")
        self.lock = threading.Lock()
        self.reset()

    def reset(self, answer=None, on_finish=None):
        with self.lock:
            self.records = []
            self.answer = answer or (lambda done, statistics: False)
            self.on_finish = on_finish or (lambda: None)

    def _record(self, name, *args):
        with self.lock:
            self.records.append((time.monotonic(), threading.get_ident(), name, args))

    @staticmethod
    def _check_text(s):
        # What the "s" format refuses.
        if not isinstance(s, str):
            raise TypeError("argument must be str")
        s.encode("utf-8")
        if "\0" in s:
            raise ValueError("embedded null character")

    def output(self, s):
        self._check_text(s)
        self._record("output", s)

    def finish(self):
        self._record("finish")
        self.on_finish()  # what the host may do at once, such as reading the file

    def error(self, s):
        self._check_text(s)
        self._record("error", s)

    def display(self, done, statistics):
        if not isinstance(done, int) or not isinstance(statistics, dict):
            raise TypeError("display() takes an int and a dict")
        self._record("display", done, dict(statistics))
        return bool(self.answer(done, statistics))

    def active(self, total):
        if not isinstance(total, int):
            raise TypeError("active() argument must be int")
        self._record("active", total)

    def calls(self, name, thread=None):
        with self.lock:
            return [r for r in self.records
                    if r[2] == name and (thread is None or r[1] == thread)]

    def texts(self, name="error"):
        return [r[3][0] for r in self.calls(name)]


C_DEBUG = FakeCDebug()
sys.modules["C_debug"] = C_DEBUG

# No per-user option file of the machine's user may steer the tests.
os.environ["XDG_CONFIG_HOME"] = tempfile.mkdtemp(prefix="korvel-xdg-")
atexit.register(lambda: subprocess.run(["rm", "-rf", os.environ["XDG_CONFIG_HOME"]]))


def _load_script():
    sys.path.insert(0, str(REPO / "korvel" / "bt" / "script"))
    saved = sys.stdout, sys.stderr
    try:
        import btdownloadlibrary
    finally:
        sys.stdout, sys.stderr = saved
    return btdownloadlibrary


script = _load_script()
encode_args = getattr(script, "__encode_args")
decode_args = getattr(script, "__decode_args")


def wait_until(predicate, timeout, interval=0.02):
    """Polls predicate until it is true or timeout seconds passed."""
    end = time.monotonic() + timeout
    while True:
        if predicate():
            return True
        if time.monotonic() >= end:
            return False
        time.sleep(interval)


def write_file(path, data):
    path = pathlib.Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(data)
    return path


def make_torrent(data_path, tracker=None, web_seed=None, piece_size=0):
    """v1-only torrent of one file or folder, as bytes."""
    data_path = pathlib.Path(data_path)
    fs = lt.file_storage()
    lt.add_files(fs, str(data_path))
    ct = lt.create_torrent(fs, piece_size, flags=lt.create_torrent.v1_only)
    if tracker:
        ct.add_tracker(tracker)
    if web_seed:
        ct.add_url_seed(web_seed)
    lt.set_piece_hashes(ct, str(data_path.parent))
    return lt.bencode(ct.generate())


def info_hash(torrent):
    return str(lt.torrent_info(torrent).info_hashes().v1)


class TempDir:
    def __init__(self):
        self.path = pathlib.Path(tempfile.mkdtemp(prefix="korvel-bt-"))

    def tree(self):
        """Every file below the folder, relative, with its size."""
        return {str(p.relative_to(self.path)): p.lstat().st_size
                for p in self.path.rglob("*") if p.is_file() or p.is_symlink()}

    def remove(self):
        subprocess.run(["rm", "-rf", str(self.path)], check=False)


class Nginx:
    """nginx on a free loopback port serving root."""

    def __init__(self, root):
        self.state = pathlib.Path(tempfile.mkdtemp(prefix="korvel-nginx-"))
        out = subprocess.run([str(SUPPORT / "nginx-server.sh"), "start", str(self.state), str(root)],
                             capture_output=True, text=True, timeout=30)
        if out.returncode != 0:
            raise RuntimeError("nginx: " + out.stderr)
        self.port = int(out.stdout)

    def url(self, path):
        return "http://127.0.0.1:%d/%s" % (self.port, path.lstrip("/"))

    def requests(self, count):
        """Request lines and statuses of the access log once it has count
        lines (nginx writes them after the answers went out)."""
        log = self.state / "access.log"
        wait_until(lambda: log.read_text().count("\n") >= count, 2)
        return [line.split('"')[1] + " " + line.rsplit(" ", 1)[1]
                for line in log.read_text().splitlines()]

    def body_bytes(self, prefix):
        """Bytes of the answers' bodies to requests for paths starting with
        prefix, once nginx has logged them."""
        time.sleep(0.2)
        total = 0
        for line in (self.state / "bytes.log").read_text().splitlines():
            fields = line.split()
            if len(fields) > 3 and fields[3].startswith(prefix):
                total += int(fields[0])
        return total

    def stop(self):
        subprocess.run([str(SUPPORT / "nginx-server.sh"), "stop", str(self.state)], timeout=30)
        subprocess.run(["rm", "-rf", str(self.state)])


class Swarm:
    """opentracker with aria2c seeders, through tests/support/swarm.sh."""

    def __init__(self):
        self.state = pathlib.Path(tempfile.mkdtemp(prefix="korvel-swarm-"))
        self.port = int(self._run("start", str(self.state), str(os.getpid())))
        self.announce = "http://127.0.0.1:%d/announce" % self.port

    def _run(self, *args):
        out = subprocess.run([str(SUPPORT / "swarm.sh")] + list(args),
                             capture_output=True, text=True, timeout=60)
        if out.returncode != 0:
            raise RuntimeError("swarm.sh %s: %s" % (args[0], out.stderr))
        return out.stdout

    def seed(self, torrent_path, data_dir):
        return int(self._run("add", str(self.state), str(torrent_path), str(data_dir)))

    def track(self, torrent_path):
        """The tracker lists the torrent's peers; nobody seeds it."""
        self._run("track", str(self.state), str(torrent_path))

    def peers(self, torrent):
        """(seeds, leechers) the tracker lists for the torrent."""
        # %20 for a space: the tracker takes "+" literally.
        query = urllib.parse.urlencode({"info_hash": bytes.fromhex(info_hash(torrent))},
                                       quote_via=urllib.parse.quote)
        opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))
        with opener.open("http://127.0.0.1:%d/scrape?%s" % (self.port, query), timeout=5) as r:
            files = lt.bdecode(r.read()).get(b"files", {})
        entry = next(iter(files.values()), {})
        return entry.get(b"complete", 0), entry.get(b"incomplete", 0)

    def stop(self):
        self._run("stop", str(self.state))
        subprocess.run(["rm", "-rf", str(self.state)])


class DownloadThread(threading.Thread):
    """script.download(url, file, option) on a thread of its own, as the host
    runs it; `elapsed` is set when it returns."""

    def __init__(self, url, file, options=None):
        super().__init__(daemon=True)
        self.args = (url, str(file), encode_args(options) if options else "")
        self.elapsed = None
        self.error = None

    def run(self):
        start = time.monotonic()
        try:
            script.download(*self.args)
        except BaseException as e:  # reported by the test through `error`
            self.error = e
        self.elapsed = time.monotonic() - start
