// A VellumView that records what the window logic shows, and a channel that
// plays the engine's part from a queue, for handler tests.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "Vellum/app/vellum_view.h"
#include "common/channel/interactive.h"

namespace testing_support {

class RecordingVellumView : public vellum::VellumView {
  public:
    void Create(const std::string& title) override { this->title = title; }
    void SetText(int id, const std::string& text) override { texts[id] = text; }
    void SetBarRange(int low, int high) override { range = {low, high}; }
    void SetBar(int position) override { bar = position; }
    int MessageBox(const platform::MessageBoxSpec& box) override {
        boxes.push_back(box);
        if (whileUp)
            whileUp();
        if (answers.empty())
            return platform::DefaultResult(box);
        const int r = answers.front();
        answers.pop_front();
        return r;
    }
    void Destroy() override { destroyed = true; }
    void PressAction() { action_(); }

    std::string Text(int id) const {
        auto it = texts.find(id);
        return it == texts.end() ? std::string() : it->second;
    }

    std::string title;
    std::map<int, std::string> texts;
    std::pair<int, int> range{0, 100};
    int bar = -1;
    std::vector<platform::MessageBoxSpec> boxes;
    std::deque<int> answers;
    // Runs while a box is up, before it is answered.
    std::function<void()> whileUp;
    bool destroyed = false;
};

// The engine's end of the channel, scripted: lines queued by the test are
// received, commands sent are kept.
class ScriptedChannel : public vellum::IInteractive {
  public:
    bool Start() override { return true; }
    bool ReceiveLine(std::string& line) override {
        if (lines.empty())
            return false;
        line = lines.front();
        lines.pop_front();
        return true;
    }
    bool SendText(const std::string& s) override {
        sent.push_back(s);
        return true;
    }
    void Stop() override {}
    bool Closed() const override { return closed && lines.empty(); }

    std::deque<std::string> lines;
    bool closed = false;  // the engine's end has gone
    std::vector<std::string> sent;
};

}  // namespace testing_support
