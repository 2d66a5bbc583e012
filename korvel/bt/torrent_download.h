// BitTorrent downloads of patch files.
#pragma once

#include <string>

class CkorvelDlg;

// Downloads the file described by the torrent at torrentUrl to savePath;
// 0 on success, 1 on failure. This build has no BitTorrent engine: it says
// so in the status line and fails, so the worker reports the download error
// (and the close handling offers the HTTP-mode updater).
int RunTorrentDownload(CkorvelDlg* window, const std::string& torrentUrl,
                       const std::string& savePath, const std::string& options);

// The closing-phase torrent: seeds ClosingTorrentUrl's file while the
// closing countdown runs. Gives the thread's exit code.
int ClosingTorrentThread(CkorvelDlg* window);
