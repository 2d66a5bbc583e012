"""Web seeds that give way to peers (--share_web_seeds): the rule on its own,
and three downloads of one file at once from one nginx web seed and each
other through opentracker, all on the loopback address."""

import os
import unittest

from script_support import (C_DEBUG, DownloadThread, Nginx, Swarm, TempDir, make_torrent,
                            write_file)

import bt_share
from bt_share import Sample, WebSeedPolicy

MIB = 1 << 20
LIMIT = 10000 * 1024


class PolicyTest(unittest.TestCase):
    def test_decisions(self):
        # (name, sample, web seeds on)
        cases = [
            ("alone", Sample(5, True, 0, 0, -1, 0, 9 * MIB, 100 * MIB, 100 * MIB), True),
            ("before the tracker answers", Sample(0.5, False, missing=128 * MIB), False),
            ("engines still connecting",
             Sample(0.3, True, 2, 5, 6, missing=128 * MIB, uncovered=128 * MIB, striped=True,
                    own=40 * MIB), False),
            ("own stripe left",
             Sample(4, True, 11, 11, 12, missing=128 * MIB, uncovered=128 * MIB, striped=True,
                    own=10 * MIB), True),
            ("own stripe done, the others' shrinking",
             Sample(4, True, 11, 11, 12, 8 * MIB, 0, 100 * MIB, 50 * MIB, True, 0), False),
            ("peers hold everything and deliver",
             Sample(6, True, 11, 11, 12, 9 * MIB, 0, 60 * MIB, 0, True, 0), False),
            ("nothing left", Sample(9, True, 4, 4, 5), True),
        ]
        for name, sample, on in cases:
            with self.subTest(name):
                self.assertEqual(WebSeedPolicy(LIMIT).decide(sample), on)

    def test_crawling_peers_get_the_web_seeds_back_after_a_while(self):
        policy = WebSeedPolicy(LIMIT)
        looks = [(5, 9 * MIB, False), (6, MIB, False), (10.5, MIB, False), (11, MIB, True),
                 (12, 9 * MIB, False), (13, MIB, False)]
        for seconds, rate, on in looks:
            s = Sample(seconds, True, 2, 2, 2, rate, 0, 100 * MIB, 0)
            self.assertEqual(policy.decide(s), on, seconds)

    def test_peers_that_hold_little_are_not_judged(self):
        policy = WebSeedPolicy(LIMIT)
        for i, seconds in enumerate([1, 3.5, 6.5, 9]):
            s = Sample(seconds, True, 11, 11, 12, 0, 0, 128 * MIB, 126 * MIB - i * MIB, True, 0)
            self.assertFalse(policy.decide(s), seconds)

    def test_stripes(self):
        T, F = True, False
        self.assertEqual(bt_share.own_stripe([T] * 8, 2, 1, 3), [F, F, T, T, F, F, F, F])
        self.assertEqual(bt_share.own_stripe([T, F, T, T, F, T], 1, 0, 2),
                         [T, F, T, F, F, F])
        self.assertEqual(bt_share.own_stripe([T, T], 1, 0, 1), [])


class SwarmShareTest(unittest.TestCase):
    def setUp(self):
        self.tmp = TempDir()
        self.addCleanup(self.tmp.remove)
        self.www = self.tmp.path / "www"
        self.www.mkdir()
        self.nginx = Nginx(self.www)
        self.addCleanup(self.nginx.stop)
        self.swarm = Swarm()
        self.addCleanup(self.swarm.stop)

    def test_three_downloads_share_what_the_web_seed_sends(self):
        size = 16 * MIB + 1234
        data = os.urandom(size)
        published = write_file(self.www / "files" / "patch.rar", data)
        torrent = make_torrent(published, tracker=self.swarm.announce,
                               web_seed=self.nginx.url("files/"), piece_size=64 * 1024)
        write_file(self.www / "patch.rar.torrent", torrent)
        self.swarm.track(self.www / "patch.rar.torrent")
        # Each on a loopback address of its own; 4000 kB/s lets one alone
        # take some four seconds.
        C_DEBUG.reset(answer=lambda done, statistics: done)
        targets = [self.tmp.path / ("dl%d" % i) / "patch.rar" for i in range(3)]
        threads = [DownloadThread(self.nginx.url("patch.rar.torrent"), target,
                                  ["--bind", "127.0.0.%d" % (70 + i), "--max_download_rate",
                                   "4000", "--share_web_seeds", "1"])
                   for i, target in enumerate(targets)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(120)
        for t, target in zip(threads, targets):
            self.assertIsNotNone(t.elapsed, "download did not return")
            self.assertIsNone(t.error)
            self.assertEqual(len(C_DEBUG.calls("finish", t.ident)), 1)
            self.assertTrue(target.read_bytes() == data, target)
        # Each pulling the whole file would be three copies.
        sent = self.nginx.body_bytes("/files/")
        self.assertLess(sent, 3 * size, "%.2f copies" % (sent / size))


if __name__ == "__main__":
    unittest.main()
