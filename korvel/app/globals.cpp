#include "korvel/app/globals.h"

std::string GameDir;
std::string DownloadDir;
std::string ReportUrl;
