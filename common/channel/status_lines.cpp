#include "common/channel/status_lines.h"

#include <string_view>

namespace vellum {

StatusMap StatusKeyMap;

namespace {

std::string_view Trim(std::string_view s) {
    constexpr std::string_view kBlank = " \t\r\n";
    const std::size_t first = s.find_first_not_of(kBlank);
    if (first == std::string_view::npos)
        return {};
    return s.substr(first, s.find_last_not_of(kBlank) - first + 1);
}

}  // namespace

void ParseStatusLine(const std::string& line, StatusMap& map) {
    const std::size_t open = line.find('[');
    const std::size_t close = line.find(']');
    if (open == std::string::npos || close == std::string::npos)
        return;
    const std::string_view rest = Trim(std::string_view(line).substr(close + 1));
    const std::size_t equals = rest.find('=');
    if (equals == std::string_view::npos)
        return;
    const std::string_view key = Trim(rest.substr(0, equals));
    map[std::string(key)] = std::string(Trim(rest.substr(equals + 1)));
}

bool SendCommand(IInteractive* channel, const char* command) {
    if (channel == nullptr)
        return false;
    return channel->SendText(std::string(command) + "\n");
}

bool SendGet(IInteractive* channel, const char* query) {
    return SendCommand(channel, (std::string("get ") + query).c_str());
}

std::size_t DrainReplies(IInteractive* channel, StatusMap& map, std::size_t maxLines) {
    if (channel == nullptr)
        return 0;
    std::size_t entered = 0;
    std::string line;
    while (entered < maxLines && channel->ReceiveLine(line)) {
        ParseStatusLine(line, map);
        ++entered;
    }
    return entered;
}

}  // namespace vellum
