#include "korvel/app/globals.h"

std::string GameDir;
std::string ReportUrl;

std::string InstallerPath;
std::string InstallerMd5;
std::string ShapeFilePath;

std::map<std::string, std::string> ReportQueries;

std::vector<PatchRecord> UpdateList;
std::int32_t ClosingTorrentMode = 0;
std::int32_t ClosingSeconds = 0;
