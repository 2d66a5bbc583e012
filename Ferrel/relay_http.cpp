#include "Ferrel/relay_http.h"

#include <cctype>

namespace ferrel {

namespace {

std::string Lower(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string Trim(const std::string& text) {
    std::size_t b = 0, e = text.size();
    while (b < e && (text[b] == ' ' || text[b] == '\t'))
        ++b;
    while (e > b && (text[e - 1] == ' ' || text[e - 1] == '\t' || text[e - 1] == '\r' ||
                     text[e - 1] == '\n'))
        --e;
    return text.substr(b, e - b);
}

// "A-B" with A <= B.
bool ReadSpan(const std::string& text, std::int64_t& first, std::int64_t& last) {
    const std::size_t dash = text.find('-');
    return dash != std::string::npos && ReadDecimal(text.substr(0, dash), first) &&
           ReadDecimal(text.substr(dash + 1), last) && first <= last;
}

}  // namespace

// A decimal number of 1 to 18 digits and nothing else.
bool ReadDecimal(const std::string& text, std::int64_t& value) {
    if (text.empty() || text.size() > 18)
        return false;
    value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + (c - '0');
    }
    return true;
}

// Printable ASCII of a text from the network, for a status line.
std::string Printable(const std::string& text) {
    std::string out;
    for (const char c : text)
        if (c >= 0x20 && c < 0x7f && out.size() < 120)
            out.push_back(c);
    return out.empty() ? "Error" : out;
}

// "GET PATH HTTP/1.x" with a single range "bytes=A-B".
bool ParseRelayRequest(const std::string& head, RelayRequest& request) {
    std::size_t at = head.find("\r\n");
    const std::string line = head.substr(0, at);
    const std::size_t s1 = line.find(' ');
    const std::size_t s2 = s1 == std::string::npos ? s1 : line.find(' ', s1 + 1);
    if (s2 == std::string::npos || line.compare(0, s1, "GET") != 0 ||
        line.compare(s2 + 1, 7, "HTTP/1.") != 0)
        return false;
    request.path = line.substr(s1 + 1, s2 - s1 - 1);
    if (request.path.empty() || request.path[0] != '/')
        return false;
    for (const char c : request.path)
        if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7f)
            return false;
    while (at != std::string::npos && at + 2 < head.size()) {
        const std::size_t next = head.find("\r\n", at + 2);
        const std::string field = head.substr(at + 2, next - at - 2);
        at = next;
        const std::size_t colon = field.find(':');
        if (colon == std::string::npos)
            continue;
        const std::string name = Lower(Trim(field.substr(0, colon)));
        const std::string value = Trim(field.substr(colon + 1));
        if (name == "range") {
            if (value.compare(0, 6, "bytes=") != 0 ||
                !ReadSpan(value.substr(6), request.first, request.last))
                return false;
        } else if (name == "user-agent") {
            request.userAgent = Printable(value);
        }
    }
    return request.first >= 0;
}

void ReadAnswerLine(const std::string& text, RelayAnswer& answer) {
    const std::string line = Trim(text);
    if (line.compare(0, 5, "HTTP/") == 0) {
        answer = RelayAnswer{};
        const std::size_t space = line.find(' ');
        std::int64_t status = 0;
        if (space == std::string::npos || !ReadDecimal(line.substr(space + 1, 3), status) ||
            (line.size() > space + 4 && line[space + 4] != ' '))
            answer.status = -1;
        else
            answer.status = static_cast<int>(status);
        answer.reason = line.size() > space + 5 ? Printable(line.substr(space + 5)) : "";
        return;
    }
    const std::size_t colon = line.find(':');
    if (line.empty() || colon == std::string::npos)
        return;
    const std::string name = Lower(Trim(line.substr(0, colon)));
    const std::string value = Trim(line.substr(colon + 1));
    if (name == "content-length") {
        std::int64_t length = -1;
        if (!ReadDecimal(value, length) ||
            (answer.contentLength >= 0 && answer.contentLength != length))
            answer.malformed = true;
        answer.contentLength = length;
    } else if (name == "content-range") {
        const std::size_t slash = value.find('/');
        answer.hasContentRange = true;
        answer.rangeTotal = slash == std::string::npos ? "" : value.substr(slash + 1);
        std::int64_t total = 0;
        if (value.compare(0, 6, "bytes ") != 0 || slash == std::string::npos ||
            !ReadSpan(value.substr(6, slash - 6), answer.rangeFirst, answer.rangeLast) ||
            (answer.rangeTotal != "*" &&
             (!ReadDecimal(answer.rangeTotal, total) || total <= answer.rangeLast)))
            answer.malformed = true;
    } else if (name == "retry-after") {
        std::int64_t seconds = 0;
        if (ReadDecimal(value, seconds) && seconds < 1000000)
            answer.retryAfter = value;
    }
}

RelayVerdict JudgeAnswer(const RelayAnswer& a, std::int64_t first, std::int64_t last) {
    const std::int64_t length = last - first + 1;
    if (a.status >= 400 && a.status <= 599)
        return RelayVerdict::PassError;
    if (a.status == 206) {
        if (a.malformed || !a.hasContentRange || a.rangeFirst != first || a.rangeLast != last ||
            (a.contentLength >= 0 && a.contentLength != length))
            return RelayVerdict::Misbehaved;
        return RelayVerdict::Forward;
    }
    if (a.status == 200) {
        // A whole file that is exactly the range asked.
        if (first == 0 && a.contentLength == length && !a.malformed && !a.hasContentRange)
            return RelayVerdict::Forward;
        // A whole file shorter than the range: another version of it.
        if (first == 0 && !a.malformed && a.contentLength >= 0 && a.contentLength < length)
            return RelayVerdict::Unexpected;
        // The whole file, or another range: more than asked.
        return RelayVerdict::Misbehaved;
    }
    return RelayVerdict::Unexpected;
}

}  // namespace ferrel
