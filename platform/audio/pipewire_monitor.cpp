#include "platform/audio/pipewire_monitor.h"

#include <pipewire/pipewire.h>
#include <spa/param/props.h>
#include <spa/pod/builder.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/pipewire/pipewire_connection.h"

namespace quavelink::audio {
namespace {

// PipeWire answers a round trip in milliseconds; one that hangs must not hold the capture.
constexpr auto kRoundTrip = std::chrono::seconds(1);
// The sink's own setting: whether its monitor ports apply its volumes and mute. pipewire-pulse's
// null sinks and WirePlumber's software-volume sinks set it, which puts the monitor after the
// volume as PulseAudio has it.
constexpr const char* kMonitorFollowsVolume = "monitor.channel-volumes";

// One short connection to PipeWire, driven on the calling thread.
class Session {
  public:
    explicit Session(const std::string& sinkName) : sinkName(sinkName) {
        pipewire::initialise();
        loop = pw_loop_new(nullptr);
        if (!loop) return;
        context = pw_context_new(loop, nullptr, 0);
        if (!context) return;
        core = pw_context_connect(context, nullptr, 0);
        if (!core) return;
        coreEvents.version = PW_VERSION_CORE_EVENTS;
        coreEvents.done = &Session::onDone;
        coreEvents.error = &Session::onError;
        pw_core_add_listener(core, &coreListener, &coreEvents, this);
        registry = pw_core_get_registry(core, PW_VERSION_REGISTRY, 0);
        if (!registry) return;
        registryEvents.version = PW_VERSION_REGISTRY_EVENTS;
        registryEvents.global = &Session::onGlobal;
        pw_registry_add_listener(registry, &registryListener, &registryEvents, this);
        if (!roundTrip() || nodeId == SPA_ID_INVALID) return;
        node = static_cast<pw_node*>(
            pw_registry_bind(registry, nodeId, PW_TYPE_INTERFACE_Node, PW_VERSION_NODE, 0));
        if (!node) return;
        nodeEvents.version = PW_VERSION_NODE_EVENTS;
        nodeEvents.info = &Session::onInfo;
        pw_node_add_listener(node, &nodeListener, &nodeEvents, this);
        found = roundTrip() && haveInfo;
    }

    ~Session() {
        if (node) {
            spa_hook_remove(&nodeListener);
            pw_proxy_destroy(reinterpret_cast<pw_proxy*>(node));
        }
        if (registry) {
            spa_hook_remove(&registryListener);
            pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry));
        }
        if (core) {
            spa_hook_remove(&coreListener);
            pw_core_disconnect(core);
        }
        if (context) pw_context_destroy(context);
        if (loop) pw_loop_destroy(loop);
    }

    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    //! Whether the sink was found; then `monitorFollowsVolume` holds its own setting.
    bool found = false;
    bool monitorFollowsVolume = false;

    //! Sets whether the sink's monitor follows its volume; whether PipeWire took it.
    bool setMonitorFollowsVolume(bool follows) {
        std::uint8_t buffer[256];
        spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
        spa_pod_frame frames[2];
        spa_pod_builder_push_object(&builder, &frames[0], SPA_TYPE_OBJECT_Props, SPA_PARAM_Props);
        spa_pod_builder_prop(&builder, SPA_PROP_params, 0);
        spa_pod_builder_push_struct(&builder, &frames[1]);
        spa_pod_builder_string(&builder, kMonitorFollowsVolume);
        spa_pod_builder_bool(&builder, follows);
        spa_pod_builder_pop(&builder, &frames[1]);
        auto* param = static_cast<spa_pod*>(spa_pod_builder_pop(&builder, &frames[0]));
        if (!param || pw_node_set_param(node, SPA_PARAM_Props, 0, param) < 0) return false;
        return roundTrip();
    }

  private:
    // Runs the loop until PipeWire has answered everything asked so far.
    bool roundTrip() {
        pending = pw_core_sync(core, PW_ID_CORE, 0);
        answered = false;
        auto deadline = std::chrono::steady_clock::now() + kRoundTrip;
        pw_loop_enter(loop);
        while (!answered && !failed && std::chrono::steady_clock::now() < deadline) {
            pw_loop_iterate(loop, 20);
        }
        pw_loop_leave(loop);
        return answered && !failed;
    }

    static void onDone(void* data, std::uint32_t id, int seq) {
        auto* self = static_cast<Session*>(data);
        if (id == PW_ID_CORE && seq == self->pending) self->answered = true;
    }

    static void onError(void* data, std::uint32_t id, int, int, const char*) {
        // An error on the core itself ends the connection; one on the node is an answer.
        if (id == PW_ID_CORE) static_cast<Session*>(data)->failed = true;
    }

    static void onGlobal(void* data, std::uint32_t id, std::uint32_t, const char* type,
                         std::uint32_t, const spa_dict* props) {
        auto* self = static_cast<Session*>(data);
        if (!props || std::strcmp(type, PW_TYPE_INTERFACE_Node) != 0) return;
        const char* name = spa_dict_lookup(props, PW_KEY_NODE_NAME);
        const char* mediaClass = spa_dict_lookup(props, PW_KEY_MEDIA_CLASS);
        if (name && mediaClass && self->sinkName == name &&
            std::strcmp(mediaClass, "Audio/Sink") == 0) {
            self->nodeId = id;
        }
    }

    static void onInfo(void* data, const pw_node_info* info) {
        auto* self = static_cast<Session*>(data);
        if (!info || !info->props) return;
        const char* follows = spa_dict_lookup(info->props, kMonitorFollowsVolume);
        self->monitorFollowsVolume = follows && std::strcmp(follows, "true") == 0;
        self->haveInfo = true;
    }

    const std::string& sinkName;
    pw_loop* loop = nullptr;
    pw_context* context = nullptr;
    pw_core* core = nullptr;
    pw_registry* registry = nullptr;
    pw_node* node = nullptr;
    spa_hook coreListener{}, registryListener{}, nodeListener{};
    pw_core_events coreEvents{};
    pw_registry_events registryEvents{};
    pw_node_events nodeEvents{};
    std::uint32_t nodeId = SPA_ID_INVALID;
    int pending = 0;
    bool answered = false;
    bool failed = false;
    bool haveInfo = false;
};

// Puts the sink's own setting back: other programs recording its monitor expect it.
void restore(const std::string& sinkName) {
    Session session(sinkName);
    if (session.found) session.setMonitorFollowsVolume(true);
}

class Hold;
std::mutex holdsMutex;
std::vector<Hold*> holds;  // holdsMutex

class Hold : public MonitorBeforeVolume {
  public:
    explicit Hold(std::string sinkName) : sinkName(std::move(sinkName)) {
        std::lock_guard lock(holdsMutex);
        holds.push_back(this);
    }
    ~Hold() override {
        {
            std::lock_guard lock(holdsMutex);
            holds.erase(std::find(holds.begin(), holds.end(), this));
            if (released) return;
            released = true;
        }
        restore(sinkName);
    }

    const std::string sinkName;
    bool released = false;  // holdsMutex
};

}  // namespace

std::unique_ptr<MonitorBeforeVolume> KeepMonitorBeforeVolume(const std::string& sinkName) {
    Session session(sinkName);
    if (!session.found || !session.monitorFollowsVolume) return nullptr;
    if (!session.setMonitorFollowsVolume(false)) return nullptr;
    return std::make_unique<Hold>(sinkName);
}

void ReleaseMonitorHolds() {
    std::vector<std::string> sinks;
    {
        std::lock_guard lock(holdsMutex);
        for (Hold* hold : holds) {
            if (hold->released) continue;
            hold->released = true;
            sinks.push_back(hold->sinkName);
        }
    }
    for (const std::string& sink : sinks) restore(sink);
}

}  // namespace quavelink::audio
