// What the web seed relay makes of a web seed's answer to a range request.
#include <cstdint>
#include <ostream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "Ferrel/web_seed_relay.h"

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

}  // namespace
