#include "korvel/app/korvel_dlg.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <thread>

#include "korvel/app/dlg_expansion_window.h"
#include "korvel/app/globals.h"
#include "korvel/app/patch_worker.h"
#include "korvel/bt/torrent_download.h"
#include "korvel/expansion/expansion_worker.h"
#include "korvel/net/report.h"
#include "korvel/res/app_message_box.h"
#include "korvel/res/strings.h"
#include "korvel/update/md5.h"
#include "korvel/update/patch_file.h"
#include "korvel/update/settings.h"
#include "korvel/update/signatures.h"
#include "platform/paths.h"
#include "platform/process.h"

using platform::MbButtons;
using platform::MbIcon;
using platform::MessageBoxSpec;

void ExitProcessNow(int code) {
    std::fflush(nullptr);
    ::_exit(code);
}

// Routes every message box of the process to the window while it exists,
// so that boxes are owned by it and shown on its thread.
class CkorvelDlg::Boxes : public platform::MessageBoxes {
  public:
    explicit Boxes(CkorvelDlg& dlg) : dlg_(dlg) {}
    int Show(const MessageBoxSpec& box) override { return dlg_.ShowBox(box); }

  private:
    CkorvelDlg& dlg_;
};

namespace {

MessageBoxSpec Box(const std::string& text, const std::string& caption,
                   MbButtons buttons = MbButtons::Ok, MbIcon icon = MbIcon::None,
                   int defaultButton = 0, bool topMost = false) {
    MessageBoxSpec box;
    box.text = text;
    box.caption = caption;
    box.buttons = buttons;
    box.icon = icon;
    box.defaultButton = defaultButton;
    box.topMost = topMost;
    return box;
}

std::string FormatText(const std::string& pattern, const std::string& arg) {
    std::vector<char> text(pattern.size() + arg.size() + 1);
    std::snprintf(text.data(), text.size(), pattern.c_str(), arg.c_str());
    return text.data();
}

// The refusal of the downloaded patch file at path (record index of the
// update list) by its signature; empty when accepted or when no publisher
// keys are configured.
std::string CheckPatchSignature(std::size_t index, const std::string& path,
                                const std::string& name) {
    if (!PublisherKeys.Enforced())
        return {};
    std::string signature;
    {
        std::lock_guard lock(DownloadLock);
        if (index < PatchSignatures.size())
            signature = PatchSignatures[index];
    }
    return CheckFileSignature(PublisherKeys, path, signature, name, std::time(nullptr));
}

std::string FormatInt(const char* pattern, std::int32_t value) {
    char text[64];
    std::snprintf(text, sizeof text, pattern, value);
    return text;
}

}  // namespace

CkorvelDlg::CkorvelDlg(KorvelView& view, MessageLoop& loop, Options options)
    : m_btWaitLeft(ReadBtWaitSeconds()),
      m_view(view),
      m_loop(loop),
      m_options(std::move(options)),
      m_boxes(std::make_unique<Boxes>(*this)) {
    if (!m_options.exitProcess)
        m_options.exitProcess = [](int code) { ExitProcessNow(code); };
    if (!m_options.worker)
        m_options.worker = m_options.expansionMode ? ExpansionWorkerThread : PatchWorker;
    m_loop.SetHandlers([this](Message& m) { OnMessage(m); }, [this](unsigned id) { OnTimer(id); });
    m_previousBoxes = platform::SetMessageBoxes(m_boxes.get());
}

CkorvelDlg::~CkorvelDlg() {
    platform::SetMessageBoxes(m_previousBoxes);
    m_loop.SetHandlers(nullptr, nullptr);
}

int CkorvelDlg::DoModal() {
    m_view.SetCommands({[this] { OnOK(); }, [this] { OnButtonCancel(); },
                        [this] { m_loop.Quit(platform::IDCANCEL); }});
    m_view.Create(res::LoadString(res::IDS_WINDOW_TITLE));
    OnInitDialog();
    const int result = m_loop.Run();
    // A worker may still be running: what it posts or asks now finds no
    // window (boxes take their default answer).
    m_loop.Close();
    m_view.Destroy();
    return result;
}

bool CkorvelDlg::OnInitDialog() {
    UpdateControls();
    m_view.SetBar(IDC_PROGRESS_DOWNLOAD, m_progressDownload);
    m_view.SetBar(IDC_PROGRESS_UPDATE, m_progressUpdate);
    m_view.ShowWindow(true);
    if (m_options.beforeWorker)
        m_options.beforeWorker();
    auto worker = m_options.worker;
    m_hWorker = std::make_unique<WorkerThread>([this, worker] { worker(this); });
    return true;
}

void CkorvelDlg::OnMessage(Message& m) {
    switch (m.id) {
        case WM_STATUS_TEXT:
            OnStatusText(m);
            break;
        case WM_FINISH:
            OnFinish(static_cast<int>(m.wParam));
            break;
        case WM_CLOSING_TIME:
            OnClosingTime(m.lParam);
            break;
        case WM_TOTAL_SIZE:
            OnTotalSize(m);
            break;
        case WM_DOWNLOADS_DONE:
            OnDownloadsDone();
            break;
        case WM_DOWNLOAD_PROGRESS:
            OnDownloadProgress(m);
            break;
        case WM_DOWNLOAD_STATUS:
            OnDownloadStatus(m);
            break;
        case WM_EXPANSION_DONE:
            OnExpansionDone();
            break;
        default:
            break;  // payloads are freed with the message
    }
}

void CkorvelDlg::UpdateControls() {
    m_view.SetText(IDC_TEXT_FILE, m_textFile);
    m_view.SetText(IDC_TEXT_TOTAL, m_textTotal);
    m_view.SetText(IDC_TEXT_STATUS, m_textStatus);
    m_view.SetText(IDC_TEXT_DONE, m_textDone);
    m_view.SetText(IDC_TEXT_PROGRESS, m_textProgress);
}

void CkorvelDlg::OnStatusText(Message& m) {
    if (!m.text)
        return;
    if (m.wParam == 0) {
        m_view.RepaintBehind(IDC_TEXT_STATUS);
        m_textStatus = *m.text;
    } else if (m.wParam == 1) {
        m_view.RepaintBehind(IDC_TEXT_FILE);
        m_textFile = *m.text;
    } else {
        return;
    }
    UpdateControls();
}

void CkorvelDlg::OnClosingTime(std::int64_t lParam) {
    const auto seconds = static_cast<std::int32_t>(lParam);
    if (seconds >= 0)
        m_closingTotal = m_closingLeft = seconds;
}

void CkorvelDlg::OnTotalSize(Message& m) {
    if (!m.size)
        return;
    m_totalBytes = static_cast<std::int64_t>((std::uint64_t{m.size->second} << 32) | m.size->first);
    m_view.RepaintBehind(IDC_TEXT_TOTAL);
    m_textTotal = FormatInt("%d byte", static_cast<std::int32_t>(m.size->first));
    UpdateControls();
}

void CkorvelDlg::OnDownloadProgress(Message& m) {
    const double percent = m.percent ? *m.percent : 0.0;
    if (m_applying)
        return;
    if (m.text) {
        m_view.RepaintBehind(IDC_TEXT_STATUS);
        m_textStatus = *m.text;
        m_view.SetText(IDC_TEXT_STATUS, m_textStatus);
    }
    m_progressDownload = static_cast<int>(percent);
    m_view.SetBar(IDC_PROGRESS_DOWNLOAD, m_progressDownload);
    const auto done = static_cast<std::int64_t>(static_cast<double>(m_totalBytes) * percent / 100);
    m_view.RepaintBehind(IDC_TEXT_DONE);
    m_textDone = done != 0 ? FormatInt("%d", static_cast<std::int32_t>(done)) : std::string();
    m_view.SetText(IDC_TEXT_DONE, m_textDone);
    UpdateControls();
}

void CkorvelDlg::OnDownloadStatus(Message& m) {
    if (!m.text)
        return;
    // Only the display stops once the patches are applied: the closing-phase
    // torrent runs after that, and its "error" still ends the countdown.
    if (!m_applying) {
        m_view.RepaintBehind(IDC_TEXT_STATUS);
        m_textStatus = *m.text;
        UpdateControls();
    }
    if (m_closingTorrent && m.text->find("error") != std::string::npos) {
        m_closingLeft = 0;
        m_btState = 2;
    }
}

void CkorvelDlg::OnTimer(unsigned id) {
    if (id == TIMER_BT_WATCH) {
        // The watch lives only while no transfer was seen and nothing was
        // asked. A tick queued before the state changed, or a timer started
        // again by a call that came too late, is dropped with its timer.
        if (m_btState == 0)
            BtWatchStep();
        else
            m_loop.KillTimer(TIMER_BT_WATCH);
        return;
    }
    --m_closingLeft;
    if (m_closingLeft > 0 && m_closingTotal > 0) {
        m_progressUpdate = (m_closingTotal - m_closingLeft) * 100 / m_closingTotal;
        m_view.SetBar(IDC_PROGRESS_UPDATE, m_progressUpdate);
        UpdateControls();
        return;
    }
    m_loop.KillTimer(TIMER_CLOSING);
    m_loop.KillTimer(id);
    m_progressUpdate = 100;
    m_view.SetBar(IDC_PROGRESS_UPDATE, 100);
    Post(WM_FINISH, FINISH_NORMAL);
}

void CkorvelDlg::BtWatchStep() {
    if (m_closingTorrent)
        return;
    if (--m_btWaitLeft > 0)
        return;
    m_btState = 2;
    m_loop.KillTimer(TIMER_BT_WATCH);
    const int answer = ShowBox(Box(
        "系统检测到BT下载方式在设置的时间内没有响应,"
        "可能是由于bt端口被封\n或者是是网络比较繁忙，否切换"
        "到HTTP下载模式？\n\n选择“是”，将切换到HTTP下载\n\n选择“否”将继续使用BT下载（如果确认bt能"
        "正常工作，我们建议继续使用bt，\n\t这种方式平均速度会比较高）\n",
        "更新方式切换", MbButtons::YesNo, MbIcon::None, 1, true));
    if (answer == platform::IDYES)
        Post(WM_FINISH, FINISH_SWITCH_HTTP);
    m_btWaitLeft = 0;
    m_closingLeft = 100;
}

bool CkorvelDlg::ConfirmCancel() {
    const int answer =
        ShowBox(Box("是否真的希望取消？\n", "取消确认", MbButtons::YesNo, MbIcon::None, 0, true));
    if (answer != platform::IDYES || !m_cancelAllowed)
        return false;
    QuitRequested = true;
    Post(WM_FINISH, FINISH_CANCEL);
    return true;
}

void CkorvelDlg::OnOK() {
    ConfirmCancel();
}

void CkorvelDlg::OnButtonCancel() {
    // The dialog ends before the posted message is handled: no close
    // handling, no game start.
    if (ConfirmCancel())
        m_loop.Quit(platform::IDCANCEL);
}

void CkorvelDlg::OnDownloadsDone() {
    if (m_closing)
        return;
    m_cancelAllowed = false;
    m_applying = true;
    m_view.RepaintBehind(IDC_TEXT_DONE);
    m_textDone.clear();
    m_progressDownload = 100;
    m_view.SetBar(IDC_PROGRESS_DOWNLOAD, 100);
    m_textStatus = "下载数据完毕, 正在进行解压...";
    UpdateControls();

    const std::size_t n = UpdateList.size();
    std::size_t accumulator = 0;
    std::size_t index = 0;
    for (PatchRecord& record : UpdateList) {
        const std::string name = PatchFileName(record.url);
        m_textFile = name;
        const std::string path = DownloadDir + "/" + name;
        if (CheckFileMd5(path, record.md5) == 0) {
            record.damaged = true;
            std::vector<char> text(2 * name.size() + 128);
            std::snprintf(text.data(), text.size(),
                          "patch 文件下载发生错误， 程序将自动删除%s, 请重新下载\n %s",
                          name.c_str(), name.c_str());
            ShowBox(Box(text.data(), "错误"));
            ::unlink(path.c_str());
            Post(WM_FINISH, FINISH_NORMAL);
            return;
        }
        // After its digest, before anything reads it: the publisher's
        // signature. A refused file goes the way of a damaged one.
        const std::string refusal = CheckPatchSignature(index, path, name);
        if (!refusal.empty()) {
            record.damaged = true;
            ShowBox(
                Box(refusal + FormatText(res::LoadString(res::IDS_SIGNATURE_FILE_DELETED), name),
                    "错误"));
            ::unlink(path.c_str());
            Post(WM_FINISH, FINISH_NORMAL);
            return;
        }
        ++index;
        accumulator += 100;
        m_progressUpdate = static_cast<int>(accumulator / n);
        m_view.SetBar(IDC_PROGRESS_UPDATE, m_progressUpdate);
    }

    for (const PatchRecord& record : UpdateList) {
        const std::string name = PatchFileName(record.url);
        m_view.RepaintBehind(IDC_TEXT_FILE);
        m_textFile = name;
        UpdateControls();
        if (!ApplyPatchFile(name, record.version, DownloadDir, GameDir)) {
            m_view.RepaintBehind(IDC_TEXT_STATUS);
            m_textStatus = "关闭中...";
            UpdateControls();
            ShowBox(Box("发生错误, 放弃继续更新", "错误"));
            Post(WM_FINISH, FINISH_NORMAL);
            return;
        }
        accumulator += 100;
        m_progressUpdate = static_cast<int>(accumulator / n);
        m_view.SetBar(IDC_PROGRESS_UPDATE, m_progressUpdate);
    }

    ShowBox(Box("更新成功!", "恭喜", MbButtons::Ok, MbIcon::Information, 0, true));
    m_view.ShowWindow(false);
    StartGameAndReport();

    // The forced exit, in whole seconds. A negative count (a typo on the
    // server) arms it like 0 does: taken as unsigned it would wait for about
    // 136 years, holding the single-instance lock with the window hidden.
    if (ClosingSeconds <= 0)
        ClosingSeconds = 5;
    const auto seconds = static_cast<std::uint32_t>(ClosingSeconds);
    std::thread([seconds, exitProcess = m_options.exitProcess] {
        for (std::uint32_t i = 0; i < seconds; ++i)
            std::this_thread::sleep_for(std::chrono::seconds(1));
        exitProcess(-3);
    }).detach();

    StartClosingPhase();
    m_downloadsDone = true;
}

void CkorvelDlg::OnExpansionDone() {
    DlgExpansionWindow window(*this);
    ::OnExpansionDone(window);
}

void CkorvelDlg::StartClosingPhase() {
    m_closing = true;
    m_view.RepaintBehind(IDC_TEXT_PROGRESS);
    m_textProgress = "安装中";
    m_progressUpdate = 0;
    m_view.SetBar(IDC_PROGRESS_UPDATE, 0);
    m_view.RepaintBehind(IDC_TEXT_STATUS);
    m_textStatus.clear();
    UpdateControls();

    if (m_closingTotal <= 0 || m_btState == 2 || m_options.expansionMode) {
        m_loop.KillTimer(TIMER_CLOSING);
        if (m_options.expansionMode)
            ShowBox(Box("更新成功!", "恭喜", MbButtons::Ok, MbIcon::Information, 0, true));
        Post(WM_FINISH, FINISH_NORMAL);
        return;
    }
    const std::size_t n = UpdateList.size();
    if (n <= 1 || ClosingTorrentMode == 0)
        return;

    const auto chosen = ChooseClosingTorrent(ClosingTorrentMode, n, std::rand());
    if (chosen) {
        ClosingTorrentUrl = UpdateList[*chosen].url;
        {
            std::lock_guard lock(DownloadLock);
            StopTorrent = true;
        }
        if (!m_hWorker || WaitForWorker(10000))
            m_hWorker = std::make_unique<WorkerThread>([this] { ClosingTorrentThread(this); });
    }
    m_loop.SetTimer(TIMER_CLOSING, 1000);
}

bool CkorvelDlg::StartHttpUpdater() {
    // It runs in the game folder itself: the download folder, whose parent
    // that is, may not have been made yet.
    return platform::StartDetachedProcess(platform::TempFolder() + "ZORNUpdate_ex.exe",
                                          m_options.launcherArguments, GameDir);
}

void CkorvelDlg::OnFinish(int reason) {
    {
        std::lock_guard lock(DownloadLock);
        StopTorrent = true;
        QuitRequested = true;
    }
    if (!m_hWorker) {
        m_loop.Quit(platform::IDOK);
        return;
    }
    if (!WaitForWorker(5000)) {
        // A thread cannot be terminated here; it was told to stop, and the
        // process ends right after.
        ServeCallsWhile([] {
            std::this_thread::sleep_for(std::chrono::milliseconds(2000));
            return true;
        });
        m_view.RepaintBehind(IDC_TEXT_STATUS);
        m_textStatus = "正在进行清除工作...";
        UpdateControls();
        m_hWorker->Wait(0);
    }
    if (m_workerStarted && !m_downloadsDone) {
        if (reason == FINISH_SWITCH_HTTP) {
            StartHttpUpdater();
            EndProcess(0);
            return;
        }
        if (reason == FINISH_CANCEL) {
            WaitForWorker(10000);
            StartGameAndReport();
            EndProcess(0);
            return;
        }
        const int answer = ShowBox(Box("BT下载方式发生错误,是否切换到HTTP下载模式？\n",
                                       "更新方式切换", MbButtons::YesNo, MbIcon::None, 0, true));
        if (answer != platform::IDYES) {
            m_loop.Quit(platform::IDOK);
            return;
        }
        StartHttpUpdater();
        EndProcess(0);
        return;
    }
    EndProcess(0);
}

bool CkorvelDlg::ServeCallsWhile(const std::function<bool()>& wait) {
    return m_loop.RunHeld([&] { return wait() ? 1 : 0; }) != 0;
}

bool CkorvelDlg::WaitForWorker(int ms) {
    const WorkerThread& worker = *m_hWorker;
    return ServeCallsWhile([&worker, ms] { return worker.Wait(ms); });
}

void CkorvelDlg::EndProcess(int code) {
    m_options.exitProcess(code);
    // Only reached when the exit was intercepted (tests): end the loop too.
    m_loop.Quit(code);
}
