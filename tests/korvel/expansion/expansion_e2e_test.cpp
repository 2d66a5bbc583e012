// Whole expansion-pack runs through the real korvel program in console mode,
// against nginx on loopback, with installers that are shell scripts.
#include <sys/stat.h>

#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "korvel/app/patch_worker.h"
#include "korvel/update/md5.h"
#include "tests/support/child_process.h"
#include "tests/support/nginx_server.h"
#include "tests/support/publishing.h"
#include "tests/support/scripted_server.h"
#include "tests/support/swarm.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace testing_support;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

std::string Md5Of(const std::string& bytes) {
    return Md5Hex(bytes.data(), bytes.size());
}

class ExpansionRunTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        site_ = new TempDir;
        // Installers note how they were started; the good one installs the
        // pack (its data and its shape file), the other forgets the shape.
        good_ =
            "#!/bin/sh\necho \"$0|$PWD\" > installer.note\nmkdir -p maps\n"
            "echo frost > maps/frost.map\ntouch shape.wd4\n";
        site_->Write("good/ZORNEXP4.exe", good_);
        const std::string noShape = "#!/bin/sh\necho \"$0|$PWD\" > installer.note\n";
        site_->Write("noshape/ZORNEXP4.exe", noShape);
        site_->Write("exp_noshape.txt", "EXP4 " + Md5Of(noShape) + "\n");
        site_->Write("list.txt", "##1 3 - - - - opt\n");
        site_->Write("exp_list.txt", "EXP1 " + std::string(32, '1') + " EXP4 " + Md5Of(good_) +
                                         "\nEXP5 " + std::string(32, '5') + "\n");
        site_->Write("exp_wrong.txt", "EXP4 " + std::string(32, '0') + "\n");
        // An installer that takes long to arrive, for cancelling it.
        site_->Write("slow/ZORNEXP4.exe", std::string(2000000, 'x'));
        nginx_ = new NginxServer(site_->path(), "location /slow/ { limit_rate 100k; }\n");
    }
    static void TearDownTestSuite() {
        delete nginx_;
        delete site_;
    }

    void SetUp() override {
        ASSERT_TRUE(nginx_->started());
        // Packs 1 to 3 are installed, 4 is the first one missing.
        for (const char* shape : {"shape.wd1", "shape.wd2", "shape.wd3", "shape.wd5", "shape.wda"})
            tmp_.Write("my game/" + std::string(shape), "");
        tmp_.Write("bin/xdg-open",
                   "#!/bin/sh\necho \"$1\" >> \"" + tmp_.Sub("opened.txt") + "\"\n");
        ::chmod(tmp_.Sub("bin/xdg-open").c_str(), 0755);
        logMark_ = nginx_->AccessLog().size();
    }

    std::string Game(const std::string& name = "") const {
        return tmp_.Sub("my game") + (name.empty() ? "" : "/" + name);
    }

    // update.ini: the update list and expansion list on the test server,
    // pack 4's installer at installer, HTTP downloads.
    void Settings(const std::string& installer, const std::string& expList = "exp_list.txt",
                  const std::string& updateList = "") {
        tmp_.Write("my game/update.ini",
                   "[Setting]\r\nVersion=1.0.0\r\nUpdateURLEX=" +
                       (updateList.empty() ? nginx_->Url("/list.txt") : updateList) +
                       "\r\nExpMd5Info=" + nginx_->Url("/" + expList) +
                       "\r\nExpVersion4=" + installer + "\r\nEXPDTYPE=0\r\n");
    }

    std::map<std::string, std::string> Env(const std::string& answers) const {
        return {{"KORVEL_UI", "console"},
                {"XDG_RUNTIME_DIR", tmp_.path()},
                {"TMPDIR", tmp_.path()},
                {"KORVEL_ANSWERS", answers},
                {"PATH", tmp_.Sub("bin") + ":" + std::getenv("PATH")}};
    }

    // keysFile given: the updater's test build, trusting the keys in it.
    RunResult Korvel(const std::string& answers = "", const std::string& keysFile = "") {
        std::map<std::string, std::string> env = Env(answers);
        if (keysFile.empty())
            return RunProgram({KORVEL_BINARY, "0", Game()}, env, "", 60s);
        env["ZORNIA_TRUSTED_KEYS_FILE"] = keysFile;
        return RunProgram({KORVEL_KEYED_BINARY, "0", Game()}, env, "", 60s);
    }

    std::size_t Requests(const std::string& path) const {
        std::size_t n = 0;
        const auto log = nginx_->AccessLog();
        for (std::size_t i = logMark_; i < log.size(); ++i)
            n += log[i].find(path) != std::string::npos;
        return n;
    }

    static TempDir* site_;
    static NginxServer* nginx_;
    static std::string good_;
    TempDir tmp_;
    std::size_t logMark_ = 0;
};

TempDir* ExpansionRunTest::site_ = nullptr;
NginxServer* ExpansionRunTest::nginx_ = nullptr;
std::string ExpansionRunTest::good_;

TEST_F(ExpansionRunTest, FirstMissingPackIsDownloadedCheckedAndInstalled) {
    Settings(nginx_->Url("/good/ZORNEXP4.exe"));
    const RunResult run = Korvel();
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.err.find("┌─ 恭喜 [信息]\n│ 更新成功!\n"), std::string::npos) << run.err;
    EXPECT_NE(run.out.find("寒霜王座"), std::string::npos) << run.out;  // pack 4's title
    const std::string installer = Game("download/ZORNEXP4.exe");
    EXPECT_EQ(ReadFile(Game("installer.note")), installer + "|" + Game() + "\n");
    EXPECT_EQ(ReadFile(Game("maps/frost.map")), "frost\n");
    EXPECT_TRUE(fs::exists(Game("shape.wd4")));
    EXPECT_FALSE(fs::exists(Game("shape.wd6")));  // one pack per run
    EXPECT_EQ(ReadFile(installer), good_);
    // The expansion list is asked for by its whole address.
    EXPECT_EQ(Requests("\"GET " + nginx_->Url("/exp_list.txt") + " HTTP/1.1\""), 1u);
    EXPECT_EQ(Requests("/patch_download"), 0u);  // no statistics in this mode
}

TEST_F(ExpansionRunTest, InstallerOverBitTorrent) {
    Swarm swarm;
    ASSERT_TRUE(swarm.started());
    site_->Write("bt/ZORNEXP4.exe", good_);
    ASSERT_EQ(MakeTorrent(ZRPATCH_BINARY, site_->Sub("bt/ZORNEXP4.exe"), swarm.Announce(),
                          site_->Sub("bt/ZORNEXP4.exe.torrent")),
              "");
    std::string error;
    ASSERT_TRUE(swarm.Seed(site_->Sub("bt/ZORNEXP4.exe.torrent"), site_->Sub("bt"), error))
        << error;
    // The option word of ["--bind", "127.0.0.1"]: the client stays on loopback.
    site_->Write("list_bt.txt",
                 "##1 3 - - - - gLlJQcx4CMuAjL3ITMAAAAJgVAxRmbpJWLtAAAAYAWoAQcdJAg\n");
    Settings(nginx_->Url("/bt/ZORNEXP4.exe"), "exp_list.txt", nginx_->Url("/list_bt.txt"));
    std::string ini = ReadFile(Game("update.ini"));
    ini.replace(ini.find("EXPDTYPE=0"), 10, "EXPDTYPE=1");
    tmp_.Write("my game/update.ini", ini);

    const RunResult run = Korvel();
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.err.find("┌─ 恭喜 [信息]\n│ 更新成功!\n"), std::string::npos) << run.err;
    EXPECT_EQ(ReadFile(Game("download/ZORNEXP4.exe")), good_);
    EXPECT_TRUE(fs::exists(Game("shape.wd4")));
    EXPECT_EQ(Requests("GET /bt/ZORNEXP4.exe.torrent "), 1u);
    EXPECT_EQ(Requests("GET /bt/ZORNEXP4.exe "), 0u);  // not over HTTP

    // Without a seed file on the server the download fails and the run ends
    // with the switch question.
    fs::remove(Game("shape.wd4"));
    fs::remove(Game("download/ZORNEXP4.exe"));
    Settings(nginx_->Url("/nothing/ZORNEXP4.exe"), "exp_list.txt", nginx_->Url("/list_bt.txt"));
    ini = ReadFile(Game("update.ini"));
    ini.replace(ini.find("EXPDTYPE=0"), 10, "EXPDTYPE=1");
    tmp_.Write("my game/update.ini", ini);
    const RunResult failed = Korvel("no");
    EXPECT_EQ(failed.exitCode, 0) << failed.err;
    EXPECT_NE(failed.err.find("BT下载方式发生错误,是否切换到HTTP下载模式？"), std::string::npos)
        << failed.err;
    EXPECT_FALSE(fs::exists(Game("shape.wd4")));
}

TEST_F(ExpansionRunTest, RunsThatEndWithAMessage) {
    // A server that promises more than it sends: the cut-off installer
    // would still install the pack if it were run.
    ScriptedServer cutShort({ReadRequest(),
                             SendBytes("HTTP/1.1 200 OK\r\nContent-Length: 400\r\n\r\n" + good_),
                             CloseNow()});
    struct Case {
        const char* name;
        std::string installer;
        std::string expList;
        std::string answers;
        std::vector<std::string> shown;  // in this order on standard error
        bool installerRuns;
    } cases[] = {
        {"no shape file afterwards",
         nginx_->Url("/noshape/ZORNEXP4.exe"),
         "exp_noshape.txt",
         "",
         {"┌─ 提示\n│ 资料片更新发生错误\n"},
         true},
        {"wrong digest",
         nginx_->Url("/good/ZORNEXP4.exe"),
         "exp_wrong.txt",
         "ok,ok,no",
         {"│ 文件下载出错,请重新下载:" + Game("download/ZORNEXP4.exe") + "!\n",
          "┌─ 错误\n│ 资料片相关文件下载发生错误， 请重新下载\n│  " +
              Game("download/ZORNEXP4.exe") + "\n",
          "BT下载方式发生错误,是否切换到HTTP下载模式？"},
         false},
        {"cut short without a listed digest",
         cutShort.Url("/ZORNEXP4.exe"),
         "list.txt",
         "ok,no",
         {"│ 文件下载出错,请重新下载:" + Game("download/ZORNEXP4.exe") + "!\n",
          "BT下载方式发生错误,是否切换到HTTP下载模式？"},
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(Game("download"));
        fs::remove(Game("installer.note"));
        Settings(c.installer, c.expList);
        const RunResult run = Korvel(c.answers);
        EXPECT_EQ(run.exitCode, 0) << run.err;
        std::size_t at = 0;
        for (const std::string& text : c.shown) {
            at = run.err.find(text, at);
            ASSERT_NE(at, std::string::npos) << text << "\n---\n" << run.err;
        }
        EXPECT_EQ(run.err.find("更新成功!"), std::string::npos);
        EXPECT_EQ(fs::exists(Game("installer.note")), c.installerRuns);
        EXPECT_FALSE(fs::exists(Game("shape.wd4")));
        EXPECT_FALSE(fs::exists(tmp_.Sub("started.txt")));
    }
}

TEST_F(ExpansionRunTest, CancelDuringTheDownloadEndsAtOnceAndStartsTheGame) {
    Settings(nginx_->Url("/slow/ZORNEXP4.exe"));
    tmp_.Write("my game/zorn.exe",
               "#!/bin/sh\necho \"$PWD\" >> \"" + tmp_.Sub("started.txt") + "\"\n");
    ::chmod(Game("zorn.exe").c_str(), 0755);
    // Yes to the cancel question, OK to the box of the cut-short download.
    PtyChild korvel({KORVEL_BINARY, "0", Game()}, Env("yes,ok"));
    ASSERT_TRUE(korvel.WaitFor("正在下载", 30s)) << korvel.Output();
    korvel.Send("\x03");
    // The download's box comes while the window waits for the worker; the
    // window shows it meanwhile, so the run ends as soon as the worker sees
    // the cancel, not when the waits run out (5 s, then 10 s).
    EXPECT_EQ(korvel.Wait(5s), 0) << korvel.Output();
    EXPECT_NE(korvel.Output().find("文件下载出错,请重新下载"), std::string::npos);
    EXPECT_EQ(WaitForFile(tmp_.Sub("started.txt")), Game() + "\n");
    EXPECT_FALSE(fs::exists(Game("installer.note")));
}

TEST_F(ExpansionRunTest, WithPublisherKeysOnlyASignedInstallerRuns) {
    ASSERT_EQ(MinisignKeyPair(tmp_.Sub("publisher")), "");
    const std::string keys = tmp_.Write("trusted-keys", ReadFile(tmp_.Sub("publisher.pub")));
    ::chmod(keys.c_str(), 0644);
    // Signed copies of the lists and of the good installer.
    const auto publish = [&](const std::string& from, const std::string& to) {
        site_->Write("signed/" + to, ReadFile(site_->Sub(from)));
        const std::string name = fs::path(to).filename();
        return MinisignSign(tmp_.Sub("publisher.key"), site_->Sub("signed/" + to),
                            TrustedComment(name, 1700000000));
    };
    ASSERT_EQ(publish("list.txt", "list.txt"), "");
    ASSERT_EQ(publish("exp_list.txt", "exp_list.txt"), "");
    ASSERT_EQ(publish("good/ZORNEXP4.exe", "ZORNEXP4.exe"), "");

    struct Case {
        const char* name;
        std::string installer;
        std::string expList;
        std::string shown;
        bool installed;
    } cases[] = {
        {"all signed", nginx_->Url("/signed/ZORNEXP4.exe"), "signed/exp_list.txt",
         "┌─ 恭喜 [信息]\n│ 更新成功!\n", true},
        {"installer not signed", nginx_->Url("/good/ZORNEXP4.exe"), "signed/exp_list.txt",
         "┌─ 错误\n│ 找不到 ZORNEXP4.exe 的签名\n│ 程序将自动删除ZORNEXP4.exe, 请重新下载\n",
         false},
        {"expansion list not signed", nginx_->Url("/signed/ZORNEXP4.exe"), "exp_list.txt",
         "┌─ 错误\n│ 找不到 exp_list.txt 的签名\n", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(Game("download"));
        fs::remove(Game("installer.note"));
        fs::remove(Game("shape.wd4"));
        Settings(c.installer, c.expList, nginx_->Url("/signed/list.txt"));
        const RunResult run = Korvel("", keys);
        EXPECT_EQ(run.exitCode, 0) << run.err;
        EXPECT_NE(run.err.find(c.shown), std::string::npos) << run.err;
        EXPECT_EQ(fs::exists(Game("installer.note")), c.installed);
        EXPECT_EQ(fs::exists(Game("shape.wd4")), c.installed);
        EXPECT_EQ(fs::exists(Game("download/ZORNEXP4.exe")), c.installed);
    }
}

TEST_F(ExpansionRunTest, EveryPackInstalled) {
    tmp_.Write("my game/shape.wd4", "");
    for (const char* shape : {"shape.wd6", "shape.wd7", "shape.wd8", "shape.wd9"})
        tmp_.Write("my game/" + std::string(shape), "");
    Settings(nginx_->Url("/good/ZORNEXP4.exe"));
    const RunResult run = Korvel();
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_NE(run.err.find("┌─ 提示\n│ 没有发现需要更新的资料片\n"), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find("BT下载方式发生错误"), std::string::npos);
    EXPECT_EQ(Requests("GET"), 0u);
}

TEST_F(ExpansionRunTest, UpdateListUnreachableOffersTheGuide) {
    Settings(nginx_->Url("/good/ZORNEXP4.exe"), "exp_list.txt", "http://127.0.0.1:1/list.txt");
    // Yes to the guide, then no to the switch to the HTTP-mode updater.
    const RunResult run = Korvel("yes,no");
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_NE(
        run.err.find("┌─ 错误\n│ 获取更新列表失败, connection refused\n│ 是否查看手动更新指南？"),
        std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find("BT下载方式发生错误,是否切换到HTTP下载模式？"), std::string::npos);
    for (int i = 0; i < 200 && !fs::exists(tmp_.Sub("opened.txt")); ++i)
        std::this_thread::sleep_for(10ms);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(ReadFile(tmp_.Sub("opened.txt")), ManualGuideUrl() + "\n");
    EXPECT_EQ(Requests("ZORNEXP4"), 0u);
    EXPECT_FALSE(fs::exists(Game("shape.wd4")));
}

}  // namespace
