# The download script's torrent documents: fetching one over HTTP, checking
# it for use, and checking whether a local file already holds what it
# describes.

import hashlib
import http.client
import os
import urllib.error
import urllib.parse
import urllib.request

import C_debug
import libtorrent as lt

from bt_options import BTFailure

# Torrent documents larger than this are refused unread.
MAX_TORRENT_BYTES = 10 * 1024 * 1024


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
