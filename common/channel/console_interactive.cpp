#include "common/channel/console_interactive.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <system_error>
#include <utility>

namespace vellum {

namespace {

void CloseFile(int& fd) {
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

}  // namespace

ConsoleInteractive::LineReader::~LineReader() {
    Stop();
}

bool ConsoleInteractive::LineReader::Start() {
    m_stopEvent = ::eventfd(0, EFD_CLOEXEC);
    if (m_stopEvent < 0)
        return false;
    try {
        m_thread = std::thread([this] { Run(); });
    } catch (const std::system_error&) {
        CloseFile(m_stopEvent);
        return false;
    }
    return true;
}

void ConsoleInteractive::LineReader::Stop() {
    if (m_thread.joinable()) {
        {
            const std::lock_guard<std::mutex> guard(m_lock);
            m_stopping = true;
        }
        m_room.notify_all();
        const std::uint64_t one = 1;
        // An eventfd counter cannot overflow from a single write of 1.
        while (::write(m_stopEvent, &one, sizeof one) < 0 && errno == EINTR) {
        }
        m_thread.join();
    }
    CloseFile(m_stopEvent);
    const std::lock_guard<std::mutex> guard(m_lock);
    m_lines.clear();
}

bool ConsoleInteractive::LineReader::Pop(std::string& line) {
    const std::lock_guard<std::mutex> guard(m_lock);
    if (m_lines.empty())
        return false;
    line = std::move(m_lines.front());
    m_lines.pop_front();
    m_room.notify_all();
    return true;
}

bool ConsoleInteractive::LineReader::Ended() {
    const std::lock_guard<std::mutex> guard(m_lock);
    return m_ended && m_lines.empty();
}

void ConsoleInteractive::LineReader::Run() {
    std::string current;
    bool skipping = false;  // the rest of an overlong line is dropped
    char buffer[16384];
    for (;;) {
        {
            // A full queue holds the reader until lines are taken.
            std::unique_lock<std::mutex> lock(m_lock);
            m_room.wait(lock, [this] { return m_stopping || m_lines.size() < kMaxQueuedLines; });
            if (m_stopping)
                return;
        }
        pollfd fds[2] = {{m_fd, POLLIN, 0}, {m_stopEvent, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[1].revents != 0)
            return;
        const ssize_t n = ::read(m_fd, buffer, sizeof buffer);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0) {
            // Closed or failed: a partial last line is dropped.
            const std::lock_guard<std::mutex> guard(m_lock);
            m_ended = true;
            return;
        }
        for (ssize_t i = 0; i < n; ++i) {
            if (buffer[i] != '\n') {
                if (skipping)
                    continue;
                if (current.size() == kMaxLineLength) {
                    current.clear();
                    skipping = true;
                    continue;
                }
                current.push_back(buffer[i]);
                continue;
            }
            if (skipping) {
                skipping = false;
                continue;
            }
            const std::lock_guard<std::mutex> guard(m_lock);
            m_lines.push_back(std::move(current));
            current.clear();
        }
    }
}

ConsoleInteractive::ConsoleInteractive(bool isLauncher)
    : isLauncher(isLauncher),
      m_childInRead(STDIN_FILENO),
      m_childOutWrite(STDOUT_FILENO),
      m_errorWrite(STDERR_FILENO) {}

ConsoleInteractive::~ConsoleInteractive() {
    Stop();
    ClosePipes();
}

bool ConsoleInteractive::Start() {
    if (m_reader)
        return true;
    if (isLauncher) {
        // Pipes replace any of an earlier run; all ends are close-on-exec, the
        // child gets its three through PrepareChildStartup.
        ClosePipes();
        int in[2], out[2], err[2];
        if (::pipe2(in, O_CLOEXEC) != 0)
            return false;
        if (::pipe2(out, O_CLOEXEC) != 0) {
            ::close(in[0]);
            ::close(in[1]);
            return false;
        }
        if (::pipe2(err, O_CLOEXEC) != 0) {
            for (int fd : {in[0], in[1], out[0], out[1]})
                ::close(fd);
            return false;
        }
        m_childInRead = in[0];
        m_childInWrite = in[1];
        m_childOutRead = out[0];
        m_childOutWrite = out[1];
        m_errorRead = err[0];
        m_errorWrite = err[1];
        m_ownPipes = true;
    }
    auto reader = std::make_unique<LineReader>(isLauncher ? m_childOutRead : m_childInRead);
    if (!reader->Start())
        return false;
    m_reader = std::move(reader);
    return true;
}

bool ConsoleInteractive::ReceiveLine(std::string& line) {
    return m_reader && m_reader->Pop(line);
}

bool ConsoleInteractive::SendText(const std::string& s) {
    const int fd = isLauncher ? m_childInWrite : m_childOutWrite;
    if (fd < 0)
        return false;
    // Never waits for the peer, like the network channel: a peer that stops
    // reading (its pipe full) would otherwise hold the caller, and with it
    // the reading of "quit". Pieces of at most PIPE_BUF bytes go out while
    // the pipe has room; what does not fit is not sent later.
    std::size_t sent = 0;
    while (sent < s.size()) {
        pollfd writable{fd, POLLOUT, 0};
        const int ready = ::poll(&writable, 1, 0);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0 || !(writable.revents & POLLOUT))
            return false;
        const std::size_t piece = std::min<std::size_t>(s.size() - sent, PIPE_BUF);
        const ssize_t n = ::write(fd, s.data() + sent, piece);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

bool ConsoleInteractive::Closed() const {
    return m_reader && m_reader->Ended();
}

void ConsoleInteractive::Stop() {
    m_reader.reset();
}

bool ConsoleInteractive::PrepareChildStartup(posix_spawn_file_actions_t& actions) const {
    if (!isLauncher || !m_ownPipes || m_childInRead < 0 || m_childOutWrite < 0 || m_errorWrite < 0)
        return false;
    return ::posix_spawn_file_actions_adddup2(&actions, m_childInRead, STDIN_FILENO) == 0 &&
           ::posix_spawn_file_actions_adddup2(&actions, m_childOutWrite, STDOUT_FILENO) == 0 &&
           ::posix_spawn_file_actions_adddup2(&actions, m_errorWrite, STDERR_FILENO) == 0;
}

void ConsoleInteractive::CloseChildEnds() {
    if (!m_ownPipes)
        return;
    CloseFile(m_childInRead);
    CloseFile(m_childOutWrite);
    CloseFile(m_errorWrite);
}

void ConsoleInteractive::ClosePipes() {
    if (!m_ownPipes)
        return;
    for (int* fd : {&m_childInRead, &m_childInWrite, &m_childOutRead, &m_childOutWrite,
                    &m_errorRead, &m_errorWrite})
        CloseFile(*fd);
    m_ownPipes = false;
}

}  // namespace vellum
