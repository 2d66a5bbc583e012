// The engine program alone, driven over its console against a real nginx
// serving the seed and the published client folder as a web seed.
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Ferrel/commands.h"
#include "Ferrel/seed_fetch.h"
#include "Ferrel/seed_layout.h"
#include "common/channel/network_interactive.h"
#include "tests/Ferrel/engine_fixture.h"
#include "tests/Ferrel/engine_process.h"
#include "tests/support/nginx_server.h"
#include "tests/support/swarm.h"
#include "tests/support/temp_dir.h"
#include "tools/zrpatch/torrent_maker.h"

namespace {

namespace fs = std::filesystem;
using ferrel_test::Damage;
using ferrel_test::EngineProcess;
using ferrel_test::EngineTest;
using ferrel_test::kTag;
using testing_support::HoldsTree;
using testing_support::NginxServer;
using testing_support::RandomBytes;
using testing_support::Swarm;
using testing_support::TempDir;
using testing_support::WriteFile;

std::vector<double> Fractions(const std::vector<std::string>& values) {
    std::vector<double> out;
    for (const std::string& v : values)
        out.push_back(std::stod(v));
    return out;
}

TEST_F(EngineTest, RepairsMissingDamagedAndTruncatedFiles) {
    TempDir client;
    const std::string dir = client.Sub("game");
    fs::copy(published_, dir, fs::copy_options::recursive);
    Damage(dir + "/big.dat", 1 << 20);
    fs::remove(dir + "/sub/b.bin");
    fs::resize_file(dir + "/sub/deep/c.bin", 100 << 10);

    EngineProcess engine(Args(dir));
    ASSERT_TRUE(engine.started());
    ASSERT_TRUE(engine.WaitForState(ferrel::DOWNLOAD_COMPLETED))
        << testing::PrintToString(engine.lines());
    EXPECT_EQ(engine.States(), (std::vector<int>{0, 1, 3, 5, 7, 8, 10, 11, 12, 14, 15}));
    const std::vector<double> verify = Fractions(engine.Values("VerifyPercentage"));
    ASSERT_FALSE(verify.empty());
    EXPECT_TRUE(std::is_sorted(verify.begin(), verify.end()));
    EXPECT_GE(verify.front(), 0.0);
    EXPECT_EQ(verify.back(), 1.0);
    EXPECT_TRUE(HoldsTree(dir, published_));
    EXPECT_TRUE(fs::is_regular_file(dir + "/empty.txt"));
    EXPECT_EQ(Requests("/client/a.txt"), 0);  // the check found it intact
    EXPECT_GE(Requests("/client/sub/b.bin"), 1);

    ferrel::SeedLayout layout;
    std::string error;
    ASSERT_TRUE(ferrel::ReadSeedLayout(seed_, ".ferrel", layout, error));
    engine.Send("stat");
    engine.Send("get tb");
    engine.Send("get qf 0");
    ASSERT_TRUE(engine.WaitForLine(kTag + std::string("FileName=") + layout.files[0].path));
    const std::vector<std::string>& lines = engine.lines();
    ASSERT_GE(lines.size(), 13u);
    const std::vector<std::string> tail(lines.end() - 13, lines.end());
    const char* const keys[] = {"UserId",
                                "P2PState",
                                "Percentage",
                                "PercentageDownloaded",
                                "CurUpdatePercentage",
                                "IncompleteByte",
                                "UploadBandWidth",
                                "DownloadBandWidth",
                                "UploadUserNum",
                                "DownloadUserNum",
                                "ConnectNum",
                                "TotalByte",
                                "FileName"};
    for (std::size_t i = 0; i < tail.size(); ++i)
        EXPECT_EQ(tail[i].rfind(kTag + std::string(keys[i]) + "=", 0), 0u) << tail[i];
    EXPECT_EQ(tail[1], kTag + std::string("P2PState=15"));
    EXPECT_EQ(tail[2], kTag + std::string("Percentage=100.000000"));
    EXPECT_EQ(tail[5], kTag + std::string("IncompleteByte=0"));
    EXPECT_EQ(tail[11], kTag + std::string("TotalByte=") +
                            std::to_string((3 << 20) + 7 + (600 << 10) + (200 << 10)));

    engine.Send("quit");
    EXPECT_TRUE(engine.WaitForState(ferrel::QUIT));
    EXPECT_EQ(engine.Wait(), 0);
}

// Counts the openings of the files in one folder while it lives.
class OpenWatch {
  public:
    explicit OpenWatch(const std::string& dir) : fd_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
        if (fd_ >= 0)
            ::inotify_add_watch(fd_, dir.c_str(), IN_OPEN);
    }
    ~OpenWatch() { ::close(fd_); }
    bool ok() const { return fd_ >= 0; }
    int Opens() {
        alignas(inotify_event) char buffer[4096];
        for (ssize_t n; (n = ::read(fd_, buffer, sizeof buffer)) > 0;)
            for (ssize_t at = 0; at < n;) {
                const auto* e = reinterpret_cast<const inotify_event*>(buffer + at);
                opens_ += (e->mask & IN_OPEN) != 0;
                at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
            }
        return opens_;
    }

  private:
    int fd_;
    int opens_ = 0;
};

TEST_F(EngineTest, ResumesAfterTheChannelClosesAndFindsDamageBehindResumeData) {
    TempDir client;
    {
        EngineProcess first(Args(client.path()));
        ASSERT_TRUE(first.WaitForState(ferrel::DOWNLOAD_COMPLETED));
        first.CloseChannel();  // the tool went away: the engine saves and ends
        EXPECT_EQ(first.Wait(), 0);
    }
    ASSERT_TRUE(fs::is_regular_file(client.Sub(".ferrel/resume.dat")));

    // A restart of the same repair with every file as it was trusts the
    // resume data: no file is opened again.
    OpenWatch watch(client.Sub("sub/deep"));
    ASSERT_TRUE(watch.ok());
    {
        EngineProcess again(Args(client.path()));
        ASSERT_TRUE(again.WaitForState(ferrel::DOWNLOAD_COMPLETED));
        again.Send("quit");
        EXPECT_EQ(again.Wait(), 0);
    }
    EXPECT_EQ(watch.Opens(), 0);

    // Damage since then changed the file's time: everything is checked.
    const std::string big = client.Sub("big.dat");
    Damage(big, 2 << 20);
    const int bigRequests = Requests("/client/big.dat");
    const int bRequests = Requests("/client/sub/b.bin");

    EngineProcess second(Args(client.path()));
    ASSERT_TRUE(second.WaitForState(ferrel::DOWNLOAD_COMPLETED));
    EXPECT_TRUE(HoldsTree(client.path(), published_));
    EXPECT_GT(watch.Opens(), 0);
    EXPECT_GT(Requests("/client/big.dat"), bigRequests);
    EXPECT_EQ(Requests("/client/sub/b.bin"), bRequests);  // not fetched again
    EXPECT_EQ(Requests("GET /zornfix.data "), 1);         // the cached seed was reused
    second.Send("quit");
    EXPECT_EQ(second.Wait(), 0);
}

// Resume data that vouches for a file someone has since emptied: the file
// is fetched again rather than stopping the torrent.
TEST_F(EngineTest, RefillsAFileEmptiedBehindResumeData) {
    TempDir client;
    {
        EngineProcess first(Args(client.path(), "download"));
        ASSERT_TRUE(first.WaitForState(ferrel::DOWNLOAD_COMPLETED));
        first.CloseChannel();
        EXPECT_EQ(first.Wait(), 0);
    }
    ASSERT_TRUE(fs::is_regular_file(client.Sub(".ferrel/resume.dat")));
    fs::resize_file(client.Sub("big.dat"), 0);

    EngineProcess second(Args(client.path(), "download"));
    ASSERT_TRUE(second.WaitForState(ferrel::DOWNLOAD_COMPLETED))
        << testing::PrintToString(second.lines());
    EXPECT_TRUE(second.Values("Error").empty()) << testing::PrintToString(second.lines());
    EXPECT_TRUE(HoldsTree(client.path(), published_));
    second.Send("quit");
    EXPECT_EQ(second.Wait(), 0);
}

// A file that cannot be opened is reported, the engine waits in CREATE_FILE
// and goes on by itself once the obstacle is gone.
TEST_F(EngineTest, ReportsAFileItCannotOpenAndRetries) {
    TempDir client;
    client.Write("big.dat/in-the-way", "x");
    EngineProcess engine(Args(client.path()));
    ASSERT_TRUE(engine.WaitForState(ferrel::ALL_FILE_CHECK_MD5))
        << testing::PrintToString(engine.lines());
    ASSERT_TRUE(engine.WaitForState(ferrel::CREATE_FILE)) << testing::PrintToString(engine.lines());
    ASSERT_FALSE(engine.Values("Error").empty());
    EXPECT_EQ(engine.Values("Error").back(), "OpenFile") << testing::PrintToString(engine.lines());
    // The system's own code: mapping a folder gives ENODEV.
    EXPECT_EQ(engine.Values("ErrorCode").back(), std::to_string(ENODEV));
    EXPECT_EQ(engine.Values("ErrorFile").back(), client.Sub("big.dat"));
    // While the folder is in the way the engine stays in CREATE_FILE and
    // keeps reporting it, so that the tool shows it at every poll.
    EXPECT_FALSE(engine.WaitForLine("(collects what comes meanwhile)", std::chrono::seconds(5)));
    const std::vector<int> states = engine.States();
    EXPECT_EQ(states.back(), ferrel::CREATE_FILE) << testing::PrintToString(states);
    EXPECT_EQ(std::count(states.begin(), states.end(), static_cast<int>(ferrel::DOWNLOADING)), 0)
        << testing::PrintToString(states);
    EXPECT_GE(engine.Values("Error").size(), 2u) << testing::PrintToString(engine.lines());
    fs::remove_all(client.Sub("big.dat"));
    ASSERT_TRUE(engine.WaitForState(ferrel::DOWNLOAD_COMPLETED));
    EXPECT_TRUE(HoldsTree(client.path(), published_));
    engine.Send("quit");
    EXPECT_EQ(engine.Wait(), 0);
}

// Also: in download mode with DeleteDownloadInfo the info folder is gone
// after completion.
TEST_F(EngineTest, AFolderOfOneFileComesFromTheFilesOwnAddress) {
    const std::string solo = www_.Sub("solo");
    www_.Write("solo/only one.dat", RandomBytes(100000, 4));
    zrpatch::MadeTorrent made;
    std::string error;
    ASSERT_TRUE(zrpatch::MakeSeed({solo, nginx_->Url("/"), ""}, made, error)) << error;
    Publish(made.document, ferrel::Md5Hex(made.document));
    TempDir client;
    std::vector<std::string> args = Args(client.path(), "download");
    args.push_back("-DeleteDownloadInfo");
    EngineProcess engine(args);
    ASSERT_TRUE(engine.WaitForState(ferrel::DOWNLOAD_COMPLETED, std::chrono::seconds(20)));
    EXPECT_TRUE(HoldsTree(client.path(), solo));
    EXPECT_FALSE(fs::exists(client.Sub(".ferrel")));
    engine.Send("quit");
    EXPECT_EQ(engine.Wait(), 0);
}

TEST_F(EngineTest, ASeedWithAnotherDigestFails) {
    Publish(seed_, ferrel::Md5Hex(seed_ + "x"));
    TempDir client;
    EngineProcess engine(Args(client.path()));
    ASSERT_TRUE(engine.WaitForState(ferrel::DOWNLOAD_SEED_FILE_FAIL));
    EXPECT_EQ(engine.Values("Error"), std::vector<std::string>{"DownloadSeed"});
    engine.Send("get qf 0");
    EXPECT_TRUE(engine.WaitForLine(kTag + std::string("FileName=:")));
    EXPECT_FALSE(fs::exists(client.Sub("big.dat")));
    engine.Send("quit");
    EXPECT_EQ(engine.Wait(), 0);
}

// No web seed (HttpThread 0): everything comes from the tracker's peer, and
// the download limit holds for it although it is on the local network.
TEST_F(EngineTest, DownloadsFromATrackerPeerWithinTheLimit) {
    Swarm swarm;
    ASSERT_TRUE(swarm.started());
    zrpatch::MadeTorrent made;
    std::string error;
    ASSERT_TRUE(zrpatch::MakeSeed({published_, nginx_->Url("/"), swarm.Announce()}, made, error));
    Publish(made.document, ferrel::Md5Hex(made.document));
    WriteFile(www_.Sub("seed.torrent"), made.document);
    ASSERT_TRUE(swarm.Seed(www_.Sub("seed.torrent"), www_.path(), error)) << error;

    TempDir client;
    const auto start = std::chrono::steady_clock::now();
    EngineProcess engine(Args(client.path(), "repair", "0", "1000"));
    ASSERT_TRUE(engine.WaitForState(ferrel::DOWNLOAD_COMPLETED));
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_TRUE(HoldsTree(client.path(), published_));
    EXPECT_EQ(Requests("/client/"), 0);
    // 3.8 MB at 1000 KB/s; unlimited, loopback takes a fraction of a second.
    EXPECT_GE(took, std::chrono::milliseconds(2500));
    engine.Send("quit");
    EXPECT_EQ(engine.Wait(), 0);
}

struct HostileCase {
    const char* name;
    std::string replace;  // replaces the element "sub" of the seed's paths
    bool linkSub;         // or: sub in the client folder links outside
};

void PrintTo(const HostileCase& c, std::ostream* os) {
    *os << c.name;
}

class HostileSeedTest : public EngineTest, public testing::WithParamInterface<HostileCase> {};

TEST_P(HostileSeedTest, IsRefusedAndNothingIsWrittenOutside) {
    TempDir base, outside;
    std::string seed = seed_;
    if (!GetParam().replace.empty()) {
        std::string element =
            GetParam().replace == "ABSOLUTE" ? outside.Sub("sub") : GetParam().replace;
        element = std::to_string(element.size()) + ":" + element;
        for (std::size_t at; (at = seed.find("3:sub")) != std::string::npos;)
            seed.replace(at, 5, element);
    }
    Publish(seed, ferrel::Md5Hex(seed));
    const std::string dir = base.Sub("client");
    fs::create_directories(dir);
    if (GetParam().linkSub) {
        ASSERT_EQ(::symlink(outside.path().c_str(), (dir + "/sub").c_str()), 0);
    }

    EngineProcess engine(Args(dir));
    ASSERT_TRUE(engine.WaitForState(ferrel::ANALYSIS_SEED_ERROR))
        << testing::PrintToString(engine.lines());
    EXPECT_EQ(engine.Values("Error"), std::vector<std::string>{"ReadSeed"});
    engine.Send("quit");
    EXPECT_EQ(engine.Wait(), 0);
    EXPECT_TRUE(fs::is_empty(outside.path()));
    for (const auto& e : fs::directory_iterator(base.path()))
        EXPECT_EQ(e.path().filename(), "client");
    for (const auto& e : fs::directory_iterator(dir))
        EXPECT_TRUE(e.path().filename() == ".ferrel" || e.path().filename() == "sub") << e.path();
}

INSTANTIATE_TEST_SUITE_P(Cases, HostileSeedTest,
                         testing::Values(HostileCase{"parent", "..", false},
                                         HostileCase{"absolute", "ABSOLUTE", false},
                                         HostileCase{"link out of the folder", "", true}));

// Over TCP: the engine connects to the given port at once and ends when the
// tool's side closes.
TEST(EngineChannelTest, ConnectsToTheToolAndEndsWhenItCloses) {
    vellum::NetworkInteractive tool(0);
    ASSERT_TRUE(tool.Start());
    EngineProcess engine({"-InteractivePort", std::to_string(tool.Port())});
    std::vector<std::string> lines;
    std::string line;
    for (int i = 0; i < 1000 && lines.size() < 3; ++i) {
        if (tool.ReceiveLine(line))
            lines.push_back(line);
        else
            usleep(10000);
    }
    // Without a folder, seed or address the arguments are refused.
    EXPECT_EQ(lines, (std::vector<std::string>{"[Interactive]P2PState=0", "[Interactive]P2PState=1",
                                               "[Interactive]P2PState=2"}));
    tool.Stop();
    EXPECT_EQ(engine.Wait(), 0);
}

// "quit" ends a seed fetch from a server that accepted the connection but
// never answers, instead of waiting out the transfer's time budget.
TEST(EngineChannelTest, QuitsAtOnceWhileTheServerDoesNotAnswer) {
    vellum::NetworkInteractive silent(0);  // listens, never accepts or answers
    ASSERT_TRUE(silent.Start());
    TempDir client;
    EngineProcess engine({"-Dir", client.path(), "-HttpUrl",
                          "http://127.0.0.1:" + std::to_string(silent.Port()), "-Torrent",
                          "zornfix.data", "-NotUsingUPnP", "-ListenIp", "127.0.0.1"});
    ASSERT_TRUE(engine.WaitForState(ferrel::GET_SEED_MD5));
    usleep(300000);  // the request is out
    engine.Send("quit");
    EXPECT_EQ(engine.Wait(std::chrono::seconds(5)), 0);
}

}  // namespace
