#pragma once

// PipeWire's audio graph as the PipeWire backend of the audio layer keeps it: the audio nodes
// from the registry, the default devices, the graph's rate, and the state each open stream
// shares with its callbacks. Backend only: nothing above the audio layer includes it.

#include <spa/utils/hook.h>

#include <atomic>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/audio/audio_system.h"
#include "platform/audio/packet_ring.h"
#include "platform/audio/pipewire_monitor.h"
#include "platform/pipewire/pipewire_connection.h"

struct pw_node_info;
struct pw_proxy;
struct pw_stream;

namespace quavelink::audio::pipewire_backend {

//! A negative errno of PipeWire as the status the audio layer reports.
Status pipeWireError(int error);

class Graph;

// An audio sink or source as the registry and its info tell it.
struct Node {
    Graph* graph = nullptr;
    std::uint32_t id = 0;
    std::uint64_t serial = 0;
    DataFlow flow = DataFlow::Render;
    std::string name;
    std::uint32_t deviceId = SPA_ID_INVALID;
    bool haveInfo = false;
    std::optional<std::string> description;
    std::string formFactor;
    std::optional<std::uint32_t> profileDevice;
    std::uint32_t rate = 0;
    std::uint32_t channels = 0;
    std::vector<std::uint32_t> positions;
    pw_proxy* proxy = nullptr;
    spa_hook listener{};

    bool sameFormat(const Node& other) const {
        return rate == other.rate && channels == other.channels && positions == other.positions;
    }
};

// One pw_stream and what its callbacks share with the audio client.
struct StreamState {
    Graph* graph = nullptr;
    pw_stream* stream = nullptr;
    spa_hook listener{};
    DataFlow flow = DataFlow::Render;  // of the endpoint
    bool record = false;
    std::uint32_t targetId = SPA_ID_INVALID;
    std::uint32_t rate = 0;
    std::uint32_t channels = 0;
    std::uint32_t frameBytes = 0;
    std::uint32_t bufferFrames = 0;
    std::unique_ptr<PacketRing> ring;  // record streams
    //! Frames of the last graph cycle (its quantum at the stream's rate), set by the data thread.
    std::atomic<std::uint32_t> cycleFrames{0};
    bool eventCallback = false;
    std::atomic<WakeEvent*> packetEvent{nullptr};  // set by the capture thread, read by the data
    //! Keeps a sink's monitor before the sink's volume while it is captured.
    std::unique_ptr<MonitorBeforeVolume> beforeVolume;
    // Playback streams: frames queued by the writer, taken by the data thread.
    std::vector<std::uint8_t> queue;
    std::atomic<std::uint64_t> queueWritten{0}, queueRead{0};
    std::vector<std::uint8_t> staging;
    SessionEvents* events = nullptr;  // loop
    bool disconnectTold = false;      // loop
    bool negotiated = false;          // loop
    //! Between Start and Stop: packets before it are dropped (the stream runs from its link,
    //! so that its format is agreed before Initialize returns).
    std::atomic<bool> started{false};
    std::atomic<bool> failed{false};
    std::atomic<bool> serverGone{false};  // set before `failed`

    Status failure() const {
        return serverGone.load() ? kErrorServiceNotRunning : kErrorDeviceInvalidated;
    }

    void tell(DisconnectReason reason) {
        if (disconnectTold) return;
        disconnectTold = true;
        if (events) events->OnSessionDisconnected(reason);
    }

    // Loop thread: the stream has ended under us.
    void end(bool withServer) {
        if (failed.load()) return;
        serverGone = withServer;
        failed = true;
        tell(withServer ? DisconnectReason::ServerShutdown : DisconnectReason::DeviceRemoval);
    }
};

// One connection to PipeWire with what the audio layer keeps of its graph: the audio nodes,
// the default devices, the graph's rate, the open streams and the registered clients. Members
// marked "loop" are touched only under the loop's lock.
class Graph : public pipewire::Connection {
  public:
    using Lock = pipewire::Connection::Lock;

    static std::shared_ptr<pipewire::Connection> make() { return std::make_shared<Graph>(); }
    static pipewire::Connection::Options options() {
        pipewire::Connection::Options options;
        options.clientName = "QuaveLink Server";
        options.registry = true;
        return options;
    }

    ~Graph() override;

    // Under the lock: waits until every node's info has come.
    Status settle() {
        bool missing = std::any_of(nodes.begin(), nodes.end(),
                                   [](const auto& entry) { return !entry.second->haveInfo; });
        if (!missing) return kOk;
        int result = sync();
        return result == 0 ? kOk : pipeWireError(result);
    }

    // Under the lock: the node as PipeWire has it now. One that is not known yet may have
    // just appeared: a round trip brings its registry event, a second one its info.
    const Node* find(DataFlow flow, const std::string& name) {
        for (int trip = 0; trip < 2; ++trip) {
            if (const Node* node = known(flow, name)) return node;
            if (sync() != 0) return nullptr;
        }
        return known(flow, name);
    }

    // Under the lock: sinks first, then sources, each in the order they appeared.
    std::vector<const Node*> endpoints() const {
        std::vector<const Node*> out;
        for (const auto& [id, node] : nodes) out.push_back(node.get());
        std::sort(out.begin(), out.end(), [](const Node* a, const Node* b) {
            if (a->flow != b->flow) return a->flow == DataFlow::Render;
            return a->serial < b->serial;
        });
        return out;
    }

    // Under the lock: the default device of `flow`. Between a default going away and the
    // session manager naming the next one there is none for a moment: then this waits for it.
    // A PipeWire that has just started has devices before it has a default: this waits for it
    // too, and says the sound server is not running yet should none come; where there is no
    // device of `flow` at all there is no default.
    Status defaultDevice(DataFlow flow, std::string& name);

    // Under the lock: the rate the graph runs at, where the settings say it.
    std::uint32_t graphRate() const { return forcedRate != 0 ? forcedRate : clockRate; }

    // Under the lock: the names and descriptions of the routes (jacks) of `node`'s device that
    // lead to it.
    std::vector<std::string> routes(const Node& node, std::string& formFactor);

    //! Any thread: the connection was lost (or never made).
    bool gone() const { return !alive(); }

    std::vector<StreamState*> streams;         // loop
    std::vector<NotificationClient*> clients;  // loop

  private:
    struct Metadata {
        Graph* graph = nullptr;
        bool isDefault = false;  // else "settings"
        pw_proxy* proxy = nullptr;
        spa_hook listener{};
    };

    void onGlobal(std::uint32_t id, const char* type, const spa_dict* props) override;
    void onGlobalRemoved(std::uint32_t id) override;
    void onLost() override {
        for (StreamState* stream : streams) stream->end(true);
    }

    const Node* known(DataFlow flow, const std::string& name) const {
        for (const auto& [id, node] : nodes) {
            if (node->flow == flow && node->name == name && node->haveInfo) return node.get();
        }
        return nullptr;
    }

    bool anyNode(DataFlow flow) const {
        for (const auto& [id, node] : nodes) {
            if (node->flow == flow) return true;
        }
        return false;
    }

    static void forget(Node& node);

    static void onNodeInfo(void* data, const pw_node_info* info);
    static int onMetadataProperty(void* data, std::uint32_t subject, const char* key,
                                  const char* type, const char* value);
    void setDefault(DataFlow flow, const std::string& name);

    std::map<std::uint32_t, std::unique_ptr<Node>> nodes;  // loop
    std::vector<std::unique_ptr<Metadata>> metadatas;      // loop
    std::string defaultSink, defaultSource;                // loop; empty while unsettled
    std::string toldSink, toldSource;                      // loop; the last settled ones
    std::uint32_t clockRate = 0, forcedRate = 0;           // loop
    bool nodeInfoFailed = false;                           // loop
    bool metadataFailed = false;                           // loop
};

//! The mix format of `node`: its own rate and channels where it names them, else the graph's
//! rate (48000 Hz when unknown too) and two channels.
MixFormat mixFormatOf(const Node& node, std::uint32_t graphRate);

}  // namespace quavelink::audio::pipewire_backend
