// Downloads of patch files and expansion installers over HTTP, with progress
// on the main window and MD5 checks before and after.
#pragma once

#include <string>

#include "korvel/net/download_window.h"

// Results of the downloads.
enum DownloadResult : int { DOWNLOAD_DONE = 0, DOWNLOAD_FAILED = 1, DOWNLOAD_STOPPED = 2 };

// Fetches url to localPath unless the file there already has the expected
// digest. Reads the body in blocks of 1024 bytes; progress every ninth block.
// Done: clears QuitRequested and lowers PendingDownloads. Failed: sets
// QuitRequested. Stopped (QuitRequested during the transfer): nothing else
// is touched and the partial file stays.
int DownloadPatchFile(DownloadWindow& window, const std::string& url, const std::string& localPath,
                      const std::string& expectedMd5);

// The same for the expansion installer, against InstallerMd5 (empty: no
// digest check), in blocks of 4096 bytes; sets the window's BitTorrent state
// to 1 on an answer 200, counts a stop as a failure, sets QuitRequested to
// the outcome and posts WM_EXPANSION_DONE at the end of a transfer.
int DownloadExpansionFile(DownloadWindow& window, const std::string& url,
                          const std::string& localPath);
