#include "Vellum/app/vellum_dlg.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <glib.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

#include "Vellum/app/dump_files.h"
#include "Vellum/engine/launch.h"
#include "common/channel/status_lines.h"
#include "tests/Vellum/app/recording_vellum_view.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace vellum;
using testing_support::RecordingVellumView;
using testing_support::ScriptedChannel;

constexpr std::uint64_t kMinute = 60000;

class VellumDlgTest : public ::testing::Test {
  protected:
    // Also called again by table tests: a fresh window and engine each time.
    void SetUp() override {
        view = RecordingVellumView();
        view.SetAction([this] { dlg->OnActionButton(); });
        now = 1;
        failStarts = 0;
        ends = 0;
        starts.clear();
        games.clear();
        exits.clear();
        ResetRateRings();
        ResetEngineStatus();
        StatusKeyMap.clear();
        CVellumDlg::Hooks hooks;
        hooks.clock.tickMs = [this] { return now; };
        hooks.startEngine = [this](CVellumDlg& d, int threads) { return FakeStart(d, threads); };
        hooks.endEngine = [this] {
            ++ends;
            return true;
        };
        hooks.startGame = [this](const std::string& program, const std::string& folder) {
            games.push_back(program + " in " + folder);
        };
        hooks.exitProcess = [this](int code) { exits.push_back(code); };
        dlg = std::make_unique<CVellumDlg>(dir.path(), view, loop, hooks);
        // Posted messages reach the window; its timers are fired by Tick
        // (the loop's own timers run in real time and are ignored).
        loop.SetHandlers([this](Message& m) { dlg->OnMessage(m); }, [](unsigned) {});
        dlg->OnInitDialog();
    }

    // What a launch does to the tool's side: a fresh channel, and the status
    // and key map of the previous engine forgotten.
    bool FakeStart(CVellumDlg& d, int threads) {
        starts.push_back(threads);
        if (failStarts > 0) {
            --failStarts;
            return false;
        }
        auto fresh = std::make_unique<ScriptedChannel>();
        channel = fresh.get();
        LaunchState& launch = CurrentLaunch();
        retired.push_back(std::move(launch.channel));  // tests still read it
        launch.channel = std::move(fresh);
        launch.needFileName = true;
        launch.engineExited = false;
        launch.launchError = 0;
        launch.params.repairDir = dir.path();
        ResetEngineStatus();
        StatusKeyMap.clear();
        d.StartTickTimer();
        return true;
    }

    void Feed(const std::vector<std::string>& keyValues) {
        for (const auto& kv : keyValues)
            channel->lines.push_back("[Interactive]" + kv + "\r");
    }
    // One second of the window with the lines the engine sent since the
    // last one: the restart timer fires while a restart waits, the tick
    // timer otherwise; then posted messages are handled.
    void Tick(const std::vector<std::string>& keyValues = {}) {
        Feed(keyValues);
        if (loop.HasTimer(kRestartTimer))
            dlg->OnRestartTimer();
        else if (loop.HasTimer(kTickTimer))
            dlg->OnTick();
        loop.DrainPending();
    }
    // Ticks once a second for the given time.
    void TickFor(std::uint64_t ms, const std::vector<std::string>& keyValues = {}) {
        for (std::uint64_t end = now + ms; now < end; now += 1000)
            Tick(keyValues);
    }
    long Quits() const { return std::count(channel->sent.begin(), channel->sent.end(), "quit\n"); }

    testing_support::TempDir dir;
    MessageLoop loop;
    RecordingVellumView view;
    std::unique_ptr<CVellumDlg> dlg;
    ScriptedChannel* channel = nullptr;
    std::vector<std::unique_ptr<vellum::IInteractive>> retired;
    std::uint64_t now = 1;
    int failStarts = 0;
    int ends = 0;
    std::vector<int> starts;
    std::vector<std::string> games;
    std::vector<int> exits;
};

struct DisplayCase {
    const char* name;
    std::vector<std::string> lines;
    const char* status;
    const char* rate;
    const char* hint;
    int bar;
    const char* fileInfo;
    const char* action;
};

TEST_F(VellumDlgTest, OneTickShowsTheEngineState) {
    std::string longName;
    for (int i = 0; i < 200; ++i)
        longName += "文件";
    const std::string longLine = longName + " 文件大小：0 KB";
    const std::vector<DisplayCase> cases = {
        {"checking half done",
         {"P2PState=12", "VerifyPercentage=0.500000"},
         "扫描本地文件信息...",
         "本地文件校验完成：50.00%",
         "",
         5000,
         " 文件大小：0 KB",
         ""},
        // 10 KB/s in one of ten slots averages exactly 1.0 KB/s.
        {"downloading, time known",
         {"P2PState=14", "DownloadBandWidth=10.000000", "UploadBandWidth=2.000000",
          "IncompleteByte=1000000", "Percentage=12.500000"},
         "下：1.00 KB/S 上：0.20 KB/S",
         "剩余时间：00:16:40(12.50%)",
         "",
         1250,
         " 文件大小：0 KB",
         ""},
        {"average 0.05 KB/s is too slow to tell",
         {"P2PState=14", "DownloadBandWidth=0.5", "IncompleteByte=1000000"},
         "下：0.05 KB/S 上：0.00 KB/S",
         "剩余时间：不确定(0.00%)",
         "",
         0,
         " 文件大小：0 KB",
         ""},
        // 0.1 in single precision is a little above 0.1.
        {"average of a single-precision 0.1 KB/s gives a time",
         {"P2PState=14", "DownloadBandWidth=1", "IncompleteByte=1000000"},
         "下：0.10 KB/S 上：0.00 KB/S",
         "剩余时间：02:46:39(0.00%)",
         "",
         0,
         " 文件大小：0 KB",
         ""},
        // 0.2 in single precision is a little above 0.2: 4999.99 s.
        {"average 0.2 KB/s gives a time",
         {"P2PState=14", "DownloadBandWidth=2", "IncompleteByte=1000000"},
         "下：0.20 KB/S 上：0.00 KB/S",
         "剩余时间：01:23:19(0.00%)",
         "",
         0,
         " 文件大小：0 KB",
         ""},
        {"one hundred hours is too long to tell",
         {"P2PState=14", "DownloadBandWidth=10", "IncompleteByte=360000000"},
         "下：1.00 KB/S 上：0.00 KB/S",
         "剩余时间：不确定(0.00%)",
         "",
         0,
         " 文件大小：0 KB",
         ""},
        {"completed with a file name",
         {"P2PState=15", "FileName=client", "TotalByte=2500000"},
         "下载修复完成！",
         "",
         "",
         10000,
         "client 文件大小：2500 KB",
         "完成"},
        {"completed without a file name keeps the cancel button",
         {"P2PState=15", "FileName=:", "TotalByte=2500000"},
         "下载修复完成！",
         "",
         "",
         10000,
         " 文件大小：2500 KB",
         ""},
        {"write error with space while creating files",
         {"P2PState=11", "Error=WriteFile", "IncompleteByte=1"},
         "",
         "",
         "创建文件错误，请关闭相关文件或者确认磁盘空间是否足够。",
         -1,
         " 文件大小：0 KB",
         ""},
        {"seed analysis failed",
         {"P2PState=13"},
         "分析文件列表失败",
         "请先关闭修复目录游戏程序。",
         "",
         -1,
         " 文件大小：0 KB",
         ""},
        {"seed refused for the folder says why",
         {"P2PState=13", "Error=ReadSeed", "ErrorFile=data/a leads outside /g"},
         "分析文件列表失败",
         "文件列表无法用于该修复目录。",
         "原因：data/a leads outside /g",
         -1,
         " 文件大小：0 KB",
         ""},
        // 1200 bytes of three-byte characters: no buffer may cut one.
        {"a long file name is shown whole",
         {"FileName=" + longName},
         "程序初始化...",
         "",
         "",
         -1,
         longLine.c_str(),
         ""},
        {"a state without text", {"P2PState=9"}, "", "", "", -1, " 文件大小：0 KB", ""},
        {"unreadable values change nothing",
         {"P2PState=x", "TotalByte=-5", "Percentage=abc"},
         "程序初始化...",
         "",
         "",
         -1,
         " 文件大小：0 KB",
         ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        view.texts.clear();
        view.bar = -1;
        Tick(c.lines);
        EXPECT_EQ(view.Text(IDC_STATUS), c.status);
        EXPECT_EQ(view.Text(IDC_RATE), c.rate);
        EXPECT_EQ(view.Text(IDC_HINT), c.hint);
        EXPECT_EQ(view.bar, c.bar);
        EXPECT_EQ(view.Text(IDC_FILE_INFO), c.fileInfo);
        EXPECT_EQ(view.Text(IDC_ACTION), c.action);
    }
}

TEST_F(VellumDlgTest, RatesAverageOverTheLastTenDownloadingTicks) {
    for (int tick = 1; tick <= 12; ++tick) {
        Tick({"P2PState=14", "DownloadBandWidth=5", "UploadBandWidth=1"});
        EXPECT_NEAR(dlg->DownRate(), 0.5f * std::min(tick, 10), 1e-5) << tick;
        EXPECT_NEAR(dlg->UpRate(), 0.1f * std::min(tick, 10), 1e-5) << tick;
    }
    // Ticks outside the download leave the ring alone.
    Tick({"P2PState=12"});
    Tick({"P2PState=14", "DownloadBandWidth=0"});
    EXPECT_NEAR(dlg->DownRate(), 4.5f, 1e-5);
}

TEST_F(VellumDlgTest, AsksForTheFileNameUntilTheEngineKnowsIt) {
    auto asked = [&] {
        const long n = std::count(channel->sent.begin(), channel->sent.end(), "get qf 0\n");
        channel->sent.clear();
        return n;
    };
    Tick();
    EXPECT_EQ(asked(), 1);
    Tick({"FileName=:"});
    EXPECT_EQ(asked(), 1);
    EXPECT_EQ(dlg->ShownFileName(), "");
    Tick({"FileName=zorn client"});
    EXPECT_EQ(dlg->ShownFileName(), "zorn client");
    EXPECT_EQ(asked(), 1);
    Tick();
    EXPECT_EQ(asked(), 0);
    // Every tick asks for the status and the total.
    Tick();
    EXPECT_EQ(channel->sent, (std::vector<std::string>{"stat\n", "get tb\n"}));
}

TEST_F(VellumDlgTest, WarnsOnceForEachDiskFullEpisode) {
    const std::string huge = "IncompleteByte=" + std::to_string(std::uint64_t{1} << 62);
    TickFor(3000, {"P2PState=14", "Error=WriteFile", huge});
    EXPECT_EQ(view.boxes.size(), 1u);
    EXPECT_EQ(view.boxes[0].caption, "警告");
    EXPECT_EQ(view.boxes[0].text, "磁盘空间不足，请清理磁盘");
    EXPECT_EQ(view.Text(IDC_STATUS), "警告：磁盘空间不足，请清理磁盘");
    EXPECT_EQ(view.Text(IDC_RATE), "");
    // Space again: the warning goes, and a later shortage warns anew. The
    // error kind follows the missing bytes a tick late, as the keys apply in
    // their order.
    TickFor(2000, {"IncompleteByte=1"});
    EXPECT_NE(view.Text(IDC_STATUS), "警告：磁盘空间不足，请清理磁盘");
    TickFor(2000, {huge});
    EXPECT_EQ(view.boxes.size(), 2u);
}

// The box is shown from a message of its own: the tick timer that noticed
// the full disk fires again while the box waits for an answer.
TEST_F(VellumDlgTest, TicksGoOnWhileTheDiskWarningIsUp) {
    // The window's timers as DoModal routes them, in real time.
    loop.SetHandlers([this](Message& m) { dlg->OnMessage(m); },
                     [this](unsigned id) {
                         if (id == kTickTimer)
                             dlg->OnTick();
                     });
    Feed({"P2PState=14", "Error=WriteFile",
          "IncompleteByte=" + std::to_string(std::uint64_t{1} << 62)});
    const auto stats = [this] {
        return std::count(channel->sent.begin(), channel->sent.end(), "stat\n");
    };
    const auto runUntil = [](const std::function<bool()>& done) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!done() && std::chrono::steady_clock::now() < deadline) {
            g_main_context_iteration(nullptr, FALSE);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    };
    long ticksWhileUp = 0;
    view.whileUp = [&] {
        const long before = stats();
        runUntil([&] { return stats() > before; });
        ticksWhileUp = stats() - before;
    };
    runUntil([this] { return !view.boxes.empty(); });
    ASSERT_EQ(view.boxes.size(), 1u);
    EXPECT_EQ(view.boxes[0].text, "磁盘空间不足，请清理磁盘");
    EXPECT_GE(ticksWhileUp, 1);
}

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

TEST_F(VellumDlgTest, ActionButtonAsksBeforeCancellingAndStartsTheGameWhenDone) {
    testing_support::WriteFile(dir.Sub("crash.dmp"), "x");
    // No: everything goes on.
    view.answers = {platform::IDNO};
    view.PressAction();
    ASSERT_EQ(view.boxes.size(), 1u);
    EXPECT_EQ(view.boxes[0].caption, "取消确认");
    EXPECT_EQ(view.boxes[0].buttons, platform::MbButtons::YesNo);
    EXPECT_EQ(Quits(), 0);
    EXPECT_TRUE(dlg->TickTimerRunning());
    EXPECT_TRUE(exits.empty());
    // Yes: the engine is told to quit, dumps go, the process ends with 0.
    view.answers = {platform::IDYES};
    view.PressAction();
    EXPECT_EQ(Quits(), 1);
    EXPECT_FALSE(dlg->TickTimerRunning());
    EXPECT_FALSE(std::filesystem::exists(dir.Sub("crash.dmp")));
    EXPECT_EQ(exits, std::vector<int>{0});
    EXPECT_TRUE(games.empty());

    // Done: the game starts without a question.
    SetUp();
    Tick({"P2PState=15", "FileName=client"});
    view.boxes.clear();
    view.PressAction();
    EXPECT_TRUE(view.boxes.empty());
    EXPECT_EQ(games, std::vector<std::string>{dir.path() + "/zorn.exe in " + dir.path()});
    EXPECT_EQ(Quits(), 1);
    EXPECT_EQ(exits, std::vector<int>{0});
}

TEST(CleanDumpFiles, RemovesOnlyDumpFilesOfTheFolderItself) {
    testing_support::TempDir dir;
    struct Entry {
        const char* name;
        bool removed;
    } const files[] = {{"a.dmp", true},  {"crash.dmp", true},  {".dmp", false},
                       {"x.DMP", false}, {"a.dmp.txt", false}, {"sub/b.dmp", false}};
    for (const auto& f : files)
        dir.Write(f.name, "dump");
    ASSERT_EQ(::mkdir(dir.Sub("d.dmp").c_str(), 0700), 0);
    ASSERT_EQ(::symlink(dir.Sub("sub/b.dmp").c_str(), dir.Sub("link.dmp").c_str()), 0);
    const auto before = std::filesystem::current_path();

    CleanDumpFiles(dir.path().c_str());

    for (const auto& f : files)
        EXPECT_EQ(std::filesystem::exists(dir.Sub(f.name)), !f.removed) << f.name;
    EXPECT_TRUE(std::filesystem::is_directory(dir.Sub("d.dmp")));
    EXPECT_TRUE(std::filesystem::is_symlink(dir.Sub("link.dmp")));
    EXPECT_EQ(std::filesystem::current_path(), before);
}

}  // namespace
