#include "korvel/net/http_download.h"

#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <random>

#include <gtest/gtest.h>

#include "korvel/app/globals.h"
#include "korvel/update/md5.h"
#include "tests/support/nginx_server.h"
#include "tests/support/recording_download_window.h"
#include "tests/support/scripted_server.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace testing_support;

class HttpDownloadTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        site_ = new TempDir;
        payload_ = RandomBytes(100000, 1);
        bigPayload_ = RandomBytes(3'000'000, 2);
        site_->Write("p/a.dat", payload_);
        site_->Write("p/big.dat", bigPayload_);
        site_->Write("slow/big.dat", bigPayload_);
        site_->Write("chunked/a.dat", payload_);
        nginx_ = new NginxServer(site_->path(),
                                 "location /slow/ { limit_rate 200k; }\n"
                                 "location /chunked/ { ssi on; ssi_types *; }\n");
    }
    static void TearDownTestSuite() {
        delete nginx_;
        delete site_;
    }
    void SetUp() override {
        ASSERT_TRUE(nginx_->started()) << "nginx did not start";
        QuitRequested = false;
        PendingDownloads = 5;
        InstallerMd5.clear();
    }
    std::string Local(const std::string& name) const { return download_.Sub(name); }
    std::size_t RequestsFor(const std::string& path) const {
        std::size_t n = 0;
        for (const auto& line : nginx_->AccessLog())
            if (line.find("GET " + path + " ") != std::string::npos)
                ++n;
        return n;
    }

    static TempDir* site_;
    static NginxServer* nginx_;
    static std::string payload_, bigPayload_;
    TempDir download_;
    RecordingDownloadWindow window_;
};

TempDir* HttpDownloadTest::site_ = nullptr;
NginxServer* HttpDownloadTest::nginx_ = nullptr;
std::string HttpDownloadTest::payload_;
std::string HttpDownloadTest::bigPayload_;

TEST_F(HttpDownloadTest, FreshDownloadShowsProgressEveryNinthBlock) {
    const std::size_t before = RequestsFor("/p/a.dat");
    EXPECT_EQ(DownloadPatchFile(window_, nginx_->Url("/p/a.dat"), Local("a.dat"),
                                Md5Hex(payload_.data(), payload_.size())),
              DOWNLOAD_DONE);
    EXPECT_EQ(ReadFile(Local("a.dat")), payload_);
    EXPECT_EQ(PendingDownloads, 4u);
    EXPECT_FALSE(QuitRequested);
    EXPECT_TRUE(window_.messages.empty());
    // 100000 bytes are 98 reads of 1024 bytes: a report after reads 9, 18 ... 90.
    ASSERT_EQ(window_.statusTexts.size(), 10u);
    EXPECT_EQ(window_.statusTexts[0].rfind("正在下载:9.22 K字节/100.00 K字节  平均速度: ", 0), 0u)
        << window_.statusTexts[0];
    EXPECT_EQ(window_.bar.front(), 0);
    EXPECT_EQ(window_.bar[1], 9);       // 9216 of 100000
    EXPECT_EQ(window_.bar.back(), 92);  // 92160 of 100000: the last report
    EXPECT_EQ(RequestsFor("/p/a.dat"), before + 1);
    const auto log = nginx_->AccessLog();
    EXPECT_NE(log.back().find("\"REDorozu\""), std::string::npos) << log.back();
}

TEST_F(HttpDownloadTest, CorrectFileIsNotFetchedAgain) {
    WriteFile(Local("a.dat"), payload_);
    const std::size_t before = RequestsFor("/p/a.dat");
    EXPECT_EQ(DownloadPatchFile(window_, nginx_->Url("/p/a.dat"), Local("a.dat"),
                                Md5Hex(payload_.data(), payload_.size())),
              DOWNLOAD_DONE);
    EXPECT_EQ(window_.bar, std::vector<int>{100});
    EXPECT_EQ(PendingDownloads, 4u);
    EXPECT_EQ(RequestsFor("/p/a.dat"), before);
}

TEST_F(HttpDownloadTest, FailuresAreReportedAndStopTheRun) {
    const std::string good = Md5Hex(payload_.data(), payload_.size());
    struct Case {
        const char* name;
        std::string path, md5;
        std::vector<std::string> messages;  // {} = the download-error message only
    } cases[] = {
        {"not found", "/p/none.dat", good, {"服务器上未找到%s!", "文件下载出错,请重新下载:%s!"}},
        {"wrong digest", "/p/a.dat", std::string(32, '0'), {}},
        {"no content length", "/chunked/a.dat", good, {}},
    };
    for (const auto& c : cases) {
        RecordingDownloadWindow window;
        QuitRequested = false;
        PendingDownloads = 5;
        const std::string local = Local(std::string(c.name) + ".dat");
        EXPECT_EQ(DownloadPatchFile(window, nginx_->Url(c.path), local, c.md5), DOWNLOAD_FAILED)
            << c.name;
        EXPECT_TRUE(QuitRequested) << c.name;
        EXPECT_EQ(PendingDownloads, 5u) << c.name;
        std::vector<std::string> expected;
        for (const auto& m : c.messages.empty()
                                 ? std::vector<std::string>{"文件下载出错,请重新下载:%s!"}
                                 : c.messages)
            expected.push_back(m.substr(0, m.find("%s")) + local + m.substr(m.find("%s") + 2));
        EXPECT_EQ(window.messages, expected) << c.name;
        ASSERT_FALSE(window.statusTexts.empty()) << c.name;
        EXPECT_EQ(window.statusTexts.back(), expected.back()) << c.name;
    }
}

// A program the process starts while a patch downloads (the window starts
// its page's processes beside the worker) gets nothing of the patch file,
// which would count as a writer still at work when the file is checked.
TEST_F(HttpDownloadTest, ProgramStartedDuringTheDownloadDoesNotHoldThePatchFile) {
    pid_t child = -1;
    window_.onStatus = [&child](const std::string&) {
        if (child != -1)
            return;
        char sleep[] = "sleep";
        char seconds[] = "30";
        char* argv[] = {sleep, seconds, nullptr};
        if (::posix_spawnp(&child, "sleep", nullptr, nullptr, argv, environ) != 0)
            child = -1;
    };
    EXPECT_EQ(DownloadPatchFile(window_, nginx_->Url("/p/big.dat"), Local("big.dat"),
                                Md5Hex(bigPayload_.data(), bigPayload_.size())),
              DOWNLOAD_DONE);
    EXPECT_TRUE(window_.messages.empty());
    ASSERT_NE(child, -1);
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
}

TEST_F(HttpDownloadTest, ServerClosingEarlyFails) {
    ScriptedServer server(
        {ReadRequest(),
         SendBytes(HttpResponse("200 OK", "Content-Length: 100000\r\n", payload_.substr(0, 5000))),
         CloseNow()});
    EXPECT_EQ(DownloadPatchFile(window_, server.Url("/a.dat"), Local("a.dat"),
                                Md5Hex(payload_.data(), payload_.size())),
              DOWNLOAD_FAILED);
    EXPECT_EQ(window_.messages.size(), 1u);
    EXPECT_EQ(ReadFile(Local("a.dat")), payload_.substr(0, 5000));  // the partial file stays
}

TEST_F(HttpDownloadTest, UnwritableLocalFileGivesUp) {
    const std::string local = download_.Sub("no/such/dir/a.dat");
    EXPECT_EQ(DownloadPatchFile(window_, nginx_->Url("/p/a.dat"), local, std::string(32, 'a')),
              DOWNLOAD_FAILED);
    EXPECT_EQ(window_.messages, std::vector<std::string>{"打开文件" + local + "失败,放弃下载"});
    EXPECT_TRUE(QuitRequested);
}

TEST_F(HttpDownloadTest, CancelDuringAPatchStopsQuietly) {
    window_.onStatus = [](const std::string&) { QuitRequested = true; };
    EXPECT_EQ(DownloadPatchFile(window_, nginx_->Url("/slow/big.dat"), Local("big.dat"),
                                Md5Hex(bigPayload_.data(), bigPayload_.size())),
              DOWNLOAD_STOPPED);
    EXPECT_TRUE(window_.messages.empty());
    EXPECT_TRUE(QuitRequested);
    EXPECT_EQ(PendingDownloads, 5u);
    struct stat st {};
    ASSERT_EQ(::stat(Local("big.dat").c_str(), &st), 0);
    EXPECT_GT(st.st_size, 0);
    EXPECT_LT(st.st_size, static_cast<off_t>(bigPayload_.size()));
}

TEST_F(HttpDownloadTest, StopWhileWaitingGivesTheOutcomeAtHand) {
    // The stop is asked for before the answer: a 200 is a stop, anything
    // else is the failure it is, with its messages.
    ScriptedServer ok(
        {ReadRequest(), SendBytes(HttpResponse("200 OK", "Content-Length: 5\r\n", "hello"))});
    ScriptedServer missing({ReadRequest(), SendBytes(HttpResponse("404 Not Found", "", ""))});
    ScriptedServer silent({ReadRequest(), SleepFor(std::chrono::seconds(3))});
    struct Case {
        const char* name;
        std::string url;
        int result;
        std::vector<std::string> messages;
    } cases[] = {
        {"200", ok.Url("/a.dat"), DOWNLOAD_STOPPED, {}},
        {"no answer", silent.Url("/a.dat"), DOWNLOAD_STOPPED, {}},
        {"404",
         missing.Url("/a.dat"),
         DOWNLOAD_FAILED,
         {"服务器上未找到%s!", "文件下载出错,请重新下载:%s!"}},
        {"refused", "http://127.0.0.1:1/a.dat", DOWNLOAD_FAILED, {"文件下载出错,请重新下载:%s!"}},
    };
    for (const auto& c : cases) {
        RecordingDownloadWindow window;
        QuitRequested = true;
        const std::string local = Local(std::string(c.name) + ".dat");
        EXPECT_EQ(DownloadPatchFile(window, c.url, local, std::string(32, '0')), c.result)
            << c.name;
        std::vector<std::string> expected;
        for (const auto& m : c.messages)
            expected.push_back(m.substr(0, m.find("%s")) + local + m.substr(m.find("%s") + 2));
        EXPECT_EQ(window.messages, expected) << c.name;
        EXPECT_EQ(PendingDownloads, 5u) << c.name;
    }
}

TEST_F(HttpDownloadTest, OnlyWebAddressesAreFetched) {
    site_->Write("secret.txt", "not for the download folder");
    ScriptedServer gopherHost({CloseNow()});
    ScriptedServer redirect(
        {ReadRequest(),
         SendBytes(HttpResponse(
             "302 Found",
             "Location: file://" + site_->Sub("secret.txt") + "\r\nContent-Length: 0\r\n", ""))});
    const std::string cases[] = {
        "file://" + site_->Sub("secret.txt"),
        redirect.Url("/a.dat"),
        "gopher://127.0.0.1:" + std::to_string(gopherHost.port()) + "/1hello",
        "dict://127.0.0.1:" + std::to_string(gopherHost.port()) + "/d:x",
    };
    for (const auto& url : cases) {
        RecordingDownloadWindow window;
        QuitRequested = false;
        const std::string local = Local("x.dat");
        EXPECT_EQ(DownloadPatchFile(window, url, local, std::string(32, '0')), DOWNLOAD_FAILED)
            << url;
        EXPECT_EQ(window.messages,
                  std::vector<std::string>{"文件下载出错,请重新下载:" + local + "!"})
            << url;
        EXPECT_EQ(ReadFile(local), "") << url;
    }
    EXPECT_EQ(gopherHost.Connections(), 0);
}

TEST_F(HttpDownloadTest, ExpansionInstallerVariant) {
    InstallerMd5 = Md5Hex(bigPayload_.data(), bigPayload_.size());
    EXPECT_EQ(DownloadExpansionFile(window_, nginx_->Url("/p/big.dat"), Local("setup.exe")),
              DOWNLOAD_DONE);
    EXPECT_EQ(window_.btState, 1);
    EXPECT_EQ(window_.expansionDone, 1);
    EXPECT_EQ(PendingDownloads, 5u);  // installers are not counted
    // 3,000,000 bytes in 4096-byte reads: 733 reads, a report every ninth.
    EXPECT_EQ(window_.statusTexts.size(), 733u / 9);

    // Already there: no transfer and no completion message.
    RecordingDownloadWindow again;
    EXPECT_EQ(DownloadExpansionFile(again, nginx_->Url("/p/big.dat"), Local("setup.exe")),
              DOWNLOAD_DONE);
    EXPECT_EQ(again.expansionDone, 0);
    EXPECT_EQ(again.bar, std::vector<int>{100});
}

TEST_F(HttpDownloadTest, ExpansionCancelCountsAsAFailure) {
    InstallerMd5 = Md5Hex(bigPayload_.data(), bigPayload_.size());
    window_.onStatus = [](const std::string&) { QuitRequested = true; };
    EXPECT_EQ(DownloadExpansionFile(window_, nginx_->Url("/slow/big.dat"), Local("setup.exe")),
              DOWNLOAD_FAILED);
    EXPECT_EQ(window_.messages.size(), 1u);
    EXPECT_EQ(window_.expansionDone, 1);
    EXPECT_TRUE(QuitRequested);
}

TEST_F(HttpDownloadTest, ExpansionWithoutDigestTrustsACompleteTransfer) {
    InstallerMd5.clear();
    EXPECT_EQ(DownloadExpansionFile(window_, nginx_->Url("/p/a.dat"), Local("setup.exe")),
              DOWNLOAD_DONE);
    EXPECT_TRUE(window_.messages.empty());
    EXPECT_FALSE(QuitRequested);
    EXPECT_EQ(ReadFile(Local("setup.exe")), payload_);

    RecordingDownloadWindow missing;
    EXPECT_EQ(DownloadExpansionFile(missing, nginx_->Url("/p/none.exe"), Local("x.exe")),
              DOWNLOAD_FAILED);
    EXPECT_EQ(missing.messages.size(), 2u);
    EXPECT_TRUE(QuitRequested);
}

}  // namespace
