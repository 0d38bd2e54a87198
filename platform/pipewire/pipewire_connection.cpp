#include "platform/pipewire/pipewire_connection.h"

#include <pipewire/pipewire.h>

#include <cerrno>
#include <cstring>
#include <mutex>

namespace quavelink::pipewire {
namespace {

// PipeWire answers a round trip in milliseconds; one that hangs must not hold its caller.
constexpr std::chrono::milliseconds kRoundTrip{1000};

}  // namespace

void initialise() {
    static std::once_flag once;
    std::call_once(once, [] { pw_init(nullptr, nullptr); });
}

const char* property(const spa_dict* props, const char* key) {
    return props ? spa_dict_lookup(props, key) : nullptr;
}

struct Connection::Hooks {
    spa_hook core{};
    spa_hook registry{};
    pw_core_events coreEvents{};
    pw_registry_events registryEvents{};
};

Connection::Connection() : hooks(std::make_unique<Hooks>()) {
    hooks->coreEvents.version = PW_VERSION_CORE_EVENTS;
    hooks->coreEvents.done = [](void* data, std::uint32_t id, int seq) {
        auto* self = static_cast<Connection*>(data);
        if (id != PW_ID_CORE) return;
        if (seq == self->pendingSync) self->synced = true;
        self->signal();
    };
    hooks->coreEvents.error = [](void* data, std::uint32_t id, int, int res, const char*) {
        auto* self = static_cast<Connection*>(data);
        // An error of the core itself ends the connection; one of an object is that object's.
        if (id != PW_ID_CORE || res != -EPIPE || self->lost.exchange(true)) return;
        self->guard("connection lost", self->callbackFailed, [&] { self->onLost(); });
    };
    hooks->registryEvents.version = PW_VERSION_REGISTRY_EVENTS;
    hooks->registryEvents.global = [](void* data, std::uint32_t id, std::uint32_t, const char* type,
                                      std::uint32_t, const spa_dict* props) {
        auto* self = static_cast<Connection*>(data);
        self->guard("registry", self->callbackFailed,
                    [&] { self->onGlobal(id, type ? type : "", props); });
    };
    hooks->registryEvents.global_remove = [](void* data, std::uint32_t id) {
        auto* self = static_cast<Connection*>(data);
        self->guard("registry", self->callbackFailed, [&] { self->onGlobalRemoved(id); });
    };
}

int Connection::connect(const Options& options) {
    initialise();
    threadLoop = pw_thread_loop_new("quavelink-pw", nullptr);
    if (!threadLoop) return -ENOMEM;
    // The real-time module raises the data thread, on which every stream's process runs.
    context = pw_context_new(pw_thread_loop_get_loop(threadLoop),
                             pw_properties_new(PW_KEY_CONFIG_NAME, "client-rt.conf",
                                               PW_KEY_APP_NAME, options.clientName, nullptr),
                             0);
    if (!context) return errno != 0 ? -errno : -ENOMEM;
    if (pw_thread_loop_start(threadLoop) < 0) return -EIO;
    Lock lock(*this);
    corePtr = pw_context_connect(context, nullptr, 0);
    if (!corePtr) return errno != 0 ? -errno : -ECONNREFUSED;
    pw_core_add_listener(corePtr, &hooks->core, &hooks->coreEvents, this);
    if (options.registry) {
        registryPtr = pw_core_get_registry(corePtr, PW_VERSION_REGISTRY, 0);
        if (!registryPtr) return -ENOMEM;
        pw_registry_add_listener(registryPtr, &hooks->registry, &hooks->registryEvents, this);
    }
    int result = sync();
    if (result == 0) connected = true;
    return result;
}

Connection::~Connection() {
    close();
    if (registryPtr) {
        spa_hook_remove(&hooks->registry);
        pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registryPtr));
    }
    if (corePtr) {
        spa_hook_remove(&hooks->core);
        pw_core_disconnect(corePtr);
    }
    if (context) pw_context_destroy(context);
    if (threadLoop) pw_thread_loop_destroy(threadLoop);
}

void Connection::close() {
    if (threadLoop) pw_thread_loop_stop(threadLoop);
}

Connection::Lock::Lock(Connection& connection) : loop(connection.threadLoop) {
    pw_thread_loop_lock(loop);
}

Connection::Lock::~Lock() { pw_thread_loop_unlock(loop); }

int Connection::sync() {
    if (lost) return -EPIPE;
    synced = false;
    pendingSync = pw_core_sync(corePtr, PW_ID_CORE, pendingSync);
    const auto deadline = std::chrono::steady_clock::now() + kRoundTrip;
    while (!synced && !lost) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline -
                                                                 std::chrono::steady_clock::now());
        if (left.count() <= 0 || !waitSignal(left)) return synced ? 0 : -ETIMEDOUT;
    }
    return lost ? -EPIPE : 0;
}

bool Connection::waitSignal(std::chrono::milliseconds limit) {
    timespec until{};
    pw_thread_loop_get_time(threadLoop, &until,
                            std::chrono::duration_cast<std::chrono::nanoseconds>(limit).count());
    return pw_thread_loop_timed_wait_full(threadLoop, &until) == 0;
}

void Connection::signal() { pw_thread_loop_signal(threadLoop, false); }

ConnectionSource::ConnectionSource(Factory make, Connection::Options options)
    : make(std::move(make)), options(options) {}

int ConnectionSource::current(std::shared_ptr<Connection>& out) {
    {
        std::lock_guard lock(mutex);
        if (connection && connection->alive()) {
            out = connection;
            return 0;
        }
    }
    std::shared_ptr<Connection> made = make();
    int result = made->connect(options);
    if (result != 0) return result;
    std::lock_guard lock(mutex);
    // Another caller may have made one meanwhile: everyone keeps to the first.
    if (!connection || !connection->alive()) connection = std::move(made);
    out = connection;
    return 0;
}

namespace {

class Probe : public Connection {
  public:
    ~Probe() override { close(); }
    bool audio = false;

  private:
    void onGlobal(std::uint32_t, const char* type, const spa_dict* props) override {
        const char* mediaClass = property(props, PW_KEY_MEDIA_CLASS);
        if (std::strcmp(type, PW_TYPE_INTERFACE_Node) == 0 && mediaClass &&
            (std::strncmp(mediaClass, "Audio/Sink", 10) == 0 ||
             std::strncmp(mediaClass, "Audio/Source", 12) == 0)) {
            audio = true;
        }
    }
};

}  // namespace

bool PipeWireCarriesAudio() {
    Probe probe;
    Connection::Options options;
    options.registry = true;
    if (probe.connect(options) != 0) return false;
    Connection::Lock lock(probe);
    return probe.audio;
}

}  // namespace quavelink::pipewire
