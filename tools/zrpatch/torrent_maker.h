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

struct SeedRequest {
    std::string folder;   // the published client folder
    std::string webSeed;  // address of the folder's parent over HTTP
    std::string tracker;  // announce address; empty: none
};

// The repair engine's seed: a v1-only torrent of every file below
// request.folder (the engine's own info folder ".ferrel" left out), named by
// the folder's last component. Its web seed ends in "/", so the engine asks
// for webSeed + "/" + folder name + "/" + file path. False with the reason in
// error when the folder cannot be read or holds no file.
bool MakeSeed(const SeedRequest& request, MadeTorrent& made, std::string& error);

}  // namespace zrpatch
