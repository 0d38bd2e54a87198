#include "platform/audio/pipewire_audio_system.h"

#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>
#include <spa/pod/builder.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "platform/audio/packet_ring.h"
#include "platform/audio/pipewire_graph.h"
#include "platform/audio/pipewire_monitor.h"
#include "platform/log.h"
#include "platform/pipewire/pipewire_connection.h"
#include "platform/wake_event.h"

namespace quavelink::audio {
namespace {

using namespace pipewire_backend;

// The capture ring: packets of at most 480 frames, 256 of them (2.5 s at 48 kHz).
constexpr std::uint32_t kRingSlots = 256;
constexpr std::uint32_t kRingSlotFrames = 480;
// How long a new stream waits for the session manager to link it to its device.
constexpr auto kLinkWait = std::chrono::milliseconds(3000);

void onStreamState(void* data, pw_stream_state, pw_stream_state state, const char*) {
    auto* stream = static_cast<StreamState*>(data);
    if (state == PW_STREAM_STATE_ERROR ||
        (state == PW_STREAM_STATE_UNCONNECTED && stream->negotiated)) {
        stream->end(stream->graph->gone());
    }
    stream->graph->signal();
}

void onStreamParam(void* data, std::uint32_t id, const spa_pod* param) {
    auto* stream = static_cast<StreamState*>(data);
    if (id == SPA_PARAM_Format && param) stream->negotiated = true;
    stream->graph->signal();
}

// The data thread: moves the packet into the ring and wakes the capture thread.
void onCaptureProcess(void* data) {
    auto* state = static_cast<StreamState*>(data);
    pw_buffer* buffer = pw_stream_dequeue_buffer(state->stream);
    if (!buffer) return;
    if (buffer->buffer->n_datas > 0 && state->started.load(std::memory_order_acquire)) {
        const spa_data& samples = buffer->buffer->datas[0];
        std::uint32_t offset = std::min(samples.chunk->offset, samples.maxsize);
        std::uint32_t size = std::min(samples.chunk->size, samples.maxsize - offset);
        // A chunk marked empty is silence of its size.
        const void* from = samples.data && !(samples.chunk->flags & SPA_CHUNK_FLAG_EMPTY)
                               ? static_cast<const std::uint8_t*>(samples.data) + offset
                               : nullptr;
        state->ring->write(from, size, kBufferFlagsSilent, kBufferFlagsDataDiscontinuity);
        state->cycleFrames.store(size / state->frameBytes, std::memory_order_relaxed);
    }
    pw_stream_queue_buffer(state->stream, buffer);
    if (WakeEvent* event = state->packetEvent.load(std::memory_order_acquire)) event->set();
}

// The data thread: plays what the writer queued, silence where it queued nothing.
void onRenderProcess(void* data) {
    auto* state = static_cast<StreamState*>(data);
    pw_buffer* buffer = pw_stream_dequeue_buffer(state->stream);
    if (!buffer) return;
    spa_data& samples = buffer->buffer->datas[0];
    if (samples.data) {
        std::uint32_t frames = samples.maxsize / state->frameBytes;
        if (buffer->requested != 0) {
            frames = static_cast<std::uint32_t>(std::min<std::uint64_t>(frames, buffer->requested));
        }
        auto* out = static_cast<std::uint8_t*>(samples.data);
        const std::uint64_t read = state->queueRead.load(std::memory_order_relaxed);
        const std::uint64_t queued = state->queueWritten.load(std::memory_order_acquire) - read;
        const auto taken = static_cast<std::uint32_t>(std::min<std::uint64_t>(queued, frames));
        const std::size_t capacity = state->queue.size() / state->frameBytes;
        for (std::uint32_t frame = 0; frame < taken; ++frame) {
            std::memcpy(out + static_cast<std::size_t>(frame) * state->frameBytes,
                        state->queue.data() + ((read + frame) % capacity) * state->frameBytes,
                        state->frameBytes);
        }
        std::memset(out + static_cast<std::size_t>(taken) * state->frameBytes, 0,
                    static_cast<std::size_t>(frames - taken) * state->frameBytes);
        state->queueRead.store(read + taken, std::memory_order_release);
        samples.chunk->offset = 0;
        samples.chunk->stride = static_cast<std::int32_t>(state->frameBytes);
        samples.chunk->size = frames * state->frameBytes;
    }
    pw_stream_queue_buffer(state->stream, buffer);
}

const pw_stream_events kCaptureEvents = [] {
    pw_stream_events events{};
    events.version = PW_VERSION_STREAM_EVENTS;
    events.state_changed = &onStreamState;
    events.param_changed = &onStreamParam;
    events.process = &onCaptureProcess;
    return events;
}();

const pw_stream_events kRenderEvents = [] {
    pw_stream_events events = kCaptureEvents;
    events.process = &onRenderProcess;
    return events;
}();

class PipeWireCaptureClient : public CaptureClient {
  public:
    explicit PipeWireCaptureClient(std::shared_ptr<StreamState> state) : state(std::move(state)) {}

    Status GetBuffer(const std::uint8_t*& data, std::uint32_t& frames,
                     std::uint32_t& flags) override {
        frames = 0;
        flags = 0;
        if (state->ring->peek(data, frames, flags)) {
            tellQuantum();
            return kOk;
        }
        return state->failed.load() ? state->failure() : kOk;
    }

    Status ReleaseBuffer(std::uint32_t frames) override {
        if (frames != 0) state->ring->pop();
        return kOk;
    }

  private:
    // The quantum asked for is the graph's only when no other stream asks for a larger one. A
    // stream at another rate than the graph's gets its quantum resampled, a frame more or less
    // from cycle to cycle (235 and 236 at 44.1 kHz on a 48 kHz graph): that is no change.
    void tellQuantum() {
        std::uint32_t cycle = state->cycleFrames.load(std::memory_order_relaxed);
        if (cycle == 0) return;
        const std::uint32_t apart = cycle > toldCycle ? cycle - toldCycle : toldCycle - cycle;
        if (toldCycle != 0 && apart <= 1) return;
        toldCycle = cycle;
        logLine("PipeWire runs the capture at %u frames a cycle (%.2f ms)\n", cycle,
                cycle * 1000.0 / state->rate);
    }

    std::shared_ptr<StreamState> state;
    std::uint32_t toldCycle = 0;
};

class PipeWireRenderClient : public RenderClient {
  public:
    explicit PipeWireRenderClient(std::shared_ptr<StreamState> state) : state(std::move(state)) {}

    Status GetBuffer(std::uint32_t frames, std::uint8_t*& data) override {
        if (static_cast<std::size_t>(frames) * state->frameBytes > state->staging.size()) {
            return kErrorBufferTooLarge;
        }
        data = state->staging.data();
        return kOk;
    }

    Status ReleaseBuffer(std::uint32_t frames, std::uint32_t flags) override {
        if (state->failed.load()) return state->failure();
        const std::size_t capacity = state->queue.size() / state->frameBytes;
        const std::uint64_t written = state->queueWritten.load(std::memory_order_relaxed);
        const std::uint64_t room =
            capacity - (written - state->queueRead.load(std::memory_order_acquire));
        if (frames > room) return kErrorBufferTooLarge;
        for (std::uint32_t frame = 0; frame < frames; ++frame) {
            std::uint8_t* to =
                state->queue.data() + ((written + frame) % capacity) * state->frameBytes;
            if (flags & kBufferFlagsSilent) {
                std::memset(to, 0, state->frameBytes);
            } else {
                std::memcpy(
                    to, state->staging.data() + static_cast<std::size_t>(frame) * state->frameBytes,
                    state->frameBytes);
            }
        }
        state->queueWritten.store(written + frames, std::memory_order_release);
        return kOk;
    }

  private:
    std::shared_ptr<StreamState> state;
};

class PipeWireSessionControl : public SessionControl {
  public:
    PipeWireSessionControl(std::shared_ptr<Graph> graph, std::shared_ptr<StreamState> state)
        : graph(std::move(graph)), state(std::move(state)) {}

    Status RegisterAudioSessionNotification(SessionEvents* events) override {
        Graph::Lock lock(*graph);
        state->events = events;
        return kOk;
    }
    Status UnregisterAudioSessionNotification(SessionEvents* events) override {
        Graph::Lock lock(*graph);
        if (state->events != events) return kErrorNotFound;
        state->events = nullptr;
        return kOk;
    }

  private:
    std::shared_ptr<Graph> graph;
    std::shared_ptr<StreamState> state;
};

class PipeWireAudioClient : public AudioClient {
  public:
    PipeWireAudioClient(std::shared_ptr<Graph> graph, DataFlow flow, std::string name)
        : graph(std::move(graph)), flow(flow), name(std::move(name)) {}

    ~PipeWireAudioClient() override {
        if (!state) return;
        Graph::Lock lock(*graph);
        forget(*state);
    }

    Status GetMixFormat(MixFormat& format) override {
        Graph::Lock lock(*graph);
        Status status = graph->settle();
        if (Failed(status)) return status;
        const Node* node = graph->find(flow, name);
        if (!node) return graph->gone() ? kErrorServiceNotRunning : kErrorDeviceInvalidated;
        format = mixFormatOf(*node, graph->graphRate());
        return kOk;
    }

    Status Initialize(ShareMode, std::uint32_t streamFlags,
                      std::chrono::microseconds bufferDuration, const MixFormat& format) override {
        if (state) return kErrorAlreadyInitialized;
        bool loopback = (streamFlags & kStreamFlagsLoopback) != 0;
        if (loopback && flow != DataFlow::Render) return kErrorWrongEndpointType;
        if (format.bitsPerSample != 32 || format.channels == 0 ||
            format.channels > SPA_AUDIO_MAX_CHANNELS || format.samplesPerSec == 0 ||
            (format.formatTag == kWaveFormatExtensible && format.subFormat != kSubtypeIeeeFloat) ||
            (format.formatTag != kWaveFormatExtensible && format.formatTag != 3)) {
            return kErrorUnsupportedFormat;
        }
        auto made = std::make_shared<StreamState>();
        made->graph = graph.get();
        made->flow = flow;
        made->record = flow == DataFlow::Capture || loopback;
        made->rate = format.samplesPerSec;
        made->channels = format.channels;
        made->frameBytes = format.channels * 4u;
        made->eventCallback = (streamFlags & kStreamFlagsEventCallback) != 0;
        if (made->record) {
            made->ring =
                std::make_unique<PacketRing>(kRingSlots, kRingSlotFrames, made->frameBytes);
            made->bufferFrames = kCaptureQuantumFrames;
        } else {
            made->bufferFrames = static_cast<std::uint32_t>(
                bufferDuration.count() * static_cast<std::int64_t>(format.samplesPerSec) / 1000000);
            if (made->bufferFrames == 0) made->bufferFrames = 1;
            made->queue.resize(static_cast<std::size_t>(made->bufferFrames) * made->frameBytes);
            made->staging.resize(made->queue.size());
        }
        // Clients should hear what the PC plays, not what its owner chose to hear of it.
        if (made->record && flow == DataFlow::Render)
            made->beforeVolume = KeepMonitorBeforeVolume(name);

        Graph::Lock lock(*graph);
        Status status = graph->settle();
        if (Failed(status)) return status;
        const Node* node = graph->find(flow, name);
        if (!node) return graph->gone() ? kErrorServiceNotRunning : kErrorDeviceInvalidated;
        made->targetId = node->id;
        std::vector<std::uint32_t> positions = node->positions.size() == format.channels
                                                   ? node->positions
                                                   : std::vector<std::uint32_t>{};

        const char* title = made->record ? "QuaveLink capture" : "QuaveLink playback";
        pw_properties* props = pw_properties_new(
            PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY,
            made->record ? "Capture" : "Playback", PW_KEY_MEDIA_NAME, title, PW_KEY_NODE_NAME,
            title, PW_KEY_TARGET_OBJECT, name.c_str(), PW_KEY_NODE_DONT_RECONNECT, "true", nullptr);
        if (!props) return kErrorOutOfMemory;
        if (made->record) {
            pw_properties_setf(props, PW_KEY_NODE_LATENCY, "%u/%u", kCaptureQuantumFrames,
                               made->rate);
        }
        if (loopback) pw_properties_set(props, PW_KEY_STREAM_CAPTURE_SINK, "true");
        made->stream = pw_stream_new(graph->core(), title, props);
        if (!made->stream) return pipeWireError(errno != 0 ? -errno : -ENOMEM);
        pw_stream_add_listener(made->stream, &made->listener,
                               made->record ? &kCaptureEvents : &kRenderEvents, made.get());

        std::uint8_t pod[1024];
        spa_pod_builder builder = SPA_POD_BUILDER_INIT(pod, sizeof pod);
        spa_audio_info_raw info{};
        info.format = SPA_AUDIO_FORMAT_F32;
        info.rate = made->rate;
        info.channels = made->channels;
        if (positions.empty()) {
            info.flags = SPA_AUDIO_FLAG_UNPOSITIONED;
        } else {
            std::copy(positions.begin(), positions.end(), info.position);
        }
        const spa_pod* params[1] = {
            spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info)};
        auto flags =
            static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS |
                                         PW_STREAM_FLAG_RT_PROCESS | PW_STREAM_FLAG_DONT_RECONNECT);
        int result =
            pw_stream_connect(made->stream, made->record ? PW_DIRECTION_INPUT : PW_DIRECTION_OUTPUT,
                              PW_ID_ANY, flags, params, 1);
        graph->streams.push_back(made.get());
        if (result < 0) {
            forget(*made);
            return pipeWireError(result);
        }
        // Linked by the session manager: then the device is really there and the format agreed.
        // An inactive stream is not linked, so it runs until then and pauses afterwards.
        const auto deadline = std::chrono::steady_clock::now() + kLinkWait;
        while (!made->negotiated && !made->failed.load()) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) break;
            graph->waitSignal(left);
        }
        if (!made->negotiated) {
            Status error = made->failed.load() ? made->failure()
                           : graph->gone()     ? kErrorServiceNotRunning
                                               : kErrorDeviceInvalidated;
            forget(*made);
            return error;
        }
        pw_stream_set_active(made->stream, false);
        state = std::move(made);
        return kOk;
    }

    Status SetEventHandle(WakeEvent& event) override {
        if (!state) return kErrorNotInitialized;
        if (!state->eventCallback || !state->record) return kErrorEventHandleNotExpected;
        state->packetEvent.store(&event, std::memory_order_release);
        return kOk;
    }

    Status GetBufferSize(std::uint32_t& frames) override {
        if (!state) return kErrorNotInitialized;
        frames = state->bufferFrames;
        return kOk;
    }

    Status GetCurrentPadding(std::uint32_t& frames) override {
        if (!state) return kErrorNotInitialized;
        if (state->record) {
            frames = 0;
            return kOk;
        }
        if (state->failed.load()) return state->failure();
        frames = static_cast<std::uint32_t>(state->queueWritten.load(std::memory_order_relaxed) -
                                            state->queueRead.load(std::memory_order_acquire));
        return kOk;
    }

    Status GetService(std::unique_ptr<CaptureClient>& service) override {
        if (!state) return kErrorNotInitialized;
        if (!state->record) return kErrorWrongEndpointType;
        service = std::make_unique<PipeWireCaptureClient>(state);
        return kOk;
    }

    Status GetService(std::unique_ptr<RenderClient>& service) override {
        if (!state) return kErrorNotInitialized;
        if (state->record) return kErrorWrongEndpointType;
        service = std::make_unique<PipeWireRenderClient>(state);
        return kOk;
    }

    Status GetService(std::unique_ptr<SessionControl>& service) override {
        if (!state) return kErrorNotInitialized;
        service = std::make_unique<PipeWireSessionControl>(graph, state);
        return kOk;
    }

    Status Start() override { return activate(true); }
    Status Stop() override { return activate(false); }

  private:
    // Under the lock: ends the stream; no callback runs on `stream` afterwards.
    void forget(StreamState& stream) {
        auto& streams = graph->streams;
        streams.erase(std::remove(streams.begin(), streams.end(), &stream), streams.end());
        stream.events = nullptr;
        spa_hook_remove(&stream.listener);
        pw_stream_destroy(stream.stream);
        stream.stream = nullptr;
    }

    Status activate(bool active) {
        if (!state) return kErrorNotInitialized;
        Graph::Lock lock(*graph);
        if (state->failed.load()) {
            // As with the PulseAudio backend: a stream whose device went has nothing left to
            // stop, which lets a stream switch or a reset go on; starting it, or anything
            // without PipeWire, fails.
            return !active && !state->serverGone.load() ? kOk : state->failure();
        }
        state->started.store(active, std::memory_order_release);
        int result = pw_stream_set_active(state->stream, active);
        return result < 0 ? pipeWireError(result) : kOk;
    }

    std::shared_ptr<Graph> graph;
    DataFlow flow;
    std::string name;
    std::shared_ptr<StreamState> state;
};

// The process's way to PipeWire: the connection in use, made anew once that one was lost.
class GraphSource {
  public:
    Status current(std::shared_ptr<Graph>& out) {
        std::shared_ptr<pipewire::Connection> connection;
        int result = source.current(connection);
        if (result != 0) return pipeWireError(result);
        out = std::static_pointer_cast<Graph>(connection);
        return kOk;
    }

  private:
    pipewire::ConnectionSource source{&Graph::make, Graph::options()};
};

// A sink or a source, known by its node name: it reaches PipeWire through the connection
// current at each use, so an endpoint listed before PipeWire restarted opens the node of that
// name afterwards. Audio clients stay on the connection they were made on.
class PipeWireEndpoint : public Endpoint {
  public:
    PipeWireEndpoint(std::shared_ptr<GraphSource> source, DataFlow flow, std::string name)
        : source(std::move(source)), flow(flow), name(std::move(name)) {}

    std::string GetId() const override { return name; }
    DataFlow GetDataFlow() const override { return flow; }

    Status OpenPropertyStore(EndpointProperties& properties) override {
        std::shared_ptr<Graph> graph;
        Status status = source->current(graph);
        if (Failed(status)) return status;
        Graph::Lock lock(*graph);
        status = graph->settle();
        if (Failed(status)) return status;
        const Node* node = graph->find(flow, name);
        if (!node) return graph->gone() ? kErrorServiceNotRunning : kErrorDeviceInvalidated;
        Node copy = *node;
        properties.friendlyName = copy.description;
        properties.deviceDesc = copy.description;
        properties.formFactor = copy.formFactor;
        properties.portNames = graph->routes(copy, properties.formFactor);
        return kOk;
    }

    Status Activate(std::unique_ptr<AudioClient>& client) override {
        std::shared_ptr<Graph> graph;
        Status status = source->current(graph);
        if (Failed(status)) return status;
        {
            Graph::Lock lock(*graph);
            status = graph->settle();
            if (Failed(status)) return status;
            if (!graph->find(flow, name)) return kErrorDeviceInvalidated;
        }
        client = std::make_unique<PipeWireAudioClient>(graph, flow, name);
        return kOk;
    }

  private:
    std::shared_ptr<GraphSource> source;
    DataFlow flow;
    std::string name;
};

class PipeWireCollection : public EndpointCollection {
  public:
    explicit PipeWireCollection(std::vector<std::shared_ptr<Endpoint>> endpoints)
        : endpoints(std::move(endpoints)) {}

    Status GetCount(std::uint32_t& count) override {
        count = static_cast<std::uint32_t>(endpoints.size());
        return kOk;
    }
    Status Item(std::uint32_t index, std::shared_ptr<Endpoint>& endpoint) override {
        if (index >= endpoints.size()) return kErrorNotFound;
        endpoint = endpoints[index];
        return kOk;
    }

  private:
    std::vector<std::shared_ptr<Endpoint>> endpoints;
};

// Lists and notifies on the connection that was current when it was made.
class PipeWireEnumerator : public DeviceEnumerator {
  public:
    PipeWireEnumerator(std::shared_ptr<GraphSource> source, std::shared_ptr<Graph> graph)
        : source(std::move(source)), graph(std::move(graph)) {}

    Status EnumAudioEndpoints(std::shared_ptr<EndpointCollection>& collection) override {
        std::vector<std::shared_ptr<Endpoint>> endpoints;
        {
            Graph::Lock lock(*graph);
            Status status = graph->settle();
            if (Failed(status)) return status;
            for (const Node* node : graph->endpoints()) {
                endpoints.push_back(
                    std::make_shared<PipeWireEndpoint>(source, node->flow, node->name));
            }
        }
        collection = std::make_shared<PipeWireCollection>(std::move(endpoints));
        return kOk;
    }

    Status GetDefaultAudioEndpoint(DataFlow flow, std::shared_ptr<Endpoint>& endpoint) override {
        std::string name;
        {
            Graph::Lock lock(*graph);
            Status status = graph->defaultDevice(flow, name);
            if (Failed(status)) return status;
        }
        endpoint = std::make_shared<PipeWireEndpoint>(source, flow, name);
        return kOk;
    }

    Status RegisterEndpointNotificationCallback(NotificationClient* client) override {
        Graph::Lock lock(*graph);
        graph->clients.push_back(client);
        return kOk;
    }

    Status UnregisterEndpointNotificationCallback(NotificationClient* client) override {
        Graph::Lock lock(*graph);
        auto& clients = graph->clients;
        auto found = std::find(clients.begin(), clients.end(), client);
        if (found == clients.end()) return kErrorNotFound;
        clients.erase(found);
        return kOk;
    }

  private:
    std::shared_ptr<GraphSource> source;
    std::shared_ptr<Graph> graph;
};

class PipeWireAudioSystem : public AudioSystem {
  public:
    Status CreateDeviceEnumerator(std::shared_ptr<DeviceEnumerator>& enumerator) override {
        std::shared_ptr<Graph> graph;
        Status status = source->current(graph);
        if (Failed(status)) return status;
        enumerator = std::make_shared<PipeWireEnumerator>(source, std::move(graph));
        return kOk;
    }

  private:
    std::shared_ptr<GraphSource> source = std::make_shared<GraphSource>();
};

}  // namespace

std::unique_ptr<AudioSystem> CreatePipeWireAudioSystem() {
    return std::make_unique<PipeWireAudioSystem>();
}

}  // namespace quavelink::audio
