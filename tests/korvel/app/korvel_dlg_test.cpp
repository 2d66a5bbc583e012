#include "korvel/app/korvel_dlg.h"

#include <sys/stat.h>

#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "korvel/app/globals.h"
#include "korvel/update/md5.h"
#include "tests/support/child_process.h"
#include "tests/support/recording_view.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace testing_support;
using namespace std::chrono_literals;

struct Posted {
    unsigned id;
    std::int64_t wParam;
    bool operator==(const Posted&) const = default;
};

using PostedList = std::vector<Posted>;
PostedList Finish(int reason) {
    return {{WM_FINISH, reason}};
}

class DlgTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ::setenv("TMPDIR", tmp_.path().c_str(), 1);
        GameDir = game_.path() + "/";
        DownloadDir = game_.path() + "/download";
        ::mkdir(DownloadDir.c_str(), 0755);
        QuitRequested = false;
        StopTorrent = false;
        UpdateList.clear();
        ReportQueries.clear();
        ReportUrl = "http://127.0.0.1:1/patch_download";
        ClosingSeconds = 100000;
        ClosingTorrentMode = 0;
        CkorvelDlg::Options options;
        options.launcherArguments = {"1", game_.path()};
        options.exitProcess = [exits = exits_](int code) { exits->push_back(code); };
        options.worker = [](CkorvelDlg*) {};
        dlg_ = std::make_unique<CkorvelDlg>(view_, loop_, std::move(options));
    }
    void TearDown() override {
        dlg_.reset();
        ::unsetenv("TMPDIR");
    }

    // Messages the handlers posted, taken off the queue without handling them.
    std::vector<Posted> TakePosted() {
        std::vector<Posted> posted;
        loop_.SetHandlers([&](Message& m) { posted.push_back({m.id, m.wParam}); }, nullptr);
        loop_.DrainPending();
        loop_.SetHandlers([this](Message& m) { dlg_->OnMessage(m); },
                          [this](unsigned id) { dlg_->OnTimer(id); });
        return posted;
    }
    static Message Text(unsigned id, std::int64_t wParam, const std::string& text) {
        Message m;
        m.id = id;
        m.wParam = wParam;
        m.text = std::make_unique<std::string>(text);
        return m;
    }
    void WriteStub(const std::string& path, const std::string& note) {
        WriteFile(path, "#!/bin/sh\necho \"$PWD|$*\" >> " + note + "\n");
        ::chmod(path.c_str(), 0755);
    }
    static std::string WaitForFile(const std::string& path) {
        for (int i = 0; i < 200 && !std::filesystem::exists(path); ++i)
            std::this_thread::sleep_for(10ms);
        std::this_thread::sleep_for(20ms);
        return ReadFile(path);
    }

    TempDir tmp_, game_;
    RecordingView view_;
    MessageLoop loop_;
    std::shared_ptr<std::vector<int>> exits_ = std::make_shared<std::vector<int>>();
    std::unique_ptr<CkorvelDlg> dlg_;
};

TEST_F(DlgTest, StatusTextGoesToItsLine) {
    struct Case {
        std::int64_t wParam;
        std::string status, file;
    } cases[] = {{0, "s", ""}, {1, "", "s"}, {7, "", ""}};
    for (const auto& c : cases) {
        dlg_->m_textStatus.clear();
        dlg_->m_textFile.clear();
        Message m = Text(WM_STATUS_TEXT, c.wParam, "s");
        dlg_->OnStatusText(m);
        EXPECT_EQ(dlg_->m_textStatus, c.status) << c.wParam;
        EXPECT_EQ(dlg_->m_textFile, c.file) << c.wParam;
    }
    Message empty;
    empty.id = WM_STATUS_TEXT;
    dlg_->OnStatusText(empty);                      // no text: nothing
    EXPECT_EQ(view_.calls.back(), "repaint 1002");  // the background went back before the change
}

TEST_F(DlgTest, ClosingTimeTakesOnlyNonNegativeSeconds) {
    dlg_->OnClosingTime(-5);
    EXPECT_EQ(dlg_->m_closingTotal, 30);
    EXPECT_EQ(dlg_->m_closingLeft, 30);
    dlg_->OnClosingTime(0);
    EXPECT_EQ(dlg_->m_closingTotal, 0);
    dlg_->StartClosingPhase();  // nothing to count: the run ends at once
    EXPECT_EQ(TakePosted(), Finish(FINISH_NORMAL));
    EXPECT_EQ(dlg_->m_textProgress, "安装中");
    EXPECT_FALSE(loop_.HasTimer(TIMER_CLOSING));
}

TEST_F(DlgTest, DownloadProgressAndTotals) {
    Message total;
    total.id = WM_TOTAL_SIZE;
    total.size = std::make_unique<std::pair<std::uint32_t, std::uint32_t>>(
        static_cast<std::uint32_t>(5000000000ULL), static_cast<std::uint32_t>(5000000000ULL >> 32));
    dlg_->OnTotalSize(total);
    EXPECT_EQ(dlg_->m_totalBytes, 5000000000LL);
    EXPECT_EQ(dlg_->m_textTotal, "705032704 byte");  // the low 32 bits only

    struct Case {
        std::int64_t total;
        double* percent;
        int bar;
        std::string done;
    };
    double p375 = 37.5, p0 = 0;
    Case cases[] = {
        {1000000, &p375, 37, "375000"}, {1000000, &p0, 0, ""}, {1000000, nullptr, 0, ""}};
    for (const auto& c : cases) {
        dlg_->m_totalBytes = c.total;
        Message m = Text(WM_DOWNLOAD_PROGRESS, 0, "进度");
        if (c.percent)
            m.percent = std::make_unique<double>(*c.percent);
        dlg_->OnDownloadProgress(m);
        EXPECT_EQ(view_.LastBar(IDC_PROGRESS_DOWNLOAD), c.bar);
        EXPECT_EQ(dlg_->m_textDone, c.done);
        EXPECT_EQ(view_.texts[IDC_TEXT_STATUS], "进度");
    }
}

TEST_F(DlgTest, TorrentPostsReachTheHandlersWithTheirPayloads) {
    TorrentWindow& window = *dlg_;
    window.PostTotalSize(5000000000LL);
    window.PostDownloadProgress(37.5, "进度");
    loop_.DrainPending();
    EXPECT_EQ(dlg_->m_totalBytes, 5000000000LL);
    EXPECT_EQ(view_.LastBar(IDC_PROGRESS_DOWNLOAD), 37);
    EXPECT_EQ(dlg_->m_textDone, "1875000000");
    EXPECT_EQ(dlg_->m_textStatus, "进度");
    window.PostDownloadStatus("状态");
    loop_.DrainPending();
    EXPECT_EQ(dlg_->m_textStatus, "状态");

    window.PostDownloadsDone();
    window.PostExpansionDone();
    window.PostFinish(TorrentWindow::kFinishAfterError);
    EXPECT_EQ(
        TakePosted(),
        (PostedList{{WM_DOWNLOADS_DONE, 0}, {WM_EXPANSION_DONE, 0}, {WM_FINISH, FINISH_CANCEL}}));
    window.SetBtWatchTimer();
    EXPECT_TRUE(loop_.HasTimer(TIMER_BT_WATCH));
    window.KillBtWatchTimer();
    EXPECT_FALSE(loop_.HasTimer(TIMER_BT_WATCH));
}

TEST_F(DlgTest, ProgressIsIgnoredWhileApplying) {
    dlg_->m_applying = true;
    Message progress = Text(WM_DOWNLOAD_PROGRESS, 0, "late");
    progress.percent = std::make_unique<double>(50);
    dlg_->OnDownloadProgress(progress);
    Message status = Text(WM_DOWNLOAD_STATUS, 0, "late");
    dlg_->OnDownloadStatus(status);
    EXPECT_EQ(dlg_->m_textStatus, "");
    EXPECT_EQ(view_.LastBar(IDC_PROGRESS_DOWNLOAD), -1);
}

TEST_F(DlgTest, ErrorWordEndsTheClosingTorrent) {
    struct Case {
        std::string text;
        bool ends;
    } cases[] = {{"tracker error: timeout", true}, {"Error in tracker", false}, {"ok", false}};
    // The closing-phase torrent runs after the patches were applied.
    dlg_->m_applying = true;
    for (const auto& c : cases) {
        dlg_->m_closingTorrent = true;
        dlg_->m_closingLeft = 20;
        dlg_->m_btState = 1;
        Message m = Text(WM_DOWNLOAD_STATUS, 0, c.text);
        dlg_->OnDownloadStatus(m);
        EXPECT_EQ(dlg_->m_closingLeft, c.ends ? 0 : 20) << c.text;
        EXPECT_EQ(dlg_->m_btState, c.ends ? 2 : 1) << c.text;
    }
}

TEST_F(DlgTest, CountdownFillsTheBarThenFinishes) {
    dlg_->m_btState = 1;
    loop_.SetTimer(TIMER_CLOSING, 1000);
    for (int tick = 1; tick <= 30; ++tick) {
        dlg_->OnTimer(TIMER_CLOSING);
        const int expected = tick < 30 ? tick * 100 / 30 : 100;
        ASSERT_EQ(view_.LastBar(IDC_PROGRESS_UPDATE), expected) << tick;
        if (tick <= 3) {
            EXPECT_EQ(expected, std::vector<int>({3, 6, 10})[tick - 1]);
        }
    }
    EXPECT_EQ(TakePosted(), Finish(FINISH_NORMAL));
    EXPECT_FALSE(loop_.HasTimer(TIMER_CLOSING));
}

TEST_F(DlgTest, TicksOfAStateTheTimerCannotBeInAreDropped) {
    struct Case {
        const char* name;
        unsigned timer;
        std::int32_t btState, total, left;
        PostedList posted;
        std::int32_t leftAfter;
    } cases[] = {
        // A watch tick queued before the first transfer set the state.
        {"watch tick after a transfer", TIMER_BT_WATCH, 1, 1, 1, {}, 1},
        // The watch started again by a late call after the question.
        {"watch tick after the question", TIMER_BT_WATCH, 2, 0, 100, {}, 100},
        {"countdown with no seconds", TIMER_CLOSING, 1, 0, 5, Finish(FINISH_NORMAL), 4},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        dlg_->m_btState = c.btState;
        dlg_->m_closingTotal = c.total;
        dlg_->m_closingLeft = c.left;
        loop_.SetTimer(c.timer, 1000);
        dlg_->OnTimer(c.timer);
        EXPECT_EQ(TakePosted(), c.posted);
        EXPECT_EQ(dlg_->m_closingLeft, c.leftAfter);
        EXPECT_FALSE(loop_.HasTimer(c.timer));
        EXPECT_TRUE(view_.boxes.empty());
    }
}

TEST_F(DlgTest, CancelConfirmation) {
    struct Case {
        int answer;
        bool allowed;
        bool stops;
    } cases[] = {{platform::IDYES, true, true},
                 {platform::IDNO, true, false},
                 {platform::IDYES, false, false}};  // the patches are being applied
    for (const auto& c : cases) {
        QuitRequested = false;
        dlg_->m_cancelAllowed = c.allowed;
        view_.answers.push_back(c.answer);
        dlg_->OnOK();
        EXPECT_EQ(QuitRequested, c.stops);
        EXPECT_EQ(TakePosted(), c.stops ? Finish(FINISH_CANCEL) : PostedList{});
    }
    const auto& box = view_.boxes.back();
    EXPECT_EQ(box.text, "是否真的希望取消？\n");
    EXPECT_EQ(box.caption, "取消确认");
    EXPECT_EQ(box.buttons, platform::MbButtons::YesNo);
    EXPECT_TRUE(box.topMost);
    EXPECT_EQ(box.owner, dlg_.get());
}

TEST_F(DlgTest, PageCancelEndsTheDialogAtOnce) {
    dlg_->m_cancelAllowed = true;
    view_.answers.push_back(platform::IDYES);
    dlg_->OnButtonCancel();
    EXPECT_TRUE(loop_.Quitting());
    EXPECT_EQ(loop_.Run(), platform::IDCANCEL);
    EXPECT_TRUE(exits_->empty());
}

TEST_F(DlgTest, NoResponseWatchAsksOnceAfterTheWait) {
    dlg_->m_btWaitLeft = 3;
    loop_.SetTimer(TIMER_BT_WATCH, 1000);
    view_.answers.push_back(platform::IDYES);
    dlg_->OnTimer(TIMER_BT_WATCH);
    dlg_->OnTimer(TIMER_BT_WATCH);
    EXPECT_TRUE(view_.boxes.empty());
    dlg_->OnTimer(TIMER_BT_WATCH);
    ASSERT_EQ(view_.boxes.size(), 1u);
    EXPECT_EQ(view_.boxes[0].caption, "更新方式切换");
    EXPECT_EQ(view_.boxes[0].defaultButton, 1);  // "No" is the default
    EXPECT_EQ(dlg_->m_btState, 2);
    EXPECT_EQ(dlg_->m_btWaitLeft, 0);
    EXPECT_EQ(dlg_->m_closingLeft, 100);
    EXPECT_FALSE(loop_.HasTimer(TIMER_BT_WATCH));
    EXPECT_EQ(TakePosted(), Finish(FINISH_SWITCH_HTTP));
}

TEST_F(DlgTest, DamagedDownloadIsDeletedBeforeAnythingIsApplied) {
    const std::string names[] = {"a.dat", "b.dat", "c.dat"};
    for (const auto& name : names) {
        WriteFile(DownloadDir + "/" + name, "content of " + name);
        PatchRecord r;
        r.url = "http://h/p/" + name;
        const std::string content = "content of " + name;
        r.md5 = Md5Hex(content.data(), content.size());
        UpdateList.push_back(r);
    }
    UpdateList[1].md5 = std::string(32, 'f');
    dlg_->OnDownloadsDone();
    EXPECT_EQ(view_.BoxTexts(),
              std::vector<std::string>{
                  "patch 文件下载发生错误， 程序将自动删除b.dat, 请重新下载\n b.dat"});
    EXPECT_EQ(view_.boxes[0].caption, "错误");
    EXPECT_TRUE(UpdateList[1].damaged);
    EXPECT_FALSE(std::filesystem::exists(DownloadDir + "/b.dat"));
    EXPECT_TRUE(std::filesystem::exists(DownloadDir + "/a.dat"));
    EXPECT_EQ(TakePosted(), Finish(FINISH_NORMAL));
    EXPECT_FALSE(dlg_->m_cancelAllowed);
    EXPECT_TRUE(dlg_->m_applying);

    // Once the closing phase has begun, a repeated message changes nothing.
    view_.boxes.clear();
    dlg_->m_closing = true;
    dlg_->OnDownloadsDone();
    EXPECT_TRUE(view_.boxes.empty());
}

TEST_F(DlgTest, CloseHandling) {
    const std::string note = tmp_.Sub("started.txt");
    WriteStub(tmp_.Sub("ZORNUpdate_ex.exe"), note);
    WriteStub(game_.Sub("zorn.exe"), note);
    struct Case {
        const char* name;
        bool worker, started, done;
        int reason;
        int answer;  // to the switch question, 0 = none expected
        std::vector<int> exits;
        std::string started_note;  // what the stubs noted
        bool downloadFolder = true;
    } cases[] = {
        {"no worker: the window just closes", false, false, false, 0, 0, {}, ""},
        // The HTTP-mode updater runs in the game folder.
        {"switch asked for",
         true,
         true,
         false,
         2,
         0,
         {0},
         game_.path() + "|1 " + game_.path() + "\n"},
        {"error, user switches",
         true,
         true,
         false,
         0,
         platform::IDYES,
         {0},
         game_.path() + "|1 " + game_.path() + "\n"},
        {"error, user stays", true, true, false, 0, platform::IDNO, {}, ""},
        // The list could not be fetched: the worker made no download folder.
        {"switch before any download",
         true,
         true,
         false,
         0,
         platform::IDYES,
         {0},
         game_.path() + "|1 " + game_.path() + "\n",
         false},
        {"cancel: the game still starts", true, true, false, 1, 0, {0}, game_.path() + "|\n"},
        {"downloads over: nothing asked", true, true, true, 0, 0, {0}, ""},
    };
    for (const auto& c : cases) {
        std::filesystem::remove(note);
        std::filesystem::remove_all(DownloadDir);
        if (c.downloadFolder)
            std::filesystem::create_directory(DownloadDir);
        exits_->clear();
        view_.boxes.clear();
        dlg_ = std::make_unique<CkorvelDlg>(view_, loop_, [&] {
            CkorvelDlg::Options o;
            o.launcherArguments = {"1", game_.path()};
            o.exitProcess = [exits = exits_](int code) { exits->push_back(code); };
            return o;
        }());
        if (c.worker)
            dlg_->m_hWorker = std::make_unique<WorkerThread>([] {});
        dlg_->m_workerStarted = c.started;
        dlg_->m_downloadsDone = c.done;
        if (c.answer)
            view_.answers.push_back(c.answer);
        dlg_->OnFinish(c.reason);
        EXPECT_TRUE(StopTorrent && QuitRequested) << c.name;
        EXPECT_EQ(*exits_, c.exits) << c.name;
        EXPECT_EQ(view_.boxes.size(), c.answer ? 1u : 0u) << c.name;
        if (c.exits.empty()) {
            EXPECT_TRUE(loop_.Quitting()) << c.name;
        }
        if (!c.started_note.empty()) {
            EXPECT_EQ(WaitForFile(note), c.started_note) << c.name;
        } else {
            EXPECT_FALSE(std::filesystem::exists(note)) << c.name;
        }
    }
}

TEST_F(DlgTest, SuccessfulUpdateStartsTheGameAndArmsTheWatchdog) {
    const std::string note = tmp_.Sub("started.txt");
    WriteStub(game_.Sub("zorn.exe"), note);
    // A patch that changes nothing: the zero tag alone, stored with bzip2.
    RunResult made =
        RunProgram({ZRPATCH_BINARY, "make", "--from", game_.path(), "--to", game_.path(),
                    "--version", "1.0.1", "--codec", "bzip2", "-o", DownloadDir + "/p.dat"});
    ASSERT_EQ(made.exitCode, 0) << made.err;
    const std::string body = ReadFile(DownloadDir + "/p.dat");
    PatchRecord r;
    r.url = "http://h/p/p.dat";
    r.version = 0x01000001;
    r.md5 = Md5Hex(body.data(), body.size());
    UpdateList = {r};
    ClosingSeconds = 0;

    dlg_->OnDownloadsDone();
    EXPECT_EQ(view_.BoxTexts(), std::vector<std::string>{"更新成功!"});
    EXPECT_EQ(view_.boxes[0].caption, "恭喜");
    EXPECT_EQ(view_.boxes[0].icon, platform::MbIcon::Information);
    EXPECT_NE(std::find(view_.calls.begin(), view_.calls.end(), "hide"), view_.calls.end());
    EXPECT_EQ(ClosingSeconds, 5);  // 0 means 5
    EXPECT_TRUE(dlg_->m_downloadsDone);
    EXPECT_TRUE(dlg_->m_closing);
    EXPECT_FALSE(loop_.HasTimer(TIMER_CLOSING));  // one record: no countdown
    EXPECT_EQ(view_.LastBar(IDC_PROGRESS_UPDATE), 0);
    EXPECT_EQ(WaitForFile(note), game_.path() + "|\n");
    // After five seconds the watchdog ends the process with -3.
    for (int i = 0; i < 80 && exits_->empty(); ++i)
        std::this_thread::sleep_for(100ms);
    EXPECT_EQ(*exits_, std::vector<int>{-3});
}

}  // namespace
