// The repair window on a terminal or in a log: one line with the file line,
// the status, the bar, the rate or time and the hint. Message boxes are
// prompts on standard error; Ctrl+C presses the action button.
#pragma once

#include <cstdio>
#include <map>
#include <memory>
#include <string>

#include "Vellum/app/vellum_view.h"
#include "common/console_line.h"
#include "common/message_loop.h"

namespace vellum {

class ConsoleView : public VellumView {
  public:
    explicit ConsoleView(MessageLoop& loop, std::FILE* out = stdout);

    void Create(const std::string& title) override;
    void SetText(int controlId, const std::string& text) override;
    void SetBarRange(int low, int high) override;
    void SetBar(int position) override;
    int MessageBox(const platform::MessageBoxSpec& box) override;
    void Destroy() override;

    // The current state as one line.
    std::string Render() const;

  private:
    std::string Text(int controlId) const;

    MessageLoop& loop_;
    std::map<int, std::string> texts_;
    int low_ = 0, high_ = 100, position_ = 0;
    ConsoleLine line_;
    std::unique_ptr<InterruptWatch> interrupt_;
    platform::ConsoleMessageBoxes boxes_;
};

// Asks for the repair folder on the terminal, or takes the next scripted
// answer; false when there is none (end of input or an empty answer).
bool ConsoleFolderPicker(std::string& folder);

}  // namespace vellum
