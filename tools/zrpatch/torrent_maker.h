// Torrents for publishing a patch file over BitTorrent.
#pragma once

#include <string>

namespace zrpatch {

struct TorrentRequest {
    std::string file;     // the patch file; the torrent names it by its last component
    std::string tracker;  // announce address
    std::string webSeed;  // address of the same file over HTTP; empty: none
};

struct MadeTorrent {
    std::string document;  // the bencoded .torrent file
    std::string infoHash;  // SHA-1 of the info dictionary, 40 lowercase hex digits
    int pieces = 0;
    int pieceLength = 0;
};

// A v1-only single-file torrent of request.file. False with the reason in
// error when the file cannot be read or is empty.
bool MakeTorrent(const TorrentRequest& request, MadeTorrent& made, std::string& error);

}  // namespace zrpatch
