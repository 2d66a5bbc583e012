// A message posted to a window thread's loop.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>

// One posted message. Plain numbers travel in wParam/lParam; heap payloads
// are owned by the message, so whoever holds it last frees them, whether or
// not a handler looked at them.
struct Message {
    unsigned id = 0;
    std::int64_t wParam = 0;
    std::int64_t lParam = 0;
    std::unique_ptr<std::string> text;                              // 1125, 2027, 2028
    std::unique_ptr<double> percent;                                // 2027
    std::unique_ptr<std::pair<std::uint32_t, std::uint32_t>> size;  // 2025: low, high
};
