#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "korvel/app/globals.h"
#include "korvel/app/korvel_app.h"
#include "korvel/app/korvel_dlg.h"
#include "korvel/res/strings.h"
#include "platform/message_box.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"

namespace {

using platform::MbIcon;
using testing_support::PtyChild;
using testing_support::RunProgram;
using testing_support::TempDir;

class StartUpTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ::setenv("XDG_RUNTIME_DIR", runtime_.path().c_str(), 1);
        platform::SetMessageBoxes(&boxes_);
    }
    void TearDown() override {
        platform::SetMessageBoxes(nullptr);
        ::unsetenv("XDG_RUNTIME_DIR");
    }
    std::map<std::string, std::string> Env() const {
        return {{"XDG_RUNTIME_DIR", runtime_.path()},
                {"KORVEL_UI", "console"},
                {"TMPDIR", runtime_.path()}};
    }
    TempDir runtime_;
    TempDir game_;
    platform::RecordingMessageBoxes boxes_;
};

TEST_F(StartUpTest, RefusalsShowTheirOwnMessages) {
    struct Case {
        std::string line;
        std::string caption, text;  // empty text: no box at all
        MbIcon icon;
    } cases[] = {
        {"", "错误", "请运行zorn.exe!", MbIcon::Error},
        {"/srv/game", "错误", "自动更新参数错误，请运行zorn.exe!", MbIcon::Error},
        {" /srv/game", "", "", MbIcon::None},
        {"xyz /srv/game", "", "", MbIcon::None},
    };
    for (const auto& c : cases) {
        boxes_.Clear();
        CkorvelApp app;
        EXPECT_FALSE(app.StartUp(c.line));
        const auto shown = boxes_.Shown();
        if (c.text.empty()) {
            EXPECT_TRUE(shown.empty()) << c.line;
        } else {
            ASSERT_EQ(shown.size(), 1u) << c.line;
            EXPECT_EQ(shown[0].caption, c.caption);
            EXPECT_EQ(shown[0].text, c.text);
            EXPECT_EQ(shown[0].icon, c.icon);
            EXPECT_EQ(shown[0].buttons, platform::MbButtons::Ok);
            EXPECT_EQ(shown[0].owner, nullptr);
        }
        EXPECT_EQ(app.ExitInstance(), 0);
    }
}

TEST_F(StartUpTest, SecondCopyInTheSameMomentIsRefused) {
    CkorvelApp first, second;
    EXPECT_TRUE(first.StartUp("1 " + game_.path()));
    EXPECT_TRUE(first.m_hSingleInstance.Held());
    boxes_.Clear();
    EXPECT_FALSE(second.StartUp("1 " + game_.path()));
    const auto shown = boxes_.Shown();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].caption, res::kAppName);
    EXPECT_EQ(shown[0].text, "更新程序已经在运行。");
    EXPECT_EQ(shown[0].icon, MbIcon::Warning);  // the framework's box adds it to OK boxes
    first.ExitInstance();
    EXPECT_FALSE(first.m_hSingleInstance.Held());
}

TEST_F(StartUpTest, PathsAndReportAddressAreSet) {
    game_.Write("update.ini", "[Setting]\r\nPATCHDOWNLOADINFO=http://127.0.0.1:9/stat\r\n");
    CkorvelApp app;
    EXPECT_TRUE(app.StartUp("1a " + game_.path()));
    EXPECT_EQ(app.m_launcherValue, 0x1au);
    EXPECT_FALSE(app.m_expansionMode);
    EXPECT_EQ(GameDir, game_.path() + "/");
    EXPECT_EQ(DownloadDir, game_.path() + "/download");
    EXPECT_EQ(ReportUrl, "http://127.0.0.1:9/stat");
    app.ExitInstance();

    TempDir bare;
    CkorvelApp expansion;
    EXPECT_TRUE(expansion.StartUp("0 " + bare.path()));
    EXPECT_TRUE(expansion.m_expansionMode);
    EXPECT_EQ(ReportUrl, res::kDefaultReportUrl);
    expansion.ExitInstance();
}

TEST_F(StartUpTest, ProgramRunsTheWindowOrRefusesAnEmptyCommandLine) {
    // No version in the settings: the worker says so, and the close handling
    // offers the HTTP-mode updater (absent here: nothing starts).
    auto run = RunProgram({KORVEL_BINARY, "1a", game_.path()}, Env());
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_NE(run.out.find("《ZorniaII》更新程序"), std::string::npos) << run.out;
    EXPECT_NE(run.err.find("检查当前版本号错误"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("BT下载方式发生错误,是否切换到HTTP下载模式？"), std::string::npos);

    auto empty = RunProgram({KORVEL_BINARY}, Env());
    EXPECT_EQ(empty.exitCode, 0);
    EXPECT_NE(empty.err.find("错误"), std::string::npos) << empty.err;
    EXPECT_NE(empty.err.find("请运行zorn.exe!"), std::string::npos) << empty.err;
    EXPECT_EQ(empty.out.find("更新程序"), std::string::npos);
}

TEST_F(StartUpTest, TwoProcessesOnlyOneRuns) {
    // The first copy stops at its error box, waiting for an answer on its
    // terminal, and holds the mark all that time.
    PtyChild first({KORVEL_BINARY}, Env());
    ASSERT_TRUE(first.WaitFor("请运行zorn.exe!")) << first.Output();

    auto second = RunProgram({KORVEL_BINARY, "1", game_.path()}, Env());
    EXPECT_EQ(second.exitCode, 0);
    EXPECT_NE(second.err.find("更新程序已经在运行。"), std::string::npos) << second.err;
    EXPECT_EQ(second.err.find("检查当前版本号错误"), std::string::npos);

    first.Send("\n");
    EXPECT_EQ(first.Wait(), 0);

    auto third = RunProgram({KORVEL_BINARY, "1", game_.path()}, Env());
    EXPECT_NE(third.err.find("检查当前版本号错误"), std::string::npos) << third.err;
    EXPECT_EQ(third.err.find("更新程序已经在运行。"), std::string::npos);
}

}  // namespace

namespace {

// After the dialog's cancel command (Escape) the dialog ends while the worker
// is still on its way; until the process ends it may still reach the window.
TEST(MainWindowEnd, WorkerOutlivingTheDialogFindsItsWindow) {
    ::setenv("KORVEL_UI", "console", 1);
    // Kept like the program's own application object, which is never
    // destroyed.
    static CkorvelApp* const app = new CkorvelApp;
    std::atomic<int> phase{0};  // 1: the dialog has ended, 2: the worker is through
    app->m_worker = [&phase](CkorvelDlg* window) {
        window->Loop().Call([window] { window->Loop().Quit(platform::IDCANCEL); });
        while (phase == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        for (int i = 0; i < 50; ++i) {
            window->PostStatusText("still downloading");
            window->Post(WM_DOWNLOAD_STATUS);
            window->SetDownloadBar(i);
        }
        window->ShowMessage("文件下载出错");
        phase = 2;
    };
    app->RunMainWindow();
    {
        // Where the window's objects would have been.
        volatile char scribble[1 << 16];
        for (char& c : const_cast<char(&)[1 << 16]>(scribble))
            c = '\xA5';
    }
    phase = 1;
    for (int i = 0; i < 1000 && phase != 2; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(phase, 2);
    ::unsetenv("KORVEL_UI");
}

}  // namespace
