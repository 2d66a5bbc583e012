// GTK in a test process: a private X server opened once for all tests, and
// turning the default main context while waiting.
#pragma once

#include <glib.h>

#include <chrono>
#include <string>
#include <thread>

namespace testing_support {

// Starts Xvfb and GTK the first time (settings and recent files go to a
// scratch folder, not the user's); false with the reason when there is no
// display, in which case the window tests skip.
bool GtkDisplayReady(std::string& why);

// Runs the default main context until done() or the timeout.
template <typename Done>
bool Iterate(Done done, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        g_main_context_iteration(nullptr, FALSE);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Runs the default main context for the given time.
inline void Settle(std::chrono::milliseconds time) {
    Iterate([] { return false; }, time);
}

}  // namespace testing_support
