# The updater's BitTorrent download driver.
#
# Runs inside the interpreter embedded in korvel, compiled into the program
# as frozen code (so __file__ means nothing here). The host calls
# download(url, file, option) on one of its threads; everything the user
# sees goes back through the host's module C_debug:
#
#   C_debug.output(text)                 printed text (discarded by the host)
#   C_debug.error(text)                  a status line
#   C_debug.active(total_bytes)          size of the torrent
#   C_debug.display(done, stats) -> bool progress; True asks us to stop
#   C_debug.finish()                     the file is complete
#
# The transfer itself is done by libtorrent 2.0 (Debian's python3-libtorrent).
# Every download gets a session of its own, so several downloads may run one
# after the other or at the same time on different threads.
#
# Options. The update server hands extra options over in the console
# client's form ("--name value"); defaults come first, then the per-user
# option file (see get_config), then the arguments. What they do here
# (rates in kB/s of 1024 bytes):
#
# | option                     | default | libtorrent                                          |
# |----------------------------|---------|-----------------------------------------------------|
# | --max_upload_rate          | 0       | upload_rate_limit = value*1024 B/s, 0: no limit     |
# | --max_download_rate        | 0       | download_rate_limit = value*1024 B/s, 0: no limit   |
# | --minport                  | 6881    | listen_interfaces "BIND:minport"                    |
# | --maxport                  | 6999    | max_retry_port_bind = maxport-minport (never below  |
# |                            |         | 0), listen_system_port_fallback off                 |
# | --bind                     | ""      | BIND above, 0.0.0.0 when empty                      |
# | --ip                       | ""      | announce_ip, the address told to the tracker        |
# | --socket_timeout           | 300     | inactivity_timeout (s); --timeout is its old name   |
# | --http_timeout             | 60      | tracker_receive_timeout, tracker_completion_timeout |
# |                            |         | and the time-out of the torrent file fetch (s)      |
# | --display_interval         | 0.5     | seconds between two status reports                  |
# | --max_uploads              | 0       | unchoke_slots_limit and the torrent's max_uploads   |
# |                            |         | (0 or less: libtorrent's choice)                    |
# | --max_initiate             | 0       | connections_limit and the torrent's max_connections |
# |                            |         | (0 or less: libtorrent's choice)                    |
# | --max_files_open           | 0       | file_pool_size (0 or less: libtorrent's choice)     |
# | --upnp                     | 0       | enable_upnp and enable_natpmp                       |
# | --start_trackerless_client | 0       | enable_dht                                          |
# | --one_connection_per_ip    | 1       | allow_multiple_connections_per_ip = not value       |
# | --save_as                  | ""      | file to write (for a multi-file torrent: its folder)|
# | --save_in                  | ""      | folder to write the torrent's own name into         |
# | --url, --responsefile      | ""      | address of the torrent file (--url wins)            |
# | any other --name [value]   |         | accepted, kept in config, no effect                 |
#
# Fixed, whatever the options say: outgoing uTP off (TCP first), local
# peer discovery off, every peer in the global peer class (so the rate
# limits hold for peers on the local network and loopback too), and at most
# 2 s of waiting for the last tracker announces when a download ends.
# Boolean options take a value (1/0, true/false, yes/no, on/off) or stand
# alone for true; --no_NAME sets NAME to false.

import base64
import hashlib
import http.client
import io
import math
import os
import pickle
import random
import sys
import threading
import time
import urllib.error
import urllib.parse
import urllib.request

import C_debug
import libtorrent as lt

# Earlier versions of this script set os.name and sys.argv and bound "_"
# before importing their BitTorrent library; libtorrent needs none of that.


def _text(s):
    """s as the host's C_debug takes it: valid UTF-8 without NUL characters
    (texts from servers and file names may hold either)."""
    return s.encode("utf-8", "backslashreplace").decode("utf-8").replace("\0", "\\0")


class OutputWindow(object):
    """Stands in for sys.stdout and sys.stderr: printed text goes to the host."""

    encoding = "utf-8"
    errors = "replace"

    def write(self, s):
        C_debug.output(_text(s))
        return len(s)

    def writelines(self, l):
        for s in l:
            self.write(s)

    def flush(self):
        pass

    def isatty(self):
        return False


sys.stdout = OutputWindow()
sys.stderr = OutputWindow()

config = {}

UI_NAME = "bittorrent-console"
# Torrent documents larger than this are refused unread.
MAX_TORRENT_BYTES = 10 * 1024 * 1024
# Time the session may take at the end for its last tracker announces.
STOP_TRACKER_TIMEOUT = 2


class BTFailure(Exception):
    pass


# --- Options -----------------------------------------------------------------

_OPTIONS = {
    "max_upload_rate": 0.0,
    "max_download_rate": 0.0,
    "minport": 6881,
    "maxport": 6999,
    "bind": "",
    "ip": "",
    "socket_timeout": 300.0,
    "http_timeout": 60.0,
    "display_interval": 0.5,
    "max_uploads": 0,
    "max_initiate": 0,
    "max_files_open": 0,
    "upnp": False,
    "start_trackerless_client": False,
    "one_connection_per_ip": True,
    "save_as": "",
    "save_in": "",
    "url": "",
    "responsefile": "",
}

_TRUE_WORDS = ("1", "true", "yes", "on")
_FALSE_WORDS = ("0", "false", "no", "off")


def get_defaults(ui_name):
    return dict(_OPTIONS)


def _convert(name, value):
    """The value of a known option in its type; BTFailure when it does not fit."""
    default = _OPTIONS.get(name)
    if default is None:
        return value
    text = str(value).strip()
    try:
        if isinstance(default, bool):
            if text.lower() in _TRUE_WORDS:
                return True
            if text.lower() in _FALSE_WORDS:
                return False
            raise ValueError(text)
        if isinstance(default, int):
            return int(text)
        if isinstance(default, float):
            number = float(text)
            if not math.isfinite(number):
                raise ValueError(text)
            return number
    except ValueError:
        raise BTFailure("Invalid value for --%s: %r" % (name, value))
    return str(value)


def _parse_args(args):
    """(options, positional arguments) of an argument list."""
    values = {}
    positional = []
    i = 0
    while i < len(args):
        arg = args[i]
        i += 1
        if not (isinstance(arg, str) and arg.startswith("--") and len(arg) > 2):
            positional.append(str(arg))
            continue
        name = arg[2:]
        if name.startswith("no_") and isinstance(_OPTIONS.get(name[3:]), bool):
            values[name[3:]] = False
            continue
        default = _OPTIONS.get(name)
        if isinstance(default, bool):
            if i < len(args) and str(args[i]).strip().lower() in _TRUE_WORDS + _FALSE_WORDS:
                values[name] = _convert(name, args[i])
                i += 1
            else:
                values[name] = True
        elif default is not None:
            if i >= len(args):
                raise BTFailure("Option --%s needs a value" % name)
            values[name] = _convert(name, args[i])
            i += 1
        elif i < len(args) and not str(args[i]).startswith("--"):
            values[name] = args[i]
            i += 1
        else:
            values[name] = True
    return values, positional


def config_file_path(ui_name):
    base = os.environ.get("XDG_CONFIG_HOME") or os.path.join(
        os.path.expanduser("~"), ".config")
    return os.path.join(base, "korvel", ui_name + ".conf")


def get_config(defaults, ui_name):
    """Options from the per-user option file of ui_name.

    The file is $XDG_CONFIG_HOME/korvel/<ui_name>.conf (~/.config when the
    variable is unset or empty), UTF-8, one option a line:

        # a comment
        max_upload_rate = 50
        upnp = no

    Names are written without the leading "--"; blank lines and lines
    starting with "#" are skipped; unknown names are kept without effect. A
    missing file gives no options; an unreadable file, a line without "=" or
    a value that does not fit its option raises BTFailure. A running
    download reads the file again when it changes (DL.reread_config).
    """
    path = config_file_path(ui_name)
    try:
        with open(path, "r", encoding="utf-8") as f:
            lines = f.read().splitlines()
    except FileNotFoundError:
        return {}
    except (OSError, UnicodeError) as e:
        raise BTFailure("%s: %s" % (path, e))
    values = {}
    for number, line in enumerate(lines, 1):
        line = line.strip()
        if not line or line.startswith("#"):
            continue
        name, sep, value = line.partition("=")
        name = name.strip()
        if not sep or not name:
            raise BTFailure("%s:%d: expected name = value" % (path, number))
        values[name] = _convert(name, value.strip())
    return values


def _config_file_stamp(ui_name):
    try:
        st = os.stat(config_file_path(ui_name))
        return (st.st_mtime_ns, st.st_size)
    except OSError:
        return None


def parse_configuration_and_args(defaults, ui_name, args, min_args, max_args):
    """Defaults, then the per-user option file, then args.

    A broken option file is reported and skipped; bad arguments raise
    BTFailure.
    """
    result = dict(defaults)
    try:
        result.update(get_config(defaults, ui_name))
    except BTFailure as e:
        C_debug.error(_text("Error reading config: " + str(e)))
    values, positional = _parse_args(args)
    result.update(values)
    if len(positional) < min_args:
        raise BTFailure("Not enough arguments")
    if len(positional) > max_args:
        raise BTFailure("Too many arguments: %s" % " ".join(positional))
    return result, positional


# --- The option text ---------------------------------------------------------


class _OptionUnpickler(pickle.Unpickler):
    """Options are texts and numbers: nothing in them may name code to run."""

    def find_class(self, module, name):
        raise pickle.UnpicklingError("option text names %s.%s" % (module, name))


def __reverse_string(s):
    return s[::-1]


def __encode_args(l):
    text = base64.encodebytes(pickle.dumps(l, 2)).decode("ascii")
    return __reverse_string(text.strip().rstrip("="))


def __decode_args(c):
    """The option list of an option text; raises on anything malformed.

    Items come back as they were pickled: texts of the server's Python 2
    pickler byte for byte (one character per byte), numbers as numbers.
    """
    data = base64.b64decode(__reverse_string(c) + "==")
    l = _OptionUnpickler(io.BytesIO(data), encoding="latin1").load()
    if not isinstance(l, list):
        raise ValueError("option text holds no list")
    for item in l:
        if isinstance(item, bool) or not isinstance(item, (str, int, float)):
            raise ValueError("option text holds %r" % (item,))
    return l


# --- Fetching the torrent file -----------------------------------------------


class _HttpOnlyRedirects(urllib.request.HTTPRedirectHandler):
    def redirect_request(self, req, fp, code, msg, headers, newurl):
        if urllib.parse.urlsplit(newurl).scheme.lower() not in ("http", "https"):
            raise urllib.error.HTTPError(newurl, code, "redirect to a non-HTTP address",
                                         headers, fp)
        return super().redirect_request(req, fp, code, msg, headers, newurl)


def _opener():
    """http and https only (https when the interpreter has ssl); proxies as
    the environment names them."""
    opener = urllib.request.OpenerDirector()
    handlers = [urllib.request.ProxyHandler(), urllib.request.HTTPHandler(),
                _HttpOnlyRedirects(), urllib.request.HTTPDefaultErrorHandler(),
                urllib.request.HTTPErrorProcessor()]
    if hasattr(urllib.request, "HTTPSHandler"):
        handlers.append(urllib.request.HTTPSHandler())
    for handler in handlers:
        opener.add_handler(handler)
    opener.addheaders = [("User-Agent", "korvel")]
    return opener


class GetTorrent(object):
    @staticmethod
    def get(address, timeout=60.0):
        """(torrent data, []) or (None, [error texts]) for an http(s) address."""
        if urllib.parse.urlsplit(address).scheme.lower() not in ("http", "https"):
            return None, ["%s: only http and https addresses are supported" % address]
        too_large = "%s: the torrent file is larger than %d bytes" % (address, MAX_TORRENT_BYTES)
        try:
            with _opener().open(address, timeout=timeout) as response:
                length = response.headers.get("Content-Length", "")
                if length.isdigit() and int(length) > MAX_TORRENT_BYTES:
                    return None, [too_large]
                data = response.read(MAX_TORRENT_BYTES + 1)
        except (OSError, ValueError, http.client.HTTPException) as e:
            return None, ["%s: %s" % (address, e)]
        if len(data) > MAX_TORRENT_BYTES:
            return None, [too_large]
        try:
            meta = lt.bdecode(data)
        except (RuntimeError, ValueError, TypeError) as e:
            return None, ["%s: not a valid torrent file (%s)" % (address, e)]
        if not isinstance(meta, dict) or not isinstance(meta.get(b"info"), dict):
            return None, ["%s: not a valid torrent file (no info dictionary)" % address]
        return data, []


# --- The torrent -------------------------------------------------------------


def _bad_path_element(element):
    return (not element or element in (b".", b"..") or b"/" in element
            or b"\\" in element or b"\0" in element)


class ConvertedMetainfo(object):
    """A torrent file checked for use: names that could lead outside the
    download folder and symbolic links are refused with BTFailure."""

    def __init__(self, raw):
        try:
            meta = lt.bdecode(raw)
            self.ti = lt.torrent_info(raw)
        except (RuntimeError, ValueError, TypeError) as e:
            raise BTFailure("Invalid torrent file: %s" % e)
        info = meta.get(b"info") if isinstance(meta, dict) else None
        if not isinstance(info, dict):
            raise BTFailure("Invalid torrent file: no info dictionary")
        self.raw = raw
        self.is_batch = b"files" in info
        try:
            self._check_names(info)
        except (AttributeError, TypeError) as e:
            raise BTFailure("Invalid torrent file: %s" % e)
        files = self.ti.files()
        for i in range(files.num_files()):
            if files.file_flags(i) & lt.file_storage.flag_symlink:
                raise BTFailure("Torrent holds a symbolic link")
        self.name = self.ti.name()
        self.name_fs = self.name
        self.total_bytes = self.ti.total_size()
        self.hashes = self.ti.num_pieces()

    def _check_names(self, info):
        if b"l" in info.get(b"attr", b""):
            raise BTFailure("Torrent holds a symbolic link")
        if not self.is_batch:
            return  # its one file is written under the name we give it
        # libtorrent takes the ".utf-8" variants first when they are there.
        for key in (b"name", b"name.utf-8"):
            name = info.get(key, b"x")
            if not isinstance(name, bytes) or _bad_path_element(name):
                raise BTFailure("Invalid folder name in torrent: %r" % (name,))
        for f in info[b"files"]:
            for key in (b"path", b"path.utf-8"):
                path = f.get(key, [b"x"])
                if (not isinstance(path, list) or not path
                        or any(not isinstance(e, bytes) or _bad_path_element(e) for e in path)):
                    raise BTFailure("Invalid file name in torrent: %r" % (path,))
            if b"l" in f.get(b"attr", b""):
                raise BTFailure("Torrent holds a symbolic link")


class _Torrent(object):
    """One torrent in a Multitorrent session."""

    _ACTIVITY = {
        lt.torrent_status.checking_files: "checking existing file",
        lt.torrent_status.checking_resume_data: "checking existing file",
        lt.torrent_status.downloading_metadata: "downloading",
        lt.torrent_status.downloading: "downloading",
        lt.torrent_status.finished: "seeding",
        lt.torrent_status.seeding: "seeding",
    }

    def __init__(self, session, handle, feedback):
        self.session = session
        self.handle = handle
        self.feedback = feedback
        self.finished_reported = False
        self.flushing = False  # finished; waiting for the file to be written out
        self.failed = False

    def get_status(self, spew=False):
        st = self.handle.status()
        down = float(st.download_payload_rate)
        status = {
            "activity": self._ACTIVITY.get(st.state, "waiting"),
            "fractionDone": float(st.progress),
            "downRate": down,
            "upRate": float(st.upload_payload_rate),
            "downTotal": st.total_payload_download,
            "upTotal": st.total_payload_upload,
            "numPeers": st.num_peers,
            "numSeeds": st.num_seeds,
        }
        if st.errc.value():
            status["activity"] = "failed: " + st.errc.message()
        if down > 0:
            status["timeEst"] = (st.total_wanted - st.total_wanted_done) / down
        return status

    def set_option(self, option, value):
        if option == "max_uploads":
            self.handle.set_max_uploads(_bounded(value, 1, _INT_MAX) if value > 0 else -1)
        elif option == "max_initiate":
            self.handle.set_max_connections(_bounded(value, 2, _INT_MAX) if value > 0 else -1)

    def shutdown(self):
        self.session.remove_torrent(self.handle)
        self.session = None


_INT_MAX = 2 ** 31 - 1  # libtorrent's integer settings are 32-bit


def _bounded(value, low, high):
    return int(min(max(value, low), high))


def _session_settings(config):
    minport = _bounded(config["minport"], 0, 65535)
    maxport = _bounded(config["maxport"], 0, 65535)
    bind = config["bind"] or "0.0.0.0"
    if ":" in bind:
        bind = "[%s]" % bind
    settings = {
        "listen_interfaces": "%s:%d" % (bind, minport),
        "max_retry_port_bind": max(0, maxport - minport),
        "listen_system_port_fallback": False,
        "enable_outgoing_utp": False,
        "enable_lsd": False,
        "enable_dht": bool(config["start_trackerless_client"]),
        "enable_upnp": bool(config["upnp"]),
        "enable_natpmp": bool(config["upnp"]),
        "upload_rate_limit": _bounded(config["max_upload_rate"] * 1024, 0, _INT_MAX),
        "download_rate_limit": _bounded(config["max_download_rate"] * 1024, 0, _INT_MAX),
        "inactivity_timeout": _bounded(config["socket_timeout"], 1, _INT_MAX),
        "tracker_receive_timeout": _bounded(config["http_timeout"], 1, _INT_MAX),
        "tracker_completion_timeout": _bounded(config["http_timeout"], 1, _INT_MAX),
        "stop_tracker_timeout": STOP_TRACKER_TIMEOUT,
        "allow_multiple_connections_per_ip": not config["one_connection_per_ip"],
        "alert_mask": lt.alert.category_t.error_notification
        | lt.alert.category_t.status_notification
        | lt.alert.category_t.tracker_notification
        | lt.alert.category_t.storage_notification,
    }
    if config["ip"]:
        settings["announce_ip"] = config["ip"]
    for option, name in (("max_uploads", "unchoke_slots_limit"),
                         ("max_initiate", "connections_limit"),
                         ("max_files_open", "file_pool_size")):
        if config[option] > 0:
            settings[name] = _bounded(config[option], 1, _INT_MAX)
    return settings


class Multitorrent(object):
    """A libtorrent session with a small event loop: alerts go to the
    torrents' feedback objects, timed tasks run between them."""

    def __init__(self, config, doneflag, errorfunc):
        self.config = dict(config)
        self.doneflag = doneflag
        self.errorfunc = errorfunc
        self.torrents = []
        self.tasks = []
        self.announcing = 0  # tracker announces sent and not yet answered
        self.settings = _session_settings(self.config)
        try:
            self.session = lt.session(self.settings)
            everyone = lt.ip_filter()
            global_class = 1 << lt.session.global_peer_class_id
            everyone.add_rule("0.0.0.0", "255.255.255.255", global_class)
            everyone.add_rule("::", "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", global_class)
            self.session.set_peer_class_filter(everyone)
        except (RuntimeError, KeyError, TypeError, ValueError) as e:
            raise BTFailure("Could not start the session: %s" % e)

    def set_option(self, option, value):
        self.config[option] = value
        try:
            settings = _session_settings(self.config)
        except (KeyError, TypeError, ValueError):
            return
        changed = {k: v for k, v in settings.items() if self.settings.get(k) != v}
        if changed:
            try:
                self.session.apply_settings(changed)
            except (RuntimeError, KeyError, TypeError, ValueError):
                return
            self.settings = settings

    def start_torrent(self, metainfo, config, feedback, filename):
        """Adds the torrent so that it writes exactly at filename (for a
        multi-file torrent: below the folder filename)."""
        path = os.path.abspath(filename)
        folder, name = os.path.split(path)
        if name in ("", ".", ".."):
            raise BTFailure("Invalid file name: %s" % filename)
        ti = lt.torrent_info(metainfo.raw)
        files = ti.files()
        if metainfo.is_batch:
            for i in range(files.num_files()):
                parts = files.file_path(i).split(os.sep)
                ti.rename_file(i, os.path.join(name, *parts[1:]))
        else:
            ti.rename_file(0, name)
        files = ti.files()
        inside = os.path.join(os.path.realpath(folder), "")
        for i in range(files.num_files()):
            target = os.path.join(folder, files.file_path(i))
            # Also no symbolic link on the way may lead elsewhere.
            if not os.path.realpath(target).startswith(inside):
                raise BTFailure("File name leads outside %s: %s" % (folder, target))
            # libtorrent 2.0.8 fails the check of an empty file where one
            # with content belongs; without it, the file is simply written.
            if (files.file_size(i) > 0 and os.path.isfile(target)
                    and os.path.getsize(target) == 0):
                try:
                    os.remove(target)
                except OSError as e:
                    raise BTFailure("%s: %s" % (target, e))
        params = lt.add_torrent_params()
        params.ti = ti
        params.save_path = folder
        params.flags = (lt.torrent_flags.default_flags & ~lt.torrent_flags.auto_managed
                        & ~lt.torrent_flags.paused)
        try:
            handle = self.session.add_torrent(params)
        except (RuntimeError, ValueError, TypeError) as e:
            raise BTFailure("Could not start the torrent: %s" % e)
        torrent = _Torrent(self.session, handle, feedback)
        for option in ("max_uploads", "max_initiate"):
            torrent.set_option(option, config[option])
        self.torrents.append(torrent)
        return torrent

    def add_task(self, func, delay):
        self.tasks.append((time.monotonic() + delay, func))

    def listen_forever(self):
        """Runs tasks and handles alerts until doneflag is set."""
        while not self.doneflag.is_set():
            now = time.monotonic()
            due = [t for t in self.tasks if t[0] <= now]
            if due:
                self.tasks = [t for t in self.tasks if t[0] > now]
                for _, func in sorted(due, key=lambda t: t[0]):
                    func()
                continue
            self._handle_alerts(min([t[0] for t in self.tasks] + [now + 0.5]) - now)

    def _handle_alerts(self, wait):
        """Waits at most wait seconds for alerts and handles them."""
        self.session.wait_for_alert(max(1, int(wait * 1000)))
        for alert in self.session.pop_alerts():
            self._dispatch(alert)

    def _dispatch(self, alert):
        if isinstance(alert, lt.tracker_announce_alert):
            self.announcing += 1
        elif isinstance(alert, (lt.tracker_reply_alert, lt.tracker_error_alert)):
            self.announcing = max(0, self.announcing - 1)
        torrent = None
        if isinstance(alert, lt.torrent_alert):
            for t in self.torrents:
                if t.handle == alert.handle:
                    torrent = t
        if torrent is None:
            if alert.category() & lt.alert.category_t.error_notification:
                self.errorfunc(0, alert.message())
            return
        if isinstance(alert, lt.torrent_finished_alert):
            # Every piece has passed its check, but blocks may still wait in
            # the disk cache: the file is reported complete (and so read by
            # others) only once all of it is written out.
            if not torrent.finished_reported and not torrent.flushing:
                torrent.flushing = True
                torrent.handle.flush_cache()
        elif isinstance(alert, lt.cache_flushed_alert):
            if torrent.flushing and not torrent.finished_reported:
                torrent.finished_reported = True
                torrent.feedback.finished(torrent)
        elif isinstance(alert, (lt.torrent_error_alert, lt.file_error_alert)):
            torrent.feedback.error(torrent, 0, alert.message())
            if not torrent.failed:
                torrent.failed = True
                torrent.feedback.failed(torrent, False)
        elif (alert.category() & lt.alert.category_t.error_notification
              and not isinstance(alert, lt.peer_alert)):
            torrent.feedback.error(torrent, 0, alert.message())

    def close(self):
        """Ends the session, telling the trackers; takes at most about
        2 * STOP_TRACKER_TIMEOUT seconds.

        Removing a torrent sends the trackers "stopped", but not while
        another announce of it is on its way (such as "completed" right after
        the last piece): then the trackers would keep listing this peer for
        others to try. So first the announces under way are let finish.
        """
        start = time.monotonic()
        settle = start + 0.1  # time for an announce the last events started
        end = start + STOP_TRACKER_TIMEOUT
        while self.torrents:
            now = time.monotonic()
            if now >= end or (now >= settle and self.announcing == 0):
                break
            self._handle_alerts((settle if now < settle else end) - now)
        for t in self.torrents:
            t.shutdown()
        self.torrents = []
        # The session ends here; it waits for the "stopped" announces, at
        # most STOP_TRACKER_TIMEOUT seconds.
        self.session = None


# --- Reporting ---------------------------------------------------------------


class HeadlessDisplayer(object):
    def __init__(self, doneflag):
        self.doneflag = doneflag
        self.done = False

    def set_torrent_values(self, name, path, size, numpieces):
        C_debug.active(int(size))

    def finished(self):
        self.done = True
        C_debug.finish()

    def error(self, errormsg):
        C_debug.error(time.strftime("[%H:%M:%S] ") + _text(errormsg))

    def display(self, statistics):
        if C_debug.display(int(self.done), statistics):
            self.doneflag.set()


class Feedback(object):
    """What a Multitorrent tells about its torrents."""

    def finished(self, torrent):
        pass

    def failed(self, torrent, is_external):
        pass

    def error(self, torrent, level, text):
        pass

    def global_error(self, level, text):
        pass


class DL(Feedback):
    def __init__(self, metainfo, config):
        self.doneflag = threading.Event()
        self.metainfo = metainfo
        self.config = dict(config)
        self.d = None
        self.multitorrent = None
        self.torrent = None
        self.config_stamp = _config_file_stamp(UI_NAME)

    def run(self):
        self.d = HeadlessDisplayer(self.doneflag)
        try:
            self.multitorrent = Multitorrent(self.config, self.doneflag, self.global_error)
            metainfo = ConvertedMetainfo(self.metainfo)
            torrent_name = metainfo.name_fs
            if self.config["save_as"]:
                if self.config["save_in"]:
                    raise BTFailure("You cannot specify both --save_as and --save_in")
                saveas = self.config["save_as"]
            elif self.config["save_in"]:
                saveas = os.path.join(self.config["save_in"], torrent_name)
            else:
                saveas = torrent_name
            self.d.set_torrent_values(metainfo.name, os.path.abspath(saveas),
                                      metainfo.total_bytes, metainfo.hashes)
            self.torrent = self.multitorrent.start_torrent(metainfo, dict(self.config), self,
                                                           saveas)
        except BTFailure as e:
            print(str(e))
            if self.multitorrent is not None:
                self.multitorrent.close()
            return
        try:
            self.get_status()
            self.multitorrent.listen_forever()
            self.d.display({"activity": "shutting down", "fractionDone": 0})
        finally:
            self.multitorrent.close()

    def reread_config(self):
        try:
            newvalues = get_config(self.config, UI_NAME)
        except Exception as e:
            self.d.error("Error reading config: " + str(e))
            return
        self.config.update(newvalues)
        for option, value in newvalues.items():
            self.multitorrent.set_option(option, value)
        for option, value in newvalues.items():
            self.torrent.set_option(option, value)

    def get_status(self):
        stamp = _config_file_stamp(UI_NAME)
        if stamp != self.config_stamp:
            self.config_stamp = stamp
            self.reread_config()
        # Between 0.05 s and 10 s, so a stop request is never long unheard.
        self.multitorrent.add_task(self.get_status,
                                   min(max(self.config["display_interval"], 0.05), 10.0))
        self.d.display(self.torrent.get_status(self.config.get("spew")))

    def global_error(self, level, text):
        self.d.error(text)

    def error(self, torrent, level, text):
        self.d.error(text)

    def failed(self, torrent, is_external):
        self.doneflag.set()

    def finished(self, torrent):
        self.d.finished()


# --- Entry points ------------------------------------------------------------


def is_already_done(metainfo, full_filename):
    """Whether full_filename already holds exactly the single file the raw
    torrent data describes (SHA-1 of every piece)."""
    C_debug.error("检查下载文件 (  0% )")
    try:
        info = lt.bdecode(metainfo)[b"info"]
        size = os.path.getsize(full_filename)
        if size != info[b"length"]:
            return False
        piece_length = info[b"piece length"]
        if not isinstance(piece_length, int) or piece_length <= 0:
            return False
        digests = []
        done = 0
        with open(full_filename, "rb") as f:
            while True:
                piece = f.read(piece_length)
                if not piece:
                    break
                digests.append(hashlib.sha1(piece).digest())
                done = min(done + len(piece), size)
                C_debug.error("检查下载文件 (  %d%% )" % (done * 100.0 / size))
        return b"".join(digests) == info[b"pieces"]
    except Exception:
        return False


def download(url, file, option=""):
    global config
    args = ["--url", url, "--save_as", file]
    try:
        args.extend(__decode_args(option))
    except Exception:
        pass
    if "--minport" not in args:
        minport = random.randint(7000, 30000)
        args.extend(["--minport", minport, "--maxport", minport + 200])
    defaults = get_defaults(UI_NAME)
    try:
        if "--timeout" in args:
            args[args.index("--timeout")] = "--socket_timeout"
        # The module's config shows the latest call's options; each call
        # goes on with its own, as another thread may be downloading too.
        options, parsed = parse_configuration_and_args(defaults, UI_NAME, args, 0, 1)
        config = options
        torrentfile = parsed[0] if parsed else None
        for opt in ("responsefile", "url"):
            if options[opt]:
                torrentfile = options[opt]
        if not torrentfile:
            raise BTFailure("you must specify a .torrent file")
        data, errors = GetTorrent.get(torrentfile, options["http_timeout"])
        if errors and torrentfile.endswith(".torrent"):
            data, more = GetTorrent.get(torrentfile[:-len(".torrent")] + ".data",
                                        options["http_timeout"])
            errors = errors + more if more else []
        if errors:
            raise BTFailure("Error reading .torrent file: " + "\n".join(errors))
    except BTFailure as e:
        C_debug.error(_text("获取种子文件失败, 请稍候再试。(%s)" % e))
        return
    if is_already_done(data, file):
        C_debug.finish()
        return
    C_debug.error("文件不完整!")
    DL(data, options).run()
