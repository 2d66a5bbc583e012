#include "korvel/app/dlg_expansion_window.h"

#include "korvel/app/globals.h"
#include "korvel/app/korvel_dlg.h"
#include "korvel/bt/script_host.h"
#include "korvel/expansion/expansion_worker.h"

void DlgExpansionWindow::PostStatusText(const std::string& text) {
    dlg_.PostStatusText(text);
}

void DlgExpansionWindow::SetDownloadBar(int percent) {
    dlg_.SetDownloadBar(percent);
}

void DlgExpansionWindow::ShowMessage(const std::string& text) {
    dlg_.ShowMessage(text);
}

void DlgExpansionWindow::PostExpansionDone() {
    dlg_.PostExpansionDone();
}

void DlgExpansionWindow::SetBtState(std::int32_t state) {
    dlg_.SetBtState(state);
}

ExpansionValues DlgExpansionWindow::Values() {
    return {GameDir,        DownloadDir,        InstallerPath, InstallerMd5,  ShapeFilePath,
            TorrentOptions, ClosingTorrentMode, QuitRequested, PublisherKeys, InstallerSignature};
}

void DlgExpansionWindow::SetWorkerStarted() {
    dlg_.m_workerStarted = true;
}

void DlgExpansionWindow::PostFileText(const std::string& text) {
    dlg_.PostFileText(text);
}

void DlgExpansionWindow::PostClosingTime(std::int32_t seconds) {
    dlg_.Post(WM_CLOSING_TIME, 0, seconds);
}

void DlgExpansionWindow::PostFinish() {
    dlg_.Post(WM_FINISH, FINISH_NORMAL);
}

void DlgExpansionWindow::KillBtWatchTimer() {
    dlg_.KillBtWatchTimer();
}

int DlgExpansionWindow::ShowBox(const platform::MessageBoxSpec& box) {
    return dlg_.ShowBox(box);
}

int DlgExpansionWindow::RunTorrentDownload(const std::string& torrentUrl,
                                           const std::string& savePath,
                                           const std::string& options) {
    // The script returns normally whether or not the installer arrived; it
    // arrived when the script reported the transfer complete.
    const std::uint64_t before = FinishedTransfers();
    if (::RunTorrentDownload(&dlg_, torrentUrl, savePath, options) != 0)
        return 1;
    return FinishedTransfers() != before ? 0 : 1;
}

bool DlgExpansionWindow::BeginInstalling() {
    if (dlg_.m_applying)
        return false;
    dlg_.m_btState = 1;
    dlg_.Loop().KillTimer(TIMER_BT_WATCH);
    dlg_.m_cancelAllowed = false;
    dlg_.m_applying = true;
    return true;
}

void DlgExpansionWindow::SetDownloadsDone() {
    dlg_.m_downloadsDone = true;
}

void DlgExpansionWindow::SetStatusLine(const std::string& text) {
    dlg_.View().RepaintBehind(IDC_TEXT_STATUS);
    dlg_.m_textStatus = text;
    dlg_.UpdateControls();
}

bool DlgExpansionWindow::WaitWithoutActing(const std::function<bool()>& wait) {
    return dlg_.Loop().RunHeld([&] { return wait() ? 1 : 0; }) != 0;
}

void DlgExpansionWindow::StartClosingPhase() {
    dlg_.StartClosingPhase();
}

void ExpansionWorkerThread(CkorvelDlg* window) {
    if (!window) {
        ExpansionWorker(nullptr);
        return;
    }
    DlgExpansionWindow expansionWindow(*window);
    ExpansionWorker(&expansionWindow);
}
