// A private X server (Xvfb) for tests of windows, and the pieces that drive
// and watch it: a background child process and screenshots.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

namespace testing_support {

// Full path of a program found in PATH; empty when there is none.
std::string FindProgram(const std::string& name);

class XvfbDisplay {
  public:
    // Starts Xvfb on a free display number with one screen of the size.
    explicit XvfbDisplay(int width = 1024, int height = 768);
    ~XvfbDisplay();
    XvfbDisplay(const XvfbDisplay&) = delete;
    XvfbDisplay& operator=(const XvfbDisplay&) = delete;

    bool started() const { return !display_.empty(); }
    // ":N", or empty when Xvfb is missing or did not start.
    const std::string& display() const { return display_; }
    // Why it did not start.
    const std::string& error() const { return error_; }

  private:
    pid_t pid_ = -1;
    std::string display_;
    std::string error_;
};

// A child process that runs while the test goes on; killed with its process
// group when it is still running at destruction.
class BackgroundProcess {
  public:
    BackgroundProcess(const std::vector<std::string>& argv,
                      const std::map<std::string, std::string>& env, const std::string& outputFile);
    ~BackgroundProcess();
    BackgroundProcess(const BackgroundProcess&) = delete;
    BackgroundProcess& operator=(const BackgroundProcess&) = delete;

    bool Running();
    // Waits for the exit; gives the exit code, -1 on timeout or a signal.
    int Wait(std::chrono::milliseconds timeout);

  private:
    pid_t pid_ = -1;
    int status_ = -1;
    bool exited_ = false;
};

}  // namespace testing_support
