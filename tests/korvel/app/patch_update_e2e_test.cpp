// Whole patch updates through the real korvel program in console mode,
// against nginx on loopback, with patches made by zrpatch.
#include <sys/stat.h>

#include <csignal>
#include <filesystem>
#include <random>
#include <regex>
#include <thread>

#include <gtest/gtest.h>

#include "korvel/app/patch_worker.h"
#include "tests/support/child_process.h"
#include "tests/support/nginx_server.h"
#include "tests/support/publishing.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace testing_support;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

void CopyTree(const std::string& from, const std::string& to) {
    fs::copy(from, to, fs::copy_options::recursive | fs::copy_options::overwrite_existing);
}

// The update list line of a patch file, as the publisher makes it.
std::string Entry(const std::string& file, const std::string& version, int port,
                  const std::string& dir = "p") {
    const std::string name = fs::path(file).filename();
    const std::string http = "http://127.0.0.1:" + std::to_string(port) + "/" + dir + "/" + name;
    const std::string line = UpdateListEntry(ZRPATCH_BINARY, file, version,
                                             "http://bt.example/" + dir + "/" + name, http);
    EXPECT_FALSE(line.empty()) << file;
    return line;
}

class PatchUpdateTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        work_ = new TempDir;
        const TempDir& w = *work_;
        // Four client versions: a text changes, a nested file appears, a
        // binary file changes and grows.
        w.Write("v100/readme.txt", "Zornia client 1.0.0\n");
        w.Write("v100/data/b.bin", RandomBytes(200000, 1));
        CopyTree(w.Sub("v100"), w.Sub("v101"));
        w.Write("v101/readme.txt", "Zornia client 1.0.1, now with more\n");
        CopyTree(w.Sub("v101"), w.Sub("v102"));
        w.Write("v102/data/new/c.dat", RandomBytes(5000, 2));
        CopyTree(w.Sub("v102"), w.Sub("v103"));
        std::string b = ReadFile(w.Sub("v102/data/b.bin"));
        b.replace(1000, 100, std::string(100, 'x'));
        w.Write("v103/data/b.bin", b + RandomBytes(3000, 3));
        // A slow second patch for the cancel test.
        CopyTree(w.Sub("v101"), w.Sub("vbig"));
        w.Write("vbig/data/big.bin", RandomBytes(1500000, 4));

        ASSERT_EQ(MakePatches(ZRPATCH_BINARY, w,
                              {{"v100", "v101", "1.0.1", "lzo", "site/p/p101.dat"},
                               {"v101", "v102", "1.0.2", "bzip2", "site/p/p102.dat"},
                               {"v102", "v103", "1.0.3", "lzo", "site/p/p103.dat"},
                               {"v101", "v102", "1.0.9", "lzo", "site/p/p102v9.dat"},
                               {"v101", "vbig", "1.0.2", "bzip2", "site/slow/pbig.dat"}}),
                  "");
        nginx_ = new NginxServer(w.Sub("site"), "location /slow/ { limit_rate 100k; }\n");
        ASSERT_TRUE(nginx_->started());
        const int port = nginx_->port();
        const std::string p101 = Entry(w.Sub("site/p/p101.dat"), "1.0.1", port);
        const std::string p102 = Entry(w.Sub("site/p/p102.dat"), "1.0.2", port);
        const std::string p103 = Entry(w.Sub("site/p/p103.dat"), "1.0.3", port);
        std::string p102v9 = Entry(w.Sub("site/p/p102v9.dat"), "1.0.9", port);
        p102v9.replace(0, 5, "1.0.2");  // listed under the wrong version
        const std::string pbig = Entry(w.Sub("site/slow/pbig.dat"), "1.0.2", port, "slow");
        std::string noSlash = p102;
        noSlash.replace(noSlash.find("http://bt.example/p/p102.dat"), 28, "p102.dat");

        w.Write("site/ok_fast.txt", "##1 0 - - - - opt\n" + p101 + p102 + p103);
        w.Write("site/ok_watchdog.txt", "##0 1 - - - - opt\n" + p101 + p102 + p103);
        w.Write("site/bad_version.txt", "##1 0 - - - - opt\n" + p101 + p102v9 + p103);
        w.Write("site/none.txt", "##1 0 - - - - opt\n1.0.0 http://h/p/old.dat http://h/p/old.dat " +
                                     std::string(32, '0') + " 10 http\n");
        w.Write("site/no_slash.txt", "##1 0 - - - - opt\n" + p101 + noSlash);
        w.Write("site/slow.txt", "##1 0 - - - - opt\n" + p101 + pbig);
        w.Write("site/negative_closing.txt", "##1 -5 - - - - x\n" + p101);
    }
    static void TearDownTestSuite() {
        delete nginx_;
        delete work_;
    }

    void SetUp() override {
        CopyTree(work_->Sub("v100"), game_.path());
        game_.Write("zorn.exe",
                    "#!/bin/sh\necho \"$PWD\" >> \"" + tmp_.Sub("started.txt") + "\"\n");
        ::chmod(game_.Sub("zorn.exe").c_str(), 0755);
        // A stand-in for the desktop's opener: notes what it was asked to open.
        tmp_.Write("bin/xdg-open",
                   "#!/bin/sh\necho \"$1\" >> \"" + tmp_.Sub("opened.txt") + "\"\n");
        ::chmod(tmp_.Sub("bin/xdg-open").c_str(), 0755);
        logMark_ = nginx_->AccessLog().size();
    }

    void UseList(const std::string& list) {
        game_.Write("update.ini",
                    "[Setting]\r\nVersion=1.0.0\r\nUpdateURLEX=" + nginx_->Url("/" + list) +
                        "\r\nPATCHDOWNLOADINFO=" + nginx_->Url("/patch_download") + "\r\n");
    }

    std::map<std::string, std::string> Env(const std::string& answers = "") const {
        return {{"KORVEL_UI", "console"},
                {"XDG_RUNTIME_DIR", tmp_.path()},
                {"TMPDIR", tmp_.path()},
                {"KORVEL_ANSWERS", answers},
                {"PATH", tmp_.Sub("bin") + ":" + std::getenv("PATH")}};
    }

    RunResult Korvel(const std::string& answers = "") {
        return RunProgram({KORVEL_BINARY, "1", game_.path()}, Env(answers), "", 60s);
    }

    std::vector<std::string> StatisticsLines() const {
        std::vector<std::string> lines;
        const auto log = nginx_->AccessLog();
        for (std::size_t i = logMark_; i < log.size(); ++i)
            if (log[i].find("/patch_download?") != std::string::npos)
                lines.push_back(log[i]);
        return lines;
    }

    bool GameEquals(const std::string& version) const {
        return HoldsTree(game_.path(), work_->Sub(version));
    }

    static TempDir* work_;
    static NginxServer* nginx_;
    TempDir game_, tmp_;
    std::size_t logMark_ = 0;
};

TempDir* PatchUpdateTest::work_ = nullptr;
NginxServer* PatchUpdateTest::nginx_ = nullptr;

TEST_F(PatchUpdateTest, ThreePatchesAreAppliedTheGameStartsAndStatisticsAreSent) {
    struct Case {
        const char* list;
        int exitCode;  // 0 through the close handling, -3 (253) through the watchdog
    } cases[] = {{"ok_fast.txt", 0}, {"ok_watchdog.txt", 253}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.list);
        fs::remove_all(game_.path());  // a fresh game folder, no downloads yet
        fs::create_directory(game_.path());
        SetUp();
        UseList(c.list);
        fs::remove(tmp_.Sub("started.txt"));
        const RunResult run = Korvel();
        EXPECT_EQ(run.exitCode, c.exitCode) << run.err;
        EXPECT_TRUE(GameEquals("v103"));
        EXPECT_NE(run.err.find("更新成功!"), std::string::npos) << run.err;
        EXPECT_EQ(WaitForFile(tmp_.Sub("started.txt")), game_.path() + "\n");

        const auto stats = StatisticsLines();
        ASSERT_EQ(stats.size(), 3u);
        for (int i = 0; i < 3; ++i) {
            const std::regex line(
                "\"GET /patch_download\\?proj=vq2&avg=[0-9]+\\.[0-9]{3}&start=[0-9]+"
                "&end=[0-9]+&clip=&err=0&file=p10" +
                std::to_string(i + 1) + "\\.dat&dtype=http HTTP/1\\.1\" \"-\" 200");
            EXPECT_TRUE(std::regex_match(stats[i], line)) << stats[i];
        }
    }
}

TEST_F(PatchUpdateTest, NegativeClosingTimeEndsThroughTheWatchdog) {
    // One record: no countdown runs, so only the watchdog ends the process.
    UseList("negative_closing.txt");
    const auto start = std::chrono::steady_clock::now();
    const RunResult run = Korvel();
    EXPECT_EQ(run.exitCode, 253) << run.err;
    EXPECT_LT(std::chrono::steady_clock::now() - start, 50s);
    EXPECT_TRUE(GameEquals("v101"));
    // The single-instance lock went with the process: the next start runs.
    UseList("none.txt");
    EXPECT_NE(Korvel().err.find("没有补丁需要更新"), std::string::npos);
}

TEST_F(PatchUpdateTest, WrongVersionFieldStopsAfterTheFirstPatch) {
    UseList("bad_version.txt");
    const RunResult run = Korvel();
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_TRUE(GameEquals("v101"));  // first applied, third never tried
    EXPECT_FALSE(fs::exists(game_.Sub("data/new/c.dat")));
    const auto refused = run.err.find("p102v9.dat版本号错误!");
    ASSERT_NE(refused, std::string::npos) << run.err;
    EXPECT_NE(run.err.find("发生错误, 放弃继续更新", refused), std::string::npos);
    EXPECT_EQ(run.err.find("BT下载方式发生错误"), std::string::npos);  // downloads were over
    EXPECT_FALSE(fs::exists(tmp_.Sub("started.txt")));
}

TEST_F(PatchUpdateTest, NothingNewerEndsQuietly) {
    UseList("none.txt");
    const RunResult run = Korvel();
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_NE(run.err.find("没有补丁需要更新"), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find("BT下载方式发生错误"), std::string::npos);
    EXPECT_TRUE(GameEquals("v100"));
}

TEST_F(PatchUpdateTest, ListFetchFailureOffersTheGuide) {
    game_.Write("update.ini",
                "[Setting]\r\nVersion=1.0.0\r\nUpdateURLEX=http://127.0.0.1:1/l.txt\r\n");
    // Yes to the guide, then no to the switch to the HTTP-mode updater.
    const RunResult run = Korvel("yes,no");
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_NE(run.err.find("获取更新列表失败, connection refused\n"), std::string::npos) << run.err;
    EXPECT_EQ(WaitForFile(tmp_.Sub("opened.txt")), ManualGuideUrl() + "\n");
}

TEST_F(PatchUpdateTest, AddressWithoutSlashIsRefusedAfterTheFirstFile) {
    UseList("no_slash.txt");
    const RunResult run = Korvel("-,no");
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_NE(run.err.find("url错误"), std::string::npos) << run.err;
    EXPECT_TRUE(fs::exists(game_.Sub("download/p101.dat")));
    EXPECT_TRUE(GameEquals("v100"));  // nothing applied
}

TEST_F(PatchUpdateTest, CancelDuringADownloadStartsTheGameAndReports) {
    UseList("slow.txt");
    PtyChild korvel({KORVEL_BINARY, "1", game_.path()}, Env("yes"));
    ASSERT_TRUE(korvel.WaitFor("正在下载", 30s)) << korvel.Output();
    ASSERT_TRUE(korvel.WaitFor("pbig.dat", 30s)) << korvel.Output();
    korvel.Send("\x03");  // Ctrl+C: the cancel question, answered yes
    EXPECT_EQ(korvel.Wait(30s), 0) << korvel.Output();
    EXPECT_NE(korvel.Output().find("是否真的希望取消？"), std::string::npos);
    EXPECT_EQ(WaitForFile(tmp_.Sub("started.txt")), game_.path() + "\n");
    const auto stats = StatisticsLines();
    ASSERT_EQ(stats.size(), 1u);  // the stopped file is not reported
    EXPECT_NE(stats[0].find("file=p101.dat"), std::string::npos);
    EXPECT_TRUE(GameEquals("v100"));
    EXPECT_TRUE(fs::exists(game_.Sub("download/pbig.dat")));  // the partial file stays
}

}  // namespace
