// The main window on a terminal or in a log: file line, status line, the two
// bars and the byte counters. On a terminal the block is redrawn in place;
// otherwise a line is printed when something changed, a few per second at
// most. Message boxes are prompts on standard error; Ctrl+C is the cancel
// command.
#pragma once

#include <chrono>
#include <cstdio>
#include <map>
#include <string>

#include "korvel/app/korvel_view.h"
#include "common/message_loop.h"
#include "korvel/app/messages.h"

class ConsoleView : public KorvelView {
  public:
    explicit ConsoleView(MessageLoop& loop, std::FILE* out = stdout);
    ~ConsoleView() override;

    void Create(const std::string& title) override;
    void SetText(int controlId, const std::string& text) override;
    void SetBar(int controlId, int position) override;
    void RepaintBehind(int) override {}  // a terminal line is redrawn whole
    void ShowWindow(bool visible) override;
    int MessageBox(const platform::MessageBoxSpec& box) override;
    void Destroy() override;

    // The current state as one line (what a log gets).
    std::string Render() const;

  private:
    void Changed();
    void Flush();

    MessageLoop& loop_;
    std::FILE* out_;
    bool tty_;
    bool visible_ = false;
    std::map<int, std::string> texts_;
    std::map<int, int> bars_;
    std::string lastLine_;
    bool drawn_ = false;  // terminal: a block is on screen to redraw
    std::chrono::steady_clock::time_point lastFlush_{};
    unsigned pendingFlush_ = 0;  // GLib source id of a deferred flush
    unsigned sigint_ = 0;        // GLib source id of the Ctrl+C watch
    platform::ConsoleMessageBoxes boxes_;
};
