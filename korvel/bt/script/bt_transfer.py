# The download script's transfer loop: a libtorrent session with a small
# event loop (Multitorrent), the torrent in it, and the DL object that runs
# one transfer and reports its progress to the host.

import os
import threading
import time

import C_debug
import libtorrent as lt

from bt_fetch import ConvertedMetainfo
from bt_options import UI_NAME, BTFailure, _config_file_stamp, _text, get_config
from bt_share import PERIOD, WebSeedSteering

# Time the session may take at the end for its last tracker announces.
STOP_TRACKER_TIMEOUT = 2


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
    if config.get("share_web_seeds") and config["bind"]:
        # Downloaders deal out the web seeds' pieces by the addresses they see
        # each other at, so connections go out from the bound address too.
        settings["outgoing_interfaces"] = config["bind"]
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
        if config.get("share_web_seeds") and handle.url_seeds():
            self._steer(WebSeedSteering(self.session, handle,
                                        self.settings["download_rate_limit"]))
        return torrent

    def _steer(self, steering):
        try:
            going = steering.step()
        except (RuntimeError, ValueError, TypeError) as e:
            self.errorfunc(0, "web seeds: %s" % e)
            return
        if going:
            self.add_task(lambda: self._steer(steering), PERIOD)

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
            # others) only once all of it is written out. Pieces held back
            # for a moment (bt_share) leave a torrent finished but not
            # complete; it finishes again once they are in.
            if not torrent.handle.status().is_seeding:
                return
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
