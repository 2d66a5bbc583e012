#include "common/console_line.h"

#include <glib-unix.h>
#include <glib.h>
#include <signal.h>
#include <unistd.h>

#include "platform/codepage.h"

namespace {
constexpr auto kMinInterval = std::chrono::milliseconds(250);
}

ConsoleLine::ConsoleLine(std::FILE* out, std::function<std::string()> render)
    : out_(out), render_(std::move(render)), tty_(::isatty(::fileno(out)) != 0) {}

ConsoleLine::~ConsoleLine() {
    if (pendingFlush_)
        g_source_remove(pendingFlush_);
}

void ConsoleLine::SetVisible(bool visible) {
    if (visible_ && !visible)
        Flush();
    visible_ = visible;
    if (visible_)
        Changed();
}

void ConsoleLine::Changed() {
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
            auto* line = static_cast<ConsoleLine*>(self);
            line->pendingFlush_ = 0;
            line->Flush();
            return G_SOURCE_REMOVE;
        },
        this);
}

void ConsoleLine::Flush() {
    if (pendingFlush_) {
        g_source_remove(pendingFlush_);
        pendingFlush_ = 0;
    }
    lastFlush_ = std::chrono::steady_clock::now();
    const std::string line = platform::DisplayText(render_());
    if (line == lastLine_)
        return;
    lastLine_ = line;
    if (tty_) {
        std::fprintf(out_, "\r\033[2K%s", line.c_str());
        drawn_ = true;
    } else {
        std::fprintf(out_, "%s\n", line.c_str());
    }
    std::fflush(out_);
}

void ConsoleLine::Break() {
    if (drawn_) {
        std::fputc('\n', out_);
        drawn_ = false;
        lastLine_.clear();
    }
    std::fflush(out_);
}

int ConsoleLine::ShowBox(MessageLoop& loop, platform::MessageBoxes& boxes,
                         const platform::MessageBoxSpec& box) {
    Flush();
    Break();
    return loop.RunModal([&] { return boxes.Show(box); });
}

std::string TextBar(int percent) {
    std::string bar = "[";
    for (int i = 0; i < 20; ++i)
        bar += i < percent / 5 ? "#" : "-";
    return bar + "] " + std::to_string(percent) + "%";
}

InterruptWatch::InterruptWatch(std::function<void()> fn) : fn_(std::move(fn)) {
    source_ = g_unix_signal_add(
        SIGINT,
        [](gpointer self) -> gboolean {
            static_cast<InterruptWatch*>(self)->fn_();
            return G_SOURCE_CONTINUE;
        },
        this);
}

InterruptWatch::~InterruptWatch() {
    if (source_)
        g_source_remove(source_);
}
