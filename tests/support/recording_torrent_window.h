// A TorrentWindow that records what the BitTorrent downloads and the
// script's C_debug module show and post.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "korvel/bt/torrent_window.h"

namespace testing_support {

class RecordingTorrentWindow : public TorrentWindow {
  public:
    // One posted message with its payload (unused fields stay 0 / empty).
    struct Posted {
        Posted(unsigned id, double percent = 0, std::string text = {}, std::int64_t value = 0)
            : id(id), percent(percent), text(std::move(text)), value(value) {}
        unsigned id;
        double percent;
        std::string text;
        std::int64_t value;  // 2025: the size; 1126: the reason
        bool operator==(const Posted&) const = default;
    };

    void PostStatusText(const std::string& text) override { Add({1125, 0, text, 0}); }
    void SetDownloadBar(int) override {}
    void ShowMessage(const std::string& text) override {
        std::lock_guard lock(mutex_);
        messages.push_back(text);
    }
    void PostExpansionDone() override { Add({2029}); }
    void SetBtState(std::int32_t state) override { btState = state; }

    void PostTotalSize(std::int64_t bytes) override { Add({2025, 0, "", bytes}); }
    void PostDownloadsDone() override { Add({2026}); }
    void PostDownloadProgress(double percent, const std::string& text) override {
        Add({2027, percent, text, 0});
    }
    void PostDownloadStatus(const std::string& text) override { Add({2028, 0, text, 0}); }
    void PostFinish(int reason) override { Add({1126, 0, "", reason}); }
    std::int32_t BtState() const override { return btState; }
    void SetBtWatchTimer() override { Timer("set 1001"); }
    void KillBtWatchTimer() override { Timer("kill 1001"); }
    void SetClosingTorrent() override { closingTorrent = true; }
    int ShowBox(platform::MessageBoxSpec box) override {
        std::lock_guard lock(mutex_);
        boxes.push_back(box);
        return platform::DefaultResult(box);
    }

    std::vector<Posted> TakePosted() {
        std::lock_guard lock(mutex_);
        return std::exchange(posted, {});
    }
    std::vector<std::string> TakeTimerCalls() {
        std::lock_guard lock(mutex_);
        return std::exchange(timerCalls, {});
    }

    std::atomic<std::int32_t> btState{0};
    std::atomic<bool> closingTorrent{false};
    std::vector<Posted> posted;
    std::vector<std::string> timerCalls;
    std::vector<std::string> messages;
    std::vector<platform::MessageBoxSpec> boxes;

  private:
    void Add(Posted p) {
        std::lock_guard lock(mutex_);
        posted.push_back(std::move(p));
    }
    void Timer(const char* call) {
        std::lock_guard lock(mutex_);
        timerCalls.push_back(call);
    }
    std::mutex mutex_;
};

}  // namespace testing_support
