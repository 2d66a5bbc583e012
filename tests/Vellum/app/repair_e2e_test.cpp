// Whole repairs: the repair tool on a terminal drives the real engine it
// carries against nginx (the files as web seed, and the seed file) and an
// aria2c peer found through opentracker, all on loopback.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <regex>
#include <thread>

#include "tests/support/child_process.h"
#include "tests/support/nginx_server.h"
#include "tests/support/swarm.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace std::chrono_literals;
using testing_support::PtyChild;
using testing_support::TempDir;

constexpr const char* kEngineName = "Vespera下载器-ZorniaⅡ_r.exe";

// A published client: about 120 MB in a few files, the game program a real
// executable (so that a running copy of it cannot be overwritten).
class RepairTest : public ::testing::Test {
  protected:
    // Made once: generating the data takes longer than any repair.
    static void SetUpTestSuite() {
        s_www = new TempDir();
        const std::string client = s_www->Sub("client");
        s_www->Write("client/data/big.pak", testing_support::RandomBytes(96 << 20, 1));
        s_www->Write("client/data/mid.pak", testing_support::RandomBytes(24 << 20, 2));
        s_www->Write("client/readme.txt", "Zornia\n");
        std::filesystem::copy_file("/bin/sleep", client + "/zorn.exe");
    }
    static void TearDownTestSuite() {
        delete s_www;
        s_www = nullptr;
    }

    void SetUp() override {
        ASSERT_EQ(::chmod(runtime.path().c_str(), 0700), 0);
        std::filesystem::copy(www.Sub("client"), repair.path(),
                              std::filesystem::copy_options::recursive);
    }

    // The seed of the client under the name seedName, with the tracker when
    // one is given.
    void Publish(const testing_support::NginxServer& nginx, const std::string& seedName,
                 const std::string& announce = "") {
        seedName_ = seedName;
        std::vector<std::string> argv = {ZRPATCH_BINARY, "seed", www.Sub("client"), "--web-seed",
                                         nginx.Url("/"), "-o",   www.Sub(seedName)};
        if (!announce.empty()) {
            argv.push_back("--tracker");
            argv.push_back(announce);
        }
        const auto made = testing_support::RunProgram(argv);
        ASSERT_EQ(made.exitCode, 0) << made.err;
    }

    // The tool on a terminal; answers: the start-up's, then more.
    std::unique_ptr<PtyChild> StartTool(const testing_support::NginxServer& nginx,
                                        const std::string& moreAnswers = "") {
        std::string answers = "ok,no," + repair.path();
        if (!moreAnswers.empty())
            answers += "," + moreAnswers;
        return std::make_unique<PtyChild>(
            std::vector<std::string>{VELLUM_BINARY},
            std::map<std::string, std::string>{
                {"VELLUM_UI", "console"},
                {"VELLUM_ANSWERS", answers},
                {"VELLUM_SEED_URL", nginx.Url("/" + seedName_)},
                {"XDG_RUNTIME_DIR", runtime.path()},
                {"FERREL_OPTIONS", "-ListenIp 127.0.0.1 -NotUsingUPnP"}});
    }

    // Waits until the engine started from the tool's private folder has
    // exited: its file can be opened for writing again.
    bool EngineGone() {
        const std::string path = runtime.Sub(kEngineName);
        for (int i = 0; i < 300; ++i) {
            const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
            if (fd >= 0) {
                ::close(fd);
                return true;
            }
            if (errno != ETXTBSY)
                return false;
            std::this_thread::sleep_for(100ms);
        }
        return false;
    }

    // Presses the action button once the tool shows "完成", and waits for
    // its end.
    void FinishWhenDone(PtyChild& tool) {
        ASSERT_TRUE(tool.WaitFor("[完成]", 180s)) << tool.Output();
        tool.Signal(SIGINT);
        EXPECT_EQ(tool.Wait(30s), 0) << tool.Output();
        EXPECT_TRUE(EngineGone());
    }

    bool Repaired() const {
        return testing_support::HoldsTree(repair.path(), www.Sub("client")) &&
               !std::filesystem::exists(repair.Sub(".ferrel"));
    }

    static inline TempDir* s_www = nullptr;
    const TempDir& www = *s_www;
    TempDir repair, runtime;
    std::string seedName_;
};

// The percentages of the download lines shown so far.
std::vector<double> ShownPercentages(const std::string& output) {
    static const std::regex kLine(R"(剩余时间：[^(]*\(([0-9.]+)%\))");
    std::vector<double> out;
    for (std::sregex_iterator it(output.begin(), output.end(), kLine), end; it != end; ++it)
        out.push_back(std::stod((*it)[1]));
    return out;
}

TEST_F(RepairTest, MissingAndDamagedFilesComeFromTheServerAndAPeer) {
    testing_support::Swarm swarm;
    ASSERT_TRUE(swarm.started());
    testing_support::NginxServer nginx(www.path());
    ASSERT_TRUE(nginx.started());
    Publish(nginx, "tracked.data", swarm.Announce());
    std::string error;
    ASSERT_TRUE(swarm.Seed(www.Sub("tracked.data"), www.path(), error)) << error;

    std::filesystem::remove(repair.Sub("data/mid.pak"));
    {
        std::fstream big(repair.Sub("data/big.pak"),
                         std::ios::in | std::ios::out | std::ios::binary);
        big.seekp(50 << 20);
        big.write("damage", 6);
    }
    repair.Write("crash.dmp", "dump");

    auto tool = StartTool(nginx);
    FinishWhenDone(*tool);
    EXPECT_TRUE(Repaired());
    EXPECT_FALSE(std::filesystem::exists(repair.Sub("crash.dmp")));
    bool webSeedUsed = false;
    for (const auto& line : nginx.AccessLog())
        webSeedUsed = webSeedUsed || line.find("/client/data/mid.pak") != std::string::npos;
    EXPECT_TRUE(webSeedUsed);
}

TEST_F(RepairTest, AnInterruptedRepairGoesOnFromWhereItStopped) {
    // Slow enough to cancel part way through the 24 MB that are missing.
    testing_support::NginxServer nginx(www.path(), "limit_rate 5m;");
    ASSERT_TRUE(nginx.started());
    Publish(nginx, "plain.data");
    std::filesystem::remove(repair.Sub("data/mid.pak"));

    auto first = StartTool(nginx, "yes");
    double stoppedAt = 0;
    // The other 96 MB count from the start: stop at about 40% of the rest.
    for (int i = 0; i < 600 && stoppedAt < 88; ++i) {
        first->WaitFor("\x01", 100ms);  // takes in what the tool printed
        const auto shown = ShownPercentages(first->Output());
        stoppedAt = shown.empty() ? 0 : shown.back();
    }
    ASSERT_GE(stoppedAt, 88) << first->Output();
    ASSERT_LT(stoppedAt, 97) << "too fast to interrupt";
    first->Signal(SIGINT);  // the cancel question, answered "yes"
    EXPECT_EQ(first->Wait(30s), 0) << first->Output();
    ASSERT_TRUE(EngineGone());
    EXPECT_FALSE(Repaired());

    auto second = StartTool(nginx);
    FinishWhenDone(*second);
    const auto shown = ShownPercentages(second->Output());
    ASSERT_FALSE(shown.empty());
    EXPECT_GE(shown.front(), stoppedAt - 1) << second->Output();
    EXPECT_TRUE(Repaired());
}

TEST_F(RepairTest, AFileThatCannotBeWrittenIsShownUntilItIsFreed) {
    testing_support::NginxServer nginx(www.path());
    ASSERT_TRUE(nginx.started());
    Publish(nginx, "plain.data");
    // The local game program differs and runs: Linux refuses to write it.
    // Its last byte is in the section headers, which a run does not read.
    {
        std::fstream exe(repair.Sub("zorn.exe"), std::ios::in | std::ios::out | std::ios::binary);
        exe.seekg(-1, std::ios::end);
        const char last = static_cast<char>(exe.get() ^ 0x5a);
        exe.seekp(-1, std::ios::end);
        exe.put(last);
    }
    ASSERT_NE(testing_support::ReadFile(repair.Sub("zorn.exe")),
              testing_support::ReadFile(www.Sub("client/zorn.exe")));
    const pid_t game = fork();
    if (game == 0) {
        execl(repair.Sub("zorn.exe").c_str(), "zorn.exe", "120", static_cast<char*>(nullptr));
        _exit(127);
    }
    ASSERT_GT(game, 0);

    auto tool = StartTool(nginx);
    const bool shown = tool->WaitFor("创建文件错误，请关闭相关文件或者确认磁盘空间是否足够。", 60s);
    ::kill(game, SIGKILL);
    ::waitpid(game, nullptr, 0);
    ASSERT_TRUE(shown) << tool->Output();
    FinishWhenDone(*tool);
    EXPECT_TRUE(Repaired());
}

}  // namespace
