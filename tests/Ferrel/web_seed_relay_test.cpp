// What the web seed relay makes of a web seed's answer to a range request,
// and whom it answers.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ostream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "Ferrel/relay_http.h"
#include "Ferrel/web_seed_relay.h"
#include "tests/support/temp_dir.h"

namespace {

using ferrel::RelayAnswer;
using ferrel::RelayVerdict;

struct AnswerCase {
    const char* name;
    std::int64_t first, last;  // the range asked
    const char* headers;       // the header lines, "\n" between them
    RelayVerdict verdict;
};

void PrintTo(const AnswerCase& c, std::ostream* os) {
    *os << c.name;
}

class RelayAnswerTest : public testing::TestWithParam<AnswerCase> {};

TEST_P(RelayAnswerTest, IsJudged) {
    RelayAnswer answer;
    std::istringstream lines(GetParam().headers);
    for (std::string line; std::getline(lines, line);)
        ferrel::ReadAnswerLine(line + "\r\n", answer);
    EXPECT_EQ(ferrel::JudgeAnswer(answer, GetParam().first, GetParam().last), GetParam().verdict);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RelayAnswerTest,
    testing::Values(
        AnswerCase{"the range asked", 100, 199,
                   "HTTP/1.1 206 Partial Content\nContent-Range: bytes 100-199/5000\n"
                   "Content-Length: 100",
                   RelayVerdict::Forward},
        AnswerCase{"the range asked in chunks of unknown total", 100, 199,
                   "HTTP/1.1 206 Partial Content\nContent-Range: bytes 100-199/*\n"
                   "Transfer-Encoding: chunked",
                   RelayVerdict::Forward},
        AnswerCase{"after a redirect, the last answer counts", 100, 199,
                   "HTTP/1.1 302 Found\nLocation: /b\nContent-Length: 9\n\n"
                   "HTTP/2 206\ncontent-range: bytes 100-199/5000",
                   RelayVerdict::Forward},
        AnswerCase{"a whole file that is the range", 0, 99, "HTTP/1.1 200 OK\nContent-Length: 100",
                   RelayVerdict::Forward},
        AnswerCase{"another range", 100, 199,
                   "HTTP/1.1 206 Partial Content\nContent-Range: bytes 100-299/5000",
                   RelayVerdict::Misbehaved},
        AnswerCase{"a length beyond the range", 100, 199,
                   "HTTP/1.1 206 Partial Content\nContent-Range: bytes 100-199/5000\n"
                   "Content-Length: 1000",
                   RelayVerdict::Misbehaved},
        AnswerCase{"two lengths", 100, 199,
                   "HTTP/1.1 206 Partial Content\nContent-Range: bytes 100-199/5000\n"
                   "Content-Length: 100\nContent-Length: 101",
                   RelayVerdict::Misbehaved},
        AnswerCase{"a range past its own total", 100, 199,
                   "HTTP/1.1 206 Partial Content\nContent-Range: bytes 100-199/150",
                   RelayVerdict::Misbehaved},
        AnswerCase{"a part without its range", 100, 199,
                   "HTTP/1.1 206 Partial Content\nContent-Length: 100", RelayVerdict::Misbehaved},
        AnswerCase{"the whole file instead of a range", 100, 199,
                   "HTTP/1.1 200 OK\nContent-Length: 5000", RelayVerdict::Misbehaved},
        AnswerCase{"a whole file without a length", 0, 99, "HTTP/1.1 200 OK",
                   RelayVerdict::Misbehaved},
        AnswerCase{"a whole file shorter than the range", 0, 99,
                   "HTTP/1.1 200 OK\nContent-Length: 50", RelayVerdict::Unexpected},
        AnswerCase{"a file not found", 100, 199, "HTTP/1.1 404 Not Found\nContent-Length: 9",
                   RelayVerdict::PassError},
        AnswerCase{"busy, come back later", 100, 199,
                   "HTTP/1.1 503 Service Unavailable\nRetry-After: 30", RelayVerdict::PassError},
        AnswerCase{"a redirect not followed", 100, 199, "HTTP/1.1 302 Found",
                   RelayVerdict::Unexpected},
        AnswerCase{"an unreadable status line", 100, 199, "HTTP/1.1 2x6 Partial",
                   RelayVerdict::Unexpected}));

// The first line of the relay's answer to a request for a source it does not
// know (nothing is fetched), asked by a process of the given user; "" when
// the connection is closed unanswered.
std::string FirstLine(int port, const std::string& asUser) {
    testing_support::TempDir dir;
    const std::string script =
        dir.Write("ask.py",
                  "import socket, sys\n"
                  "s = socket.create_connection(('127.0.0.1', int(sys.argv[1])), timeout=10)\n"
                  "s.sendall(b'GET /99/x HTTP/1.1\\r\\nRange: bytes=0-1\\r\\n\\r\\n')\n"
                  "try:\n"
                  "    print(s.makefile('rb').readline().decode().strip())\n"
                  "except OSError:\n"
                  "    print()\n");
    ::chmod(dir.path().c_str(), 0755);
    ::chmod(script.c_str(), 0644);
    const std::string command = (asUser.empty() ? ""
                                                : "/usr/bin/setpriv --reuid=" + asUser +
                                                      " --regid=" + asUser + " --clear-groups ") +
                                "/usr/bin/python3.11 " + script + " " + std::to_string(port);
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr)
        return "no process";
    char line[256] = "";
    if (std::fgets(line, sizeof line, pipe) == nullptr)
        line[0] = 0;
    ::pclose(pipe);
    std::string text = line;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    return text;
}

// Another user on the machine could take up every connection the relay
// allows; only this engine's own user is answered.
TEST(WebSeedRelayTest, AnswersOnlyItsOwnUser) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "connecting as another user needs root";
    ferrel::WebSeedRelay relay;
    ASSERT_TRUE(relay.Start());
    const std::string relayed = relay.Relayed("http://127.0.0.1:9/");
    const int port = std::atoi(relayed.c_str() + relayed.rfind(':') + 1);
    EXPECT_EQ(FirstLine(port, ""), "HTTP/1.1 404 Not Found");
    EXPECT_EQ(FirstLine(port, "65534"), "");
}

}  // namespace
