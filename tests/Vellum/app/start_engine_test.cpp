// The window with its real engine start: the stand-in engine written out,
// launched and watched through real ticks on GLib's loop.
#include <glib.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "Vellum/app/vellum_dlg.h"
#include "Vellum/engine/launch.h"
#include "Vellum/res/strings.h"
#include "common/channel/status_lines.h"
#include "platform/message_box.h"
#include "tests/Vellum/app/recording_vellum_view.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace vellum;
using testing_support::RecordingVellumView;
using testing_support::TempDir;

// The state letter of /proc/<pid>/stat; 0 once the process is gone and
// reaped.
char ProcessState(pid_t pid) {
    const std::string stat = testing_support::ReadFile("/proc/" + std::to_string(pid) + "/stat");
    const std::size_t close = stat.rfind(')');
    return close == std::string::npos || close + 2 >= stat.size() ? 0 : stat[close + 2];
}

class ScopedEnv {
  public:
    ScopedEnv(const char* name, const std::string& value) : m_name(name) {
        if (const char* old = std::getenv(name))
            m_old = old;
        ::setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv() {
        if (m_old)
            ::setenv(m_name, m_old->c_str(), 1);
        else
            ::unsetenv(m_name);
    }

  private:
    const char* m_name;
    std::optional<std::string> m_old;
};

class StartEngineTest : public testing::Test {
  protected:
    void SetUp() override {
        ::chmod(m_runtime.path().c_str(), 0700);
        m_previousBoxes = platform::SetMessageBoxes(&m_boxes);
        SetStringTable(nullptr);
        CurrentLaunch() = LaunchState{};
        ResetRateRings();
    }
    void TearDown() override {
        LaunchState& launch = CurrentLaunch();
        SendCommand(launch.channel.get(), "quit");
        KillEngine();
        if (launch.pid > 0) {
            const pid_t pid = launch.pid;
            RunUntil([pid] { return ProcessState(pid) == 0; });
        }
        m_dlg.reset();
        CurrentLaunch() = LaunchState{};
        platform::SetMessageBoxes(m_previousBoxes);
        SetStringTable(nullptr);
    }

    // The window on repairDir with the real engine start, its timers and
    // messages routed as DoModal routes them.
    CVellumDlg& Window(const std::string& repairDir) {
        CVellumDlg::Hooks hooks;
        hooks.startGame = [](const std::string&, const std::string&) {};
        hooks.exitProcess = [this](int code) { m_exits.push_back(code); };
        m_dlg = std::make_unique<CVellumDlg>(repairDir, m_view, m_loop, hooks);
        m_loop.SetHandlers([this](Message& m) { m_dlg->OnMessage(m); },
                           [this](unsigned id) {
                               if (id == kTickTimer)
                                   m_dlg->OnTick();
                               else if (id == kRestartTimer)
                                   m_dlg->OnRestartTimer();
                           });
        m_view.SetAction([this] { m_dlg->OnActionButton(); });
        return *m_dlg;
    }

    // Runs the loop until pred holds or twenty seconds are up.
    static bool RunUntil(const std::function<bool()>& pred) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!pred()) {
            if (std::chrono::steady_clock::now() >= deadline)
                return false;
            g_main_context_iteration(nullptr, FALSE);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return true;
    }

    TempDir m_runtime;
    TempDir m_game;
    ScopedEnv m_xdg{"XDG_RUNTIME_DIR", m_runtime.path()};
    ScopedEnv m_seed{"VELLUM_SEED_URL", "http://127.0.0.1:9/repair/zornfix.data"};
    ScopedEnv m_lifetime{"STAND_IN_LIFETIME_MS", "30000"};
    platform::RecordingMessageBoxes m_boxes;
    platform::MessageBoxes* m_previousBoxes = nullptr;
    MessageLoop m_loop;
    RecordingVellumView m_view;
    std::unique_ptr<CVellumDlg> m_dlg;
    std::vector<int> m_exits;
};

// Without a seed address nothing starts and the window takes the cancel
// path; a launch that fails keeps the timer, and the window says the engine
// did not start (and why, for a folder the argument line cannot carry).
TEST_F(StartEngineTest, FailsOnlyWithoutTheProgramOrTheSeedAddress) {
    const StringTable noSeed = {{IDS_TITLE, "t"}};
    struct Case {
        const char* name;
        const StringTable* table;
        const char* folderName;
        bool started;
        const char* launchBox;
        const char* hint;  // after a tick
    } const cases[] = {
        {"seed address missing", &noSeed, "game", false, nullptr, nullptr},
        {"quote in the folder name", nullptr, "a\"b", true, "启动下载器内核进程失败, 错误码: 22",
         "修复目录的名称中含有双引号（\"），无法修复，请改名后重试。"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetStringTable(c.table);
        m_boxes.Clear();
        m_view = RecordingVellumView();
        const std::string folder = m_game.Sub(c.folderName);
        ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
        CVellumDlg& dlg = Window(folder);

        EXPECT_EQ(StartEngine(dlg, 4), c.started);
        EXPECT_EQ(m_view.range, (std::pair<int, int>{0, 10000}));
        EXPECT_EQ(dlg.TickTimerRunning(), c.started);
        EXPECT_EQ(CurrentLaunch().pid, -1);
        const auto shown = m_boxes.Shown();
        ASSERT_EQ(shown.size(), c.launchBox ? 1u : 0u);
        if (!c.launchBox)
            continue;
        EXPECT_EQ(shown[0].text, c.launchBox);
        dlg.OnTick();
        EXPECT_EQ(m_view.Text(IDC_STATUS), "启动下载器内核进程失败");
        EXPECT_EQ(m_view.Text(IDC_HINT), c.hint);
        dlg.StopTickTimer();
    }
}

// An engine that is killed, or ends by itself, is noticed on the next tick
// and a new one started; the new one is watched as the first was.
TEST_F(StartEngineTest, AnEngineThatGoesIsStartedAgain) {
    struct Case {
        const char* name;
        const char* script;
        bool kill;
    } const cases[] = {
        {"killed", "state 14; percent 37", true},
        {"exits by itself", "state 14; percent 37; wait 2500; exit 3", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScopedEnv script("STAND_IN_SCRIPT", c.script);
        m_view = RecordingVellumView();
        CVellumDlg& dlg = Window(m_game.path());
        dlg.OnInitDialog();
        const auto downloading = [this] {
            return m_view.Text(IDC_RATE).find("(37.00%)") != std::string::npos;
        };
        ASSERT_TRUE(RunUntil(downloading));
        const pid_t first = CurrentLaunch().pid;
        ASSERT_GT(first, 0);
        if (c.kill) {
            ASSERT_EQ(::kill(first, SIGKILL), 0);
        }
        ASSERT_TRUE(
            RunUntil([first] { return CurrentLaunch().pid > 0 && CurrentLaunch().pid != first; }));
        EXPECT_TRUE(RunUntil([first] { return ProcessState(first) == 0; }));
        m_view.texts.clear();
        EXPECT_TRUE(RunUntil(downloading));
        EXPECT_TRUE(m_boxes.Shown().empty());
        TearDown();
        SetUp();
    }
}

}  // namespace
