// A KorvelView that records every call, for handler tests.
#pragma once

#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "korvel/app/korvel_view.h"

namespace testing_support {

class RecordingView : public KorvelView {
  public:
    void Create(const std::string& title) override { Log("create " + title); }
    void SetText(int id, const std::string& text) override {
        std::lock_guard lock(mutex_);
        texts[id] = text;
    }
    void SetBar(int id, int position) override {
        std::lock_guard lock(mutex_);
        bars[id].push_back(position);
    }
    void RepaintBehind(int id) override { Log("repaint " + std::to_string(id)); }
    void ShowWindow(bool visible) override { Log(visible ? "show" : "hide"); }
    int MessageBox(const platform::MessageBoxSpec& box) override {
        std::lock_guard lock(mutex_);
        boxes.push_back(box);
        if (answers.empty())
            return platform::DefaultResult(box);
        const int r = answers.front();
        answers.pop_front();
        return r;
    }
    void Destroy() override { Log("destroy"); }

    void Log(const std::string& line) {
        std::lock_guard lock(mutex_);
        calls.push_back(line);
    }
    int LastBar(int id) {
        std::lock_guard lock(mutex_);
        return bars[id].empty() ? -1 : bars[id].back();
    }
    std::vector<std::string> BoxTexts() {
        std::lock_guard lock(mutex_);
        std::vector<std::string> out;
        for (const auto& b : boxes)
            out.push_back(b.text);
        return out;
    }
    const Commands& commands() const { return commands_; }

    std::map<int, std::string> texts;
    std::map<int, std::vector<int>> bars;
    std::vector<std::string> calls;
    std::vector<platform::MessageBoxSpec> boxes;
    std::deque<int> answers;

  private:
    std::mutex mutex_;
};

}  // namespace testing_support
