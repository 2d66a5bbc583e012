#include "korvel/net/simple_http.h"

#include <zlib.h>

#include <cstdlib>
#include <filesystem>

#include <gtest/gtest.h>

#include "korvel/net/http_url.h"
#include "tests/support/scripted_server.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace std::chrono_literals;
using namespace testing_support;
using NetModel::CommHttp;
using NetModel::TimeValue;

std::string Gzip(const std::string& data) {
    z_stream z{};
    deflateInit2(&z, 9, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY);  // 31: gzip wrapper
    std::string out(deflateBound(&z, data.size()) + 32, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

struct Fetch {
    bool ok;
    std::string content, error;
};

Fetch Get(const ScriptedServer& server, TimeValue connect = {15, 0}, TimeValue transfer = {60, 0}) {
    std::string host, port, path;
    NetModel::SplitHttpUrl(server.Url("/list.txt"), host, port, path);
    CommHttp http(host, port, connect, transfer);
    const bool ok = http.Execute(NetModel::BuildGetRequest(path, host));
    return {ok, http.GetContent(), http.GetError()};
}

// Every test runs with its own temp folder, so leftovers of the gzip path
// would show.
class SimpleHttpTest : public ::testing::Test {
  protected:
    void SetUp() override { ::setenv("TMPDIR", tmp_.path().c_str(), 1); }
    void TearDown() override {
        EXPECT_TRUE(std::filesystem::is_empty(tmp_.path())) << "temporary file left behind";
        ::unsetenv("TMPDIR");
    }
    TempDir tmp_;
};

TEST_F(SimpleHttpTest, SendsTheRequestByteForByteAndReadsTheBody) {
    ScriptedServer server({ReadRequest(), SendBytes(HttpResponse("200 OK", "", "1.0.1 a b"))});
    const Fetch f = Get(server);
    EXPECT_TRUE(f.ok);
    EXPECT_EQ(f.content, "1.0.1 a b");
    ASSERT_EQ(server.Requests().size(), 1u);
    EXPECT_EQ(server.Requests()[0],
              "GET /list.txt HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept-Encoding: gzip\r\n"
              "Connection: Close\r\n\r\n");
}

TEST_F(SimpleHttpTest, ResponsesOfMisbehavingServers) {
    const std::string zipped = Gzip("decoded body");
    struct Case {
        const char* name;
        std::vector<ServerStep> script;
        bool ok;
        std::string content, error;
    } cases[] = {
        {"closes without sending", {ReadRequest(), CloseNow()}, false, "", ""},
        {"redirect",
         {ReadRequest(), SendBytes(HttpResponse("302 Found", "Location: /x\r\n", ""))},
         false,
         "",
         " 302 Found"},
        {"not found",
         {ReadRequest(), SendBytes(HttpResponse("404 Not Found", "", "nope"))},
         false,
         "",
         " 404 Not Found"},
        {"no header end",
         {ReadRequest(), SendBytes("HTTP/1.1 200 OK\r\nX: y\r\nbody")},
         true,
         "",
         ""},
        {"status in pieces",
         {ReadRequest(), SendBytes("HTTP/1.1 2"), SleepFor(50ms), SendBytes("00 OK\r\n\r\nabc")},
         true,
         "abc",
         ""},
        {"gzip body",
         {ReadRequest(), SendBytes(HttpResponse("200 OK", "Content-Encoding: gzip\r\n", zipped))},
         true,
         "decoded body",
         ""},
        {"lower-case gzip header leaves the body packed",
         {ReadRequest(), SendBytes(HttpResponse("200 OK", "content-encoding: gzip\r\n", zipped))},
         true,
         zipped,
         ""},
        {"plain text under a gzip header",
         {ReadRequest(), SendBytes(HttpResponse("200 OK", "Content-Encoding: gzip\r\n", "plain"))},
         true,
         "plain",
         ""},
        {"broken gzip body",
         {ReadRequest(), SendBytes(HttpResponse("200 OK", "Content-Encoding: gzip\r\n",
                                                zipped.substr(0, zipped.size() / 2)))},
         true,
         "",
         ""},
        {"200 OK only on a later line",
         {ReadRequest(), SendBytes("HTTP/1.1 500 Oops\r\nX: 200 OK\r\n\r\n")},
         false,
         "",
         " 500 Oops"},
    };
    for (auto& c : cases) {
        ScriptedServer server(c.script);
        const Fetch f = Get(server);
        EXPECT_EQ(f.ok, c.ok) << c.name;
        EXPECT_EQ(f.content, c.content) << c.name;
        EXPECT_EQ(f.error, c.error) << c.name;
    }
}

TEST_F(SimpleHttpTest, PiecesSpreadPastTheBudgetTimeOut) {
    // Each wait is short, but together they use up the 1-second budget.
    std::vector<ServerStep> script = {ReadRequest(), SendBytes("HTTP/1.1 200 OK\r\n")};
    for (int i = 0; i < 8; ++i) {
        script.push_back(SleepFor(250ms));
        script.push_back(SendBytes("X-Pad: 1\r\n"));
    }
    ScriptedServer server(script);
    const auto begin = std::chrono::steady_clock::now();
    const Fetch f = Get(server, {15, 0}, {1, 0});
    EXPECT_FALSE(f.ok);
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 1500ms);
    // Whether the budget is found used up right after a piece arrived or
    // while waiting for the next one decides between the two texts.
    EXPECT_TRUE(f.error == "Time Out!!!" ||
                f.error == "socket marked as non-blocking and SO_LINGER set not 0")
        << f.error;
}

TEST_F(SimpleHttpTest, SilentServerRunsOutInTheWait) {
    ScriptedServer server({ReadRequest(), SleepFor(1500ms)});
    const Fetch f = Get(server, {15, 0}, {0, 300000});
    EXPECT_FALSE(f.ok);
    // The wait itself ran out: the text of the last socket error, which is
    // the non-blocking connect's "would block".
    EXPECT_EQ(f.error, "socket marked as non-blocking and SO_LINGER set not 0");
}

TEST_F(SimpleHttpTest, OversizedResponsesFail) {
    const std::string big(NetModel::SimpleHttp::kMaxResponseBytes + 4096, 'x');
    {
        ScriptedServer server({ReadRequest(), SendBytes(HttpResponse("200 OK", "", big))});
        const Fetch f = Get(server);
        EXPECT_FALSE(f.ok);
        EXPECT_EQ(f.error, "Response too large");
    }
    {
        // A small gzip body that would unpack to more than the cap.
        ScriptedServer server(
            {ReadRequest(),
             SendBytes(HttpResponse("200 OK", "Content-Encoding: gzip\r\n", Gzip(big)))});
        const Fetch f = Get(server);
        EXPECT_TRUE(f.ok);
        EXPECT_EQ(f.content, "");
    }
}

TEST_F(SimpleHttpTest, ConnectionFailuresGiveSocketTexts) {
    int closedPort;
    {
        ScriptedServer gone({});
        closedPort = gone.port();
    }
    struct Case {
        std::string host, port;
        std::vector<std::string> acceptable;
    } cases[] = {
        {"127.0.0.1",
         std::to_string(static_cast<std::int16_t>(closedPort)),
         {"connection refused"}},
        {"no-such-host.invalid",
         "80",
         {"Authoritive: Host not found", "Non-authoritive: host not found or server failure"}},
        // Digits and dots only: used as an address, never looked up.
        {"127.0.0.1a",
         "80",
         {"Authoritive: Host not found", "Non-authoritive: host not found or server failure"}},
    };
    for (const auto& c : cases) {
        CommHttp http(c.host, c.port, {2, 0}, {2, 0});
        EXPECT_FALSE(http.Execute(NetModel::BuildGetRequest("/", c.host)));
        EXPECT_NE(std::find(c.acceptable.begin(), c.acceptable.end(), http.GetError()),
                  c.acceptable.end())
            << c.host << ": " << http.GetError();
    }
}

TEST(TimeValue, ArithmeticBorrowsAndCompares) {
    using NetModel::IsGreater;
    using NetModel::Subtract;
    const TimeValue d = Subtract({5, 100}, {2, 900000});
    EXPECT_EQ(d.tv_sec, 2);
    EXPECT_EQ(d.tv_usec, 100100);
    EXPECT_TRUE(IsGreater({1, 2}, {1, 1}));
    EXPECT_TRUE(IsGreater({2, 0}, {1, 999999}));
    EXPECT_FALSE(IsGreater({1, 5}, {1, 5}));
}

}  // namespace
