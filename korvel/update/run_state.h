// Process-wide state of one updater run, shared by start-up, the window, the
// workers, the downloads and the script host.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "common/signing/trusted_keys.h"
#include "korvel/update/update_list.h"

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

// Written once by start-up before any other thread exists; only read after.
extern std::string GameDir;    // the game directory followed by "/"
extern std::string ReportUrl;  // address that receives the download statistics

// Expansion-pack mode: written by the expansion worker before its download.
extern std::string InstallerPath;       // local path of the downloaded installer
extern std::string InstallerMd5;        // its expected digest; empty: not checked
extern std::string ShapeFilePath;       // the pack's marker file in the game folder
extern std::string InstallerSignature;  // its signature text; empty: none could be fetched

// Statistics query per patch file name, in byte order of the names.
// Guarded by DownloadLock.
extern std::map<std::string, std::string> ReportQueries;

// The running patch update, from the update list. Written by the patch
// worker before its first download (UpdateList under DownloadLock) and read
// by the window thread afterwards; only PatchRecord::damaged changes later.
extern std::vector<PatchRecord> UpdateList;
extern std::int32_t ClosingTorrentMode;  // 0 none, 1 first patch, 2 a random one
extern std::int32_t ClosingSeconds;      // closing countdown and forced-exit delay

// The publisher keys, loaded once by start-up before any other thread
// exists; with none, nothing downloaded is checked for a signature.
extern signing::TrustedKeys PublisherKeys;
// The signature text of each UpdateList record (same index), fetched by the
// patch worker before that file's download; empty when none could be
// fetched. Guarded by DownloadLock.
extern std::vector<std::string> PatchSignatures;
