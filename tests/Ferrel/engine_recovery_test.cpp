// The engine keeps answering and recovers: a flood of commands, a hostile web
// seed, a start step that fails for a while.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <string>
#include <thread>
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

// A web seed on loopback played by hostile_web_seed.py in one mode.
class HostileWebSeed {
  public:
    // With root, requests without a range get the files under root.
    explicit HostileWebSeed(const std::string& mode, const std::string& root = "") {
        const std::string portFile = dir_.Sub("port");
        pid_ = ::fork();
        if (pid_ == 0) {
            ::execl("/usr/bin/python3.11", "python3.11", TESTS_SUPPORT_DIR "/hostile_web_seed.py",
                    mode.c_str(), portFile.c_str(), root.empty() ? nullptr : root.c_str(),
                    static_cast<char*>(nullptr));
            ::_exit(127);
        }
        for (int i = 0; i < 400 && !fs::exists(portFile); ++i)
            std::this_thread::sleep_for(25ms);
        port_ = std::atoi(testing_support::ReadFile(portFile).c_str());
    }
    ~HostileWebSeed() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    HostileWebSeed(const HostileWebSeed&) = delete;
    HostileWebSeed& operator=(const HostileWebSeed&) = delete;

    int port() const { return port_; }
    std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/"; }

  private:
    TempDir dir_;
    pid_t pid_ = -1;
    int port_ = 0;
};

// The peak resident memory of a process in KiB, -1 when unknown.
long PeakMemoryKb(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("VmHWM:", 0) == 0)
            return std::atol(line.c_str() + 6);
    return -1;
}

struct HostileCase {
    const char* name;
    const char* mode;  // hostile_web_seed.py's
    bool alone;        // the only web seed with the files; else nginx serves them too
};

void PrintTo(const HostileCase& c, std::ostream* os) {
    *os << c.name;
}

class HostileWebSeedTest : public EngineTest, public testing::WithParamInterface<HostileCase> {};

// A web seed that sends more than asked, never ends its answer or frames it
// with a chunk larger than any file: it is dropped, a good source beside it
// completes the repair, the engine's memory stays small, and "quit" ends
// the engine.
TEST_P(HostileWebSeedTest, IsDroppedAndHoldsNothingUp) {
    TempDir only;
    HostileWebSeed hostile(GetParam().mode, only.path());
    ASSERT_GT(hostile.port(), 0);
    TempDir client;
    std::vector<std::string> args = Args(client.path());
    if (GetParam().alone) {
        // The hostile server gives the seed, and is its only web seed.
        zrpatch::MadeTorrent made;
        std::string error;
        ASSERT_TRUE(zrpatch::MakeSeed({published_, hostile.Url(), ""}, made, error)) << error;
        only.Write("zornfix.data", made.document);
        only.Write("zornfix.data.md5", ferrel::Md5Hex(made.document) + "\n");
        args[3] = hostile.Url();
        args.insert(args.end(), {"-NoSourceSeconds", "2"});
    } else {
        args.insert(args.begin() + 4, hostile.Url());
    }
    EngineProcess engine(args);
    if (GetParam().alone) {
        // Told as a source no longer used, once nothing else comes.
        const std::string hostAndPort = "127.0.0.1:" + std::to_string(hostile.port());
        bool dropped = false;
        for (int i = 0; i < 30 && !dropped; ++i) {
            engine.WaitForLine("(collects what comes meanwhile)", 1s);
            for (const std::string& why : engine.Values("ErrorFile"))
                dropped = dropped || (why.find(hostAndPort) != std::string::npos &&
                                      why.find("no longer used") != std::string::npos);
        }
        EXPECT_TRUE(dropped) << testing::PrintToString(engine.Values("ErrorFile"));
        const std::vector<int> states = engine.States();
        EXPECT_EQ(std::count(states.begin(), states.end(), ferrel::DOWNLOAD_COMPLETED), 0);
    } else {
        ASSERT_TRUE(engine.WaitForState(ferrel::DOWNLOAD_COMPLETED, 60s))
            << testing::PrintToString(engine.lines());
        EXPECT_TRUE(HoldsTree(client.path(), published_));
    }
    const long peak = PeakMemoryKb(engine.pid());
    EXPECT_GT(peak, 0);
    EXPECT_LT(peak, 96 * 1024);
    engine.Send("quit");
    EXPECT_EQ(engine.Wait(15s), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HostileWebSeedTest,
    testing::Values(
        HostileCase{"a body without end, alone", "endless", true},
        HostileCase{"a body ten times the range, alone", "longer", true},
        HostileCase{"a chunk of 2^64-1 bytes, alone", "chunked", true},
        HostileCase{"a body without end, beside a good source", "endless", false},
        HostileCase{"a body ten times the range, beside a good source", "longer", false},
        HostileCase{"a chunk of 2^64-1 bytes, beside a good source", "chunked", false}));

}  // namespace
