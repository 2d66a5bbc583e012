// What the BitTorrent downloads, the script's C_debug module and the
// closing-phase torrent need of the main window. Posting works from any
// thread and never waits; the timer calls and boxes wait for the window's
// thread.
#pragma once

#include <cstdint>
#include <string>

#include "korvel/net/download_window.h"
#include "platform/message_box.h"

class TorrentWindow : public DownloadWindow {
  public:
    // WM_FINISH reason after a worker or torrent error.
    static constexpr int kFinishAfterError = 1;

    // WM_TOTAL_SIZE (2025) with the torrent's size in bytes.
    virtual void PostTotalSize(std::int64_t bytes) = 0;
    // WM_DOWNLOADS_DONE (2026).
    virtual void PostDownloadsDone() = 0;
    // WM_DOWNLOAD_PROGRESS (2027) with the percentage done and its text.
    virtual void PostDownloadProgress(double percent, const std::string& text) = 0;
    // WM_DOWNLOAD_STATUS (2028) with a status text.
    virtual void PostDownloadStatus(const std::string& text) = 0;
    // WM_FINISH (1126) with a reason: 0 close, 1 after an error, 2 switch to HTTP.
    virtual void PostFinish(int reason) = 0;

    // m_btState as one aligned read (SetBtState writes it).
    virtual std::int32_t BtState() const = 0;
    // Starts timer 1001, the no-response watch (period 1000 ms).
    virtual void SetBtWatchTimer() = 0;
    // Kills timer 1001.
    virtual void KillBtWatchTimer() = 0;
    // Sets m_closingTorrent: the closing-phase torrent runs.
    virtual void SetClosingTorrent() = 0;

    // A box owned by the window (the program's name when the caption is
    // empty); waits for the answer.
    virtual int ShowBox(platform::MessageBoxSpec box) = 0;
};
