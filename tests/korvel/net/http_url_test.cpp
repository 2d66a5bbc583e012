#include "korvel/net/http_url.h"

#include <netdb.h>

#include <cerrno>

#include <gtest/gtest.h>

#include "korvel/net/socket_errors.h"

namespace {

using NetModel::ParseHttpUrl;
using NetModel::SplitHttpUrl;

TEST(HttpUrl, SplitsHostPortAndPath) {
    struct Case {
        std::string url;
        std::string host, port, path;
    } cases[] = {
        {"http://update.example/list.txt", "update.example", "80", "/list.txt"},
        {"http://10.1.2.3:8080/p/list.txt", "10.1.2.3", "8080", "/p/list.txt"},
        {"http://h/patch_download?proj=vq2&x=1", "h", "80", "/patch_download?proj=vq2&x=1"},
        {"http://h:40000/x", "h", "-25536", "/x"},  // written as a signed 16-bit number
        {"http://h:65535/x", "h", "-1", "/x"},
        {"http://h:70000/x", "h", "4464", "/x"},  // only 16 bits are kept
        {"http://h/a b", "h", "80", "/a"},        // the path ends at a blank
        {"http://h:/x", "h:", "", "/x"},          // no number after ":": host kept, no port
        {"http://:8080/x", ":8080", "", "/x"},
        {"http://h", "", "", ""},  // no "/" after the host
        {"https://h/x", "", "", ""},
        {"HTTP://h/x", "", "", ""},
        {"ftp://h/x", "", "", ""},
        {"http:///x", "", "", ""},  // empty host
        {"", "", "", ""},
    };
    for (const auto& c : cases) {
        std::string host = "stale", port = "stale", path = "stale";
        SplitHttpUrl(c.url, host, port, path);
        EXPECT_EQ(host, c.host) << c.url;
        EXPECT_EQ(port, c.port) << c.url;
        EXPECT_EQ(path, c.path) << c.url;
    }
}

TEST(HttpUrl, OverlongPartsAreCut) {
    // The host field stops after 1023 characters; the rest of the host is
    // taken as the start of the path, as the scan does it.
    const auto parsed = ParseHttpUrl("http://" + std::string(1500, 'a') + "/x");
    ASSERT_TRUE(parsed.ok);
    EXPECT_EQ(parsed.host, std::string(1023, 'a'));
    EXPECT_EQ(parsed.path, std::string(477, 'a') + "/x");
    const auto longPath = ParseHttpUrl("http://h/" + std::string(3000, 'p'));
    ASSERT_TRUE(longPath.ok);
    EXPECT_EQ(longPath.path.size(), 2047u);
}

TEST(SocketErrors, TextsByMeaning) {
    struct Case {
        int errnoValue;
        std::string text;
    } cases[] = {
        {ECONNREFUSED, "connection refused"},      {ETIMEDOUT, "connection timed out"},
        {EHOSTUNREACH, "host unreachable"},        {ENETDOWN, "Network subsystem failed"},
        {ECONNRESET, "connection reset"},          {EPIPE, "connection reset"},
        {EMFILE, "no file descriptors available"}, {ENETUNREACH, "Err code: 10051"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(NetModel::SocketErrorText(NetModel::SocketErrorFromErrno(c.errnoValue)), c.text);
    EXPECT_EQ(NetModel::SocketErrorText(NetModel::SocketErrorFromResolver(EAI_NONAME)),
              "Authoritive: Host not found");
    EXPECT_EQ(NetModel::SocketErrorText(NetModel::SocketErrorFromResolver(EAI_AGAIN)),
              "Non-authoritive: host not found or server failure");
    EXPECT_EQ(NetModel::SocketErrorText(12345), "Err code: 12345");
}

}  // namespace
