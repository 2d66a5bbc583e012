// The main window on a terminal or in a log: file line, status line, the two
// bars and the byte counters. On a terminal the block is redrawn in place;
// otherwise a line is printed when something changed, a few per second at
// most. Message boxes are prompts on standard error; Ctrl+C is the cancel
// command.
#pragma once

#include <cstdio>
#include <map>
#include <memory>
#include <string>

#include "common/console_line.h"
#include "common/message_loop.h"
#include "korvel/app/korvel_view.h"
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
    MessageLoop& loop_;
    std::map<int, std::string> texts_;
    std::map<int, int> bars_;
    ConsoleLine line_;
    std::unique_ptr<InterruptWatch> interrupt_;
    platform::ConsoleMessageBoxes boxes_;
};
