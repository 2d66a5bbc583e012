#include "Vellum/app/console_view.h"

#include <unistd.h>

#include <algorithm>
#include <iostream>

#include "platform/codepage.h"

namespace vellum {

ConsoleView::ConsoleView(MessageLoop& loop, std::FILE* out)
    : loop_(loop), line_(out, [this] { return Render(); }) {
    texts_[IDC_ACTION] = "取消";
}

void ConsoleView::Create(const std::string& title) {
    interrupt_ = std::make_unique<InterruptWatch>([this] {
        if (action_)
            action_();
    });
    std::fprintf(line_.Out(), "== %s ==\n", platform::DisplayText(title).c_str());
    std::fflush(line_.Out());
    line_.SetVisible(true);
}

void ConsoleView::SetText(int controlId, const std::string& text) {
    if (Text(controlId) == text)
        return;
    texts_[controlId] = text;
    // The folder is shown once, not on every line.
    if (controlId == IDC_REPAIR_DIR) {
        line_.Break();
        std::fprintf(line_.Out(), "修复目录：%s\n", platform::DisplayText(text).c_str());
        std::fflush(line_.Out());
        return;
    }
    line_.Changed();
}

void ConsoleView::SetBarRange(int low, int high) {
    low_ = low;
    high_ = std::max(high, low + 1);
}

void ConsoleView::SetBar(int position) {
    position = std::clamp(position, low_, high_);
    if (position == position_)
        return;
    position_ = position;
    line_.Changed();
}

std::string ConsoleView::Text(int controlId) const {
    auto it = texts_.find(controlId);
    return it == texts_.end() ? std::string() : it->second;
}

std::string ConsoleView::Render() const {
    const int percent = static_cast<int>(100LL * (position_ - low_) / (high_ - low_));
    std::string line = "文件信息：" + Text(IDC_FILE_INFO) + " | " + TextBar(percent);
    for (int id : {IDC_STATUS, IDC_RATE, IDC_HINT})
        if (!Text(id).empty())
            line += " | " + Text(id);
    return line + " | [" + Text(IDC_ACTION) + "]";
}

int ConsoleView::MessageBox(const platform::MessageBoxSpec& box) {
    return line_.ShowBox(loop_, boxes_, box);
}

void ConsoleView::Destroy() {
    line_.Flush();
    line_.Break();
    interrupt_.reset();
}

bool ConsoleFolderPicker(std::string& folder) {
    std::string answer;
    if (platform::TakeScriptedAnswer(answer)) {
        std::fprintf(stderr, "请选要修复的游戏目录: %s\n", answer.c_str());
    } else {
        if (!::isatty(STDIN_FILENO))
            return false;
        std::fprintf(stderr, "请选要修复的游戏目录 (空行取消): ");
        std::fflush(stderr);
        if (!std::getline(std::cin, answer))
            return false;
    }
    if (answer.empty())
        return false;
    folder = answer;
    return true;
}

}  // namespace vellum
