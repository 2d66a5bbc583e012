// The repair tool as a whole, on a terminal, with the stand-in engine it
// carries: start-up answers, launch, display, and both ways out.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <filesystem>
#include <thread>

#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"

namespace {

using testing_support::PtyChild;
using testing_support::ReadFile;
using testing_support::TempDir;

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> out;
    std::size_t start = 0;
    for (std::size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
        out.push_back(text.substr(start, nl - start));
    return out;
}

struct ToolRun {
    const char* name;
    const char* script;       // the stand-in's
    const char* waitFor;      // on screen before Ctrl+C
    const char* lastAnswers;  // after the start-up's
    bool gameStarted;
};

TEST(VellumConsole, RepairsUntilDoneOrCancelledAndCleansUp) {
    const ToolRun runs[] = {
        {"done, then the game",
         "state 12; ramp verify 1 300; state 14; rate 50 5; total 2500000; percent 40; file "
         "client; wait 1500; percent 100; state 15",
         "[完成]", "", true},
        {"cancelled while downloading", "state 14; rate 50 5; percent 40", "(40.00%)", "yes",
         false},
    };
    for (const ToolRun& run : runs) {
        SCOPED_TRACE(run.name);
        TempDir game, log, runtime;
        ASSERT_EQ(::chmod(runtime.path().c_str(), 0700), 0);
        game.Write("crash.dmp", "dump");
        game.Write("zorn.exe", "#!/bin/sh\ntouch \"$PWD/game-started\"\n");
        ASSERT_EQ(::chmod(game.Sub("zorn.exe").c_str(), 0755), 0);

        std::string answers = "ok,no," + game.path();
        if (*run.lastAnswers)
            answers += std::string(",") + run.lastAnswers;
        PtyChild tool({VELLUM_TOOL}, {{"VELLUM_UI", "console"},
                                      {"VELLUM_ANSWERS", answers},
                                      {"VELLUM_SEED_URL", "http://127.0.0.1:9/repair/zornfix.data"},
                                      {"XDG_RUNTIME_DIR", runtime.path()},
                                      {"STAND_IN_LOG", log.path()},
                                      {"STAND_IN_SCRIPT", run.script},
                                      {"STAND_IN_LIFETIME_MS", "30000"}});
        ASSERT_TRUE(tool.WaitFor(run.waitFor)) << tool.Output();
        tool.Signal(SIGINT);
        EXPECT_EQ(tool.Wait(), 0) << tool.Output();

        // The engine logs "quit" once it has read it, after the tool ended.
        std::vector<std::string> commands;
        for (int i = 0; i < 100 && (commands.empty() || commands.back() != "quit"); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            commands = Lines(testing_support::WaitForFile(log.Sub("commands")));
        }
        ASSERT_FALSE(commands.empty());
        EXPECT_EQ(commands.back(), "quit");
        EXPECT_NE(std::find(commands.begin(), commands.end(), "get qf 0"), commands.end());
        auto argv = Lines(ReadFile(log.Sub("argv")));
        ASSERT_FALSE(argv.empty());
        argv.pop_back();  // the channel's port
        const std::vector<std::string> expected = {"-Dir",
                                                   game.path(),
                                                   "-HttpUrl",
                                                   "http://127.0.0.1:9/repair",
                                                   "-Torrent",
                                                   "zornfix.data",
                                                   "-Mode",
                                                   "repair",
                                                   "-HttpThread",
                                                   "4",
                                                   "-P2PUploadThread",
                                                   "6",
                                                   "-P2PUploadListSize",
                                                   "12",
                                                   "-DownloadLimit",
                                                   "10000",
                                                   "-UploadLimit",
                                                   "10000",
                                                   "-DeleteDownloadInfo",
                                                   "-InteractivePort"};
        EXPECT_EQ(argv, expected);
        EXPECT_FALSE(std::filesystem::exists(game.Sub("crash.dmp")));
        EXPECT_EQ(!testing_support::WaitForFile(game.Sub("game-started")).empty() ||
                      std::filesystem::exists(game.Sub("game-started")),
                  run.gameStarted);
        EXPECT_NE(tool.Output().find("修复目录：" + game.path()), std::string::npos);
    }
}

}  // namespace
