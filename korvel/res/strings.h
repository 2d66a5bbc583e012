// The updater's string table and fixed texts.
#pragma once

#include <string>

#include "korvel/res/hosts.h"

namespace res {

enum StringId : unsigned {
    IDS_SOCKETS_INIT_FAILED = 103,
    IDS_ALREADY_RUNNING = 104,
    IDS_WINDOW_TITLE = 105,
    IDS_INSTANCE_NAME = 106,
    IDS_RUN_GAME = 107,
    IDS_DEFAULT_UPDATE_URL = 108,
    IDS_SETTINGS_FILE = 109,
    IDS_UPDATE_URL_KEY = 110,
    IDS_DOWNLOAD_DIR = 111,
    IDS_WIN9X_REMINDER = 112,  // format: the installer's path
};

// The text of a string-table entry; empty for an unknown id.
std::string LoadString(unsigned id);

// The application's name, the caption of the framework's message boxes.
inline constexpr const char* kAppName = "korvel";

// Built-in default addresses (hosts are build settings, paths are fixed).
inline constexpr const char* kDefaultUpdateUrl = "http://" KORVEL_UPDATE_HOST "/patch_test.txt";
inline constexpr const char* kDefaultReportUrl = "http://" KORVEL_REPORT_HOST "/patch_download";
inline constexpr const char* kDefaultExpMd5Url = "http://" KORVEL_UPDATE_HOST "/exp_list1.txt";
// The manual-update guide on the game's web site.
inline constexpr const char* kManualGuideUrl =
    "http://" KORVEL_WEB_HOST "/download/download02.html";

}  // namespace res
