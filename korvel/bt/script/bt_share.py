# Web seeds that give way to peers (option --share_web_seeds, off unless
# set): the same rule as the repair engine's. When several players fetch one
# file at once, the publisher's web server should send it about once and the
# players pass it on among themselves. Twice a second the transfer loop looks
# at the torrent: the missing pieces no connected peer holds ("uncovered")
# are dealt out in 1 MiB chunks among the downloaders in sight, ordered by
# address, and the web seeds are
#
# - on while there are no peers, while this downloader's own chunks are
#   missing (its web seeds then take only those: the uncovered pieces of
#   the other chunks are held back at priority 0, since a web seed widens a
#   request to any neighbouring piece that is not), while the uncovered
#   pieces have not shrunk for 3 s, and while peers that hold a second's
#   worth (of the ceiling: the download limit or the best rate seen) have
#   brought less than a quarter of the ceiling for 5 s;
# - off otherwise, and until the tracker has answered (at most 2 s) and in
#   the first 3 s while the number of peers still changes.
#
# With no more than 2 MiB of the own stripe left, everything else is held
# back while the web seeds run: they would next ask for pieces peers hold.
# On or off only: a web seed held to a small rate keeps many blocks requested
# that no peer may then bring. With peers the session keeps the web seeds'
# requests short (one piece, two at a time, at most 64 blocks asked of any
# peer) and unchokes every 5 s.

import ipaddress
import time

import libtorrent as lt

SLOW_PEERS = 4.0
SLOW_FOR = 3.0
CRAWL_FOR = 5.0
TRACKER_WAIT = 2.0
CONNECT_WAIT = 3.0
SETTLE = 1.0
DEFAULT_CEILING = 8 * 1024 * 1024
CHUNK_BYTES = 1 << 20
TAIL_BYTES = 2 << 20
PERIOD = 0.5


class Sample(object):
    """One look at the torrent."""

    def __init__(self, seconds=0.0, tracker_answered=True, peers=0, known=0, swarm=-1,
                 peer_rate=0, web_rate=0, missing=0, uncovered=0, striped=False, own=0):
        self.seconds = seconds
        self.tracker_answered = tracker_answered
        self.peers = peers          # connected BitTorrent peers
        self.known = known          # peers the torrent knows of
        self.swarm = swarm          # downloaders the tracker counts, -1: unknown
        self.peer_rate = peer_rate  # payload bytes per second from the peers
        self.web_rate = web_rate    # payload bytes per second from the web seeds
        self.missing = missing      # bytes still to come
        self.uncovered = uncovered  # of those, in pieces no connected peer holds
        self.striped = striped      # the uncovered pieces are dealt out
        self.own = own              # of the uncovered bytes, this downloader's


class WebSeedPolicy(object):
    def __init__(self, download_limit):
        self.download_limit = download_limit
        self.best_rate = 0
        self.slow_since = -1.0
        self.last_uncovered = -1
        self.last_peers = -1
        self.peers_since = 0.0
        self.uncovered_since = 0.0

    def ceiling(self):
        if self.download_limit > 0:
            return self.download_limit
        return max(DEFAULT_CEILING, self.best_rate)

    def decide(self, s):
        """True: web seeds on."""
        self.best_rate = max(self.best_rate, s.peer_rate + s.web_rate)
        if not s.tracker_answered and s.seconds < TRACKER_WAIT:
            return False
        if s.missing <= 0:
            return True
        if s.peers != self.last_peers:
            self.last_peers = s.peers
            self.peers_since = s.seconds
        uncovered = min(max(s.uncovered, 0), s.missing)
        if self.last_uncovered < 0 or uncovered < self.last_uncovered:
            self.uncovered_since = s.seconds
        self.last_uncovered = uncovered
        ceiling = self.ceiling()
        slow = s.missing - uncovered >= ceiling and s.peer_rate * SLOW_PEERS < ceiling
        if not slow:
            self.slow_since = -1.0
        elif self.slow_since < 0:
            self.slow_since = s.seconds
        others_named = s.swarm > 1 if s.swarm >= 0 else s.known > 0
        if s.peers <= 0 and (not others_named or s.seconds >= CONNECT_WAIT):
            return True
        if uncovered > 0 and s.seconds < CONNECT_WAIT and s.seconds - self.peers_since < SETTLE:
            return False
        if uncovered > 0 and (not s.striped or s.own > 0):
            return True
        if uncovered > 0 and s.seconds - self.uncovered_since >= SLOW_FOR:
            return True
        return slow and s.seconds - self.slow_since >= CRAWL_FOR


def own_stripe(uncovered, pieces_per_chunk, rank, members):
    """The uncovered pieces in this downloader's chunks; empty when there is
    nobody to share with."""
    if members < 2 or rank < 0 or rank >= members:
        return []
    per = max(1, pieces_per_chunk)
    return [u and (i // per) % members == rank for i, u in enumerate(uncovered)]


def _swarm_settings(piece_length):
    return {
        "urlseed_max_request_bytes": max(piece_length, 16 * 1024),
        "urlseed_pipeline_size": 2,
        "max_out_request_queue": 64,
        "unchoke_interval": 5,
        "close_redundant_connections": False,
    }


class WebSeedSteering(object):
    """Applies the policy to one torrent; step() is called every PERIOD
    seconds by the transfer loop until it answers False."""

    def __init__(self, session, handle, download_limit):
        self.session = session
        self.handle = handle
        self.policy = WebSeedPolicy(download_limit)
        self.start = time.monotonic()
        self.urls = list(handle.url_seeds())
        ti = handle.torrent_file()
        self.piece_length = ti.piece_length()
        self.total = ti.total_size()
        self.has_trackers = len(handle.trackers()) > 0
        current = session.get_settings()
        self.alone = {k: current[k] for k in _swarm_settings(0)}
        self.on = True
        self.sharing = False
        self.levels = []

    def step(self):
        st = self.handle.status(lt.torrent_handle.query_pieces)
        if st.is_seeding:
            return False
        sample, uncovered, own = self._sample(st)
        on = self.policy.decide(sample)
        self._set_sharing(sample.peers > 0)
        if on != self.on:
            self.on = on
            for url in self.urls:
                if on:
                    self.handle.add_url_seed(url)
                else:
                    self.handle.remove_url_seed(url)
        if on and 0 < sample.own <= TAIL_BYTES:
            self._set_pieces(own, [True] * len(own))
        else:
            self._set_pieces(own, uncovered if on and sample.own > 0 else [])
        return True

    def _sample(self, st):
        s = Sample(seconds=time.monotonic() - self.start)
        s.tracker_answered = not self.has_trackers or bool(st.current_tracker)
        s.missing = max(self.total - st.total_done, 0)
        s.known = st.list_peers
        s.swarm = st.num_incomplete
        have = list(st.pieces)
        covered = [False] * len(have)
        members = set()
        local = None
        for p in self.handle.get_peer_info():
            if p.connection_type != lt.peer_info.standard_bittorrent:
                s.web_rate += p.payload_down_speed
                continue
            if p.flags & (lt.peer_info.connecting | lt.peer_info.handshake):
                continue
            s.peers += 1
            s.peer_rate += p.payload_down_speed
            if local is None:
                local = p.local_endpoint[0]
            if p.flags & lt.peer_info.seed:
                covered = [True] * len(have)
                continue
            members.add(p.ip[0])
            for i, bit in enumerate(p.pieces[:len(have)]):
                if bit:
                    covered[i] = True
        uncovered = [not h and not c for h, c in zip(have, covered)]
        s.uncovered = min(s.missing, sum(uncovered) * self.piece_length)
        own = []
        if members and local is not None:
            members.add(local)
            order = sorted(members, key=_address_key)
            own = own_stripe(uncovered, max(1, CHUNK_BYTES // max(1, self.piece_length)),
                             order.index(local), len(order))
        s.striped = bool(own)
        s.own = sum(own) * self.piece_length
        return s, uncovered, own

    def _set_pieces(self, own, uncovered):
        levels = [2 if o else (0 if i < len(uncovered) and uncovered[i] else 1)
                  for i, o in enumerate(own)] if own else [1] * len(self.levels)
        if levels == self.levels:
            return
        self.levels = levels
        if levels:
            self.handle.prioritize_pieces([7 if v == 2 else (0 if v == 0 else 4) for v in levels])

    def _set_sharing(self, sharing):
        if sharing != self.sharing:
            self.sharing = sharing
            self.session.apply_settings(_swarm_settings(self.piece_length) if sharing
                                        else self.alone)


def _address_key(text):
    """Addresses in the engine's order: IPv4 before IPv6, by value."""
    a = ipaddress.ip_address(text)
    return (a.version, int(a))
