// The engine as a real child process, driven over its console.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "common/channel/console_interactive.h"

namespace ferrel_test {

class EngineProcess {
  public:
    // Starts the engine program with these arguments.
    explicit EngineProcess(const std::vector<std::string>& args);
    // The same with another build of the engine.
    EngineProcess(const std::string& program, const std::vector<std::string>& args);
    ~EngineProcess();
    EngineProcess(const EngineProcess&) = delete;
    EngineProcess& operator=(const EngineProcess&) = delete;

    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    void Send(const std::string& command);
    // Collects lines until one equals line; false when the time is up or the
    // engine's output ended first.
    bool WaitForLine(const std::string& line,
                     std::chrono::milliseconds timeout = std::chrono::seconds(60));
    bool WaitForState(int state, std::chrono::milliseconds timeout = std::chrono::seconds(60));
    // Closes the engine's input (and this side's channel).
    void CloseChannel();
    // Waits for the exit; the exit code, or -1 on timeout or a signal.
    int Wait(std::chrono::milliseconds timeout = std::chrono::seconds(20));

    const std::vector<std::string>& lines() const { return lines_; }
    // The values of key in the lines so far, in order.
    std::vector<std::string> Values(const std::string& key) const;
    std::vector<int> States() const;

  private:
    std::unique_ptr<vellum::ConsoleInteractive> channel_;
    std::vector<std::string> lines_;
    pid_t pid_ = -1;
};

}  // namespace ferrel_test
