// Splitting "http://host[:port]/path" addresses.
#pragma once

#include <cstdint>
#include <string>

namespace NetModel {

struct ParsedHttpUrl {
    bool ok = false;       // host and path were found
    bool hasPort = false;  // false when a ":" in the host was not followed by a number
    std::string host;
    std::uint16_t port = 0;
    std::string path;  // begins with "/"; a query stays part of it
};

// Scans the address with "http://%1023[^/]%2047s" (lower-case scheme only,
// host up to the first "/", path up to the first blank), then a host with a
// ":" with "%1023[^:]:%d". A host without ":" gets port 80.
ParsedHttpUrl ParseHttpUrl(const std::string& url);

// Host, port text and path for the client's constructor. The port is written
// as a signed 16-bit number (ports above 32767 come out negative, and the
// client turns them back into the same 16 bits). All three are empty when the
// address does not parse; the port text alone is empty when it has no port.
void SplitHttpUrl(const std::string& url, std::string& host, std::string& port, std::string& path);

}  // namespace NetModel
