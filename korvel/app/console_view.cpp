#include "korvel/app/console_view.h"

#include <glib-unix.h>
#include <glib.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>

#include "korvel/app/messages.h"
#include "platform/codepage.h"

namespace {

constexpr auto kMinInterval = std::chrono::milliseconds(250);

std::string Bar(int percent) {
    const int filled = percent / 5;
    std::string s = "[";
    for (int i = 0; i < 20; ++i)
        s += i < filled ? "#" : "-";
    return s + "] " + std::to_string(percent) + "%";
}

}  // namespace

ConsoleView::ConsoleView(MessageLoop& loop, std::FILE* out)
    : loop_(loop), out_(out), tty_(::isatty(::fileno(out)) != 0) {
    bars_[IDC_PROGRESS_DOWNLOAD] = 0;
    bars_[IDC_PROGRESS_UPDATE] = 0;
}

ConsoleView::~ConsoleView() {
    if (pendingFlush_)
        g_source_remove(pendingFlush_);
    if (sigint_)
        g_source_remove(sigint_);
}

void ConsoleView::Create(const std::string& title) {
    // Ctrl+C is the console's cancel button: it asks before anything stops.
    sigint_ = g_unix_signal_add(
        SIGINT,
        [](gpointer self) -> gboolean {
            auto* view = static_cast<ConsoleView*>(self);
            if (view->commands_.ok)
                view->commands_.ok();
            return G_SOURCE_CONTINUE;
        },
        this);
    std::fprintf(out_, "== %s ==\n", platform::DisplayText(title).c_str());
    std::fflush(out_);
}

void ConsoleView::SetText(int controlId, const std::string& text) {
    if (texts_[controlId] == text)
        return;
    texts_[controlId] = text;
    Changed();
}

void ConsoleView::SetBar(int controlId, int position) {
    position = std::clamp(position, 0, 100);
    if (bars_[controlId] == position)
        return;
    bars_[controlId] = position;
    Changed();
}

void ConsoleView::ShowWindow(bool visible) {
    if (visible_ && !visible)
        Flush();
    visible_ = visible;
    if (visible_)
        Changed();
}

std::string ConsoleView::Render() const {
    auto text = [&](int id) {
        auto it = texts_.find(id);
        return it == texts_.end() ? std::string() : it->second;
    };
    std::string line = "文件: " + text(IDC_TEXT_FILE) + " | 状态: " + text(IDC_TEXT_STATUS) +
                       " | 下载进度 " + Bar(bars_.at(IDC_PROGRESS_DOWNLOAD)) + " | " +
                       text(IDC_TEXT_PROGRESS) + " " + Bar(bars_.at(IDC_PROGRESS_UPDATE));
    if (!text(IDC_TEXT_TOTAL).empty())
        line += " | " + text(IDC_TEXT_TOTAL);
    if (!text(IDC_TEXT_DONE).empty())
        line += " | " + text(IDC_TEXT_DONE);
    return line;
}

void ConsoleView::Changed() {
    if (!visible_ || pendingFlush_)
        return;
    const auto since = std::chrono::steady_clock::now() - lastFlush_;
    if (since >= kMinInterval) {
        Flush();
        return;
    }
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(kMinInterval - since);
    pendingFlush_ = g_timeout_add(
        static_cast<guint>(wait.count()) + 1,
        [](gpointer self) -> gboolean {
            auto* view = static_cast<ConsoleView*>(self);
            view->pendingFlush_ = 0;
            view->Flush();
            return G_SOURCE_REMOVE;
        },
        this);
}

void ConsoleView::Flush() {
    if (pendingFlush_) {
        g_source_remove(pendingFlush_);
        pendingFlush_ = 0;
    }
    lastFlush_ = std::chrono::steady_clock::now();
    const std::string line = platform::DisplayText(Render());
    if (line == lastLine_)
        return;
    lastLine_ = line;
    if (tty_) {
        // Redraw the one status line in place.
        std::fprintf(out_, "\r\033[2K%s", line.c_str());
        drawn_ = true;
    } else {
        std::fprintf(out_, "%s\n", line.c_str());
    }
    std::fflush(out_);
}

int ConsoleView::MessageBox(const platform::MessageBoxSpec& box) {
    Flush();
    if (drawn_) {
        std::fputc('\n', out_);
        std::fflush(out_);
        drawn_ = false;
        lastLine_.clear();
    }
    // The box waits for an answer on another thread while this one keeps
    // handling messages and timers, as a modal box does.
    return loop_.RunModal([&] { return boxes_.Show(box); });
}

void ConsoleView::Destroy() {
    Flush();
    if (drawn_) {
        std::fputc('\n', out_);
        drawn_ = false;
    }
    std::fflush(out_);
}
