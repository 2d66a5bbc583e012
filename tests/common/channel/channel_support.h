// Waiting on a line channel in tests, always with a time limit.
#pragma once

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "common/channel/interactive.h"

namespace channel_support {

using Clock = std::chrono::steady_clock;
inline constexpr auto kPatience = std::chrono::seconds(10);

// Calls ReceiveLine until count lines came or the time is up.
inline std::vector<std::string> ReceiveLines(vellum::IInteractive& channel, std::size_t count) {
    std::vector<std::string> lines;
    std::string line;
    const auto deadline = Clock::now() + kPatience;
    while (lines.size() < count && Clock::now() < deadline) {
        if (channel.ReceiveLine(line))
            lines.push_back(line);
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return lines;
}

}  // namespace channel_support
