# The download script's options. The update server hands extra options over in the console
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
# | --share_web_seeds          | 0       | web seeds give way to peers (bt_share); with --bind |
# |                            |         | also outgoing_interfaces = BIND                     |
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
#
# Also here: the option text the update list carries (__encode_args and
# __decode_args), and what the script's modules share (BTFailure, _text).

import base64
import io
import math
import os
import pickle

import C_debug

UI_NAME = "bittorrent-console"


class BTFailure(Exception):
    pass


def _text(s):
    """s as the host's C_debug takes it: valid UTF-8 without NUL characters
    (texts from servers and file names may hold either)."""
    return s.encode("utf-8", "backslashreplace").decode("utf-8").replace("\0", "\\0")


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
    "share_web_seeds": False,
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
