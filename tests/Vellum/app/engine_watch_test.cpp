// The window's engine watches: stalls, lingering near completion, an
// engine that quits or goes, and restarts that wait without holding the
// window.
#include <gtest/gtest.h>

#include <functional>

#include "tests/Vellum/app/vellum_dlg_fixture.h"

namespace {

using namespace vellum;
using testing_support::ScriptedChannel;
using vellum_dlg_testing::VellumDlgTest;

TEST_F(VellumDlgTest, StalledDownloadsRestartWithFewerThreads) {
    ASSERT_EQ(starts, std::vector<int>{4});
    TickFor(930000, {"P2PState=14", "Percentage=45.000000"});
    TickFor(1000);  // 929 s since the percentage was first seen standing
    EXPECT_EQ(starts, std::vector<int>{4});
    Tick();  // 15.5 minutes: the restart begins, the new engine a second later
    EXPECT_EQ(starts, std::vector<int>{4});
    EXPECT_TRUE(dlg->Restarting());
    now += 1000;
    Tick();
    EXPECT_EQ(starts, (std::vector<int>{4, 2}));
    for (int stall = 0; stall < 2; ++stall)
        TickFor(932000, {"P2PState=14", "Percentage=45.000000"});
    EXPECT_EQ(starts, (std::vector<int>{4, 2, 1, 1}));
    // Near completion and quit restarts take four threads and leave the
    // stall count alone.
    TickFor(302000, {"P2PState=14", "Percentage=99.500000"});
    EXPECT_EQ(starts.back(), 4);
    Tick({"P2PState=17"});
    EXPECT_EQ(starts.back(), 4);
    EXPECT_EQ(starts.size(), 6u);
    // The change from 99.5, 930 s standing still, and the second the
    // restart waits before it starts the engine.
    TickFor(933000, {"P2PState=14", "Percentage=45.000000"});
    EXPECT_EQ(starts, (std::vector<int>{4, 2, 1, 1, 4, 4, 1}));
}

TEST_F(VellumDlgTest, LingeringJustShortOfCompletionRestarts) {
    struct Case {
        const char* percent;
        bool restarts;
    } const cases[] = {{"99.500000", true}, {"99.000000", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.percent);
        SetUp();
        TickFor(302000, {"P2PState=14", std::string("Percentage=") + c.percent});
        EXPECT_EQ(starts.size(), c.restarts ? 2u : 1u);
        if (c.restarts) {
            EXPECT_EQ(starts.back(), 4);
            EXPECT_EQ(Quits(), 0);  // the new channel has not been told to quit
        }
    }
}

// The restart tries once a second on a timer of its own: the tick that
// began it returns at once, and the window goes on meanwhile.
TEST_F(VellumDlgTest, RestartsWaitUntilTheEngineCanBeWrittenAgain) {
    struct Case {
        const char* name;
        std::vector<std::string> lines;
        std::uint64_t stillFor;
        int seconds;  // until the engine runs again, with two failed starts
    } const cases[] = {
        {"after quit", {"P2PState=17"}, 0, 2},
        {"after a stall", {"P2PState=14", "Percentage=45"}, 931000, 3},
        {"near completion", {"P2PState=14", "Percentage=99.9"}, 300000, 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        TickFor(c.stillFor, c.lines);
        ScriptedChannel* old = channel;
        failStarts = 2;
        Tick(c.lines);
        EXPECT_EQ(std::count(old->sent.begin(), old->sent.end(), "quit\n"), 1);
        EXPECT_TRUE(dlg->Restarting());
        EXPECT_FALSE(dlg->TickTimerRunning());
        int seconds = 0;
        while (dlg->Restarting() && seconds < 10) {
            now += 1000;
            Tick();
            ++seconds;
        }
        EXPECT_EQ(seconds, c.seconds);
        EXPECT_EQ(starts.size(), 4u);  // the first, two refused, one that worked
        EXPECT_TRUE(dlg->TickTimerRunning());
        EXPECT_FALSE(loop.HasTimer(kRestartTimer));
        EXPECT_EQ(ends, 0);
    }
}

// An old engine that never goes keeps the file busy: after 30 s it is
// ended, and when even that does not help the launch failure is shown.
TEST_F(VellumDlgTest, ARestartThatNeverWorksEndsTheOldEngineThenGivesUp) {
    failStarts = 1000;
    Tick({"P2PState=17"});
    int seconds = 0;
    int endedAfter = -1;
    while (dlg->Restarting() && seconds < 100) {
        now += 1000;
        Tick();
        ++seconds;
        if (ends == 1 && endedAfter < 0)
            endedAfter = seconds;
    }
    EXPECT_EQ(endedAfter, 30);
    EXPECT_EQ(seconds, 35);
    EXPECT_EQ(ends, 1);
    ASSERT_EQ(view.boxes.size(), 1u);
    EXPECT_EQ(view.boxes[0].caption, "错误");
    EXPECT_EQ(view.boxes[0].icon, platform::MbIcon::Error);
    EXPECT_EQ(view.boxes[0].text.rfind("启动下载器内核进程失败, 错误码: ", 0), 0u);
    EXPECT_EQ(view.Text(IDC_STATUS), "启动下载器内核进程失败");
    EXPECT_FALSE(loop.HasTimer(kRestartTimer));
    EXPECT_FALSE(dlg->TickTimerRunning());
    // Cancelling still works.
    view.answers = {platform::IDYES};
    view.PressAction();
    EXPECT_EQ(exits, std::vector<int>{0});
}

// An engine that is killed or crashes says nothing more: its process end or
// its closed channel restarts it as if it had quit.
TEST_F(VellumDlgTest, AnEngineThatWentWithoutAWordIsRestarted) {
    struct Case {
        const char* name;
        std::function<void(ScriptedChannel&)> go;
    } const cases[] = {
        {"process ended", [](ScriptedChannel&) { CurrentLaunch().engineExited = true; }},
        {"channel closed", [](ScriptedChannel& c) { c.closed = true; }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        TickFor(3000, {"P2PState=14", "Percentage=37"});
        ScriptedChannel* old = channel;
        c.go(*old);
        Tick();
        EXPECT_EQ(starts, (std::vector<int>{4, 4}));
        EXPECT_NE(channel, old);
        EXPECT_EQ(std::count(old->sent.begin(), old->sent.end(), "quit\n"), 1);
        // The new engine is watched as the first was.
        Tick({"P2PState=14", "Percentage=1"});
        EXPECT_EQ(starts.size(), 2u);
        EXPECT_EQ(view.Text(IDC_RATE), "剩余时间：不确定(1.00%)");
    }
}

// A stall restart that begins on the tick the engine's channel closes keeps
// its halved thread count.
TEST_F(VellumDlgTest, AStallRestartIsNotTakenOverByTheGoneEngine) {
    TickFor(931000, {"P2PState=14", "Percentage=45"});
    channel->closed = true;
    Tick();
    now += 1000;
    Tick();
    EXPECT_EQ(starts, (std::vector<int>{4, 2}));
}

}  // namespace
