#include "korvel/net/http_url.h"

#include <cstdio>
#include <vector>

namespace NetModel {

ParsedHttpUrl ParseHttpUrl(const std::string& url) {
    ParsedHttpUrl result;
    std::vector<char> host(1024), path(2048);
    if (std::sscanf(url.c_str(), "http://%1023[^/]%2047s", host.data(), path.data()) != 2)
        return result;
    result.ok = true;
    result.host = host.data();
    result.path = path.data();
    if (result.host.find(':') == std::string::npos) {
        result.hasPort = true;
        result.port = 80;
        return result;
    }
    std::vector<char> name(1024);
    int port = 0;
    if (std::sscanf(result.host.c_str(), "%1023[^:]:%d", name.data(), &port) == 2) {
        result.host = name.data();
        result.hasPort = true;
        result.port = static_cast<std::uint16_t>(port);
    }
    return result;
}

void SplitHttpUrl(const std::string& url, std::string& host, std::string& port, std::string& path) {
    host.clear();
    port.clear();
    path.clear();
    const ParsedHttpUrl parsed = ParseHttpUrl(url);
    if (!parsed.ok)
        return;
    host = parsed.host;
    path = parsed.path;
    if (parsed.hasPort)
        port = std::to_string(static_cast<std::int16_t>(parsed.port));
}

}  // namespace NetModel
