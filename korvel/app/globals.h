// Process-wide values of the updater.
#pragma once

#include <string>

// Written once by start-up before any other thread exists; only read after.
extern std::string GameDir;      // the game directory followed by "/"
extern std::string DownloadDir;  // the game directory's "download" folder
extern std::string ReportUrl;    // address that receives the download statistics
