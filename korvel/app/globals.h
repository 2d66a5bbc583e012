// Process-wide values of the updater.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "korvel/update/run_state.h"
#include "korvel/update/update_list.h"

// Written once by start-up before any other thread exists; only read after.
// (DownloadDir and the shared download flags: korvel/update/run_state.h.)
extern std::string GameDir;    // the game directory followed by "/"
extern std::string ReportUrl;  // address that receives the download statistics

// Expansion-pack mode: written by the expansion worker before its download.
extern std::string InstallerPath;  // local path of the downloaded installer
extern std::string InstallerMd5;   // its expected digest; empty: not checked
extern std::string ShapeFilePath;  // the pack's marker file in the game folder

// Statistics query per patch file name, in byte order of the names.
// Guarded by DownloadLock.
extern std::map<std::string, std::string> ReportQueries;

// The running patch update, from the update list. Written by the patch
// worker before its first download (UpdateList under DownloadLock) and read
// by the window thread afterwards; only PatchRecord::damaged changes later.
extern std::vector<PatchRecord> UpdateList;
extern std::int32_t ClosingTorrentMode;  // 0 none, 1 first patch, 2 a random one
extern std::int32_t ClosingSeconds;      // closing countdown and forced-exit delay
// (TorrentOptions and ClosingTorrentUrl: korvel/update/run_state.h.)
