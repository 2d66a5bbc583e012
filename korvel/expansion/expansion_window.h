// What an expansion-pack run needs of the main window, and the process-wide
// values of the run, which the application keeps.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "common/signing/trusted_keys.h"
#include "korvel/net/download_window.h"
#include "platform/message_box.h"

// The application's process-wide values an expansion run reads and writes.
struct ExpansionValues {
    const std::string& gameDir;      // the game folder followed by "/"
    const std::string& downloadDir;  // where the installer is stored
    std::string& installerPath;      // local path of the installer
    std::string& installerMd5;       // its expected digest; empty: not checked
    std::string& shapeFilePath;      // the pack's marker file
    std::string& torrentOptions;     // option word of the update list
    std::int32_t& closingTorrentMode;
    const std::atomic<bool>& quitRequested;   // the run is stopping (or a download failed)
    const signing::TrustedKeys& trustedKeys;  // none: no signature is checked
    std::string& installerSignature;          // the installer's signature text
};

class ExpansionWindow : public DownloadWindow {
  public:
    virtual ExpansionValues Values() = 0;

    // From the worker thread.
    // Marks that a worker has started (m_workerStarted).
    virtual void SetWorkerStarted() = 0;
    // Posts a text for the file line (WM_STATUS_TEXT, wParam 1).
    virtual void PostFileText(const std::string& text) = 0;
    // Posts the seconds of the closing countdown (WM_CLOSING_TIME).
    virtual void PostClosingTime(std::int32_t seconds) = 0;
    // Posts the end of the run (WM_FINISH, reason 0).
    virtual void PostFinish() = 0;
    // Kills the no-response watch (TIMER_BT_WATCH).
    virtual void KillBtWatchTimer() = 0;
    // A box owned by the window (empty caption: the program's name); waits
    // for the answer and gives it.
    virtual int ShowBox(const platform::MessageBoxSpec& box) = 0;
    // Runs the BitTorrent download of torrentUrl's file to savePath on the
    // calling thread; 0 when it completed, 1 when it failed or was stopped.
    virtual int RunTorrentDownload(const std::string& torrentUrl, const std::string& savePath,
                                   const std::string& options) = 0;

    // On the window thread.
    // From now on the watch is over (m_btState 1, no TIMER_BT_WATCH), cancel
    // no longer acts and progress and status messages are ignored. Gives
    // false when that had already happened (a repeated WM_EXPANSION_DONE).
    virtual bool BeginInstalling() = 0;
    // Marks the downloads of the run over (m_downloadsDone).
    virtual void SetDownloadsDone() = 0;
    // Shows text in the status line at once.
    virtual void SetStatusLine(const std::string& text) = 0;
    // Runs wait, which blocks, while the window keeps drawing itself but
    // handles none of its messages or timers (they are handled afterwards,
    // in order); gives wait's result.
    virtual bool WaitWithoutActing(const std::function<bool()>& wait) = 0;
    // The closing phase: success box, then the end of the run.
    virtual void StartClosingPhase() = 0;
};
