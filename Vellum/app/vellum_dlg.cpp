#include "Vellum/app/vellum_dlg.h"

#include <time.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "Vellum/app/dump_files.h"
#include "Vellum/engine/launch.h"
#include "Vellum/engine/poll.h"
#include "Vellum/res/strings.h"
#include "platform/process.h"
#include "platform/sockets.h"

namespace vellum {

namespace {

constexpr std::uint64_t kStallRestartMs = 930000;     // 15.5 minutes
constexpr std::uint64_t kNearDoneRestartMs = 300000;  // 5 minutes
constexpr int kFirstHttpThreads = 4;

// Rates of the last ten downloading ticks; empty slots count as 0.
struct RateRing {
    std::array<float, 10> slots{};
    std::size_t next = 0;

    float Push(float rate) {
        slots[next] = rate;
        next = (next + 1) % slots.size();
        float average = 0;
        for (float slot : slots)
            average += slot / 10;
        return average;
    }
};

RateRing g_downSamples;
RateRing g_upSamples;
int g_stallThreads = kFirstHttpThreads;

// printf into a text of whatever length it takes, so a long name is never
// cut, least of all inside a character.
std::string Format(const char* format, auto... args) {
    const int size = std::snprintf(nullptr, 0, format, args...);
    if (size <= 0)
        return {};
    std::string text(static_cast<std::size_t>(size) + 1, '\0');
    std::snprintf(text.data(), text.size(), format, args...);
    text.resize(static_cast<std::size_t>(size));
    return text;
}

void ExitNow(int code) {
    std::fflush(nullptr);
    ::_exit(code);
}

}  // namespace

DlgClock SystemClock() {
    return {[] {
        timespec ts{};
        ::clock_gettime(CLOCK_MONOTONIC, &ts);
        // Never 0: 0 marks a watch that is not running.
        return static_cast<std::uint64_t>(ts.tv_sec) * 1000 +
               static_cast<std::uint64_t>(ts.tv_nsec) / 1000000 + 1;
    }};
}

void ResetRateRings() {
    g_downSamples = {};
    g_upSamples = {};
    g_stallThreads = kFirstHttpThreads;
}

const char* StateText(int state) {
    switch (state) {
        case BEGIN:
            return "程序初始化...";
        case INITING:
            return "初始化P2P网络...";
        case INIT_ERROR:
            return "P2P网络初始化错误";
        case GET_SEED_MD5:
            return "获取下载信息...";
        case GET_SEED_MD5_FAIL:
            return "下载信息获取失败";
        case CHECK_SEED_FILE:
            return "检查版本信息...";
        case DOWNLOAD_SEED_FILE:
            return "下载修复文件列表...";
        case ANALYSIS_SEED:
            return "分析文件列表";
        case ALL_FILE_CHECK_MD5:
            return "扫描本地文件信息...";
        case ANALYSIS_SEED_ERROR:
            return "分析文件列表失败";
        case DOWNLOAD_COMPLETED:
            return "下载修复完成！";
        case TO_QUIT:
            return "退出程序";
        default:
            return nullptr;
    }
}

CVellumDlg::CVellumDlg(std::string repairDir, VellumView& view, MessageLoop& loop, Hooks hooks)
    : m_repairDir(std::move(repairDir)), m_view(view), m_loop(loop), m_hooks(std::move(hooks)) {
    if (!m_hooks.clock.tickMs)
        m_hooks.clock = SystemClock();
    if (!m_hooks.endEngine)
        m_hooks.endEngine = KillEngine;
    if (!m_hooks.startEngine)
        m_hooks.startEngine = [](CVellumDlg& dlg, int threads) {
            return StartEngine(dlg, threads);
        };
    if (!m_hooks.startGame)
        m_hooks.startGame = [](const std::string& program, const std::string& folder) {
            platform::StartDetachedProcess(program, {}, folder);
        };
    if (!m_hooks.exitProcess)
        m_hooks.exitProcess = ExitNow;
}

int CVellumDlg::DoModal() {
    m_loop.SetHandlers([this](Message& message) { OnMessage(message); },
                       [this](unsigned id) {
                           if (id == kTickTimer)
                               OnTick();
                           else if (id == kRestartTimer)
                               OnRestartTimer();
                       });
    m_view.SetAction([this] { OnActionButton(); });
    std::string title = "Vespera游戏下载";
    LoadResourceString(title, IDS_TITLE);
    m_view.Create(title);
    OnInitDialog();
    const int result = m_ended ? 0 : m_loop.Run();
    m_loop.KillTimer(kTickTimer);
    m_loop.KillTimer(kRestartTimer);
    m_view.Destroy();
    m_loop.Close();
    return result;
}

void CVellumDlg::EndDialog(int result) {
    if (m_ended)
        return;
    m_ended = true;
    m_loop.Quit(result);
}

bool CVellumDlg::OnInitDialog() {
    // No socket library to start here; the layer only has to make sends to
    // a vanished engine fail instead of raising SIGPIPE.
    if (!platform::InitSocketLayer()) {
        EndDialog(platform::IDCANCEL);
        return true;
    }
    m_view.SetText(IDC_REPAIR_DIR, m_repairDir);
    if (!StartEngineNow(kFirstHttpThreads)) {
        EndDialog(platform::IDCANCEL);
        OnActionButton();
    }
    return true;
}

void CVellumDlg::StartTickTimer() {
    m_loop.SetTimer(kTickTimer, kTickPeriodMs);
}

void CVellumDlg::StopTickTimer() {
    m_loop.KillTimer(kTickTimer);
}

bool CVellumDlg::TickTimerRunning() const {
    return m_loop.HasTimer(kTickTimer);
}

bool CVellumDlg::StartEngineNow(int httpThreads) {
    return m_hooks.startEngine(*this, httpThreads);
}

void CVellumDlg::OnActionButton() {
    if (m_status.state == DOWNLOAD_COMPLETED && !m_shownFileName.empty()) {
        m_hooks.startGame(m_repairDir + "/zorn.exe", m_repairDir);
    } else {
        platform::MessageBoxSpec box;
        box.owner = this;
        box.caption = "取消确认";
        box.text =
            "    取消后如果需要继续下载，请重新运行本工具，选择同一下载目录，\n下载会自动续传。\n\n"
            "是否真的希望取消？\n";
        box.buttons = platform::MbButtons::YesNo;
        if (m_view.MessageBox(box) != platform::IDYES)
            return;
    }
    StopEngine(*this);
    CleanDumpFiles(m_repairDir.c_str());
    m_hooks.exitProcess(0);
}

void CVellumDlg::OnMessage(Message& message) {
    if (message.id == kMsgDiskWarning)
        ShowDiskWarning();
}

void CVellumDlg::OnTick() {
    PollEngine(m_status);
    m_shownFileName = m_status.fileName;
    if (ShowLaunchFailed())
        return;

    if (m_status.state == DOWNLOADING)
        ShowDownloading();
    else
        ShowOtherState();

    // An engine that has gone without a word (killed, crashed) is treated
    // as one that quit by itself, unless a watch above is restarting it.
    if (!m_restart.active && (m_status.state == QUIT || EngineGone()))
        RestartAfterQuit();

    // The size is shown in thousands of bytes.
    m_view.SetText(IDC_FILE_INFO,
                   Format("%s 文件大小：%llu KB", m_shownFileName.c_str(),
                          static_cast<unsigned long long>(m_status.totalBytes / 1000)));

    if (m_status.state == DOWNLOAD_COMPLETED) {
        if (!m_shownFileName.empty())
            m_view.SetText(IDC_ACTION, "完成");
        m_status.percent = 100;
        m_view.SetBar(10000);
    }
}

void CVellumDlg::ShowDownloading() {
    m_downRate = g_downSamples.Push(m_status.downloadRate);
    m_upRate = g_upSamples.Push(m_status.uploadRate);
    m_view.SetText(IDC_HINT, "");

    std::string timeLeft = "不确定";
    if (static_cast<double>(m_downRate) > 0.1) {
        const auto seconds = static_cast<std::uint64_t>(
            static_cast<double>(m_status.incompleteBytes) / (m_downRate * 1000.0));
        const std::uint64_t hours = seconds / 3600;
        if (hours <= 99)
            timeLeft = Format("%02d:%02d:%02d", static_cast<int>(hours),
                              static_cast<int>(seconds / 60 % 60), static_cast<int>(seconds % 60));
    }
    m_rateText = Format("下：%.2f KB/S 上：%.2f KB/S", m_downRate, m_upRate);
    m_timeText = Format("剩余时间：%s(%.2f%%)", timeLeft.c_str(), m_status.percent);
    m_view.SetText(IDC_STATUS, m_rateText);
    m_view.SetText(IDC_RATE, m_timeText);
    m_view.SetBar(static_cast<int>(m_status.percent * 100));

    WatchProgress();

    if (m_status.errorKind == ENGINE_ERROR_DISK_FULL) {
        if (!m_diskWarned) {
            // Set before the box: ticks go on while it is up. The box is
            // shown from a message of its own, as the timer that runs this
            // tick would not fire again while its handler waits for the box.
            m_diskWarned = true;
            m_loop.Post(kMsgDiskWarning);
        }
        m_view.SetText(IDC_STATUS, "警告：磁盘空间不足，请清理磁盘");
        m_view.SetText(IDC_RATE, "");
    } else {
        m_diskWarned = false;
    }
}

void CVellumDlg::ShowDiskWarning() {
    platform::MessageBoxSpec box;
    box.owner = this;
    box.caption = "警告";
    box.text = "磁盘空间不足，请清理磁盘";
    m_view.MessageBox(box);
}

// After a launch that failed there is no engine to wait for: the window says
// so instead of showing the first state for ever.
bool CVellumDlg::ShowLaunchFailed() {
    const int error = CurrentLaunch().launchError;
    if (error == 0)
        return false;
    m_view.SetText(IDC_STATUS, "启动下载器内核进程失败");
    m_view.SetText(IDC_RATE, "");
    m_view.SetText(IDC_HINT, error == EINVAL && m_repairDir.find('"') != std::string::npos
                                 ? "修复目录的名称中含有双引号（\"），无法修复，请改名后重试。"
                                 : "");
    return true;
}

void CVellumDlg::WatchProgress() {
    if (m_status.percent != m_lastPercent) {
        m_lastPercent = m_status.percent;
        m_stallSince = 0;
        m_nearDoneSince = 0;
    } else if (m_stallSince == 0) {
        m_stallSince = Now();
    } else if (Now() - m_stallSince >= kStallRestartMs) {
        RestartAfterStall();
    }
    // The percentage is unchanged from here on.
    if (m_status.percent > 99) {
        if (m_nearDoneSince == 0)
            m_nearDoneSince = Now();
        else if (Now() - m_nearDoneSince >= kNearDoneRestartMs)
            RestartNearCompletion();
    }
}

void CVellumDlg::ShowOtherState() {
    if (const char* text = StateText(m_status.state))
        m_view.SetText(IDC_STATUS, text);
    switch (m_status.state) {
        case CREATE_FILE:
            if (m_status.errorKind == ENGINE_ERROR_WRITE_FILE) {
                m_view.SetText(IDC_RATE, "");
                m_view.SetText(IDC_HINT, "创建文件错误，请关闭相关文件或者确认磁盘空间是否足够。");
            }
            break;
        case ALL_FILE_CHECK_MD5:
            m_view.SetBar(static_cast<int>(m_status.verifyFraction * 10000));
            m_timeText = Format("本地文件校验完成：%.2f%%", m_status.verifyFraction * 100);
            m_view.SetText(IDC_RATE, m_timeText);
            m_view.SetText(IDC_HINT, "");
            break;
        case ANALYSIS_SEED_ERROR:
            // A file list the engine refuses (a link leading out of the
            // folder, a name it cannot write) is not a game left running:
            // say what the engine found.
            if (m_status.errorKind == ENGINE_ERROR_READ_SEED) {
                m_timeText = "文件列表无法用于该修复目录。";
                m_view.SetText(IDC_RATE, m_timeText);
                m_view.SetText(IDC_HINT, m_status.errorFile.empty()
                                             ? std::string()
                                             : "原因：" + m_status.errorFile);
                break;
            }
            m_timeText = "请先关闭修复目录游戏程序。";
            m_view.SetText(IDC_RATE, m_timeText);
            m_view.SetText(IDC_HINT, "");
            break;
        default:
            m_view.SetText(IDC_RATE, "");
            m_view.SetText(IDC_HINT, "");
            break;
    }
}

// The engine file cannot be written again until the old engine has
// exited, so a restart tries once a second on a timer of its own; the
// window goes on meanwhile.
void CVellumDlg::RestartAfterStall() {
    m_stallSince = 0;
    m_nearDoneSince = 0;
    StopEngine(*this);
    if (g_stallThreads >= 2)
        g_stallThreads /= 2;
    BeginRestart(g_stallThreads, false);
}

void CVellumDlg::RestartNearCompletion() {
    m_nearDoneSince = 0;
    m_stallSince = 0;
    StopEngine(*this);
    BeginRestart(kFirstHttpThreads, false);
}

void CVellumDlg::RestartAfterQuit() {
    StopEngine(*this);
    BeginRestart(kFirstHttpThreads, true);
}

void CVellumDlg::BeginRestart(int httpThreads, bool tryNow) {
    m_restart = {};
    m_restart.active = true;
    m_restart.httpThreads = httpThreads;
    m_restart.since = Now();
    if (tryNow && TryRestart())
        return;
    m_loop.SetTimer(kRestartTimer, kRestartPauseMs);
}

bool CVellumDlg::TryRestart() {
    errno = 0;
    if (!StartEngineNow(m_restart.httpThreads)) {
        m_restart.lastError = errno;
        return false;
    }
    m_restart.active = false;
    m_loop.KillTimer(kRestartTimer);
    return true;
}

void CVellumDlg::OnRestartTimer() {
    if (!m_restart.active) {
        m_loop.KillTimer(kRestartTimer);
        return;
    }
    if (TryRestart())
        return;
    const std::uint64_t waited = Now() - m_restart.since;
    if (waited >= kRestartGiveUpMs) {
        // Neither the old engine's end nor time helped: tell the user, who
        // can only cancel now.
        m_restart.active = false;
        m_loop.KillTimer(kRestartTimer);
        char text[128];
        std::snprintf(text, sizeof text, "启动下载器内核进程失败, 错误码: %d", m_restart.lastError);
        platform::MessageBoxSpec box;
        box.caption = "错误";
        box.text = text;
        box.icon = platform::MbIcon::Error;
        m_view.SetText(IDC_STATUS, "启动下载器内核进程失败");
        m_view.MessageBox(box);
    } else if (waited >= kRestartKillMs && !m_restart.engineEnded) {
        // The old engine was told to quit long ago; it is ours to end.
        m_restart.engineEnded = true;
        m_hooks.endEngine();
    }
}

bool StartEngine(CVellumDlg& dlg, int httpThreads) {
    dlg.View().SetBarRange(0, 10000);
    std::string path;
    if (!ExtractEngine(path))
        return false;
    EngineLaunchParams params;
    if (!LoadResourceString(params.seedUrl, IDS_SEED_URL)) {
        errno = ENOENT;
        return false;
    }
    params.httpThreads = httpThreads;
    params.repairDir = dlg.RepairDir();
    params.mode = "repair";
    LaunchEngine(path, params);
    dlg.StartTickTimer();
    return true;
}

void StopEngine(CVellumDlg& dlg) {
    SendCommand(CurrentLaunch().channel.get(), "quit");
    dlg.ZeroShownRates();
    dlg.StopTickTimer();
}

}  // namespace vellum
