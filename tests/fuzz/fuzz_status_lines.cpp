// Feeds arbitrary byte streams, cut into segments at arbitrary points, from
// a loopback client into the tool's end of the engine channel, and checks
// that ReceiveLine gives exactly the line-feed separated pieces (never
// before their line feed arrived; those too long for the channel dropped
// whole) and that the key map built from them holds
// only keys and values the lines carried, trimmed.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fuzzer/FuzzedDataProvider.h>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/channel/network_interactive.h"
#include "common/channel/status_lines.h"

namespace {

void Require(bool condition) {
    if (!condition)
        std::abort();
}

struct Channel {
    vellum::NetworkInteractive tool{0};
    int client = -1;

    Channel() {
        Require(tool.Start());
        client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        Require(client >= 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(tool.Port());
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        Require(::connect(client, reinterpret_cast<const sockaddr*>(&address), sizeof address) ==
                0);
    }

    void Send(const std::string& bytes) {
        std::size_t sent = 0;
        while (sent < bytes.size()) {
            const ssize_t n = ::send(client, bytes.data() + sent, bytes.size() - sent, 0);
            Require(n > 0);
            sent += static_cast<std::size_t>(n);
        }
    }
};

Channel& TheChannel() {
    static Channel channel;
    return channel;
}

bool Blank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Channel& channel = TheChannel();
    FuzzedDataProvider input(data, size);

    std::string stream;
    std::size_t lineFeedsSent = 0;
    std::vector<std::string> lines;
    std::string line;
    while (input.remaining_bytes() > 0) {
        const std::string segment =
            input.ConsumeBytesAsString(input.ConsumeIntegralInRange<std::size_t>(0, 300));
        channel.Send(segment);
        stream += segment;
        for (char c : segment)
            lineFeedsSent += c == '\n';
        while (channel.tool.ReceiveLine(line)) {
            lines.push_back(line);
            Require(lines.size() <= lineFeedsSent);
        }
    }
    // A closing line feed flushes what is left; the channel is empty again
    // for the next input.
    channel.Send("\n");
    stream += '\n';
    ++lineFeedsSent;
    // Lines longer than the channel takes are dropped whole.
    std::vector<std::string> expected;
    std::size_t start = 0;
    for (std::size_t end = stream.find('\n'); end != std::string::npos;
         start = end + 1, end = stream.find('\n', start))
        if (end - start <= vellum::NetworkInteractive::kMaxLineLength)
            expected.push_back(stream.substr(start, end - start));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (lines.size() < expected.size()) {
        Require(std::chrono::steady_clock::now() < deadline);
        if (channel.tool.ReceiveLine(line))
            lines.push_back(line);
    }
    Require(!channel.tool.ReceiveLine(line));
    Require(lines == expected);

    vellum::StatusMap map;
    std::size_t keyLines = 0;
    for (const std::string& l : lines) {
        vellum::ParseStatusLine(l, map);
        const std::size_t close = l.find(']');
        keyLines += l.find('[') != std::string::npos && close != std::string::npos &&
                    l.find('=', close) != std::string::npos;
    }
    Require(map.size() <= keyLines);
    Require(map.empty() == (keyLines == 0));
    for (const auto& [key, value] : map) {
        Require(key.find('=') == std::string::npos);
        for (const std::string* s : {&key, &value}) {
            Require(s->find('\n') == std::string::npos);
            Require(s->empty() || (!Blank(s->front()) && !Blank(s->back())));
        }
        bool carried = false;
        for (const std::string& l : lines) {
            const std::size_t close = l.find(']');
            if (l.find('[') == std::string::npos || close == std::string::npos)
                continue;
            const std::size_t at = l.find(key, close + 1);
            carried = carried || (at != std::string::npos &&
                                  l.find(value, at + key.size()) != std::string::npos);
        }
        Require(carried);
    }
    return 0;
}
