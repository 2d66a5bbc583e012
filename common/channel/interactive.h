// The line channel between the repair tool and its download engine.
#pragma once

#include <string>

namespace vellum {

// One end of a line-oriented text channel. Nothing here blocks on the peer:
// every operation returns at once, so the window thread can poll it.
class IInteractive {
  public:
    virtual ~IInteractive() = default;
    // Opens the channel. Gives false when that is impossible.
    virtual bool Start() = 0;
    // Gives the next complete received line, without its line feed (a
    // carriage return before it stays). False when no whole line is there.
    virtual bool ReceiveLine(std::string& line) = 0;
    // Sends s unchanged (the caller adds the line feed). True when all of it
    // went out.
    virtual bool SendText(const std::string& s) = 0;
    // Closes the channel.
    virtual void Stop() = 0;
    // True once the peer has gone (connection closed, end of input) and every
    // line received before has been taken.
    virtual bool Closed() const { return false; }
};

}  // namespace vellum
