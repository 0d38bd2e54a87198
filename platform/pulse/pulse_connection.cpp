#include "platform/pulse/pulse_connection.h"

#include <pthread.h>
#include <pulse/pulseaudio.h>
#include <sched.h>

#include <algorithm>
#include <mutex>

namespace quavelink::pulse {
namespace {

// Low in the real-time range: above every normal thread, below the sound server's own
// (PulseAudio's run at 5).
constexpr int kEventThreadPriority = 4;
constexpr std::chrono::milliseconds kWatchPeriod{250};
// A connect to a sound server that is not there fails at once: trying twice a second costs
// nothing and finds it back within half a second.
constexpr std::chrono::milliseconds kRetryPeriod{500};

// Every captured fragment passes through the event thread on its way to the capture thread;
// at normal priority a busy machine holds it back for tens of milliseconds. Where the system
// does not allow it the thread stays as it is.
void raisePriority(pa_mainloop_api*, void*) {
    sched_param param{};
    param.sched_priority = kEventThreadPriority;
    pthread_setschedparam(pthread_self(), SCHED_RR, &param);
}

void onDone(pa_context*, int, void* self) { static_cast<Connection*>(self)->signal(); }

}  // namespace

int Connection::connect(const Options& options) {
    eventHandler = options.onEvent;
    mainloop = pa_threaded_mainloop_new();
    if (!mainloop) return PA_ERR_INTERNAL;
    ctx = pa_context_new(pa_threaded_mainloop_get_api(mainloop), options.clientName);
    if (!ctx) return PA_ERR_INTERNAL;
    pa_context_set_state_callback(ctx, &Connection::onState, this);
    if (options.subscriptions != 0) {
        pa_context_set_subscribe_callback(
            ctx,
            [](pa_context* context, pa_subscription_event_type_t type, std::uint32_t index,
               void* self) { onEvent(context, static_cast<int>(type), index, self); },
            this);
    }
    if (pa_context_connect(ctx, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        return pa_context_errno(ctx);
    }
    Lock lock(*this);
    if (pa_threaded_mainloop_start(mainloop) < 0) return PA_ERR_INTERNAL;
    if (options.realtimeEvents) {
        pa_mainloop_api_once(pa_threaded_mainloop_get_api(mainloop), &raisePriority, nullptr);
    }
    for (;;) {
        pa_context_state_t state = pa_context_get_state(ctx);
        if (state == PA_CONTEXT_READY) break;
        if (!PA_CONTEXT_IS_GOOD(state)) return pa_context_errno(ctx);
        waitSignal();
    }
    if (options.subscriptions != 0) {
        int error = wait(pa_context_subscribe(
            ctx, static_cast<pa_subscription_mask_t>(options.subscriptions), &onDone, this));
        if (error != 0) return error;
    }
    return 0;
}

Connection::~Connection() { close(); }

void Connection::close() {
    if (!mainloop) return;
    pa_threaded_mainloop_stop(mainloop);
    if (ctx) {
        pa_context_disconnect(ctx);
        pa_context_unref(ctx);
        ctx = nullptr;
    }
    pa_threaded_mainloop_free(mainloop);
    mainloop = nullptr;
}

bool Connection::alive() {
    Lock lock(*this);
    return ready();
}

bool Connection::ready() const {
    return ctx != nullptr && pa_context_get_state(ctx) == PA_CONTEXT_READY;
}

Connection::Lock::Lock(Connection& connection) : loop(connection.mainloop) {
    pa_threaded_mainloop_lock(loop);
}

Connection::Lock::~Lock() { pa_threaded_mainloop_unlock(loop); }

int Connection::wait(pa_operation* operation) {
    if (!operation) {
        int error = pa_context_errno(ctx);
        return error != 0 ? error : PA_ERR_UNKNOWN;
    }
    while (pa_operation_get_state(operation) == PA_OPERATION_RUNNING) waitSignal();
    pa_operation_unref(operation);
    return ready() ? 0 : PA_ERR_CONNECTIONTERMINATED;
}

void Connection::waitSignal() { pa_threaded_mainloop_wait(mainloop); }

void Connection::signal() { pa_threaded_mainloop_signal(mainloop, 0); }

int Connection::lastError() const { return pa_context_errno(ctx); }

void Connection::onState(pa_context*, void* self) { static_cast<Connection*>(self)->signal(); }

void Connection::onEvent(pa_context*, int type, std::uint32_t index, void* data) {
    auto* self = static_cast<Connection*>(data);
    if (!self->eventHandler) return;
    self->guard("subscription event", self->eventFailed,
                [&] { self->eventHandler(*self, static_cast<unsigned>(type), index); });
}

ConnectionSource::ConnectionSource(Factory make, Connection::Options options, bool watch,
                                   std::function<void()> onReconnected)
    : make(std::move(make)), options(std::move(options)), onReconnected(std::move(onReconnected)) {
    if (watch) watcher = std::thread([this] { watchLoop(); });
}

ConnectionSource::~ConnectionSource() {
    {
        std::lock_guard lock(mutex);
        stopping = true;
    }
    wake.notify_all();
    attempted.notify_all();
    if (watcher.joinable()) watcher.join();
}

int ConnectionSource::current(std::shared_ptr<Connection>& out) {
    std::unique_lock lock(mutex);
    if (connection && connection->alive()) {
        out = connection;
        return 0;
    }
    if (!connecting && !watcher.joinable()) {
        int error = connectOutsideLock(lock);
        if (error == 0) out = connection;
        return error;
    }
    if (!connecting) {
        tryNow = true;
        wake.notify_all();
    }
    // The connect under way (or the watch thread's next) ends; it is not waited for longer.
    const std::uint64_t before = attempts;
    attempted.wait_for(lock, kConnectWait, [&] { return attempts != before || stopping; });
    if (connection && connection->alive()) {
        out = connection;
        return 0;
    }
    if (attempts == before) return PA_ERR_TIMEOUT;
    return lastError != 0 ? lastError : PA_ERR_CONNECTIONREFUSED;
}

std::shared_ptr<Connection> ConnectionSource::last() {
    std::lock_guard lock(mutex);
    return connection;
}

int ConnectionSource::connectOutsideLock(std::unique_lock<std::mutex>& lock) {
    connecting = true;
    lock.unlock();
    std::shared_ptr<Connection> made;
    int error = PA_ERR_INTERNAL;
    try {
        made = make();
        error = made->connect(options);
    } catch (...) {
        // Out of memory, most likely: no connection this time.
    }
    lock.lock();
    connecting = false;
    ++attempts;
    if (error == 0) {
        connection.swap(made);
        ++connectionsMade;
    } else {
        lastError = error;
    }
    attempted.notify_all();
    // The connection replaced, or the one that failed, closes without the lock: closing waits
    // for its event thread.
    lock.unlock();
    made.reset();
    lock.lock();
    return error;
}

void ConnectionSource::watchLoop() {
    std::unique_lock lock(mutex);
    // The connection last told of (0: none yet), and whether one was missing since: each
    // connection made after a loss is told once.
    std::uint64_t told = connectionsMade;
    bool lost = false;
    while (!stopping) {
        if (connection && connection->alive()) {
            if (connectionsMade != told) {
                const bool reconnected = lost || told != 0;
                told = connectionsMade;
                lost = false;
                if (reconnected && onReconnected) {
                    lock.unlock();
                    onReconnected();
                    lock.lock();
                }
                continue;
            }
            wake.wait_for(lock, kWatchPeriod, [&] { return stopping || tryNow; });
            tryNow = false;
            continue;
        }
        // The one there was has died, or none could be made.
        lost = lost || connection != nullptr;
        tryNow = false;
        if (connectOutsideLock(lock) == 0) continue;
        lost = true;
        wake.wait_for(lock, kRetryPeriod, [&] { return stopping || tryNow; });
    }
}

}  // namespace quavelink::pulse
