#pragma once

// The one way both PulseAudio backends (audio and mixer) reach the sound server: a connection
// that owns its threaded main loop, the lock over it, waits for operations, a guard that keeps
// exceptions inside libpulse callbacks, and a source that connects again after the sound
// server went away. Backends only; the interfaces above them never see it.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

#include "platform/callback_guard.h"

struct pa_context;
struct pa_operation;
struct pa_threaded_mainloop;

namespace quavelink::pulse {

//! One connection to the sound server with its own event thread. Members and callbacks run
//! under the main-loop lock; every method but `alive` and the destructor expects it held.
class Connection {
  public:
    //! Loop thread, under the lock: a subscription event on `connection`
    //! (pa_subscription_event_type_t bits and the object's index). Runs inside `guard`.
    using EventHandler =
        std::function<void(Connection& connection, unsigned type, std::uint32_t index)>;

    struct Options {
        const char* clientName = "QuaveLink Server";
        //! pa_subscription_mask_t bits; 0 subscribes to nothing.
        unsigned subscriptions = 0;
        EventHandler onEvent;
        //! Runs the event thread at a low real-time priority where the system allows it.
        bool realtimeEvents = false;
    };

    Connection() = default;
    //! Any thread but the loop's: closes; nothing of the connection is used afterwards.
    virtual ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    //! Any thread but the loop's, without the lock: whether the context is still ready.
    bool alive();
    //! Under the lock.
    bool ready() const;

    //! The main-loop lock, held for its lifetime.
    class Lock {
      public:
        explicit Lock(Connection& connection);
        ~Lock();
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

      private:
        pa_threaded_mainloop* loop;
    };

    //! Under the lock: waits until `operation` ends (and unreferences it). 0 when it ran to
    //! the end on a live connection; else the libpulse error number (PA_ERR_CONNECTIONTERMINATED
    //! when the connection died meanwhile).
    int wait(pa_operation* operation);
    //! Under the lock: waits for the next signal from the loop.
    void waitSignal();
    //! Loop thread: wakes whoever waits under the lock.
    void signal();
    //! Under the lock: the context's last error number.
    int lastError() const;

    pa_context* context() const { return ctx; }
    pa_threaded_mainloop* loop() const { return mainloop; }

    //! Loop thread: the shape of every libpulse callback body. `body` runs; an exception stops
    //! here, is logged (once per `where` for the process), and sets `failed`; the waiter under
    //! the lock is woken either way.
    template <typename Body>
    void guard(const char* where, bool& failed, Body&& body) noexcept {
        runGuarded(where, failed, std::forward<Body>(body));
        signal();
    }

    //! Once, from the thread that made it: connects and waits until the context is ready and
    //! subscribed. The libpulse error number (PA_ERR_*) on failure, 0 on success.
    int connect(const Options& options);
    //! Stops the event thread and disconnects; idempotent. A derived backend connection calls
    //! it first in its destructor, so that no callback runs on its members while they go.
    void close();

  private:
    static void onState(pa_context* context, void* self);
    static void onEvent(pa_context* context, int type, std::uint32_t index, void* self);

    pa_threaded_mainloop* mainloop = nullptr;
    pa_context* ctx = nullptr;
    EventHandler eventHandler;
    bool eventFailed = false;  // loop
};

//! The connection in use, made anew once it has died (the sound server stopped or was
//! restarted). With `watch`, a thread of its own notices the death within a quarter second
//! and tries every half second until a connection is made; `onReconnected` is called once for
//! each connection made after one died or none could be made. Without, a new connection is
//! tried on the next use. A connect runs outside the source's lock, so a sound server that
//! takes its time to answer (or never does) holds up only the one thread that connects: every
//! other user waits at most kConnectWait for it. Any thread but a loop's.
class ConnectionSource {
  public:
    //! Makes an unconnected connection (a backend's own kind); the source connects it.
    using Factory = std::function<std::shared_ptr<Connection>()>;

    //! How long a user waits for a connect that another thread (or the watch thread) makes.
    static constexpr std::chrono::milliseconds kConnectWait{2000};

    //! `onReconnected` runs on the watch thread with no lock held.
    ConnectionSource(Factory make, Connection::Options options, bool watch,
                     std::function<void()> onReconnected = {});
    ~ConnectionSource();
    ConnectionSource(const ConnectionSource&) = delete;
    ConnectionSource& operator=(const ConnectionSource&) = delete;

    //! The live connection; the libpulse error number when there is none, 0 otherwise. Without
    //! a watch thread, connects now when nobody else does; with one, has it try now. Either way
    //! waits at most kConnectWait for a connect made by another thread.
    int current(std::shared_ptr<Connection>& out);
    //! The connection as it is, live or not, without trying to make one (null before any).
    std::shared_ptr<Connection> last();

  private:
    //! With `lock` held on entry and on return: makes a connection with the lock released and
    //! puts it in place. The libpulse error number, or 0.
    int connectOutsideLock(std::unique_lock<std::mutex>& lock);
    void watchLoop();

    Factory make;
    Connection::Options options;
    std::function<void()> onReconnected;
    std::mutex mutex;
    std::condition_variable wake;       // the watch thread
    std::condition_variable attempted;  // users waiting for a connect to end
    std::shared_ptr<Connection> connection;
    std::uint64_t connectionsMade = 0;  // connections made so far
    std::uint64_t attempts = 0;         // connects ended so far, made or failed
    int lastError = 0;                  // of the last connect that failed
    bool connecting = false;
    bool tryNow = false;  // a user asks the watch thread not to wait for its next try
    bool stopping = false;
    std::thread watcher;
};

}  // namespace quavelink::pulse
