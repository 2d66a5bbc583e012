#include <glib.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

#include "Vellum/app/dump_files.h"
#include "tests/Vellum/app/vellum_dlg_fixture.h"

namespace {

using namespace vellum;
using testing_support::ScriptedChannel;
using vellum_dlg_testing::VellumDlgTest;

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
