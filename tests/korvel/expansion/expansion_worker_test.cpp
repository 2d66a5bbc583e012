#include "korvel/expansion/expansion_worker.h"

#include <sys/stat.h>

#include <csignal>
#include <filesystem>

#include <gtest/gtest.h>

#include "korvel/app/globals.h"
#include "korvel/expansion/expansion_table.h"
#include "korvel/expansion/expansion_window.h"
#include "korvel/update/md5.h"
#include "tests/support/nginx_server.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace testing_support;
namespace fs = std::filesystem;

// Records what the run asks of the window; everything happens on the
// calling thread.
class FakeExpansionWindow : public ExpansionWindow {
  public:
    void PostStatusText(const std::string&) override {}
    void SetDownloadBar(int) override {}
    void ShowMessage(const std::string& text) override { boxes.push_back(text); }
    void PostExpansionDone() override { ++expansionDone; }
    void SetBtState(std::int32_t) override {}

    // The application's own values: the HTTP download reads InstallerMd5.
    ExpansionValues Values() override {
        return {GameDir,       DownloadDir,       InstallerPath,      InstallerMd5,
                ShapeFilePath, TorrentOptions,    ClosingTorrentMode, QuitRequested,
                PublisherKeys, InstallerSignature};
    }
    void SetWorkerStarted() override { workerStarted = true; }
    void PostFileText(const std::string& text) override { fileTexts.push_back(text); }
    void PostClosingTime(std::int32_t seconds) override { closingSeconds = seconds; }
    void PostFinish() override { ++finishes; }
    void KillBtWatchTimer() override { ++watchKills; }
    int ShowBox(const platform::MessageBoxSpec& box) override {
        boxes.push_back(box.text);
        boxSpecs.push_back(box);
        return platform::DefaultResult(box);
    }
    // torrentResult 2: the window stops the run meanwhile, the download
    // gives 1.
    int RunTorrentDownload(const std::string& url, const std::string& savePath,
                           const std::string& options) override {
        torrents.push_back(url + "|" + savePath + "|" + options);
        if (torrentResult == 2)
            QuitRequested = true;
        return torrentResult == 0 ? 0 : 1;
    }
    bool BeginInstalling() override {
        if (installing)
            return false;
        installing = true;
        return true;
    }
    void SetDownloadsDone() override { downloadsDone = true; }
    void SetStatusLine(const std::string& text) override { statusLine = text; }
    bool WaitWithoutActing(const std::function<bool()>& wait) override {
        statusWhileWaiting = statusLine;
        return wait();
    }
    void StartClosingPhase() override { ++closingPhases; }

    std::vector<std::string> fileTexts, boxes, torrents;
    std::vector<platform::MessageBoxSpec> boxSpecs;
    std::string statusLine, statusWhileWaiting;
    int expansionDone = 0, finishes = 0, closingPhases = 0, torrentResult = 0, watchKills = 0;
    std::int32_t closingSeconds = -1;
    bool workerStarted = false, installing = false, downloadsDone = false;
};

const std::string kInstaller = "#!/bin/sh\ntouch shape.wd1\n";

class ExpansionWorkerTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        site_ = new TempDir;
        site_->Write("list.txt", "##1 7 - - - - opts\n");
        site_->Write("ZORNEXP1.exe", kInstaller);
        site_->Write("exp_list.txt", "EXP2 " + std::string(32, '0') + "\nEXP1\t" +
                                         Md5Hex(kInstaller.data(), kInstaller.size()) + "\n");
        nginx_ = new NginxServer(site_->path());
    }
    static void TearDownTestSuite() {
        delete nginx_;
        delete site_;
    }

    void SetUp() override {
        ASSERT_TRUE(nginx_->started());
        for (const char* shape : {"shape.wd2", "shape.wd3", "shape.wd4", "shape.wd5", "shape.wd6",
                                  "shape.wd7", "shape.wd8", "shape.wd9", "shape.wda"})
            game_.Write(shape, "");
        Fresh();
    }
    void TearDown() override {
        GameDir.clear();
        DownloadDir.clear();
    }

    // update.ini pointing at the test server; extra lines come first, so
    // they win over the same keys below.
    void Settings(const std::string& extra) {
        game_.Write("update.ini", "[Setting]\r\n" + extra +
                                      "Version=1.0.0\r\nUpdateURLEX=" + nginx_->Url("/list.txt") +
                                      "\r\nExpMd5Info=" + nginx_->Url("/exp_list.txt") +
                                      "\r\nExpVersion1=" + nginx_->Url("/ZORNEXP1.exe") + "\r\n");
    }
    int InstallerRequests() const {
        int n = 0;
        for (const std::string& line : nginx_->AccessLog())
            n += line.find("GET /ZORNEXP1.exe ") != std::string::npos;
        return n;
    }

    static TempDir* site_;
    static NginxServer* nginx_;
    // A new window over the game folder, values at their defaults.
    FakeExpansionWindow& Fresh(const std::string& downloadDir = "/download") {
        window_ = std::make_unique<FakeExpansionWindow>();
        GameDir = game_.path() + "/";
        DownloadDir = game_.path() + downloadDir;
        InstallerPath.clear();
        InstallerMd5 = "stale";
        ShapeFilePath.clear();
        TorrentOptions.clear();
        ClosingTorrentMode = 0;
        QuitRequested = false;
        return *window_;
    }

    TempDir game_;
    std::unique_ptr<FakeExpansionWindow> window_;
};

TempDir* ExpansionWorkerTest::site_ = nullptr;
NginxServer* ExpansionWorkerTest::nginx_ = nullptr;

TEST(ExpansionList, DigestOfAKey) {
    struct Case {
        const char* list;
        const char* key;
        const char* digest;
    } cases[] = {
        {"EXP1 aaa EXP3 bbb", "EXP3", "bbb"},
        {"EXP1 aaa EXP3 bbb", "EXP2", ""},
        {"EXP1 aaa EXP3 bbb", "exp3", ""},
        {"EXP1 aaa EXP3", "EXP3", ""},  // odd count: the last key has no digest
        {"EXP1 aaa EXP3", "EXP1", "aaa"},
        {"EXP1 EXP3 EXP3 ccc", "EXP3", "ccc"},        // a digest word is never a key
        {"EXP3 first EXP3 second", "EXP3", "first"},  // the first pair wins
        {"\r\n EXP10\t\tddd\r\n\fEXP1 eee\r\n", "EXP1", "eee"},
        {"EXP10 ddd", "EXP1", ""},
        {"", "EXP1", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ExpansionListDigest(c.list, c.key), c.digest) << c.list << " / " << c.key;
}

TEST_F(ExpansionWorkerTest, DownloadTypeOneMeansBitTorrentAnythingElseHttp) {
    const std::string installerUrl = nginx_->Url("/ZORNEXP1.exe");
    const std::string md5 = Md5Hex(kInstaller.data(), kInstaller.size());
    struct Case {
        const char* setting;
        bool torrent;
    } cases[] = {
        {"", true},  // the default is "1"
        {"EXPDTYPE=1\r\n", true},
        {"EXPDTYPE=0\r\n", false},
        {"EXPDTYPE=2\r\n", false},
        {"EXPDTYPE=\r\n", false},
        {"EXPDTYPE=\" 1\"\r\n", false},
        {"EXPDTYPE=11\r\n", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.setting);
        fs::remove_all(game_.Sub("download"));
        Settings(c.setting);
        Fresh();
        const int requestsBefore = InstallerRequests();

        EXPECT_EQ(ExpansionWorker(window_.get()), 0);
        EXPECT_TRUE(window_->workerStarted);
        EXPECT_EQ(window_->fileTexts, std::vector<std::string>{ExpansionTable[0].title});
        EXPECT_EQ(window_->closingSeconds, 7);
        EXPECT_EQ(ClosingTorrentMode, 1);
        EXPECT_EQ(TorrentOptions, "opts");
        EXPECT_EQ(InstallerMd5, md5);
        EXPECT_EQ(InstallerPath, DownloadDir + "/ZORNEXP1.exe");
        EXPECT_EQ(ShapeFilePath, GameDir + "shape.wd1");
        EXPECT_EQ(window_->finishes, 0);
        if (c.torrent) {
            EXPECT_EQ(window_->torrents, std::vector<std::string>{installerUrl + ".torrent|" +
                                                                  InstallerPath + "|opts"});
            EXPECT_EQ(InstallerRequests(), requestsBefore);
            EXPECT_EQ(window_->expansionDone, 0);  // the torrent reports its own end
        } else {
            EXPECT_TRUE(window_->torrents.empty());
            EXPECT_EQ(InstallerRequests(), requestsBefore + 1);
            EXPECT_EQ(ReadFile(InstallerPath), kInstaller);
            EXPECT_EQ(window_->expansionDone, 1);
        }
    }
}

TEST_F(ExpansionWorkerTest, EveryWayTheDownloadEndsReachesTheWindow) {
    const std::string md5 = Md5Hex(kInstaller.data(), kInstaller.size());
    struct Case {
        const char* name;
        std::string settings;
        int torrentResult;
        bool alreadyThere;   // the installer is in the download folder beforehand
        bool noFolder;       // the download folder cannot be made
        int expansionDone;   // WM_EXPANSION_DONE posted
        int finishes;        // WM_FINISH posted
        std::string digest;  // InstallerMd5 afterwards
        const char* box;     // a box that was shown
        int watchKills = 0;  // TIMER_BT_WATCH killed by the worker
    } cases[] = {
        {"torrent completes", "EXPDTYPE=1\r\n", 0, false, false, 0, 0, md5, nullptr},
        // The run ends at once: the no-response question must not follow.
        {"torrent fails", "EXPDTYPE=1\r\n", 1, false, false, 0, 1, md5, nullptr, 1},
        {"torrent stopped by the window", "EXPDTYPE=1\r\n", 2, false, false, 0, 0, md5, nullptr},
        {"installer already downloaded", "EXPDTYPE=0\r\n", 0, true, false, 1, 0, md5, nullptr},
        {"download folder unusable", "EXPDTYPE=0\r\n", 0, false, true, 0, 1, md5, "放弃下载"},
        {"expansion list unreachable",
         "EXPDTYPE=0\r\nExpMd5Info=http://127.0.0.1:1/exp_list.txt\r\n", 0, false, false, 1, 0, "",
         nullptr},
        {"pack not listed", "EXPDTYPE=0\r\nExpMd5Info=" + nginx_->Url("/list.txt") + "\r\n", 0,
         false, false, 1, 0, "", nullptr},
        {"installer address without a name",
         "EXPDTYPE=0\r\nExpVersion1=" + nginx_->Url("/") + "\r\n", 0, false, false, 0, 1, md5,
         "url错误"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeExpansionWindow& w = Fresh(c.noFolder ? "/none/download" : "/download");
        w.torrentResult = c.torrentResult;
        fs::remove_all(game_.Sub("download"));
        if (c.alreadyThere)
            game_.Write("download/ZORNEXP1.exe", kInstaller);
        Settings(c.settings);
        const int requestsBefore = InstallerRequests();

        ExpansionWorker(window_.get());
        EXPECT_EQ(window_->expansionDone, c.expansionDone);
        EXPECT_EQ(window_->finishes, c.finishes);
        EXPECT_EQ(window_->watchKills, c.watchKills);
        EXPECT_EQ(InstallerMd5, c.digest);
        if (c.alreadyThere) {
            EXPECT_EQ(InstallerRequests(), requestsBefore);
        }
        bool shown = false;
        for (const std::string& box : window_->boxes)
            shown |= c.box && box.find(c.box) != std::string::npos;
        EXPECT_EQ(shown, c.box != nullptr) << ::testing::PrintToString(window_->boxes);
    }
}

// The window's end of the run; the end-to-end runs cover the digest and
// the shape file.
TEST_F(ExpansionWorkerTest, InstallerIsStartedByItsPathInTheGameFolder) {
    const std::string note = game_.Sub("note.txt");
    // Notes its name, folder, argument count, one variable of ours and its
    // ignored signals.
    const std::string probe =
        "#!/bin/sh\necho \"$0|$PWD|$#|$KORVEL_PROBE|$(sed -n 's/^SigIgn:\\t//p' /proc/$$/status)\" "
        "> '" +
        note + "'\ntouch shape.wd1\n";
    struct Case {
        const char* name;
        std::string script;  // the installer's content; empty: no file
        bool installed;
    } cases[] = {
        {"script", probe, true},
        {"not a program", "just text\n", false},
        {"no installer", "", false},
    };
    ::setenv("KORVEL_PROBE", "inherited", 1);
    std::signal(SIGPIPE, SIG_IGN);  // as the updater has it
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(game_.Sub("shape.wd1"));
        fs::remove_all(game_.Sub("down load"));
        Fresh();
        InstallerPath = game_.Sub("down load/ZORNEXP1.exe");
        ShapeFilePath = GameDir + "shape.wd1";
        InstallerMd5 = c.script.empty() ? "" : Md5Hex(c.script.data(), c.script.size());
        if (!c.script.empty())
            game_.Write("down load/ZORNEXP1.exe", c.script);

        OnExpansionDone(*window_);
        EXPECT_TRUE(window_->downloadsDone);
        EXPECT_EQ(window_->closingPhases, c.installed ? 1 : 0);
        EXPECT_EQ(window_->finishes, c.installed ? 0 : 1);
        if (!c.installed) {
            ASSERT_EQ(window_->boxSpecs.size(), 1u);
            EXPECT_EQ(window_->boxSpecs[0].text, "资料片更新发生错误");
            EXPECT_EQ(window_->boxSpecs[0].caption, "提示");
            EXPECT_TRUE(window_->boxSpecs[0].topMost);
            continue;
        }
        EXPECT_EQ(window_->statusWhileWaiting, "正在运行资料片安装程序, 请稍候...");
        const std::string seen = ReadFile(note);
        const std::string expected = InstallerPath + "|" + game_.path() + "|0|inherited|";
        ASSERT_EQ(seen.substr(0, expected.size()), expected);
        const auto ignored = std::stoull(seen.substr(expected.size()), nullptr, 16);
        EXPECT_EQ(ignored & (1ull << (SIGPIPE - 1)), 0u) << seen;
    }
    ::unsetenv("KORVEL_PROBE");

    // A repeated WM_EXPANSION_DONE does nothing.
    OnExpansionDone(*window_);
    EXPECT_EQ(window_->finishes, 1);
}

}  // namespace
