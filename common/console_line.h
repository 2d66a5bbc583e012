// A window's state as one line on a terminal or in a log. On a terminal the
// line is redrawn in place; otherwise a line is printed when it changed, a
// few per second at most. Window thread only (flushes run on GLib's default
// main context).
#pragma once

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>

#include "common/message_loop.h"
#include "platform/message_box.h"

class ConsoleLine {
  public:
    // render gives the current line (byte text, shown through the display
    // rule).
    ConsoleLine(std::FILE* out, std::function<std::string()> render);
    ~ConsoleLine();
    ConsoleLine(const ConsoleLine&) = delete;
    ConsoleLine& operator=(const ConsoleLine&) = delete;

    // Nothing is printed while hidden.
    void SetVisible(bool visible);
    // The state changed: print now, or soon when the last print was recent.
    void Changed();
    // Prints the line now if it differs from the last one.
    void Flush();
    // Ends a line drawn in place, so other output starts on a fresh line.
    void Break();
    std::FILE* Out() const { return out_; }
    // Shows a box below the line through boxes, which wait for the answer
    // on another thread while loop keeps handling messages and timers, as
    // a modal box does.
    int ShowBox(MessageLoop& loop, platform::MessageBoxes& boxes,
                const platform::MessageBoxSpec& box);

  private:
    std::FILE* out_;
    std::function<std::string()> render_;
    bool tty_;
    bool visible_ = false;
    std::string lastLine_;
    bool drawn_ = false;  // terminal: a line is on screen to redraw
    std::chrono::steady_clock::time_point lastFlush_{};
    unsigned pendingFlush_ = 0;  // GLib source id of a deferred flush
};

// A bar of twenty characters and the percentage: "[####----…] 20%".
std::string TextBar(int percent);

// Calls fn on the window thread whenever SIGINT arrives, for as long as the
// object lives.
class InterruptWatch {
  public:
    explicit InterruptWatch(std::function<void()> fn);
    ~InterruptWatch();
    InterruptWatch(const InterruptWatch&) = delete;
    InterruptWatch& operator=(const InterruptWatch&) = delete;

  private:
    std::function<void()> fn_;
    unsigned source_ = 0;
};
