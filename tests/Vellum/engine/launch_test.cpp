#include "Vellum/engine/launch.h"

#include <fcntl.h>
#include <glib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "Vellum/engine/engine_program.h"
#include "Vellum/engine/engine_status.h"
#include "Vellum/res/strings.h"
#include "common/channel/network_interactive.h"
#include "common/channel/status_lines.h"
#include "platform/message_box.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace vellum;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testing_support::ReadFile;
using testing_support::TempDir;

// Polls pred until it holds or ten seconds are up, running GLib's default
// context meanwhile as the window thread would.
bool WaitUntil(const std::function<bool()>& pred) {
    const auto deadline = Clock::now() + 10s;
    while (!pred()) {
        if (Clock::now() >= deadline)
            return false;
        while (g_main_context_iteration(nullptr, FALSE)) {
        }
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

// The state letter of /proc/<pid>/stat ('Z' for a zombie); 0 once the
// process is gone and reaped.
char ProcessState(pid_t pid) {
    const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    const std::size_t close = stat.rfind(')');
    return close == std::string::npos || close + 2 >= stat.size() ? 0 : stat[close + 2];
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// Sets an environment variable for the life of the object.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const std::optional<std::string>& value) : m_name(name) {
        if (const char* old = std::getenv(name))
            m_old = old;
        Set(value);
    }
    ~ScopedEnv() { Set(m_old); }

  private:
    void Set(const std::optional<std::string>& value) {
        if (value)
            ::setenv(m_name, value->c_str(), 1);
        else
            ::unsetenv(m_name);
    }
    const char* m_name;
    std::optional<std::string> m_old;
};

// Every test gets its own private folder and records its message boxes; an
// engine it started is asked to quit and waited for.
class EngineTest : public testing::Test {
  protected:
    void SetUp() override {
        ::chmod(m_runtime.path().c_str(), 0700);
        m_previousBoxes = platform::SetMessageBoxes(&m_boxes);
        SetStringTable(nullptr);
    }
    void TearDown() override {
        LaunchState& launch = CurrentLaunch();
        const pid_t pid = launch.pid;
        SendCommand(launch.channel.get(), "quit");
        if (pid > 0) {
            EXPECT_TRUE(WaitUntil([pid] { return ProcessState(pid) == 0; }));
        }
        launch.channel.reset();
        launch.pid = -1;
        platform::SetMessageBoxes(m_previousBoxes);
        SetStringTable(nullptr);
    }

    // Asks command until the engine's answer has entered key.
    bool Ask(const char* command, const char* key) {
        IInteractive* channel = CurrentLaunch().channel.get();
        return WaitUntil([&] {
            DrainReplies(channel);
            if (StatusKeyMap.count(key) != 0)
                return true;
            SendCommand(channel, command);
            return false;
        });
    }

    static std::string Extracted() {
        std::string path;
        EXPECT_TRUE(ExtractEngine(path)) << std::strerror(errno);
        return path;
    }

    static EngineLaunchParams Params(const std::string& repairDir) {
        EngineLaunchParams params;
        params.seedUrl = "http://127.0.0.1/zornfix/zornfix.data";
        params.repairDir = repairDir;
        params.mode = "repair";
        params.httpThreads = 4;
        return params;
    }

    TempDir m_runtime;
    ScopedEnv m_xdg{"XDG_RUNTIME_DIR", m_runtime.path()};
    platform::RecordingMessageBoxes m_boxes;
    platform::MessageBoxes* m_previousBoxes = nullptr;
};

struct ArgumentsCase {
    const char* name;
    const char* seedUrl;
    const char* repairDir;
    int httpThreads;
    bool built;
    std::string args;      // what args holds afterwards
    const char* dirAfter;  // the launch state's folder afterwards
};

void PrintTo(const ArgumentsCase& c, std::ostream* os) {
    *os << c.name;
}

class BuildEngineArgumentsTest : public testing::TestWithParam<ArgumentsCase> {};

TEST_P(BuildEngineArgumentsTest, ComposesTheLine) {
    const ArgumentsCase& c = GetParam();
    EngineLaunchParams& params = CurrentLaunch().params;
    params = EngineLaunchParams{};
    params.seedUrl = c.seedUrl;
    params.repairDir = c.repairDir;
    params.mode = "repair";
    params.httpThreads = c.httpThreads;
    std::string args = "untouched";
    EXPECT_EQ(BuildEngineArguments(args), c.built);
    EXPECT_EQ(args, c.args);
    EXPECT_EQ(params.repairDir, c.dirAfter);
}

// The limits every line ends with (the defaults).
const std::string kLimits =
    " -P2PUploadThread 6 -P2PUploadListSize 12 -DownloadLimit 10000 -UploadLimit 10000"
    " -DeleteDownloadInfo";

INSTANTIATE_TEST_SUITE_P(
    Lines, BuildEngineArgumentsTest,
    testing::Values(
        ArgumentsCase{"TrailingSlashesRemoved", "http://fast.zornia.invalid/zornfix/zornfix.data",
                      "/games/Zornia client///", 4, true,
                      "-Dir \"/games/Zornia client\" -HttpUrl http://fast.zornia.invalid/zornfix "
                      "-Torrent zornfix.data -Mode repair -HttpThread 4" +
                          kLimits,
                      "/games/Zornia client"},
        ArgumentsCase{"RootFolderBecomesEmpty", "http://h.invalid/z.data", "/", 4, true,
                      "-Dir \"\" -HttpUrl http://h.invalid -Torrent z.data -Mode repair "
                      "-HttpThread 4" +
                          kLimits,
                      ""},
        ArgumentsCase{"BackslashIsPartOfTheName", "http://h.invalid/z.data", "/g/a\\", 4, true,
                      "-Dir \"/g/a\\\" -HttpUrl http://h.invalid -Torrent z.data -Mode repair "
                      "-HttpThread 4" +
                          kLimits,
                      "/g/a\\"},
        ArgumentsCase{"SeedUrlEndingInSlash", "http://h.invalid/zornfix/", "/g", 4, true,
                      "-Dir \"/g\" -HttpUrl http://h.invalid/zornfix -Torrent  -Mode repair "
                      "-HttpThread 4" +
                          kLimits,
                      "/g"},
        ArgumentsCase{"AfterOneStallRestart", "http://h.invalid/z.data", "/g", 2, true,
                      "-Dir \"/g\" -HttpUrl http://h.invalid -Torrent z.data -Mode repair "
                      "-HttpThread 2" +
                          kLimits,
                      "/g"},
        ArgumentsCase{"AfterTwoStallRestarts", "http://h.invalid/z.data", "/g", 1, true,
                      "-Dir \"/g\" -HttpUrl http://h.invalid -Torrent z.data -Mode repair "
                      "-HttpThread 1" +
                          kLimits,
                      "/g"},
        // Nothing changes before the address is known to be usable.
        ArgumentsCase{"SeedUrlWithoutSlash", "zornfix.data", "/g//", 4, false, "untouched",
                      "/g//"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(EngineFileName, TakesStrings109And106OrNothing) {
    const StringTable missing = {{IDS_TITLE, "t"}};
    const StringTable empty = {{IDS_GAME_NAME, ""}, {IDS_ENGINE_SUFFIX, ""}};
    EXPECT_EQ(EngineFileName(), "Vespera下载器-ZorniaⅡ_r.exe");
    for (const StringTable* table : {&missing, &empty}) {
        SetStringTable(table);
        EXPECT_EQ(EngineFileName(), "Vespera下载器-_.exe");
        std::string target = "preset";
        EXPECT_FALSE(LoadResourceString(target, IDS_GAME_NAME));
        EXPECT_EQ(target, "preset");
    }
    SetStringTable(nullptr);
}

TEST(LoadResourceString, SeedAddressFromTheEnvironmentOverTheBuiltInTableOnly) {
    std::string seed;
    {
        ScopedEnv unset("VELLUM_SEED_URL", std::nullopt);
        ASSERT_TRUE(LoadResourceString(seed, IDS_SEED_URL));
        EXPECT_EQ(seed.rfind("http://", 0), 0u);
        EXPECT_EQ(seed.substr(seed.rfind('/')), "/zornfix.data");
    }
    ScopedEnv mirror("VELLUM_SEED_URL", "http://127.0.0.1:8080/fix/zornfix.data");
    ASSERT_TRUE(LoadResourceString(seed, IDS_SEED_URL));
    EXPECT_EQ(seed, "http://127.0.0.1:8080/fix/zornfix.data");
    const StringTable table = {{IDS_SEED_URL, "http://h.invalid/z.data"}};
    SetStringTable(&table);
    ASSERT_TRUE(LoadResourceString(seed, IDS_SEED_URL));
    EXPECT_EQ(seed, "http://h.invalid/z.data");
    SetStringTable(nullptr);
}

struct SplitCase {
    const char* name;
    const char* line;
    std::vector<std::string> arguments;
};

void PrintTo(const SplitCase& c, std::ostream* os) {
    *os << c.name;
}

class SplitArgumentsTest : public testing::TestWithParam<SplitCase> {};

TEST_P(SplitArgumentsTest, SplitsAsTheEngineReads) {
    EXPECT_EQ(SplitArguments(GetParam().line), GetParam().arguments);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, SplitArgumentsTest,
    testing::Values(SplitCase{"QuotesGroupAndGo",
                              "-Dir \"/a b/c\" -Mode repair",
                              {"-Dir", "/a b/c", "-Mode", "repair"}},
                    SplitCase{"EmptyQuotesGiveAnEmptyArgument", "-Dir \"\" -X", {"-Dir", "", "-X"}},
                    SplitCase{"RunsOfBlanksAndTabs", "  a \t b  ", {"a", "b"}},
                    SplitCase{"TwoSpacesGiveNoArgument",
                              "-Torrent  -Mode repair",
                              {"-Torrent", "-Mode", "repair"}},
                    SplitCase{"QuotesInsideAWord", "a\"b c\"d e", {"ab cd", "e"}},
                    SplitCase{"UnclosedQuoteRunsToTheEnd", "a \"b c", {"a", "b c"}},
                    SplitCase{"Nothing", "", {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(EngineTest, ExtractWritesTheProgramWithMode0700OverAnOldFile) {
    const std::string path = m_runtime.Sub(EngineFileName());
    testing_support::WriteFile(path, std::string(EngineProgram().size() + 100, 'x'));
    ::chmod(path.c_str(), 0666);

    std::string extracted;
    ASSERT_TRUE(ExtractEngine(extracted));
    EXPECT_EQ(extracted, path);
    const auto program = EngineProgram();
    ASSERT_FALSE(program.empty());
    EXPECT_EQ(ReadFile(path), std::string(program.begin(), program.end()));
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
}

TEST_F(EngineTest, ExtractRefusesALinkAtTheEngineName) {
    const std::string victim = m_runtime.Write("victim", "keep");
    ASSERT_EQ(::symlink(victim.c_str(), m_runtime.Sub(EngineFileName()).c_str()), 0);
    std::string path;
    EXPECT_FALSE(ExtractEngine(path));
    EXPECT_EQ(errno, ELOOP);
    EXPECT_EQ(ReadFile(victim), "keep");
}

struct FolderCase {
    const char* name;
    // Prepares "vellum-<uid>" at the given path (nothing: leave it absent).
    std::function<void(const std::string&, const TempDir&)> prepare;
    bool usable;
};

void PrintTo(const FolderCase& c, std::ostream* os) {
    *os << c.name;
}

class EngineFolderTest : public testing::TestWithParam<FolderCase> {};

// $XDG_RUNTIME_DIR is open to everyone here, so the folder in $TMPDIR is
// taken, and it must be a real directory of ours closed to others.
TEST_P(EngineFolderTest, UsesOnlyAFolderClosedToOthers) {
    TempDir tmp;
    TempDir shared;
    ::chmod(shared.path().c_str(), 0777);
    ScopedEnv xdg("XDG_RUNTIME_DIR", shared.path());
    ScopedEnv tmpdir("TMPDIR", tmp.path());
    const std::string own = tmp.Sub("vellum-" + std::to_string(::getuid()));
    GetParam().prepare(own, tmp);

    std::string folder;
    ASSERT_EQ(EngineFolder(folder), GetParam().usable);
    std::string path;
    EXPECT_EQ(ExtractEngine(path), GetParam().usable);
    if (GetParam().usable) {
        EXPECT_EQ(folder, own);
        EXPECT_EQ(path, own + "/" + EngineFileName());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Folders, EngineFolderTest,
    testing::Values(
        FolderCase{"CreatedWhenAbsent", [](const std::string&, const TempDir&) {}, true},
        FolderCase{"OursAlready",
                   [](const std::string& own, const TempDir&) { ::mkdir(own.c_str(), 0700); },
                   true},
        FolderCase{"OpenToEveryone",
                   [](const std::string& own, const TempDir&) {
                       ::mkdir(own.c_str(), 0700);
                       ::chmod(own.c_str(), 0777);
                   },
                   false},
        FolderCase{"ReadableByTheGroup",
                   [](const std::string& own, const TempDir&) {
                       ::mkdir(own.c_str(), 0700);
                       ::chmod(own.c_str(), 0750);
                   },
                   false},
        FolderCase{"LinkToAClosedFolder",
                   [](const std::string& own, const TempDir& tmp) {
                       const std::string real = tmp.Sub("elsewhere");
                       ::mkdir(real.c_str(), 0700);
                       ASSERT_EQ(::symlink(real.c_str(), own.c_str()), 0);
                   },
                   false},
        FolderCase{
            "PlainFile",
            [](const std::string& own, const TempDir&) { testing_support::WriteFile(own, ""); },
            false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(EngineTest, LaunchPassesTheArgumentLineAndAnswersOverTheChannel) {
    TempDir log;
    ScopedEnv logEnv("STAND_IN_LOG", log.path());
    ScopedEnv script("STAND_IN_SCRIPT", std::nullopt);
    g_engineStatus.state = DOWNLOADING;
    StatusKeyMap["Stale"] = "1";
    const std::string repairDir = m_runtime.Sub("game folder") + "/";
    // A file of ours left open across exec must not reach the engine.
    const int inheritable = ::open("/dev/zero", O_RDONLY);
    ASSERT_GE(inheritable, 0);

    ASSERT_TRUE(LaunchEngine(Extracted(), Params(repairDir)));
    ::close(inheritable);
    LaunchState& launch = CurrentLaunch();
    EXPECT_EQ(g_engineStatus.state, BEGIN);
    EXPECT_EQ(StatusKeyMap.count("Stale"), 0u);
    EXPECT_TRUE(launch.needFileName);
    EXPECT_EQ(launch.params.repairDir, m_runtime.Sub("game folder"));
    ASSERT_GT(launch.pid, 0);

    ASSERT_TRUE(Ask("stat", "ConnectNum"));
    EXPECT_EQ(StatusKeyMap.size(), 11u);
    EXPECT_EQ(StatusKeyMap["P2PState"], "0");
    EXPECT_EQ(StatusKeyMap["Percentage"], "0.000000");
    ASSERT_TRUE(Ask("get tb", "TotalByte"));
    ASSERT_TRUE(Ask("get qf 0", "FileName"));
    EXPECT_EQ(StatusKeyMap["FileName"], ":");

    const auto* channel = dynamic_cast<NetworkInteractive*>(launch.channel.get());
    ASSERT_NE(channel, nullptr);
    const std::vector<std::string> expected = {"-Dir",
                                               m_runtime.Sub("game folder"),
                                               "-HttpUrl",
                                               "http://127.0.0.1/zornfix",
                                               "-Torrent",
                                               "zornfix.data",
                                               "-Mode",
                                               "repair",
                                               "-HttpThread",
                                               "4",
                                               "-P2PUploadThread",
                                               "6",
                                               "-P2PUploadListSize",
                                               "12",
                                               "-DownloadLimit",
                                               "10000",
                                               "-UploadLimit",
                                               "10000",
                                               "-DeleteDownloadInfo",
                                               "-InteractivePort",
                                               std::to_string(channel->Port())};
    EXPECT_EQ(Lines(ReadFile(log.Sub("argv"))), expected);
    EXPECT_EQ(Lines(ReadFile(log.Sub("fds"))),
              (std::vector<std::string>{"0 /dev/null", "1 /dev/null", "2 /dev/null"}));
    EXPECT_TRUE(m_boxes.Shown().empty());
}

TEST_F(EngineTest, LaunchWithoutSeedAddressPassesOnlyThePort) {
    TempDir log;
    ScopedEnv logEnv("STAND_IN_LOG", log.path());
    EngineLaunchParams params = Params("/g");
    params.seedUrl = "no-slash";
    ASSERT_TRUE(LaunchEngine(Extracted(), params));
    ASSERT_TRUE(Ask("stat", "P2PState"));
    const auto* channel = dynamic_cast<NetworkInteractive*>(CurrentLaunch().channel.get());
    ASSERT_NE(channel, nullptr);
    EXPECT_EQ(Lines(ReadFile(log.Sub("argv"))),
              (std::vector<std::string>{"-InteractivePort", std::to_string(channel->Port())}));
}

// The scripted engine reports on its own what the tool's watches react to,
// and goes away by itself after reporting QUIT.
TEST_F(EngineTest, ScriptedStandInReportsItsStepsAndQuits) {
    TempDir log;
    ScopedEnv logEnv("STAND_IN_LOG", log.path());
    ScopedEnv script("STAND_IN_SCRIPT",
                     "wait 300; ramp verify 1 200; state 14; percent 99.5; file data/a.pak;"
                     " error WriteFile\n wait 300; state 17; exit 0");
    ASSERT_TRUE(LaunchEngine(Extracted(), Params("/g")));
    const pid_t pid = CurrentLaunch().pid;
    ASSERT_TRUE(Ask("stat", "UserId"));
    ASSERT_TRUE(WaitUntil([] {
        DrainReplies(CurrentLaunch().channel.get());
        return StatusKeyMap["P2PState"] == "17";
    }));
    EXPECT_EQ(StatusKeyMap["VerifyPercentage"], "1.000000");
    EXPECT_EQ(StatusKeyMap["Error"], "WriteFile");
    ASSERT_TRUE(WaitUntil([pid] { return ProcessState(pid) == 0; }));
    EXPECT_EQ(Lines(ReadFile(log.Sub("commands"))).front(), "stat");
}

// An engine that does not go when told is ended; its end is seen by the
// child watch, and there is nothing left to end afterwards.
TEST_F(EngineTest, KillEngineEndsTheLastEngineOnce) {
    ASSERT_TRUE(LaunchEngine(Extracted(), Params("/g")));
    ASSERT_TRUE(Ask("stat", "P2PState"));
    const pid_t pid = CurrentLaunch().pid;
    EXPECT_FALSE(EngineGone());
    EXPECT_TRUE(KillEngine());
    EXPECT_TRUE(WaitUntil([pid] { return ProcessState(pid) == 0; }));
    EXPECT_TRUE(WaitUntil([] { return EngineGone(); }));
    EXPECT_FALSE(KillEngine());
}

struct SpawnFailureCase {
    const char* name;
    bool makeFile;  // a file without execute permission; else no file at all
    const char* repairDir;
    int error;
};

void PrintTo(const SpawnFailureCase& c, std::ostream* os) {
    *os << c.name;
}

class LaunchFailureTest : public EngineTest,
                          public testing::WithParamInterface<SpawnFailureCase> {};

TEST_P(LaunchFailureTest, ShowsTheErrorBoxWithErrno) {
    const std::string exe = m_runtime.Sub("engine");
    if (GetParam().makeFile)
        testing_support::WriteFile(exe, "#!/bin/sh\n");
    EXPECT_FALSE(LaunchEngine(exe, Params(GetParam().repairDir)));
    EXPECT_EQ(CurrentLaunch().pid, -1);
    const auto shown = m_boxes.Shown();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].caption, "错误");
    EXPECT_EQ(shown[0].icon, platform::MbIcon::Error);
    EXPECT_EQ(shown[0].owner, nullptr);
    EXPECT_EQ(shown[0].text, "启动下载器内核进程失败, 错误码: " + std::to_string(GetParam().error));
}

INSTANTIATE_TEST_SUITE_P(Spawn, LaunchFailureTest,
                         testing::Values(SpawnFailureCase{"Missing", false, "/g", ENOENT},
                                         SpawnFailureCase{"NotExecutable", true, "/g", EACCES},
                                         SpawnFailureCase{"QuoteInTheFolder", false, "/g/\"x\"",
                                                          EINVAL}),
                         [](const auto& info) { return std::string(info.param.name); });

// While an engine started from the file runs, the file cannot be replaced;
// once it has gone it can. Finished engines are reaped, never left as
// zombies, over several restarts.
TEST_F(EngineTest, RestartsWaitForTheOldEngineAndLeaveNoZombies) {
    std::vector<pid_t> engines;
    for (int cycle = 0; cycle < 3; ++cycle) {
        std::string path;
        ASSERT_TRUE(WaitUntil([&] { return ExtractEngine(path); })) << "cycle " << cycle;
        ASSERT_TRUE(LaunchEngine(path, Params("/g")));
        engines.push_back(CurrentLaunch().pid);
        ASSERT_TRUE(Ask("stat", "P2PState"));

        std::string again;
        EXPECT_FALSE(ExtractEngine(again));
        EXPECT_EQ(errno, ETXTBSY);
        ASSERT_TRUE(SendCommand(CurrentLaunch().channel.get(), "quit"));
    }
    for (const pid_t pid : engines) {
        EXPECT_TRUE(WaitUntil([pid] { return ProcessState(pid) == 0; }))
            << pid << " left in state " << ProcessState(pid);
    }
}

}  // namespace
