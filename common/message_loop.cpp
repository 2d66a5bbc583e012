#include "common/message_loop.h"

#include <glib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <mutex>

// State that outlives the loop for as long as a queued callback holds it.
struct MessageLoop::Shared {
    std::mutex mutex;
    bool alive = true;
    MessageHandler onMessage;
    TimerHandler onTimer;

    // While set, messages and timer ticks are kept here for later.
    bool holding = false;
    std::vector<std::shared_ptr<Message>> heldMessages;
    std::vector<unsigned> heldTicks;

    bool Alive() {
        std::lock_guard lock(mutex);
        return alive;
    }
    // The handler to call now; empty once the loop is gone.
    template <class Handler>
    Handler Current(Handler Shared::*handler) {
        std::lock_guard lock(mutex);
        return alive ? this->*handler : Handler();
    }
    // The handler for a message now; empty when the loop is gone or the
    // message was kept for later.
    MessageHandler ForMessage(const std::shared_ptr<Message>& message) {
        std::lock_guard lock(mutex);
        if (!alive)
            return {};
        if (holding) {
            heldMessages.push_back(message);
            return {};
        }
        return onMessage;
    }
    TimerHandler ForTick(unsigned id) {
        std::lock_guard lock(mutex);
        if (!alive)
            return {};
        if (holding) {
            if (std::find(heldTicks.begin(), heldTicks.end(), id) == heldTicks.end())
                heldTicks.push_back(id);
            return {};
        }
        return onTimer;
    }
};

namespace {

// A callback held by a GLib source; it captures what it needs to outlive
// the loop.
using Callback = std::function<void()>;

gboolean RunOnce(gpointer data) {
    (*static_cast<Callback*>(data))();
    return G_SOURCE_REMOVE;
}

gboolean RunRepeatedly(gpointer data) {
    (*static_cast<Callback*>(data))();
    return G_SOURCE_CONTINUE;
}

void FreeCallback(gpointer data) {
    delete static_cast<Callback*>(data);
}

void Enqueue(Callback run) {
    GSource* source = g_idle_source_new();
    g_source_set_priority(source, G_PRIORITY_DEFAULT);
    g_source_set_callback(source, RunOnce, new Callback(std::move(run)), FreeCallback);
    g_source_attach(source, g_main_context_default());
    g_source_unref(source);
}

}  // namespace

MessageLoop::MessageLoop()
    : shared_(std::make_shared<Shared>()), thread_(std::this_thread::get_id()) {
    loop_ = g_main_loop_new(g_main_context_default(), FALSE);
}

MessageLoop::~MessageLoop() {
    Close();
    for (auto& [id, source] : timers_) {
        g_source_destroy(source);
        g_source_unref(source);
    }
    timers_.clear();
    // Drop what is still queued for this loop (payloads are freed).
    while (g_main_context_iteration(g_main_context_default(), FALSE)) {
    }
    g_main_loop_unref(loop_);
}

void MessageLoop::SetHandlers(MessageHandler onMessage, TimerHandler onTimer) {
    std::lock_guard lock(shared_->mutex);
    shared_->onMessage = std::move(onMessage);
    shared_->onTimer = std::move(onTimer);
}

void MessageLoop::EnqueueMessage(const std::shared_ptr<Shared>& shared,
                                 std::shared_ptr<Message> message) {
    Enqueue([shared, message] {
        if (MessageHandler handler = shared->ForMessage(message))
            handler(*message);
    });
}

void MessageLoop::Post(Message message) {
    EnqueueMessage(shared_, std::make_shared<Message>(std::move(message)));
}

void MessageLoop::Post(unsigned id, std::int64_t wParam, std::int64_t lParam) {
    Message m;
    m.id = id;
    m.wParam = wParam;
    m.lParam = lParam;
    Post(std::move(m));
}

void MessageLoop::Call(const std::function<void()>& fn) {
    if (IsLoopThread()) {
        fn();
        return;
    }
    auto shared = shared_;
    auto done = std::make_shared<std::promise<void>>();
    auto future = done->get_future();
    Enqueue([shared, done, fn] {
        if (shared->Alive())
            fn();
        done->set_value();
    });
    while (future.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready) {
        if (!shared->Alive())
            return;
    }
}

void MessageLoop::SetTimer(unsigned id, unsigned periodMs) {
    KillTimer(id);
    auto shared = shared_;
    GSource* source = g_timeout_source_new(periodMs);
    g_source_set_callback(source, RunRepeatedly, new Callback([shared, id] {
                              if (TimerHandler handler = shared->ForTick(id))
                                  handler(id);
                          }),
                          FreeCallback);
    g_source_attach(source, g_main_context_default());
    timers_[id] = source;
}

void MessageLoop::KillTimer(unsigned id) {
    auto it = timers_.find(id);
    if (it == timers_.end())
        return;
    g_source_destroy(it->second);
    g_source_unref(it->second);
    timers_.erase(it);
}

int MessageLoop::Run() {
    if (!quitting_)
        g_main_loop_run(loop_);
    return result_;
}

void MessageLoop::Close() {
    std::lock_guard lock(shared_->mutex);
    shared_->alive = false;
}

void MessageLoop::Quit(int result) {
    quitting_ = true;
    result_ = result;
    g_main_loop_quit(loop_);
}

int MessageLoop::RunModal(const std::function<int()>& blocking) {
    return RunNested(blocking);
}

int MessageLoop::RunHeld(const std::function<int()>& blocking) {
    bool outer;
    {
        std::lock_guard lock(shared_->mutex);
        outer = !shared_->holding;
        shared_->holding = true;
    }
    const int result = RunNested(blocking);
    if (!outer)
        return result;  // the outer hold hands them on
    std::vector<std::shared_ptr<Message>> messages;
    std::vector<unsigned> ticks;
    {
        std::lock_guard lock(shared_->mutex);
        shared_->holding = false;
        messages.swap(shared_->heldMessages);
        ticks.swap(shared_->heldTicks);
    }
    // Queued now, so they come before anything posted from here on.
    for (auto& message : messages)
        EnqueueMessage(shared_, std::move(message));
    auto shared = shared_;
    for (unsigned id : ticks) {
        Enqueue([this, shared, id] {
            // A timer killed meanwhile does not tick any more.
            if (!shared->Alive() || !HasTimer(id))
                return;
            if (TimerHandler handler = shared->ForTick(id))
                handler(id);
        });
    }
    return result;
}

int MessageLoop::RunNested(const std::function<int()>& blocking) {
    GMainLoop* nested = g_main_loop_new(g_main_context_default(), FALSE);
    std::atomic<bool> finished{false};
    int result = 0;
    std::thread helper([&] {
        result = blocking();
        finished = true;
        g_main_context_wakeup(g_main_context_default());
    });
    // Wake up now and then to see whether the box has been answered.
    GSource* poll = g_timeout_source_new(20);
    struct PollData {
        std::atomic<bool>* finished;
        GMainLoop* nested;
    } data{&finished, nested};
    g_source_set_callback(
        poll,
        [](gpointer p) -> gboolean {
            auto* d = static_cast<PollData*>(p);
            if (*d->finished)
                g_main_loop_quit(d->nested);
            return G_SOURCE_CONTINUE;
        },
        &data, nullptr);
    g_source_attach(poll, g_main_context_default());
    if (!finished)
        g_main_loop_run(nested);
    g_source_destroy(poll);
    g_source_unref(poll);
    helper.join();
    g_main_loop_unref(nested);
    return result;
}

void MessageLoop::DrainPending() {
    while (g_main_context_iteration(g_main_context_default(), FALSE)) {
    }
}
