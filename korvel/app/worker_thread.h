// A thread whose end can be waited for with a time limit, like a thread
// handle. Threads cannot be terminated safely here: a caller that gives up
// waiting goes on, and the thread keeps running until it sees the stop flags.
#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

class WorkerThread {
  public:
    // Starts fn at once on a new thread.
    explicit WorkerThread(std::function<void()> fn);
    ~WorkerThread() = default;  // never blocks; the thread runs on by itself
    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;

    // Waits up to ms milliseconds; true when the thread has ended.
    bool Wait(int ms) const;
    bool Ended() const { return Wait(0); }

  private:
    struct State {
        std::mutex mutex;
        std::condition_variable cv;
        bool ended = false;
    };
    std::shared_ptr<State> state_;
};
