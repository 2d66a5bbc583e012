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
# The script is split by concept: bt_options (options and the option text),
# bt_fetch (the torrent document and the local file check) and bt_transfer
# (the transfer loop). The host knows this module only, and the tests reach
# the others' names through it (__all__).

import random
import sys

import C_debug

from bt_fetch import GetTorrent, is_already_done
from bt_options import (UI_NAME, BTFailure, __decode_args, __encode_args, _text, get_defaults,
                        parse_configuration_and_args)
from bt_transfer import DL, _session_settings

__all__ = ["download", "config", "is_already_done", "get_defaults", "DL", "OutputWindow",
           "_session_settings", "__encode_args", "__decode_args"]

# Earlier versions of this script set os.name and sys.argv and bound "_"
# before importing their BitTorrent library; libtorrent needs none of that.


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
