// Whole patch updates over BitTorrent through the real korvel program in
// console mode: a private swarm on loopback (opentracker, aria2c seeding),
// nginx serving the torrents, patches and update lists.
#include <sys/stat.h>

#include <filesystem>
#include <regex>
#include <thread>

#include <gtest/gtest.h>

#include "tests/support/child_process.h"
#include "tests/support/nginx_server.h"
#include "tests/support/publishing.h"
#include "tests/support/swarm.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace testing_support;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

// The script's option word for ["--bind", "127.0.0.1"] (pickled, Base64,
// reversed): the client listens and announces on loopback only.
const std::string kLoopbackOnly = "gLlJQcx4CMuAjL3ITMAAAAJgVAxRmbpJWLtAAAAYAWoAQcdJAg";

void CopyTree(const std::string& from, const std::string& to) {
    fs::copy(from, to, fs::copy_options::recursive | fs::copy_options::overwrite_existing);
}

class BtUpdateTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        work_ = new TempDir;
        const TempDir& w = *work_;
        w.Write("v100/readme.txt", "Zornia client 1.0.0\n");
        w.Write("v100/maps/world.map", RandomBytes(400000, 1));
        CopyTree(w.Sub("v100"), w.Sub("v101"));
        w.Write("v101/readme.txt", "Zornia client 1.0.1\n");
        w.Write("v101/maps/harbour.map", RandomBytes(300000, 2));
        CopyTree(w.Sub("v101"), w.Sub("v102"));
        w.Write("v102/maps/isles.map", RandomBytes(500000, 3));
        CopyTree(w.Sub("v102"), w.Sub("v103"));
        w.Write("v103/readme.txt", "Zornia client 1.0.3\n");
        w.Write("v103/events/winter.ini", "festival=winter\n");
        ASSERT_EQ(MakePatches(ZRPATCH_BINARY, w,
                              {{"v100", "v101", "1.0.1", "lzo", "site/p/p101.dat"},
                               {"v101", "v102", "1.0.2", "bzip2", "site/p/p102.dat"},
                               {"v102", "v103", "1.0.3", "lzo", "site/p/p103.dat"},
                               // Another body of the same update: a torrent of its own.
                               {"v101", "v102", "1.0.2", "lzo", "site/lonely/p102.dat"},
                               {"v101", "v102", "1.0.2", "bzip2", "site/bad/p102.dat"},
                               {"v101", "v102", "1.0.2", "bzip2", "site/huge/p102.dat"}}),
                  "");

        swarm_ = new Swarm;
        ASSERT_TRUE(swarm_->started());
        const std::string announce = swarm_->Announce();
        for (const char* name : {"p/p101.dat", "p/p102.dat", "p/p103.dat", "lonely/p102.dat"})
            ASSERT_EQ(MakeTorrent(ZRPATCH_BINARY, w.Sub(std::string("site/") + name), announce,
                                  w.Sub(std::string("site/") + name + ".torrent")),
                      "");
        // p103's torrent is only there under the fallback name.
        fs::rename(w.Sub("site/p/p103.dat.torrent"), w.Sub("site/p/p103.dat.data"));
        std::string error;
        for (const char* name : {"p101.dat.torrent", "p102.dat.torrent", "p103.dat.data"})
            ASSERT_TRUE(swarm_->Seed(w.Sub(std::string("site/p/") + name), w.Sub("site/p"), error))
                << name << ": " << error;
        // Known to the tracker, seeded by nobody.
        ASSERT_TRUE(swarm_->Track(w.Sub("site/lonely/p102.dat.torrent"), error)) << error;
        // Torrent documents a server should never send.
        w.Write("site/bad/p102.dat.torrent", "<html>this is no torrent</html>\n");
        w.Write("site/huge/p102.dat.torrent", "d8:announce" + std::string(11u << 20, '9'));

        nginx_ = new NginxServer(w.Sub("site"));
        ASSERT_TRUE(nginx_->started());
        auto entry = [&](const std::string& path, const char* version, const char* method) {
            const std::string line =
                UpdateListEntry(ZRPATCH_BINARY, w.Sub("site/" + path), version,
                                nginx_->Url("/" + path), nginx_->Url("/" + path), method);
            EXPECT_FALSE(line.empty()) << path;
            return line;
        };
        const std::string p101 = entry("p/p101.dat", "1.0.1", "http");
        const std::string p102 = entry("p/p102.dat", "1.0.2", "bt");
        const std::string p103 = entry("p/p103.dat", "1.0.3", "bt");
        w.Write("site/mixed.txt", "##1 0 - - - - " + kLoopbackOnly + "\n" + p101 + p102 + p103);
        // Time enough for the closing-phase torrent to fetch its file again.
        w.Write("site/closing1.txt", "##1 15 - - - - " + kLoopbackOnly + "\n" + p101 + p102 + p103);
        w.Write("site/closing2.txt", "##2 15 - - - - " + kLoopbackOnly + "\n" + p101 + p102 + p103);
        w.Write("site/lonely.txt", "##1 0 - - - - " + kLoopbackOnly + "\n" + p101 +
                                       entry("lonely/p102.dat", "1.0.2", "bt"));
        w.Write("site/bad.txt",
                "##1 0 - - - - " + kLoopbackOnly + "\n" + entry("bad/p102.dat", "1.0.2", "bt"));
        w.Write("site/huge.txt",
                "##1 0 - - - - " + kLoopbackOnly + "\n" + entry("huge/p102.dat", "1.0.2", "bt"));
    }
    static void TearDownTestSuite() {
        delete nginx_;
        delete swarm_;
        delete work_;
    }

    void SetUp() override {
        ASSERT_TRUE(nginx_ && swarm_) << "the swarm or nginx did not start";
        CopyTree(work_->Sub("v100"), game_.path());
        game_.Write("zorn.exe",
                    "#!/bin/sh\necho \"$PWD\" >> \"" + tmp_.Sub("started.txt") + "\"\n");
        ::chmod(game_.Sub("zorn.exe").c_str(), 0755);
        // The HTTP-mode updater: notes where and with what it was started.
        tmp_.Write("ZORNUpdate_ex.exe",
                   "#!/bin/sh\necho \"$(pwd -P)|$*\" >> \"" + tmp_.Sub("http_mode.txt") + "\"\n");
        ::chmod(tmp_.Sub("ZORNUpdate_ex.exe").c_str(), 0755);
        fs::create_directories(tmp_.Sub("config"));
        tmp_.Write("resolv.conf", "nameserver 127.0.0.53\n");
        logMark_ = nginx_->AccessLog().size();
    }

    void UseList(const std::string& list, const std::string& extra = "") {
        game_.Write("update.ini",
                    "[Setting]\r\nVersion=1.0.0\r\nUpdateURLEX=" + nginx_->Url("/" + list) +
                        "\r\nPATCHDOWNLOADINFO=" + nginx_->Url("/patch_download") + "\r\n" + extra);
    }

    std::map<std::string, std::string> Env(const std::string& answers) const {
        return {{"KORVEL_UI", "console"},
                {"XDG_RUNTIME_DIR", tmp_.path()},
                {"TMPDIR", tmp_.path() + "/"},
                {"XDG_CONFIG_HOME", tmp_.Sub("config")},
                {"HOME", tmp_.path()},
                {"KORVEL_ANSWERS", answers},
                {"KORVEL_RESOLV_CONF", tmp_.Sub("resolv.conf")},
                {"PATH", std::getenv("PATH")}};
    }

    RunResult Korvel(const std::string& answers = "") {
        return RunProgram({KORVEL_BINARY, "1", game_.path()}, Env(answers), "", 90s);
    }

    // Requests since the test began whose request line contains what.
    std::vector<std::string> Requests(const std::string& what) const {
        std::vector<std::string> lines;
        const auto log = nginx_->AccessLog();
        for (std::size_t i = logMark_; i < log.size(); ++i)
            if (log[i].find(what) != std::string::npos)
                lines.push_back(log[i]);
        return lines;
    }

    bool GameEquals(const std::string& version) const {
        return HoldsTree(game_.path(), work_->Sub(version));
    }

    static TempDir* work_;
    static Swarm* swarm_;
    static NginxServer* nginx_;
    TempDir game_, tmp_;
    std::size_t logMark_ = 0;
};

TempDir* BtUpdateTest::work_ = nullptr;
Swarm* BtUpdateTest::swarm_ = nullptr;
NginxServer* BtUpdateTest::nginx_ = nullptr;

TEST_F(BtUpdateTest, MixedListArrivesOverBothMethodsAndApplies) {
    UseList("mixed.txt");
    const RunResult run = Korvel();
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.err.find("更新成功!"), std::string::npos) << run.err;
    EXPECT_TRUE(GameEquals("v103"));
    for (const char* name : {"p101.dat", "p102.dat", "p103.dat"})
        EXPECT_EQ(ReadFile(game_.Sub(std::string("download/") + name)),
                  ReadFile(work_->Sub(std::string("site/p/") + name)))
            << name;
    EXPECT_EQ(WaitForFile(tmp_.Sub("started.txt")), game_.path() + "\n");

    // p101 over HTTP; p102 and p103 over BitTorrent, p103's torrent found
    // under its fallback name.
    EXPECT_EQ(Requests("GET /p/p101.dat ").size(), 1u);
    EXPECT_TRUE(Requests("GET /p/p102.dat ").empty());
    EXPECT_EQ(Requests("GET /p/p102.dat.torrent ").size(), 1u);
    const auto p103 = Requests("GET /p/p103.dat.");
    ASSERT_EQ(p103.size(), 2u);
    EXPECT_NE(p103[0].find(".torrent HTTP/1.1\" \"korvel\" 404"), std::string::npos) << p103[0];
    EXPECT_NE(p103[1].find(".data HTTP/1.1\" \"korvel\" 200"), std::string::npos) << p103[1];

    // The last file's torrent seeds on until the closing phase stops it, and
    // its entry is recorded only then: after the statistics went out.
    const auto stats = Requests("/patch_download?");
    ASSERT_EQ(stats.size(), 2u);
    const char* methods[] = {"http", "bt"};
    for (int i = 0; i < 2; ++i)
        EXPECT_NE(stats[i].find("file=p10" + std::to_string(i + 1) + ".dat&dtype=" + methods[i] +
                                " HTTP"),
                  std::string::npos)
            << stats[i];
}

TEST_F(BtUpdateTest, ClosingPhaseSeedsOneFileAgain) {
    struct Case {
        const char* list;
        int mode;
    } cases[] = {{"closing1.txt", 1}, {"closing2.txt", 2}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.list);
        fs::remove_all(game_.path());
        fs::create_directory(game_.path());
        SetUp();
        UseList(c.list);
        PtyChild korvel({KORVEL_BINARY, "1", game_.path()}, Env(""));
        ASSERT_TRUE(korvel.WaitFor("更新成功!", 60s)) << korvel.Output();
        // Applied and checked: the files the closing phase may choose are
        // taken away while the success box waits, so that its torrent has
        // to fetch one again from the swarm.
        for (const char* name : {"p101.dat", "p102.dat"})
            fs::remove(game_.Sub(std::string("download/") + name));
        korvel.Send("\n");
        const int exitCode = korvel.Wait(60s);
        // The countdown and the watchdog both run fifteen seconds.
        EXPECT_TRUE(exitCode == 0 || exitCode == 253) << exitCode << korvel.Output();
        EXPECT_TRUE(GameEquals("v103"));
        // The worker fetched p102's and p103's torrents once each; the
        // closing phase fetches one more of the files before the last, and
        // that file is back, whole.
        const std::size_t again101 = Requests("GET /p/p101.dat.torrent ").size();
        const std::size_t again102 = Requests("GET /p/p102.dat.torrent ").size() - 1;
        const bool back101 = fs::exists(game_.Sub("download/p101.dat"));
        const bool back102 = fs::exists(game_.Sub("download/p102.dat"));
        if (c.mode == 1) {
            EXPECT_EQ(again101, 1u);
            EXPECT_EQ(again102, 0u);
        } else {
            EXPECT_LE(again101 + again102, 1u);
        }
        EXPECT_EQ(back101, again101 == 1);
        EXPECT_EQ(back102, again102 == 1);
        for (const char* name : {"p101.dat", "p102.dat"}) {
            const std::string path = game_.Sub(std::string("download/") + name);
            if (fs::exists(path)) {
                EXPECT_EQ(ReadFile(path), ReadFile(work_->Sub(std::string("site/p/") + name)))
                    << name;
            }
        }
        EXPECT_EQ(Requests("GET /p/p103.dat.data ").size(), 1u);
    }
}

TEST_F(BtUpdateTest, SilentSwarmOffersTheHttpModeUpdater) {
    UseList("lonely.txt", "BtWaitTime=3\r\n");
    const RunResult run = Korvel("yes");
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.err.find("┌─ 更新方式切换"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("系统检测到BT下载方式在设置的时间内没有响应"), std::string::npos);
    EXPECT_EQ(WaitForFile(tmp_.Sub("http_mode.txt")),
              fs::canonical(game_.path()).string() + "|1 " + game_.path() + "\n");
    EXPECT_TRUE(GameEquals("v100"));  // patches are applied only once all have arrived
    EXPECT_FALSE(fs::exists(tmp_.Sub("started.txt")));
}

TEST_F(BtUpdateTest, StoppedTorrentIsReportedAsFailed) {
    // Nobody seeds p102: the script returns without the file when stopped.
    UseList("lonely.txt");
    PtyChild korvel({KORVEL_BINARY, "1", game_.path()}, Env("yes"));
    ASSERT_TRUE(korvel.WaitFor("开始下载 p102.dat", 30s)) << korvel.Output();
    korvel.Send("\x03");  // Ctrl+C: the cancel question, answered yes
    EXPECT_EQ(korvel.Wait(30s), 0) << korvel.Output();
    EXPECT_EQ(WaitForFile(tmp_.Sub("started.txt")), game_.path() + "\n");
    const auto stats = Requests("/patch_download?");
    ASSERT_EQ(stats.size(), 2u);
    EXPECT_NE(stats[0].find("file=p101.dat&dtype=http HTTP"), std::string::npos) << stats[0];
    // A failed transfer carries the DNS servers.
    EXPECT_NE(stats[1].find("file=p102.dat&dtype=bt&dns=127.0.0.53 HTTP"), std::string::npos)
        << stats[1];
}

TEST_F(BtUpdateTest, TorrentDocumentsThatAreNoTorrentsFailTheDownload) {
    for (const char* list : {"bad.txt", "huge.txt"}) {
        SCOPED_TRACE(list);
        UseList(list);
        // No to the guide, no to the switch to the HTTP-mode updater.
        const RunResult run = Korvel("no,no");
        EXPECT_EQ(run.exitCode, 0) << run.err;
        EXPECT_NE(run.err.find("下载过程发生错误，无法继续自动更新"), std::string::npos) << run.err;
        EXPECT_NE(run.err.find("BT下载方式发生错误,是否切换到HTTP下载模式？"), std::string::npos);
        EXPECT_TRUE(GameEquals("v100"));
        EXPECT_FALSE(fs::exists(tmp_.Sub("http_mode.txt")));
        EXPECT_TRUE(fs::is_empty(game_.Sub("download")) ||
                    !fs::exists(game_.Sub("download/p102.dat")) ||
                    fs::file_size(game_.Sub("download/p102.dat")) == 0);
    }
}

}  // namespace
