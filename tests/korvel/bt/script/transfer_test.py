"""The download script against real servers on the loopback address: nginx
serving torrent files (and web seeds), opentracker with aria2c seeders."""

import contextlib
import os
import threading
import time
import unittest

import libtorrent as lt

from script_support import (C_DEBUG, DownloadThread, Nginx, Swarm, TempDir, make_torrent,
                            script, wait_until, write_file)

FETCH_FAILED = "获取种子文件失败, 请稍候再试。(Error reading .torrent file: "
# Leechers listen on the loopback address only.
LOOPBACK = ["--bind", "127.0.0.1"]


def serve_scratch_folder(test):
    """test.tmp, a scratch folder, and test.nginx serving its www/ folder;
    both go when the test ends."""
    test.tmp = TempDir()
    test.addCleanup(test.tmp.remove)
    test.www = test.tmp.path / "www"
    test.www.mkdir()
    test.nginx = Nginx(test.www)
    test.addCleanup(test.nginx.stop)


class FetchTest(unittest.TestCase):
    def setUp(self):
        serve_scratch_folder(self)

    def test_data_variant_when_torrent_is_missing(self):
        data = os.urandom(100000)
        local = write_file(self.tmp.path / "dl" / "patch.rar", data)
        write_file(self.www / "patch.rar.data", make_torrent(local))
        C_DEBUG.reset()
        script.download(self.nginx.url("patch.rar.torrent"), str(local), "")
        self.assertEqual(self.nginx.requests(2), ["GET /patch.rar.torrent HTTP/1.1 404",
                                                 "GET /patch.rar.data HTTP/1.1 200"])
        self.assertEqual(len(C_DEBUG.calls("finish")), 1)
        self.assertEqual(C_DEBUG.texts()[-1], "检查下载文件 (  100% )")
        self.assertEqual(local.read_bytes(), data)

    def test_torrent_file_that_cannot_be_used(self):
        # (name, files served, path asked for, text the failure names)
        torrent = "patch.rar.torrent"
        cases = [
            ("neither address", {}, torrent, "HTTP Error 404"),
            ("not bencoded", {torrent: b"<html>busy</html>"}, torrent,
             "not a valid torrent file"),
            ("bencoded, not a torrent", {"patch.rar.data": b"d3:fooi1ee"}, torrent,
             "not a valid torrent file (no info dictionary)"),
            ("oversized", {torrent: b"d4:info" + b"0" * (10 * 1024 * 1024)}, torrent,
             "larger than 10485760 bytes"),
            ("NUL in the address", {}, "patch\0.rar.torrent", "patch\\0.rar.data"),
        ]
        for name, files, path, reason in cases:
            with self.subTest(name):
                for f in self.www.iterdir():
                    f.unlink()
                for f, content in files.items():
                    write_file(self.www / f, content)
                C_DEBUG.reset()
                script.download(self.nginx.url(path), str(self.tmp.path / "dl" / "patch.rar"), "")
                texts = C_DEBUG.texts()
                self.assertEqual(len(texts), 1, texts)
                self.assertTrue(texts[0].startswith(FETCH_FAILED), texts[0])
                self.assertTrue(texts[0].endswith(")"))
                self.assertIn(reason, texts[0])
                self.assertIn(".rar.data", texts[0])
                self.assertEqual(C_DEBUG.calls("finish") + C_DEBUG.calls("active"), [])
                self.assertFalse((self.tmp.path / "dl").exists())


class WebSeedTest(unittest.TestCase):
    """Torrents whose data nginx serves as a web seed."""

    def test_multi_file_torrent_lands_in_the_folder_named_by_the_save_path(self):
        tmp = TempDir()
        self.addCleanup(tmp.remove)
        www = tmp.path / "www"
        names = ["a.bin", "sub/b.bin", "sub/deeper/c.bin"]
        for n in names:
            write_file(www / "pack" / n, os.urandom(70000))
        nginx = Nginx(www)
        self.addCleanup(nginx.stop)
        write_file(www / "pack.torrent", make_torrent(www / "pack", web_seed=nginx.url("")))
        dl = tmp.path / "dl"
        for n in names[::2]:  # empty files where two of them belong
            write_file(dl / "patch" / n, b"")
        C_DEBUG.reset(answer=lambda done, statistics: done)
        t = DownloadThread(nginx.url("pack.torrent"), dl / "patch", LOOPBACK)
        t.start()
        t.join(30)
        self.assertIsNotNone(t.elapsed, "download did not return")
        self.assertIsNone(t.error)
        self.assertEqual(len(C_DEBUG.calls("finish")), 1)
        self.assertEqual(sorted(str(p.relative_to(dl)) for p in dl.rglob("*") if p.is_file()),
                         ["patch/" + n for n in names])
        for n in names:
            self.assertEqual((dl / "patch" / n).read_bytes(), (www / "pack" / n).read_bytes())

    def test_nothing_is_written_outside_the_download_folder(self):
        """Names that point outside the download folder."""
        tmp = TempDir()
        self.addCleanup(tmp.remove)
        www = tmp.path / "www"
        data = os.urandom(50000)
        write_file(www / "escaped.bin", data)
        nginx = Nginx(www)
        self.addCleanup(nginx.stop)
        dl = tmp.path / "a" / "dl"
        dl.mkdir(parents=True)

        def single(name, **extra):
            info = lt.bdecode(make_torrent(www / "escaped.bin"))[b"info"]
            info[b"name"] = name
            info.update({k.encode(): v for k, v in extra.items()})
            return {b"info": info, b"url-list": nginx.url("escaped.bin").encode()}

        def multi(name, path, utf8_path=None):
            info = lt.bdecode(make_torrent(www / "escaped.bin"))[b"info"]
            length = info.pop(b"length")
            info[b"name"] = name
            info[b"files"] = [{b"length": length, b"path": path}]
            if utf8_path:
                info[b"files"][0][b"path.utf-8"] = utf8_path
            return {b"info": info, b"url-list": nginx.url("").encode()}

        # (name, torrent, arrives at the save path)
        cases = [
            ("single file named ../../escaped.bin", single(b"../../escaped.bin"), True),
            ("single file named /tmp/escaped.bin", single(b"/tmp/escaped.bin"), True),
            ("folder with ../../escaped.bin", multi(b"x", [b"..", b"..", b"escaped.bin"]), False),
            ("folder named ..", multi(b"..", [b"escaped.bin"]), False),
            ("file with a slash", multi(b"x", [b"../escaped.bin"]), False),
            ("UTF-8 name with ..", multi(b"x", [b"ok"], [b"..", b"..", b"escaped.bin"]), False),
            ("attributes not a text", single(b"patch.rar", attr=5), False),
            ("save path links out of the folder", single(b"patch.rar"), False),
        ]
        for name, torrent, arrives in cases:
            with self.subTest(name):
                write_file(www / "t.torrent", lt.bencode(torrent))
                if name.startswith("save path links"):
                    (dl / "patch.rar").symlink_to(tmp.path / "escaped.bin")
                    self.addCleanup((dl / "patch.rar").unlink)
                before = tmp.tree()
                C_DEBUG.reset(answer=lambda done, statistics: done)
                t = DownloadThread(nginx.url("t.torrent"), dl / "patch.rar", LOOPBACK)
                # What the script prints goes to C_debug.output, as in the host.
                with contextlib.redirect_stdout(script.OutputWindow()):
                    t.start()
                    t.join(30)
                self.assertIsNotNone(t.elapsed, "download did not return")
                self.assertIsNone(t.error)
                after = tmp.tree()
                if arrives:
                    self.assertEqual((dl / "patch.rar").read_bytes(), data)
                    self.assertEqual(len(C_DEBUG.calls("finish")), 1)
                    (dl / "patch.rar").unlink()
                else:
                    self.assertEqual(C_DEBUG.calls("finish"), [])
                    self.assertTrue(C_DEBUG.texts("output"), "the reason is printed")
                self.assertEqual({k for k in after if k not in before},
                                 {"a/dl/patch.rar"} if arrives else set())
                self.assertFalse(os.path.exists("/tmp/escaped.bin"))


class SwarmTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.swarm = Swarm()

    @classmethod
    def tearDownClass(cls):
        cls.swarm.stop()

    def setUp(self):
        serve_scratch_folder(self)

    def publish(self, name, size):
        """A file seeded by its own aria2c; gives (data, torrent url, torrent)."""
        data = os.urandom(size)
        seed_dir = self.tmp.path / ("seed-" + name)
        write_file(seed_dir / name, data)
        torrent = make_torrent(seed_dir / name, tracker=self.swarm.announce)
        write_file(self.www / (name + ".torrent"), torrent)
        self.swarm.seed(self.www / (name + ".torrent"), seed_dir)
        return data, self.nginx.url(name + ".torrent"), torrent

    def test_transfer_seeding_and_stop(self):
        size = 6 * 1024 * 1024
        data, url, torrent = self.publish("patch.rar", size)
        target = self.tmp.path / "dl" / "patch.rar"
        write_file(target, b"")  # an empty file where the download goes
        stop = threading.Event()
        # The host checks the file as soon as it is reported complete.
        at_finish = []
        C_DEBUG.reset(answer=lambda done, statistics: stop.is_set(),
                      on_finish=lambda: at_finish.append(target.read_bytes()))
        t = DownloadThread(url, target, LOOPBACK + ["--max_download_rate", "2048"])
        t.start()
        self.assertTrue(wait_until(lambda: C_DEBUG.calls("finish"), 60), C_DEBUG.texts())
        finished_at = C_DEBUG.calls("finish")[0][0]
        # It keeps seeding and reporting until the host answers "stop".
        self.assertTrue(wait_until(
            lambda: len([c for c in C_DEBUG.calls("display") if c[0] > finished_at]) >= 2, 5))
        stop_at = time.monotonic()
        stop.set()
        t.join(15)
        self.assertIsNotNone(t.elapsed, "download did not return")
        self.assertIsNone(t.error)

        self.assertEqual(target.read_bytes(), data)
        self.assertEqual(len(C_DEBUG.calls("finish")), 1)
        self.assertTrue(at_finish == [data], "the whole file is on disk when reported complete")
        self.assertEqual([c[3] for c in C_DEBUG.calls("active")], [(size,)])
        self.assertIn("文件不完整!", C_DEBUG.texts())
        displays = [c[3] for c in C_DEBUG.calls("display")]
        self.assertEqual(displays[-1], (1, {"activity": "shutting down", "fractionDone": 0}))
        last = C_DEBUG.calls("display")[-1][0]
        self.assertLess(last - stop_at, 0.5 + 0.3, "stop within one display interval")
        before = [s for (done, s), c in zip(displays, C_DEBUG.calls("display"))
                  if c[0] < finished_at]
        self.assertTrue(all(d == 0 for d, _ in displays[:len(before)]))
        moving = [s for s in before if s["downRate"] > 0]
        self.assertTrue(moving, "rates seen while downloading")
        for s in moving:
            self.assertIsInstance(s["timeEst"], float)
            self.assertLess(s["downRate"], 2048 * 1024 * 1.5, "rate limit holds on loopback")
        fractions = [s["fractionDone"] for s in before]
        self.assertEqual(fractions, sorted(fractions))
        self.assertTrue(any(0 < f < 1 for f in fractions))
        self.assertTrue(all(d == 1 for d, _ in displays[len(before):]))
        self.assertGreater(finished_at - C_DEBUG.calls("active")[0][0], 2.0,
                           "6 MiB at 2 MiB/s")
        # The tracker saw us leave: only aria2c is listed.
        self.assertTrue(wait_until(lambda: self.swarm.peers(torrent) == (1, 0), 3),
                        self.swarm.peers(torrent))

        # A second call in the same process finds the file complete.
        C_DEBUG.reset()
        script.download(url, str(target), "")
        self.assertEqual(len(C_DEBUG.calls("finish")), 1)
        self.assertNotIn("文件不完整!", C_DEBUG.texts())
        self.assertEqual(C_DEBUG.calls("display"), [])

    def test_two_downloads_on_two_threads(self):
        size = 3 * 1024 * 1024
        slow_data, slow_url, slow_torrent = self.publish("slow.rar", size)
        fast_data, fast_url, fast_torrent = self.publish("fast.rar", size)
        C_DEBUG.reset(answer=lambda done, statistics: done)
        slow = DownloadThread(slow_url, self.tmp.path / "dl" / "slow.rar",
                              LOOPBACK + ["--max_download_rate", "768"])
        fast = DownloadThread(fast_url, self.tmp.path / "dl" / "fast.rar", LOOPBACK)
        slow.start()
        fast.start()
        slow.join(60)
        fast.join(60)
        for t in (slow, fast):
            self.assertIsNotNone(t.elapsed, "download did not return")
            self.assertIsNone(t.error)
            self.assertEqual(len(C_DEBUG.calls("finish", t.ident)), 1)
        self.assertEqual((self.tmp.path / "dl" / "slow.rar").read_bytes(), slow_data)
        self.assertEqual((self.tmp.path / "dl" / "fast.rar").read_bytes(), fast_data)
        # Each session has its own limit: 3 MiB at 768 kB/s takes 4 s.
        self.assertGreater(slow.elapsed, 2.5)
        self.assertLess(fast.elapsed, slow.elapsed)
        # Stopped right at completion, they still told the tracker.
        for torrent in (slow_torrent, fast_torrent):
            self.assertTrue(wait_until(lambda: self.swarm.peers(torrent) == (1, 0), 3),
                            self.swarm.peers(torrent))


if __name__ == "__main__":
    unittest.main()
