// The engine keeps answering and recovers: a flood of commands, a start step
// that fails for a while.
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Ferrel/commands.h"
#include "tests/Ferrel/engine_fixture.h"

namespace {

namespace fs = std::filesystem;
using ferrel_test::EngineProcess;
using ferrel_test::EngineTest;
using testing_support::HoldsTree;
using testing_support::TempDir;
using namespace std::chrono_literals;

TEST_F(EngineTest, AnswersQuitThroughAFloodOfCommands) {
    TempDir client;
    // 10 KB/s: the download lasts while the flood comes.
    EngineProcess engine(Args(client.path(), "repair", "4", "10"));
    ASSERT_TRUE(engine.WaitForState(ferrel::DOWNLOADING)) << testing::PrintToString(engine.lines());
    std::string flood;
    for (int i = 0; i < 300000; ++i)
        flood += "stat\n\n";
    engine.Send(flood + "quit");
    EXPECT_EQ(engine.Wait(30s), 0);
}

// The seed's digest is not there at first: the engine reports it, tries
// again after a pause and goes on once it is published.
TEST_F(EngineTest, RetriesAFailedStartStepUntilItWorks) {
    fs::remove(www_.Sub("zornfix.data.md5"));
    TempDir client;
    EngineProcess engine(Args(client.path()));
    ASSERT_TRUE(engine.WaitForState(ferrel::GET_SEED_MD5_FAIL));
    Publish(seed_, ferrel::Md5Hex(seed_));
    ASSERT_TRUE(engine.WaitForState(ferrel::DOWNLOAD_COMPLETED))
        << testing::PrintToString(engine.lines());
    EXPECT_TRUE(HoldsTree(client.path(), published_));
    engine.Send("quit");
    EXPECT_EQ(engine.Wait(), 0);
}

// A file no source has: after the given time without data the engine says
// so, and goes on to the end once the file is published again.
TEST_F(EngineTest, ReportsADownloadNoSourceServesAndGoesOnWhenOneDoes) {
    const std::string hidden = www_.Sub("hidden.bin");
    fs::rename(www_.Sub("client/sub/b.bin"), hidden);
    TempDir client;
    std::vector<std::string> args = Args(client.path());
    args.insert(args.end(), {"-NoSourceSeconds", "3"});
    EngineProcess engine(args);
    ASSERT_TRUE(engine.WaitForState(ferrel::GET_SEED_MD5_FAIL))
        << testing::PrintToString(engine.lines());
    ASSERT_FALSE(engine.Values("Error").empty());
    EXPECT_EQ(engine.Values("Error").front(), "DownloadSeed");
    fs::rename(hidden, www_.Sub("client/sub/b.bin"));
    ASSERT_TRUE(engine.WaitForState(ferrel::DOWNLOAD_COMPLETED, 90s))
        << testing::PrintToString(engine.lines());
    EXPECT_TRUE(HoldsTree(client.path(), published_));
    engine.Send("quit");
    EXPECT_EQ(engine.Wait(), 0);
}

}  // namespace
