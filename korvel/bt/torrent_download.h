// BitTorrent downloads of patch files: the host operation and the
// closing-phase torrent.
#pragma once

#include "korvel/bt/script_host.h"
#include "korvel/bt/torrent_window.h"

// The closing-phase torrent: runs ClosingTorrentUrl's torrent again while
// the closing countdown runs. Gives the thread's exit code.
int ClosingTorrentThread(TorrentWindow* window);
