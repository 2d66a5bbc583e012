"""The download script without servers: the option text, how the options
reach the session, the per-user option file and the local file check."""

import base64
import hashlib
import os
import pickle
import unittest

import libtorrent as lt

from script_support import C_DEBUG, TempDir, decode_args, encode_args, script, write_file

# An address no fetch can serve: download() parses its options, fails to get
# the torrent file and returns, leaving the parsed options in script.config.
NO_TORRENT = "ftp://127.0.0.1/none.rar.torrent"

# ["--save_in", "\xc4\xe3\xba\xc3", "--minport", "9000"] as the update
# server's Python 2 pickler writes it at protocol 2 (texts are byte strings
# there; the second item is GBK).
PY2_PICKLE = (b"\x80\x02]q\x00(U\t--save_inq\x01U\x04\xc4\xe3\xba\xc3q\x02"
              b"U\t--minportq\x03U\x049000q\x04e.")


def wire_text(pickled):
    """The option text of pickled bytes: MIME Base64 without its padding,
    reversed."""
    return base64.encodebytes(pickled).decode("ascii").strip().rstrip("=")[::-1]


class Marker:
    """Unpickling this would create a file: options must never run code."""

    path = ""

    def __reduce__(self):
        return (os.mknod, (self.path,))


class OptionTextTest(unittest.TestCase):
    def test_decodes_what_picklers_wrote(self):
        long_list = ["--max_upload_rate", "20", "--display_interval", "0.25",
                     "--save_as", "/tmp/" + "x" * 120, "--minport", 8000]
        cases = [
            ("python 3 pickler through __encode_args", encode_args(long_list), long_list),
            ("python 2 pickler, GBK item", wire_text(PY2_PICKLE),
             ["--save_in", "\xc4\xe3\xba\xc3", "--minport", "9000"]),
            ("surplus padding and line breaks", "==" + encode_args(["--a", "b"]) + "\n",
             ["--a", "b"]),
        ]
        for name, text, expected in cases:
            with self.subTest(name):
                self.assertEqual(decode_args(text), expected)
        self.assertIn("\n", encode_args(long_list), "MIME lines of 76 characters")
        self.assertEqual(decode_args(wire_text(PY2_PICKLE))[1].encode("latin1"),
                         b"\xc4\xe3\xba\xc3")

    def test_malformed_option_text_adds_nothing(self):
        tmp = TempDir()
        self.addCleanup(tmp.remove)
        marker = tmp.path / "ran"
        Marker.path = str(marker)
        texts = {
            "empty": "",
            "not base64": "%%%!!",
            "not a pickle": wire_text(b"--max_upload_rate 20"),
            "a dictionary": wire_text(pickle.dumps({"--max_upload_rate": "20"}, 2)),
            "a list holding a dictionary": encode_args(["--max_upload_rate", "20", {}]),
            "cut short": encode_args(["--max_upload_rate", "20"])[8:],
            "code to run": wire_text(pickle.dumps(["--max_upload_rate", "20", Marker()], 2)),
        }
        for name, text in texts.items():
            with self.subTest(name):
                C_DEBUG.reset()
                script.download(NO_TORRENT, str(tmp.path / "f"), text)
                self.assertEqual(script.config["max_upload_rate"], 0)
                self.assertTrue(7000 <= script.config["minport"] <= 30000)
                self.assertEqual(len(C_DEBUG.texts()), 1, C_DEBUG.texts())
        self.assertFalse(marker.exists())


class SessionOptionsTest(unittest.TestCase):
    def parse(self, options):
        C_DEBUG.reset()
        script.download(NO_TORRENT, "/tmp/none.rar", encode_args(options) if options else "")
        return script.config, script._session_settings(script.config)

    def test_port_range(self):
        # (options, minport or None for a random one, maxport or None for minport + 200)
        cases = [
            ([], None, None),
            (["--minport", "9000"], 9000, 6999),
            (["--minport", "9000", "--maxport", "9010"], 9000, 9010),
            (["--maxport", "9010"], None, None),
        ]
        for options, minport, maxport in cases:
            with self.subTest(options=options):
                config, settings = self.parse(options)
                if minport is None:
                    self.assertTrue(7000 <= config["minport"] <= 30000)
                    minport = config["minport"]
                self.assertEqual(config["minport"], minport)
                self.assertEqual(config["maxport"], minport + 200 if maxport is None else maxport)
                self.assertEqual(settings["listen_interfaces"], "0.0.0.0:%d" % minport)
                self.assertEqual(settings["max_retry_port_bind"],
                                 200 if maxport is None else max(0, maxport - minport))
                self.assertFalse(settings["listen_system_port_fallback"])

    def test_options_reach_the_session(self):
        # (options, expected config values, expected session settings)
        cases = [
            (["--timeout", "17"], {"socket_timeout": 17}, {"inactivity_timeout": 17}),
            (["--max_download_rate", "100", "--max_upload_rate", "2.5"], {},
             {"download_rate_limit": 102400, "upload_rate_limit": 2560}),
            (["--bind", "127.0.0.1", "--minport", "9000"], {},
             {"listen_interfaces": "127.0.0.1:9000"}),
            (["--max_uploads", "3", "--max_initiate", "40", "--http_timeout", "9"], {},
             {"unchoke_slots_limit": 3, "connections_limit": 40,
              "tracker_receive_timeout": 9}),
            (["--upnp", "--no_one_connection_per_ip"], {},
             {"enable_upnp": True, "allow_multiple_connections_per_ip": True}),
            (["--some_future_option", "x", "--display_interval", "0.2"],
             {"some_future_option": "x", "display_interval": 0.2}, {}),
            (["--minport", "70000", "--maxport", "99999999999", "--max_initiate", "99999999999",
              "--max_download_rate", "1e300"], {},
             {"listen_interfaces": "0.0.0.0:65535", "max_retry_port_bind": 0,
              "connections_limit": 2 ** 31 - 1, "download_rate_limit": 2 ** 31 - 1}),
        ]
        for options, values, settings_expected in cases:
            with self.subTest(options=options):
                config, settings = self.parse(options)
                for k, v in values.items():
                    self.assertEqual(config[k], v, k)
                for k, v in settings_expected.items():
                    self.assertEqual(settings[k], v, k)
                self.assertFalse(settings["enable_outgoing_utp"])
                self.assertFalse(settings["enable_lsd"])
                lt.session(settings)  # libtorrent takes every name and value

    def test_bad_option_value_fails_the_download(self):
        for value in ("fast", "inf", "nan"):
            with self.subTest(value):
                C_DEBUG.reset()
                script.download(NO_TORRENT, "/tmp/none.rar",
                                encode_args(["--max_upload_rate", value]))
                self.assertEqual(C_DEBUG.texts(), ["获取种子文件失败, 请稍候再试。(Invalid value "
                                                   "for --max_upload_rate: '%s')" % value])

    def test_option_file(self):
        tmp = TempDir()
        self.addCleanup(tmp.remove)
        old = os.environ.get("XDG_CONFIG_HOME")
        os.environ["XDG_CONFIG_HOME"] = str(tmp.path)
        self.addCleanup(lambda: os.environ.__setitem__("XDG_CONFIG_HOME", old)
                        if old is not None else os.environ.pop("XDG_CONFIG_HOME"))
        conf = tmp.path / "korvel" / "bittorrent-console.conf"
        good = ("# rates\n\nmax_upload_rate = 50\n max_download_rate=7 \n"
                "display_interval = 0.25\nfuture_option = on\n")
        # (file text, expected values, error texts before the fetch failure)
        cases = [
            (good, {"max_upload_rate": 20, "max_download_rate": 7, "display_interval": 0.25,
                    "future_option": "on"}, []),
            ("max_upload_rate = 50\nmax_download_rate\n", {"max_upload_rate": 20,
                                                           "max_download_rate": 0},
             ["Error reading config: %s:2: expected name = value" % conf]),
            ("max_download_rate = lots\n", {"max_download_rate": 0},
             ["Error reading config: Invalid value for --max_download_rate: 'lots'"]),
        ]
        for text, values, errors in cases:
            with self.subTest(text=text):
                write_file(conf, text.encode())
                C_DEBUG.reset()
                script.download(NO_TORRENT, "/tmp/none.rar",
                                encode_args(["--max_upload_rate", "20"]))
                for k, v in values.items():
                    self.assertEqual(script.config[k], v, k)
                self.assertEqual(C_DEBUG.texts()[:-1], errors)


class OptionFileReloadTest(unittest.TestCase):
    def test_changed_option_file_reaches_the_running_session(self):
        tmp = TempDir()
        self.addCleanup(tmp.remove)
        old = os.environ["XDG_CONFIG_HOME"]
        os.environ["XDG_CONFIG_HOME"] = str(tmp.path)
        self.addCleanup(os.environ.__setitem__, "XDG_CONFIG_HOME", old)
        conf = tmp.path / "korvel" / "bittorrent-console.conf"
        torrent = raw_torrent(single_file_info(os.urandom(40000)))
        config = dict(script.get_defaults("bittorrent-console"), bind="127.0.0.1", minport=0,
                      display_interval=0.05, save_as=str(tmp.path / "dl" / "patch.rar"))
        # What the file says at each status report, from the second one on.
        steps = ["max_download_rate = 7\nmax_initiate = 30\n", "max_download_rate = 7\nbroken\n"]
        seen = []

        def answer(done, statistics):
            seen.append(statistics)
            if len(seen) <= len(steps):
                write_file(conf, steps[len(seen) - 1].encode())
                os.utime(conf, ns=(len(seen) * 10 ** 9, len(seen) * 10 ** 9))
            return len(seen) > len(steps)

        C_DEBUG.reset(answer=answer)
        dl = script.DL(torrent, config)
        dl.run()
        self.assertEqual(dl.multitorrent.settings["download_rate_limit"], 7 * 1024)
        self.assertEqual(dl.multitorrent.settings["connections_limit"], 30)
        self.assertEqual(dl.config["max_initiate"], 30)
        errors = [t for t in C_DEBUG.texts() if "Error reading config" in t]
        self.assertEqual(len(errors), 1, C_DEBUG.texts())
        self.assertRegex(errors[0], r"^\[\d\d:\d\d:\d\d\] Error reading config: .*:2: "
                                    r"expected name = value$")


def raw_torrent(info):
    return lt.bencode({b"announce": b"http://127.0.0.1:9/announce", b"info": info})


def single_file_info(data, piece_length=16384, **extra):
    pieces = b"".join(hashlib.sha1(data[i:i + piece_length]).digest()
                      for i in range(0, len(data), piece_length))
    info = {b"name": b"patch.rar", b"length": len(data), b"piece length": piece_length,
            b"pieces": pieces}
    info.update(extra)
    return info


class AlreadyDoneTest(unittest.TestCase):
    def test_local_file_against_torrent(self):
        tmp = TempDir()
        self.addCleanup(tmp.remove)
        data = os.urandom(40000)
        torrent = raw_torrent(single_file_info(data))
        off_by_one = bytearray(data)
        off_by_one[39999] ^= 1
        multi = raw_torrent({b"name": b"pack", b"piece length": 16384,
                             b"pieces": hashlib.sha1(data[:100]).digest(),
                             b"files": [{b"length": 100, b"path": [b"patch.rar"]}]})
        # (name, torrent, local content or None for no file, expected)
        cases = [
            ("matching file", torrent, data, True),
            ("one byte off", torrent, bytes(off_by_one), False),
            ("one byte short", torrent, data[:-1], False),
            ("no file", torrent, None, False),
            ("empty file, empty torrent", raw_torrent(single_file_info(b"")), b"", True),
            ("empty file, torrent with content", torrent, b"", False),
            ("multi-file torrent", multi, data[:100], False),
            ("piece length 0", raw_torrent(single_file_info(b"x", piece_length=1) | {
                b"piece length": 0, b"pieces": b""}), b"x", False),
            ("not a torrent", b"<html>", data, False),
        ]
        for name, metainfo, content, expected in cases:
            with self.subTest(name):
                path = tmp.path / name
                if content is not None:
                    write_file(path, content)
                C_DEBUG.reset()
                self.assertIs(script.is_already_done(metainfo, str(path)), expected)
                self.assertEqual(C_DEBUG.texts()[0], "检查下载文件 (  0% )")
        C_DEBUG.reset()
        script.is_already_done(torrent, str(tmp.path / "matching file"))
        # 16384, 32768 and 40000 of 40000 bytes.
        self.assertEqual(C_DEBUG.texts(), ["检查下载文件 (  0% )", "检查下载文件 (  40% )",
                                           "检查下载文件 (  81% )", "检查下载文件 (  100% )"])


if __name__ == "__main__":
    unittest.main()
