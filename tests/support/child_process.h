// Real child processes for tests: run a program and collect its output, or
// drive it on a pseudo terminal.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

namespace testing_support {

struct RunResult {
    int exitCode = -1;  // -1 when it did not exit normally
    std::string out;    // standard output
    std::string err;    // standard error
};

// In a forked child: adds env to the environment and executes argv (argv[0]
// looked up on PATH); ends the child with 127 when that fails.
[[noreturn]] void ExecChild(const std::vector<std::string>& argv,
                            const std::map<std::string, std::string>& env);

// Runs argv[0] with the given extra environment and working folder, input
// from /dev/null; waits up to timeout (then kills it).
RunResult RunProgram(const std::vector<std::string>& argv,
                     const std::map<std::string, std::string>& env = {},
                     const std::string& cwd = "",
                     std::chrono::milliseconds timeout = std::chrono::seconds(60));

// A child whose standard input, output and error are a pseudo terminal.
class PtyChild {
  public:
    PtyChild(const std::vector<std::string>& argv,
             const std::map<std::string, std::string>& env = {});
    ~PtyChild();
    PtyChild(const PtyChild&) = delete;
    PtyChild& operator=(const PtyChild&) = delete;

    // Reads until the output so far contains needle; false on timeout or end.
    bool WaitFor(const std::string& needle,
                 std::chrono::milliseconds timeout = std::chrono::seconds(20));
    void Send(const std::string& text);
    void Signal(int signal);
    // Waits for the exit; gives the exit code, or -1 on timeout/signal.
    int Wait(std::chrono::milliseconds timeout = std::chrono::seconds(20));
    const std::string& Output() const { return output_; }

  private:
    void Drain(int timeoutMs);
    pid_t pid_ = -1;
    int master_ = -1;
    std::string output_;
};

}  // namespace testing_support
