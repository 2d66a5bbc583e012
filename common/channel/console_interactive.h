// The channel over standard input and output: the engine's own console, or
// pipes to a child on the launching side.
#pragma once

#include <spawn.h>

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "common/channel/interactive.h"

namespace vellum {

class ConsoleInteractive : public IInteractive {
  public:
    // Longer lines are dropped whole.
    static constexpr std::size_t kMaxLineLength = 8192;
    // Received lines kept for ReceiveLine; while that many wait, the reader
    // stops reading and the writer has to wait.
    static constexpr std::size_t kMaxQueuedLines = 4096;

    // isLauncher true: Start makes pipes for a child's standard input, output
    // and error, and the channel talks to that child. False: the channel is
    // this process's own standard input and output.
    explicit ConsoleInteractive(bool isLauncher);
    ~ConsoleInteractive() override;
    ConsoleInteractive(const ConsoleInteractive&) = delete;
    ConsoleInteractive& operator=(const ConsoleInteractive&) = delete;

    bool Start() override;
    bool ReceiveLine(std::string& line) override;
    // One write; true when all of s was written. A write to a child that has
    // gone away raises SIGPIPE unless the process ignores it, as
    // platform::InitSocketLayer makes it do.
    bool SendText(const std::string& s) override;
    // Ends the line reader's thread (waiting for it) and drops unread lines.
    void Stop() override;
    // True once the input ended (or failed) and every line was taken.
    bool Closed() const override;

    // Launching side, after Start: makes a child started with these file
    // actions take the pipes as its standard input, output and error. False,
    // and nothing changed, on the other side or before Start.
    bool PrepareChildStartup(posix_spawn_file_actions_t& actions) const;
    // Launching side: closes this process's copies of the child's pipe ends,
    // once the child has been started, so that the child's exit ends the
    // reader.
    void CloseChildEnds();

  private:
    // Reads lines from one file until it ends or the reader is stopped.
    class LineReader {
      public:
        explicit LineReader(int fd) : m_fd(fd) {}
        ~LineReader();
        bool Start();
        void Stop();
        bool Pop(std::string& line);
        bool Ended();

      private:
        void Run();

        int m_fd;
        int m_stopEvent = -1;
        std::thread m_thread;
        std::mutex m_lock;
        std::condition_variable m_room;  // a line was taken, or stopping
        std::deque<std::string> m_lines;
        bool m_ended = false;     // the input ended or failed; under m_lock
        bool m_stopping = false;  // under m_lock
    };

    void ClosePipes();

    bool isLauncher;
    std::unique_ptr<LineReader> m_reader;
    bool m_ownPipes = false;
    int m_childInRead;
    int m_childInWrite = -1;
    int m_childOutRead = -1;
    int m_childOutWrite;
    int m_errorRead = -1;
    int m_errorWrite;
};

}  // namespace vellum
