#include "Ferrel/commands.h"

#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <sstream>

namespace ferrel {

namespace {

constexpr const char* kTag = "[Interactive]";

template <typename... Args>
std::string Format(const char* format, Args... args) {
    char buffer[128];
    const int n = std::snprintf(buffer, sizeof buffer, format, args...);
    return n < 0 ? std::string() : std::string(buffer, std::min<std::size_t>(n, sizeof buffer - 1));
}

}  // namespace

std::string ReplyText(const char* key, const std::string& value) {
    // A line feed inside a value (a user id or a path from outside) would
    // start a line of its own on the tool's side.
    std::string line = std::string(kTag) + key + "=" + value;
    for (std::size_t i = std::strlen(kTag); i < line.size(); ++i)
        if (line[i] == '\n' || line[i] == '\r')
            line[i] = ' ';
    return line + "\n";
}

std::string ReplyInt(const char* key, long long value) {
    return ReplyText(key, Format("%lld", value));
}

std::string ReplyBytes(const char* key, std::uint64_t value) {
    return ReplyText(key, Format("%llu", static_cast<unsigned long long>(value)));
}

std::string ReplyFraction(const char* key, double value) {
    return ReplyText(key, Format("%f", value));
}

CommandKind AnswerCommand(const std::string& line, const StatusSnapshot& s, std::string& replies) {
    std::istringstream words(line);
    std::string command, what, index;
    words >> command >> what >> index;
    if (command == "quit")
        return CommandKind::Quit;
    if (command == "stat") {
        replies += ReplyText("UserId", s.userId);
        replies += ReplyInt("P2PState", s.state);
        replies += ReplyFraction("Percentage", s.percentage);
        replies += ReplyFraction("PercentageDownloaded", s.percentageDownloaded);
        replies += ReplyFraction("CurUpdatePercentage", s.curUpdatePercentage);
        replies += ReplyBytes("IncompleteByte", s.incompleteBytes);
        replies += ReplyFraction("UploadBandWidth", s.uploadRate);
        replies += ReplyFraction("DownloadBandWidth", s.downloadRate);
        replies += ReplyInt("UploadUserNum", s.uploadUsers);
        replies += ReplyInt("DownloadUserNum", s.downloadUsers);
        replies += ReplyInt("ConnectNum", s.connections);
        return CommandKind::Answered;
    }
    if (command != "get")
        return CommandKind::None;
    if (what == "tb") {
        replies += ReplyBytes("TotalByte", s.totalBytes);
        return CommandKind::Answered;
    }
    if (what == "qf" && index == "0") {
        replies += ReplyText("FileName", s.seedKnown ? s.firstFileName : ":");
        return CommandKind::Answered;
    }
    return CommandKind::None;
}

bool IsQuit(const std::string& line) {
    // The first word, as AnswerCommand reads it.
    const auto blank = [](unsigned char c) { return std::isspace(c) != 0; };
    std::size_t begin = 0;
    while (begin < line.size() && blank(line[begin]))
        ++begin;
    std::size_t end = begin;
    while (end < line.size() && !blank(line[end]))
        ++end;
    return line.compare(begin, end - begin, "quit") == 0;
}

}  // namespace ferrel
