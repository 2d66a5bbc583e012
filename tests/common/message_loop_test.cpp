#include "common/message_loop.h"

#include <glib.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;

constexpr unsigned kTextMessage = 1125;

// Waiting while held: the main context keeps turning (a toolkit keeps
// drawing), but the loop's own messages and ticks wait for the end, in order.
TEST(MessageLoopHeld, OwnMessagesAndTicksWaitOthersRun) {
    MessageLoop loop;
    std::vector<std::string> handled;
    loop.SetHandlers([&](Message& m) { handled.push_back("m" + std::to_string(m.wParam)); },
                     [&](unsigned id) {
                         handled.push_back("t" + std::to_string(id));
                         loop.KillTimer(id);  // one tick at most
                     });
    std::atomic<int> drawn{0};
    const guint painter = g_timeout_add(
        5,
        [](gpointer p) -> gboolean {
            ++*static_cast<std::atomic<int>*>(p);
            return G_SOURCE_CONTINUE;
        },
        &drawn);

    loop.Post(kTextMessage, 1);  // queued before the wait
    loop.SetTimer(7, 10);
    loop.SetTimer(8, 10);
    std::vector<std::string> handledWhileWaiting;
    const int result = loop.RunHeld([&] {
        loop.Post(kTextMessage, 2);
        loop.Post(kTextMessage, 3);
        std::this_thread::sleep_for(150ms);  // several ticks of both timers
        loop.Call([&] {
            handledWhileWaiting = handled;
            loop.KillTimer(8);
        });
        return 42;
    });
    loop.Post(kTextMessage, 4);  // after the wait
    loop.DrainPending();
    g_source_remove(painter);

    EXPECT_EQ(result, 42);
    EXPECT_TRUE(handledWhileWaiting.empty());
    EXPECT_GT(drawn, 5);
    // The messages in their order; the timer still set ticks afterwards,
    // the one killed meanwhile does not.
    std::vector<std::string> messages;
    int ticks7 = 0;
    for (const std::string& h : handled) {
        if (h[0] == 'm')
            messages.push_back(h);
        ticks7 += h == "t7";
        EXPECT_NE(h, "t8");
    }
    EXPECT_EQ(messages, (std::vector<std::string>{"m1", "m2", "m3", "m4"}));
    EXPECT_EQ(ticks7, 1);
}

}  // namespace
