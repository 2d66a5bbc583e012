#include "tests/Ferrel/engine_process.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <thread>

extern char** environ;

namespace ferrel_test {

namespace {

using Clock = std::chrono::steady_clock;
constexpr const char* kTag = "[Interactive]";

}  // namespace

EngineProcess::EngineProcess(const std::vector<std::string>& args)
    : EngineProcess(FERREL_BINARY, args) {}

EngineProcess::EngineProcess(const std::string& program, const std::vector<std::string>& args)
    : channel_(std::make_unique<vellum::ConsoleInteractive>(true)) {
    std::signal(SIGPIPE, SIG_IGN);
    posix_spawn_file_actions_t actions;
    if (::posix_spawn_file_actions_init(&actions) != 0)
        return;
    std::vector<std::string> argv{program};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> raw;
    for (std::string& a : argv)
        raw.push_back(a.data());
    raw.push_back(nullptr);
    if (channel_->Start() && channel_->PrepareChildStartup(actions)) {
        pid_t pid = -1;
        if (::posix_spawn(&pid, program.c_str(), &actions, nullptr, raw.data(), environ) == 0)
            pid_ = pid;
        channel_->CloseChildEnds();
    }
    ::posix_spawn_file_actions_destroy(&actions);
}

EngineProcess::~EngineProcess() {
    if (pid_ > 0 && Wait(std::chrono::milliseconds(0)) == -1 && pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
}

void EngineProcess::Send(const std::string& command) {
    // The channel never waits for the engine to read; a long text goes out
    // in pieces the pipe takes whole, each offered again until it fits.
    const std::string text = command + "\n";
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    for (std::size_t at = 0; channel_ && at < text.size();) {
        const std::string piece = text.substr(at, 4096);
        if (channel_->SendText(piece))
            at += piece.size();
        else if (Clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        else
            return;
    }
}

bool EngineProcess::WaitForLine(const std::string& wanted, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    std::string line;
    while (channel_ && Clock::now() < deadline) {
        if (channel_->ReceiveLine(line)) {
            lines_.push_back(line);
            if (line == wanted)
                return true;
            continue;
        }
        if (channel_->Closed())
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

bool EngineProcess::WaitForState(int state, std::chrono::milliseconds timeout) {
    return WaitForLine(std::string(kTag) + "P2PState=" + std::to_string(state), timeout);
}

void EngineProcess::CloseChannel() {
    channel_.reset();
}

int EngineProcess::Wait(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        int status = 0;
        const pid_t done = ::waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            pid_ = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        if (Clock::now() >= deadline)
            return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

std::vector<std::string> EngineProcess::Values(const std::string& key) const {
    const std::string prefix = std::string(kTag) + key + "=";
    std::vector<std::string> values;
    for (const std::string& l : lines_)
        if (l.compare(0, prefix.size(), prefix) == 0)
            values.push_back(l.substr(prefix.size()));
    return values;
}

std::vector<int> EngineProcess::States() const {
    std::vector<int> states;
    for (const std::string& v : Values("P2PState"))
        states.push_back(std::stoi(v));
    return states;
}

}  // namespace ferrel_test
