#pragma once

// The one way the PipeWire backends (the capture's audio system and the client's output) reach
// PipeWire: a connection that owns its thread loop, the lock over it, round trips, the
// registry, a guard that keeps exceptions inside PipeWire's callbacks, and a source that
// connects again after PipeWire went away. Backends only; the interfaces above them never see
// it, nor a PipeWire header.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>

#include "platform/callback_guard.h"

struct pw_context;
struct pw_core;
struct pw_registry;
struct pw_thread_loop;
struct spa_dict;

namespace quavelink::pipewire {

//! Readies libpipewire for this process; every entry of this layer calls it. Any thread.
void initialise();

//! A property of `props` (null when missing or `props` is null).
const char* property(const spa_dict* props, const char* key);

//! One connection to PipeWire with its own event thread, the thread loop. Members and
//! callbacks run under the loop's lock (which the loop thread holds while it dispatches);
//! every method but `alive`, `connect` and the destructor expects it held. Streams made on
//! the connection run their process callbacks on the context's data thread, which PipeWire's
//! real-time module raises where the system lets it.
class Connection {
  public:
    struct Options {
        const char* clientName = "QuaveLink Server";
        //! Listen to the registry: onGlobal and onGlobalRemoved are called for every object.
        bool registry = false;
    };

    Connection();
    //! Any thread but the loop's: closes; nothing of the connection is used afterwards.
    virtual ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    //! Any thread, without the lock: connected and not lost since.
    bool alive() const { return connected.load() && !lost.load(); }

    //! The loop's lock, held for its lifetime; recursive.
    class Lock {
      public:
        explicit Lock(Connection& connection);
        ~Lock();
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

      private:
        pw_thread_loop* loop;
    };

    //! Under the lock: waits until PipeWire has answered everything asked before it (its
    //! registry events included). 0, or a negative errno: -EPIPE when the connection is lost,
    //! -ETIMEDOUT when PipeWire did not answer within a second.
    int sync();
    //! Under the lock: waits for the next signal from the loop, at most `limit`; false on
    //! time-out.
    bool waitSignal(std::chrono::milliseconds limit);
    //! Loop thread, or any thread under the lock: wakes whoever waits under the lock.
    void signal();

    pw_core* core() const { return corePtr; }
    pw_registry* registry() const { return registryPtr; }
    pw_thread_loop* loop() const { return threadLoop; }

    //! Loop thread: the shape of every PipeWire callback body. `body` runs; an exception stops
    //! here, is logged (once per `where` for the process), and sets `failed`; the waiter under
    //! the lock is woken either way.
    template <typename Body>
    void guard(const char* where, bool& failed, Body&& body) noexcept {
        runGuarded(where, failed, std::forward<Body>(body));
        signal();
    }

    //! Once, from the thread that made it, without the lock: starts the loop, connects and,
    //! with `registry`, waits until the objects there are all told. 0 or a negative errno.
    int connect(const Options& options);
    //! Stops the loop thread and disconnects; idempotent. A derived backend connection calls it
    //! first in its destructor, so that no callback runs on its members while they go.
    void close();

  protected:
    //! Loop thread, under the lock, inside `guard`: an object appeared in the registry.
    virtual void onGlobal(std::uint32_t id, const char* type, const spa_dict* props) {
        (void)id, (void)type, (void)props;
    }
    //! Loop thread, under the lock, inside `guard`: the object `id` went away.
    virtual void onGlobalRemoved(std::uint32_t id) { (void)id; }
    //! Loop thread, under the lock, inside `guard`: the connection was lost (PipeWire stopped
    //! or restarted); nothing more comes through it.
    virtual void onLost() {}

  private:
    struct Hooks;

    std::unique_ptr<Hooks> hooks;
    pw_thread_loop* threadLoop = nullptr;
    pw_context* context = nullptr;
    pw_core* corePtr = nullptr;
    pw_registry* registryPtr = nullptr;
    std::atomic<bool> connected{false};
    std::atomic<bool> lost{false};
    int pendingSync = -1;         // loop
    bool synced = false;          // loop
    bool callbackFailed = false;  // loop
};

//! The connection in use, made anew on the next use once it has been lost (PipeWire stopped or
//! was restarted). The connect happens outside the source's lock, so a PipeWire that does not
//! answer holds up only its own caller. Any thread but a loop's.
class ConnectionSource {
  public:
    //! Makes an unconnected connection (a backend's own kind); the source connects it.
    using Factory = std::function<std::shared_ptr<Connection>()>;

    ConnectionSource(Factory make, Connection::Options options);
    ConnectionSource(const ConnectionSource&) = delete;
    ConnectionSource& operator=(const ConnectionSource&) = delete;

    //! The live connection (made now if needed); a negative errno when none can be made, 0
    //! otherwise.
    int current(std::shared_ptr<Connection>& out);

  private:
    Factory make;
    Connection::Options options;
    std::mutex mutex;
    std::shared_ptr<Connection> connection;  // mutex
};

//! Whether PipeWire runs here and carries the sound: it answers, and has an audio sink or
//! source (a PipeWire that only serves screen casts beside PulseAudio has neither). Any
//! thread; blocks for a round trip, a second at most.
bool PipeWireCarriesAudio();

}  // namespace quavelink::pipewire
