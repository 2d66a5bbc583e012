#include "tests/support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>
#include <thread>

namespace testing_support {
namespace {

using Clock = std::chrono::steady_clock;

}  // namespace

void ExecChild(const std::vector<std::string>& argv,
               const std::map<std::string, std::string>& env) {
    for (const auto& [k, v] : env)
        ::setenv(k.c_str(), v.c_str(), 1);
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ::execvp(args[0], args.data());
    ::_exit(127);
}

namespace {

int WaitPid(pid_t pid, Clock::time_point deadline) {
    for (;;) {
        int status = 0;
        const pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        if (r < 0 && errno != EINTR)
            return -1;
        if (Clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

}  // namespace

RunResult RunProgram(const std::vector<std::string>& argv,
                     const std::map<std::string, std::string>& env, const std::string& cwd,
                     std::chrono::milliseconds timeout) {
    int outPipe[2], errPipe[2];
    if (::pipe2(outPipe, O_CLOEXEC) != 0 || ::pipe2(errPipe, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    const pid_t pid = ::fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        const int devNull = ::open("/dev/null", O_RDONLY);
        ::dup2(devNull, 0);
        ::dup2(outPipe[1], 1);
        ::dup2(errPipe[1], 2);
        if (!cwd.empty() && ::chdir(cwd.c_str()) != 0)
            ::_exit(126);
        ExecChild(argv, env);
    }
    ::close(outPipe[1]);
    ::close(errPipe[1]);

    RunResult result;
    const auto deadline = Clock::now() + timeout;
    pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    int open = 2;
    while (open > 0 && Clock::now() < deadline) {
        if (::poll(fds, 2, 100) <= 0)
            continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP)))
                continue;
            char buf[4096];
            const ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                (i == 0 ? result.out : result.err).append(buf, static_cast<std::size_t>(n));
            } else {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    for (auto& f : fds)
        if (f.fd >= 0)
            ::close(f.fd);
    result.exitCode = WaitPid(pid, deadline);
    return result;
}

PtyChild::PtyChild(const std::vector<std::string>& argv,
                   const std::map<std::string, std::string>& env) {
    pid_ = ::forkpty(&master_, nullptr, nullptr, nullptr);
    if (pid_ < 0)
        throw std::runtime_error("forkpty failed");
    if (pid_ == 0)
        ExecChild(argv, env);
}

PtyChild::~PtyChild() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        int status;
        ::waitpid(pid_, &status, 0);
    }
    if (master_ >= 0)
        ::close(master_);
}

void PtyChild::Drain(int timeoutMs) {
    pollfd fd{master_, POLLIN, 0};
    if (::poll(&fd, 1, timeoutMs) <= 0)
        return;
    char buf[4096];
    const ssize_t n = ::read(master_, buf, sizeof buf);
    if (n > 0)
        output_.append(buf, static_cast<std::size_t>(n));
}

bool PtyChild::WaitFor(const std::string& needle, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (output_.find(needle) == std::string::npos) {
        if (Clock::now() > deadline)
            return false;
        Drain(50);
    }
    return true;
}

void PtyChild::Send(const std::string& text) {
    if (::write(master_, text.data(), text.size()) < 0)
        throw std::runtime_error("pty write");
}

void PtyChild::Signal(int signal) {
    if (pid_ > 0)
        ::kill(pid_, signal);
}

int PtyChild::Wait(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        Drain(10);
        int status = 0;
        const pid_t r = ::waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            pid_ = -1;
            Drain(0);
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        if (Clock::now() > deadline)
            return -1;
    }
}

}  // namespace testing_support
