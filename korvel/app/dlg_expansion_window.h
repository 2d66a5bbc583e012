// The main window as the expansion-pack run sees it.
#pragma once

#include "korvel/expansion/expansion_window.h"

class CkorvelDlg;

class DlgExpansionWindow : public ExpansionWindow {
  public:
    explicit DlgExpansionWindow(CkorvelDlg& dlg) : dlg_(dlg) {}

    // DownloadWindow.
    void PostStatusText(const std::string& text) override;
    void SetDownloadBar(int percent) override;
    void ShowMessage(const std::string& text) override;
    void PostExpansionDone() override;
    void SetBtState(std::int32_t state) override;

    // ExpansionWindow.
    ExpansionValues Values() override;
    void SetWorkerStarted() override;
    void PostFileText(const std::string& text) override;
    void PostClosingTime(std::int32_t seconds) override;
    void PostFinish() override;
    void KillBtWatchTimer() override;
    int ShowBox(const platform::MessageBoxSpec& box) override;
    int RunTorrentDownload(const std::string& torrentUrl, const std::string& savePath,
                           const std::string& options) override;
    bool BeginInstalling() override;
    void SetDownloadsDone() override;
    void SetStatusLine(const std::string& text) override;
    bool WaitWithoutActing(const std::function<bool()>& wait) override;
    void StartClosingPhase() override;

  private:
    CkorvelDlg& dlg_;
};

// The worker of expansion-pack mode, as the window starts it.
void ExpansionWorkerThread(CkorvelDlg* window);
