// A DownloadWindow that records what a download shows.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "korvel/net/download_window.h"

namespace testing_support {

class RecordingDownloadWindow : public DownloadWindow {
  public:
    void PostStatusText(const std::string& text) override {
        std::function<void(const std::string&)> hook;
        {
            std::lock_guard lock(mutex_);
            statusTexts.push_back(text);
            hook = onStatus;
        }
        if (hook)
            hook(text);
    }
    void SetDownloadBar(int percent) override {
        std::lock_guard lock(mutex_);
        bar.push_back(percent);
    }
    void ShowMessage(const std::string& text) override {
        std::lock_guard lock(mutex_);
        messages.push_back(text);
    }
    void PostExpansionDone() override {
        std::lock_guard lock(mutex_);
        ++expansionDone;
    }
    void SetBtState(std::int32_t state) override {
        std::lock_guard lock(mutex_);
        btState = state;
    }

    // Runs on every status text (from the downloading thread).
    std::function<void(const std::string&)> onStatus;

    std::vector<std::string> statusTexts;
    std::vector<int> bar;
    std::vector<std::string> messages;
    int expansionDone = 0;
    std::int32_t btState = 0;

  private:
    std::mutex mutex_;
};

}  // namespace testing_support
