// The updater's main window: its state, the handlers of its messages and
// timers, the closing phase and the close handling. It shows everything
// through a KorvelView and never calls a toolkit itself.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/message_loop.h"
#include "korvel/app/korvel_view.h"
#include "korvel/app/messages.h"
#include "korvel/app/worker_thread.h"
#include "korvel/bt/torrent_window.h"
#include "platform/message_box.h"

class CkorvelDlg : public TorrentWindow {
  public:
    struct Options {
        bool expansionMode = false;
        // The launcher's arguments, handed unchanged to the HTTP-mode updater.
        std::vector<std::string> launcherArguments;
        // Ends the process (tests replace it to watch the exit code).
        std::function<void(int)> exitProcess;
        // The worker started by OnInitDialog (tests may replace it).
        std::function<void(CkorvelDlg*)> worker;
        // Runs on the window thread once the window is shown, before the
        // worker starts (what the worker needs but the window's first frame
        // need not wait for).
        std::function<void()> beforeWorker;
    };

    CkorvelDlg(KorvelView& view, MessageLoop& loop, Options options);
    ~CkorvelDlg() override;

    // Runs the window until the dialog ends; gives its result (IDCANCEL when
    // ended by the page's cancel button).
    int DoModal();
    bool OnInitDialog();

    // Message and timer dispatch (window thread).
    void OnMessage(Message& m);
    void OnTimer(unsigned id);

    // Handlers.
    void OnStatusText(Message& m);
    void OnClosingTime(std::int64_t lParam);
    void OnTotalSize(Message& m);
    void OnDownloadProgress(Message& m);
    void OnDownloadStatus(Message& m);
    void OnDownloadsDone();
    void OnExpansionDone();
    void OnFinish(int reason);
    void OnOK();
    void OnButtonCancel();
    void OnClose() {}  // the system's close request is ignored
    void StartClosingPhase();
    void BtWatchStep();

    // Posting from any thread.
    void PostFileText(const std::string& text);
    void Post(unsigned id, std::int64_t wParam = 0, std::int64_t lParam = 0) {
        m_loop.Post(id, wParam, lParam);
    }
    void Post(Message m) { m_loop.Post(std::move(m)); }
    void KillTimer(unsigned id);

    // DownloadWindow.
    void PostStatusText(const std::string& text) override;
    void SetDownloadBar(int percent) override;
    void ShowMessage(const std::string& text) override;
    void PostExpansionDone() override { Post(WM_EXPANSION_DONE); }
    void SetBtState(std::int32_t state) override { m_btState = state; }

    // TorrentWindow.
    void PostTotalSize(std::int64_t bytes) override;
    void PostDownloadsDone() override { Post(WM_DOWNLOADS_DONE); }
    void PostDownloadProgress(double percent, const std::string& text) override;
    void PostDownloadStatus(const std::string& text) override;
    void PostFinish(int reason) override { Post(WM_FINISH, reason); }
    std::int32_t BtState() const override { return m_btState; }
    void SetBtWatchTimer() override;
    void KillBtWatchTimer() override { KillTimer(TIMER_BT_WATCH); }
    void SetClosingTorrent() override { m_closingTorrent = true; }

    // A box owned by this window, from any thread: shown on the window
    // thread, the calling thread waits for the answer.
    int ShowBox(platform::MessageBoxSpec box) override;

    // Transfers the fields into the controls.
    void UpdateControls();
    void EndProcess(int code);

    MessageLoop& Loop() { return m_loop; }
    KorvelView& View() { return m_view; }

    // Fields.
    std::string m_textFile;
    std::string m_textTotal;
    std::string m_textStatus;
    std::int64_t m_totalBytes = 0;
    std::unique_ptr<WorkerThread> m_hWorker;
    std::string m_textDone;
    bool m_applying = false;
    int m_progressUpdate = 0;
    std::string m_textProgress = "更新进度";
    bool m_cancelAllowed = true;
    std::int32_t m_closingTotal = 30;
    std::int32_t m_closingLeft = 30;
    bool m_closing = false;
    std::atomic<bool> m_downloadsDone{false};
    std::atomic<bool> m_workerStarted{false};
    std::atomic<bool> m_closingTorrent{false};
    std::atomic<std::int32_t> m_btState{0};
    std::int32_t m_btWaitLeft;
    int m_progressDownload = 0;

  private:
    class Boxes;
    // Asks whether to cancel; on yes (while cancelling is allowed) stops the
    // run and posts WM_FINISH 1. Gives whether it did.
    bool ConfirmCancel();
    bool StartHttpUpdater();
    // Runs wait, which blocks, while this thread keeps serving what other
    // threads run on it (boxes, bars, timers) so that a worker can reach its
    // end; the window's own messages and ticks are handled afterwards, in
    // order. Gives wait's result.
    bool ServeCallsWhile(const std::function<bool()>& wait);
    // Waits up to ms for m_hWorker (set) that way; true when it ended.
    bool WaitForWorker(int ms);

    KorvelView& m_view;
    MessageLoop& m_loop;
    Options m_options;
    std::unique_ptr<Boxes> m_boxes;
    platform::MessageBoxes* m_previousBoxes = nullptr;
};

// Ends the process at once with the exit code, after flushing output.
[[noreturn]] void ExitProcessNow(int code);
