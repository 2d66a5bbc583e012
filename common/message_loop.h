// The window thread's message loop, on GLib's default main context (the one
// GTK uses too): messages posted from any thread, timers by id, and nested
// loops for modal boxes.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <thread>

#include "common/message.h"

typedef struct _GMainLoop GMainLoop;
typedef struct _GSource GSource;

class MessageLoop {
  public:
    using MessageHandler = std::function<void(Message&)>;
    using TimerHandler = std::function<void(unsigned id)>;

    // Binds the loop to the calling thread, which must run it.
    MessageLoop();
    ~MessageLoop();
    MessageLoop(const MessageLoop&) = delete;
    MessageLoop& operator=(const MessageLoop&) = delete;

    void SetHandlers(MessageHandler onMessage, TimerHandler onTimer);

    // Queues a message for the handler; callable from any thread, never runs
    // the handler at once. Messages that arrive after the loop is gone are
    // dropped (their payloads freed).
    void Post(Message message);
    void Post(unsigned id, std::int64_t wParam = 0, std::int64_t lParam = 0);
    // Runs fn on the window thread and waits for it (at once when called on
    // it). Gives up waiting when the loop goes away.
    void Call(const std::function<void()>& fn);

    // Timers on the window thread; setting an existing id restarts it.
    void SetTimer(unsigned id, unsigned periodMs);
    void KillTimer(unsigned id);
    bool HasTimer(unsigned id) const { return timers_.count(id) != 0; }

    bool IsLoopThread() const { return std::this_thread::get_id() == thread_; }

    // Runs until Quit; gives Quit's result.
    int Run();
    // The loop has ended for good: later messages are dropped and Call
    // returns at once without running its function.
    void Close();
    void Quit(int result);
    bool Quitting() const { return quitting_; }

    // Runs blocking() on a helper thread while this thread keeps handling
    // messages and timers in a nested loop; gives blocking()'s result.
    int RunModal(const std::function<int()>& blocking);
    // The same, except that this loop's own messages and timer ticks are
    // held back meanwhile (the main context keeps turning, so a toolkit
    // keeps drawing): they are handled after blocking() has returned, in
    // the order they came, one tick per timer that ticked.
    int RunHeld(const std::function<int()>& blocking);

    // Handles what is pending without waiting (for tests).
    void DrainPending();

  private:
    struct Shared;
    static int Dispatch(void* data);
    // Queues a message for its handler (or for later, while held).
    static void EnqueueMessage(const std::shared_ptr<Shared>& shared,
                               std::shared_ptr<Message> message);
    // Runs a nested loop until blocking(), on a helper thread, returns.
    int RunNested(const std::function<int()>& blocking);

    std::shared_ptr<Shared> shared_;
    std::thread::id thread_;
    std::map<unsigned, GSource*> timers_;
    GMainLoop* loop_ = nullptr;
    bool quitting_ = false;
    int result_ = 0;
};
