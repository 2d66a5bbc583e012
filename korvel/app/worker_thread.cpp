#include "korvel/app/worker_thread.h"

#include <chrono>
#include <thread>

WorkerThread::WorkerThread(std::function<void()> fn) : state_(std::make_shared<State>()) {
    std::thread([state = state_, fn = std::move(fn)] {
        fn();
        std::lock_guard lock(state->mutex);
        state->ended = true;
        state->cv.notify_all();
    }).detach();
}

bool WorkerThread::Wait(int ms) const {
    std::unique_lock lock(state_->mutex);
    return state_->cv.wait_for(lock, std::chrono::milliseconds(ms), [&] { return state_->ended; });
}
