// Download statistics: one query per patch file, sent after the game starts.
#pragma once

#include <ctime>
#include <string>

#include "korvel/update/update_list.h"

// Where the configured DNS servers are read from: the "nameserver" lines of
// the resolver configuration.
inline constexpr const char* kResolvConfPath = "/etc/resolv.conf";

// The configured DNS servers: each distinct address once, in byte order,
// joined with "|"; empty when none can be read. The file is
// KORVEL_RESOLV_CONF when that is set, else resolvConf.
std::string LookupDnsServers(const std::string& resolvConf = kResolvConfPath);

// The statistics query of one transfer.
std::string BuildReportQuery(const PatchRecord& record, const std::string& method, bool failed,
                             std::time_t start, std::time_t end, const std::string& dnsList);

// Builds the query and stores it in ReportQueries under the patch's file
// name (a later report for the same name replaces the earlier one).
void RecordDownloadReport(const PatchRecord& record, const std::string& method, bool failed,
                          std::time_t start, std::time_t end, const std::string& dnsList);

// Sends every query of ReportQueries once to ReportUrl, in the map's order,
// and ignores the outcome. Blocks the calling thread while it lasts.
void SendReports();

// Starts GameDir + "zorn.exe" with GameDir as its working folder, not waiting
// for it; a missing or unusable program is ignored.
void StartGame();

// The end of a run: the game first, then the statistics.
void StartGameAndReport();
