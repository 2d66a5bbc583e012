#include "korvel/app/console_view.h"

#include <algorithm>

#include "korvel/app/messages.h"
#include "platform/codepage.h"

ConsoleView::ConsoleView(MessageLoop& loop, std::FILE* out)
    : loop_(loop), line_(out, [this] { return Render(); }) {
    bars_[IDC_PROGRESS_DOWNLOAD] = 0;
    bars_[IDC_PROGRESS_UPDATE] = 0;
}

ConsoleView::~ConsoleView() = default;

void ConsoleView::Create(const std::string& title) {
    // Ctrl+C is the console's cancel button: it asks before anything stops.
    interrupt_ = std::make_unique<InterruptWatch>([this] {
        if (commands_.ok)
            commands_.ok();
    });
    std::fprintf(line_.Out(), "== %s ==\n", platform::DisplayText(title).c_str());
    std::fflush(line_.Out());
}

void ConsoleView::SetText(int controlId, const std::string& text) {
    if (texts_[controlId] == text)
        return;
    texts_[controlId] = text;
    line_.Changed();
}

void ConsoleView::SetBar(int controlId, int position) {
    position = std::clamp(position, 0, 100);
    if (bars_[controlId] == position)
        return;
    bars_[controlId] = position;
    line_.Changed();
}

void ConsoleView::ShowWindow(bool visible) {
    line_.SetVisible(visible);
}

std::string ConsoleView::Render() const {
    auto text = [&](int id) {
        auto it = texts_.find(id);
        return it == texts_.end() ? std::string() : it->second;
    };
    std::string line = "文件: " + text(IDC_TEXT_FILE) + " | 状态: " + text(IDC_TEXT_STATUS) +
                       " | 下载进度 " + TextBar(bars_.at(IDC_PROGRESS_DOWNLOAD)) + " | " +
                       text(IDC_TEXT_PROGRESS) + " " + TextBar(bars_.at(IDC_PROGRESS_UPDATE));
    if (!text(IDC_TEXT_TOTAL).empty())
        line += " | " + text(IDC_TEXT_TOTAL);
    if (!text(IDC_TEXT_DONE).empty())
        line += " | " + text(IDC_TEXT_DONE);
    return line;
}

int ConsoleView::MessageBox(const platform::MessageBoxSpec& box) {
    return line_.ShowBox(loop_, boxes_, box);
}

void ConsoleView::Destroy() {
    line_.Flush();
    line_.Break();
}
