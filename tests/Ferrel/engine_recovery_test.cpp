// The engine keeps answering and recovers: a flood of commands, a web seed
// that misbehaves, a start step that fails for a while, a file held open.
#include <chrono>
#include <filesystem>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "Ferrel/commands.h"
#include "tests/Ferrel/engine_fixture.h"
#include "tests/support/scripted_server.h"

namespace {

namespace fs = std::filesystem;
using ferrel_test::EngineProcess;
using ferrel_test::EngineTest;
using testing_support::HoldsTree;
using testing_support::ScriptedServer;
using testing_support::ServerStep;
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

struct HostileWebSeed {
    const char* name;
    std::string head;  // the answer's start; a long body follows
};

void PrintTo(const HostileWebSeed& c, std::ostream* os) {
    *os << c.name;
}

class HostileWebSeedTest : public EngineTest, public testing::WithParamInterface<HostileWebSeed> {};

// The only web seed that has the files misbehaves; "quit" still ends the
// engine.
TEST_P(HostileWebSeedTest, QuitStillEndsTheEngine) {
    std::vector<ServerStep> script{testing_support::ReadRequest(),
                                   testing_support::SendBytes(GetParam().head)};
    const std::string mebibyte(1 << 20, 'z');
    for (int i = 0; i < 32; ++i)
        script.push_back(testing_support::SendBytes(mebibyte));
    ScriptedServer hostile(script);
    zrpatch::MadeTorrent made;
    std::string error;
    ASSERT_TRUE(zrpatch::MakeSeed({published_, hostile.Url("/"), ""}, made, error)) << error;
    // The seed alone where the engine looks: nginx has no files for it.
    www_.Write("only/zornfix.data", made.document);
    www_.Write("only/zornfix.data.md5", ferrel::Md5Hex(made.document) + "\n");
    TempDir client;
    std::vector<std::string> args = Args(client.path());
    args[3] = nginx_->Url("/only");
    EngineProcess engine(args);
    ASSERT_TRUE(engine.WaitForState(ferrel::DOWNLOADING)) << testing::PrintToString(engine.lines());
    for (int i = 0; i < 200 && hostile.Connections() == 0; ++i)
        std::this_thread::sleep_for(50ms);
    ASSERT_GT(hostile.Connections(), 0);
    std::this_thread::sleep_for(1s);
    engine.Send("stat");
    engine.Send("quit");
    EXPECT_EQ(engine.Wait(30s), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HostileWebSeedTest,
    testing::Values(
        HostileWebSeed{"a chunk of 2^64-1 bytes",
                       "HTTP/1.1 206 Partial Content\r\nTransfer-Encoding: chunked\r\n\r\n"
                       "ffffffffffffffff\r\n"},
        HostileWebSeed{"a body without end",
                       "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n\r\n"}));

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

}  // namespace
