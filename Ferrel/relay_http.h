// The HTTP the web seed relay reads: libtorrent's range requests and the web
// seeds' answers, and what it makes of them.
#pragma once

#include <cstdint>
#include <string>

namespace ferrel {

// A range request from libtorrent.
struct RelayRequest {
    std::string path;
    std::int64_t first = -1, last = -1;  // inclusive
    std::string userAgent;
};

// "GET PATH HTTP/1.x" with a single range "bytes=A-B" (its head up to the
// blank line); false for anything else.
bool ParseRelayRequest(const std::string& head, RelayRequest& request);

// What the web seed answered, as far as the relay judges it.
struct RelayAnswer {
    int status = 0;  // 0: no status line yet; -1: an unreadable one
    std::string reason;
    std::int64_t contentLength = -1;  // -1: none given
    bool hasContentRange = false;
    std::int64_t rangeFirst = -1, rangeLast = -1;
    std::string rangeTotal;  // digits or "*"
    bool malformed = false;  // a length or range that cannot be read, or two
    std::string retryAfter;  // seconds, when given as such
};

enum class RelayVerdict {
    Forward,     // the range asked for, to be streamed through
    PassError,   // an error status, passed on without its body
    Unexpected,  // an answer that is no error but no range either
    Misbehaved,  // another range, or more than asked: the source is dropped
};

// Reads one response header line into answer; a status line starts a new
// answer (redirects and interim answers come before the last one).
void ReadAnswerLine(const std::string& line, RelayAnswer& answer);

// Judges an answer to a request for the bytes first..last (inclusive).
RelayVerdict JudgeAnswer(const RelayAnswer& answer, std::int64_t first, std::int64_t last);

// A decimal number of 1 to 18 digits and nothing else.
bool ReadDecimal(const std::string& text, std::int64_t& value);

// The printable ASCII of a text from the network, for a status line;
// "Error" when nothing is left.
std::string Printable(const std::string& text);

}  // namespace ferrel
