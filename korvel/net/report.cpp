#include "korvel/net/report.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>

#include "korvel/net/http_url.h"
#include "korvel/net/simple_http.h"
#include "korvel/update/run_state.h"
#include "platform/process.h"

namespace {

// The leading decimal number of a text (blanks, a sign, digits, a fraction),
// 0 when there is none. Hexadecimal, exponents, "inf" and "nan" are not
// decimal numbers.
double DecimalValue(const std::string& text) {
    std::size_t i = text.find_first_not_of(" \t");
    if (i == std::string::npos)
        return 0;
    const std::size_t start = i;
    if (text[i] == '+' || text[i] == '-')
        ++i;
    const auto digits = [&] {
        const std::size_t from = i;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9')
            ++i;
        return i - from;
    };
    std::size_t count = digits();
    if (i < text.size() && text[i] == '.') {
        ++i;
        count += digits();
    }
    if (count == 0)
        return 0;
    return std::strtod(text.substr(start, i - start).c_str(), nullptr);
}

}  // namespace

std::string LookupDnsServers(const std::string& resolvConf) {
    const char* overridePath = std::getenv("KORVEL_RESOLV_CONF");
    std::ifstream in(overridePath && *overridePath ? overridePath : resolvConf);
    std::set<std::string> servers;  // distinct, byte-wise ascending
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string keyword, address;
        if (words >> keyword >> address && keyword == "nameserver")
            servers.insert(address);
    }
    std::string list;
    for (const auto& s : servers) {
        if (!list.empty())
            list += '|';
        list += s;
    }
    return list;
}

std::string BuildReportQuery(const PatchRecord& record, const std::string& method, bool failed,
                             std::time_t start, std::time_t end, const std::string& dnsList) {
    long long elapsed = static_cast<long long>(end) - static_cast<long long>(start);
    if (elapsed <= 0)
        elapsed = 1;
    const double average = DecimalValue(record.size) / 1000.0 / static_cast<double>(elapsed);

    std::string methodValue = (method == "bt") ? "bt" : "http";
    if (failed && !dnsList.empty())
        methodValue += "&dns=" + dnsList;

    const std::string file = PatchFileName(record.url);
    std::vector<char> text(file.size() + methodValue.size() + 128);
    std::snprintf(text.data(), text.size(),
                  "&avg=%.3f&start=%d&end=%d&clip=&err=0&file=%s&dtype=%s", average,
                  static_cast<std::int32_t>(static_cast<std::uint32_t>(start)),
                  static_cast<std::int32_t>(static_cast<std::uint32_t>(end)), file.c_str(),
                  methodValue.c_str());
    return std::string("proj=") + "vq2" + text.data();
}

void RecordDownloadReport(const PatchRecord& record, const std::string& method, bool failed,
                          std::time_t start, std::time_t end, const std::string& dnsList) {
    const std::string query = BuildReportQuery(record, method, failed, start, end, dnsList);
    std::lock_guard lock(DownloadLock);
    ReportQueries[PatchFileName(record.url)] = query;
}

void SendReports() {
    std::string host, port, path;
    NetModel::SplitHttpUrl(ReportUrl, host, port, path);
    // The worker may still be recording its last report.
    std::lock_guard lock(DownloadLock);
    for (const auto& [file, query] : ReportQueries) {
        NetModel::CommHttp http(host, port, {15, 0}, {60, 0});
        if (http.Execute(NetModel::BuildGetRequest(path + "?" + query, host)))
            http.GetContent();
    }
}

void StartGame() {
    platform::StartDetachedProcess(GameDir + "zorn.exe", {}, GameDir);
}

void StartGameAndReport() {
    StartGame();
    SendReports();
}
