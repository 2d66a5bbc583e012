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
    // Refusals of a downloaded file by its publisher signature; each format
    // takes the file's name.
    IDS_SIGNATURE_MISSING = 113,
    IDS_SIGNATURE_INVALID = 114,
    IDS_SIGNATURE_EXPIRED = 115,
    IDS_SIGNATURE_OLDER_LIST = 116,
    IDS_SIGNATURE_KEYS_UNSAFE = 117,
    // What follows a refusal: for a patch or an installer (format: the file's
    // name), for the update list (the guide question).
    IDS_SIGNATURE_FILE_DELETED = 118,
    IDS_SIGNATURE_LIST_GUIDE = 119,
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
