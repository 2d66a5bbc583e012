// Process-wide state of one updater run that the downloads share with the
// window and the workers. The updater's other process-wide values are in
// korvel/app/globals.h.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

// Written once by start-up before any other thread exists; only read after.
extern std::string DownloadDir;  // the game directory's "download" folder

// Flags shared by the window, the workers, the downloads and the script.
// Single reads and writes need no lock; DownloadLock guards changes that
// must happen together. It may be taken again by the thread that holds it.
extern std::recursive_mutex DownloadLock;
extern std::atomic<bool> QuitRequested;              // the run is to stop
extern std::atomic<bool> StopTorrent;                // the running torrent is to stop
extern std::atomic<std::uint32_t> PendingDownloads;  // files still to arrive

// Written by the patch worker (TorrentOptions) and the closing phase
// (ClosingTorrentUrl) before the downloads that read them start.
extern std::string TorrentOptions;     // option word for the download script
extern std::string ClosingTorrentUrl;  // url of the patch seeded while closing
