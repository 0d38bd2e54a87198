#include "platform/audio/pulse_audio_system.h"

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

#include "platform/audio/packet_ring.h"
#include "platform/audio/pipewire_monitor.h"
#include "platform/pulse/pulse_connection.h"
#include "platform/wake_event.h"

namespace quavelink::audio {
namespace {

// Capture fragments of about 5 ms.
constexpr pa_usec_t kFragmentUsec = 5000;
// The capture ring: packets of at most 480 frames, 256 of them (2.5 s at 48 kHz).
constexpr std::uint32_t kRingSlots = 256;
constexpr std::uint32_t kRingSlotFrames = 480;
// How long a default-device lookup waits for the sound server to settle on a new default.
constexpr auto kUnsettledDefaultWait = std::chrono::seconds(1);

// Between a default device going away and its session manager choosing the next one,
// pipewire-pulse names the default "@DEFAULT_SINK@" or "@DEFAULT_SOURCE@": no device has that
// name, and the real one follows within a millisecond or so with another server event.
bool isUnsettledDefault(const std::string& name) { return name.rfind("@DEFAULT_", 0) == 0; }

Status pulseError(int error) {
    switch (error) {
        case PA_ERR_NOENTITY:
        case PA_ERR_KILLED:
            return kErrorDeviceInvalidated;
        case PA_ERR_CONNECTIONREFUSED:
        case PA_ERR_CONNECTIONTERMINATED:
        case PA_ERR_BADSTATE:
            return kErrorServiceNotRunning;
        default:
            return static_cast<Status>(kPulseErrorFacility |
                                       (static_cast<unsigned>(error) & 0xFFFFu));
    }
}

std::uint32_t speakerBit(pa_channel_position_t position) {
    switch (position) {
        case PA_CHANNEL_POSITION_FRONT_LEFT:
            return 0x1;
        case PA_CHANNEL_POSITION_FRONT_RIGHT:
            return 0x2;
        case PA_CHANNEL_POSITION_FRONT_CENTER:
            return 0x4;
        case PA_CHANNEL_POSITION_LFE:
            return 0x8;
        case PA_CHANNEL_POSITION_REAR_LEFT:
            return 0x10;
        case PA_CHANNEL_POSITION_REAR_RIGHT:
            return 0x20;
        case PA_CHANNEL_POSITION_FRONT_LEFT_OF_CENTER:
            return 0x40;
        case PA_CHANNEL_POSITION_FRONT_RIGHT_OF_CENTER:
            return 0x80;
        case PA_CHANNEL_POSITION_REAR_CENTER:
            return 0x100;
        case PA_CHANNEL_POSITION_SIDE_LEFT:
            return 0x200;
        case PA_CHANNEL_POSITION_SIDE_RIGHT:
            return 0x400;
        case PA_CHANNEL_POSITION_TOP_CENTER:
            return 0x800;
        case PA_CHANNEL_POSITION_TOP_FRONT_LEFT:
            return 0x1000;
        case PA_CHANNEL_POSITION_TOP_FRONT_CENTER:
            return 0x2000;
        case PA_CHANNEL_POSITION_TOP_FRONT_RIGHT:
            return 0x4000;
        case PA_CHANNEL_POSITION_TOP_REAR_LEFT:
            return 0x8000;
        case PA_CHANNEL_POSITION_TOP_REAR_CENTER:
            return 0x10000;
        case PA_CHANNEL_POSITION_TOP_REAR_RIGHT:
            return 0x20000;
        default:
            return 0;
    }
}

// SPEAKER_* bits of a channel map; 0 when a position has no bit or repeats.
std::uint32_t channelMask(const pa_channel_map& map) {
    if (map.channels == 1 && map.map[0] == PA_CHANNEL_POSITION_MONO) return 0x4;
    std::uint32_t mask = 0;
    for (unsigned i = 0; i < map.channels; ++i) {
        std::uint32_t bit = speakerBit(map.map[i]);
        if (bit == 0 || (mask & bit) != 0) return 0;
        mask |= bit;
    }
    return mask;
}

// What the program needs to know of a sink or a source.
struct DeviceInfo {
    DataFlow flow = DataFlow::Render;
    std::string name;
    std::uint32_t index = PA_INVALID_INDEX;
    std::optional<std::string> description;
    std::string formFactor;
    std::vector<std::string> ports;
    pa_sample_spec spec{};
    pa_channel_map map{};
    std::string monitorSource;  // sinks only
    bool isMonitor = false;     // sources only
};

template <typename Info>
DeviceInfo toDeviceInfo(const Info& info, DataFlow flow) {
    DeviceInfo device;
    device.flow = flow;
    device.name = info.name ? info.name : "";
    device.index = info.index;
    if (info.description) device.description = info.description;
    if (const char* factor = pa_proplist_gets(info.proplist, "device.form_factor")) {
        device.formFactor = factor;
    }
    for (std::uint32_t i = 0; i < info.n_ports; ++i) {
        if (info.ports[i]->name) device.ports.emplace_back(info.ports[i]->name);
        if (info.ports[i]->description) device.ports.emplace_back(info.ports[i]->description);
    }
    device.spec = info.sample_spec;
    device.map = info.channel_map;
    return device;
}

struct StreamState;

// One connection to the sound server, shared by everything made from it, with what the audio
// layer keeps per connection. Members marked "loop" are touched only under the main-loop lock.
class Connection : public pulse::Connection {
  public:
    using Lock = pulse::Connection::Lock;

    static std::shared_ptr<pulse::Connection> make() { return std::make_shared<Connection>(); }
    static pulse::Connection::Options options() {
        pulse::Connection::Options options;
        options.clientName = "QuaveLink Server";
        options.subscriptions =
            PA_SUBSCRIPTION_MASK_SERVER | PA_SUBSCRIPTION_MASK_SINK | PA_SUBSCRIPTION_MASK_SOURCE;
        options.onEvent = [](pulse::Connection& connection, unsigned type, std::uint32_t index) {
            static_cast<Connection&>(connection).onSubscription(type, index);
        };
        options.realtimeEvents = true;
        return options;
    }

    ~Connection() override { close(); }

    // Under the lock: waits for `operation` to finish; its error, if it could not start.
    Status wait(pa_operation* operation) {
        int error = pulse::Connection::wait(operation);
        return error == 0 ? kOk : pulseError(error);
    }

    Status listDevices(std::vector<DeviceInfo>& devices) {
        Query query(this);
        Lock lock(*this);
        Status status = wait(pa_context_get_sink_info_list(context(), &Connection::onSink, &query));
        if (Succeeded(status)) {
            status =
                wait(pa_context_get_source_info_list(context(), &Connection::onSource, &query));
        }
        if (Failed(status)) return status;
        for (DeviceInfo& device : query.devices) {
            if (!device.isMonitor) devices.push_back(std::move(device));
        }
        return kOk;
    }

    Status deviceInfo(DataFlow flow, const std::string& name, DeviceInfo& device) {
        Query query(this);
        Lock lock(*this);
        pa_operation* operation = flow == DataFlow::Render
                                      ? pa_context_get_sink_info_by_name(
                                            context(), name.c_str(), &Connection::onSink, &query)
                                      : pa_context_get_source_info_by_name(
                                            context(), name.c_str(), &Connection::onSource, &query);
        Status status = wait(operation);
        if (Failed(status)) return status;
        if (query.devices.empty()) {
            return query.error != 0 ? pulseError(query.error) : kErrorDeviceInvalidated;
        }
        device = std::move(query.devices.front());
        return kOk;
    }

    Status defaultDevice(DataFlow flow, std::string& name) {
        auto deadline = std::chrono::steady_clock::now() + kUnsettledDefaultWait;
        for (;;) {
            {
                Lock lock(*this);
                Status status =
                    wait(pa_context_get_server_info(context(), &Connection::onServerInfo, this));
                if (Failed(status)) return status;
                bool unsettled = flow == DataFlow::Render ? sinkUnsettled : sourceUnsettled;
                if (!unsettled || std::chrono::steady_clock::now() > deadline) {
                    name = unsettled ? "" : flow == DataFlow::Render ? defaultSink : defaultSource;
                    return name.empty() ? kErrorNotFound : kOk;
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }

    // Learns the default names, so that the first change after it is told as one.
    Status prime() {
        Lock lock(*this);
        if (primed) return kOk;
        return wait(pa_context_get_server_info(context(), &Connection::onServerInfo, this));
    }

    Status addClient(NotificationClient* client) {
        Lock lock(*this);
        clients.push_back(client);
        return kOk;
    }

    Status removeClient(NotificationClient* client) {
        Lock lock(*this);
        auto found = std::find(clients.begin(), clients.end(), client);
        if (found == clients.end()) return kErrorNotFound;
        clients.erase(found);
        return kOk;
    }

    std::vector<StreamState*> streams;  // loop
    //! pipewire-pulse answers: PipeWire itself can be asked about its sinks.
    std::atomic<bool> onPipeWire{false};

  private:
    struct Query {
        explicit Query(Connection* connection) : connection(connection) {}
        Connection* connection;
        std::vector<DeviceInfo> devices;
        int error = 0;
        bool failed = false;
    };

    template <typename Info>
    static void addDevice(pa_context* context, const Info* info, int eol, void* data,
                          DataFlow flow) {
        auto* query = static_cast<Query*>(data);
        if (eol < 0) query->error = pa_context_errno(context);
        query->connection->guard("device list", query->failed, [&] {
            if (!info) return;
            DeviceInfo device = toDeviceInfo(*info, flow);
            if constexpr (std::is_same_v<Info, pa_sink_info>) {
                if (info->monitor_source_name) device.monitorSource = info->monitor_source_name;
            } else {
                device.isMonitor = info->monitor_of_sink != PA_INVALID_INDEX;
            }
            if (!device.isMonitor) query->connection->remember(device);
            query->devices.push_back(std::move(device));
        });
    }

    static void onSink(pa_context* context, const pa_sink_info* info, int eol, void* data) {
        addDevice(context, info, eol, data, DataFlow::Render);
    }
    static void onSource(pa_context* context, const pa_source_info* info, int eol, void* data) {
        addDevice(context, info, eol, data, DataFlow::Capture);
    }

    // Keeps the default names and tells the registered clients when one changed.
    static void onServerInfo(pa_context*, const pa_server_info* info, void* data) {
        auto* self = static_cast<Connection*>(data);
        self->guard("server information", self->serverInfoFailed, [&] {
            if (!info) return;
            std::string sink = info->default_sink_name ? info->default_sink_name : "";
            std::string source = info->default_source_name ? info->default_source_name : "";
            // An unsettled name is no change yet: the settled one comes with the next event.
            self->sinkUnsettled = isUnsettledDefault(sink);
            self->sourceUnsettled = isUnsettledDefault(source);
            bool sinkChanged = self->primed && !self->sinkUnsettled && sink != self->defaultSink;
            bool sourceChanged =
                self->primed && !self->sourceUnsettled && source != self->defaultSource;
            if (!self->sinkUnsettled) self->defaultSink = sink;
            if (!self->sourceUnsettled) self->defaultSource = source;
            self->primed = true;
            self->onPipeWire = info->server_name && std::strstr(info->server_name, "PipeWire");
            for (NotificationClient* client : self->clients) {
                if (sinkChanged) client->OnDefaultDeviceChanged(DataFlow::Render, sink);
                if (sourceChanged) client->OnDefaultDeviceChanged(DataFlow::Capture, source);
            }
        });
    }

    void onSubscription(unsigned type, std::uint32_t index);

    // What a device event tells: enough to name a device once it is gone, and to leave out the
    // change events that only say its volume moved.
    struct KnownDevice {
        std::string name;
        std::optional<std::string> description;
        std::vector<std::string> ports;
        pa_sample_spec spec{};
        bool operator==(const KnownDevice& other) const {
            return name == other.name && description == other.description && ports == other.ports &&
                   pa_sample_spec_equal(&spec, &other.spec);
        }
    };

    std::map<std::uint32_t, KnownDevice>& known(DataFlow flow) {
        return flow == DataFlow::Render ? knownSinks : knownSources;
    }

    // Loop thread: keeps `device` as known; whether it was known already, and whether what
    // clients see of it changed.
    std::pair<bool, bool> remember(const DeviceInfo& device) {
        KnownDevice now{device.name, device.description, device.ports, device.spec};
        auto [place, added] = known(device.flow).try_emplace(device.index, now);
        bool changed = !added && !(place->second == now);
        place->second = std::move(now);
        return {!added, changed};
    }

    template <typename Info>
    static void onDeviceEvent(pa_context*, const Info* info, int, void* data);
    void tellDeviceEvent(DataFlow flow, unsigned kind, std::uint32_t index);

    std::vector<NotificationClient*> clients;                       // loop
    std::map<std::uint32_t, KnownDevice> knownSinks, knownSources;  // loop
    bool deviceEventFailed = false;                                 // loop
    std::string defaultSink, defaultSource;                         // loop
    bool sinkUnsettled = false;                                     // loop
    bool sourceUnsettled = false;                                   // loop
    bool primed = false;                                            // loop
    bool serverInfoFailed = false;                                  // loop
};

// One pa_stream and what its callbacks share with the audio client.
struct StreamState {
    Connection* connection = nullptr;
    pa_stream* stream = nullptr;
    DataFlow flow = DataFlow::Render;  // of the endpoint
    bool record = false;
    std::uint32_t deviceIndex = PA_INVALID_INDEX;
    pa_sample_spec spec{};
    std::uint32_t frameBytes = 0;
    std::uint32_t bufferFrames = 0;
    std::unique_ptr<PacketRing> ring;  // record streams
    bool eventCallback = false;
    std::atomic<WakeEvent*> packetEvent{nullptr};  // set by the capture thread, read by the loop
    //! Keeps a PipeWire sink's monitor before the sink's volume while its monitor is captured.
    std::unique_ptr<MonitorBeforeVolume> beforeVolume;
    std::vector<std::uint8_t> renderBuffer;  // playback streams
    SessionEvents* events = nullptr;         // loop
    bool disconnectTold = false;             // loop
    bool wasReady = false;                   // loop
    //! The stream ended under us: its device went, or with the sound server itself.
    std::atomic<bool> failed{false};
    std::atomic<bool> serverGone{false};  // set before `failed`

    //! What an operation on the ended stream reports, as the platform would: the device is
    //! invalidated, or the audio service no longer runs.
    Status failure() const {
        return serverGone.load() ? kErrorServiceNotRunning : kErrorDeviceInvalidated;
    }

    void tell(DisconnectReason reason) {
        if (disconnectTold) return;
        disconnectTold = true;
        if (events) events->OnSessionDisconnected(reason);
    }
};

void onStreamState(pa_stream* stream, void* data) {
    auto* state = static_cast<StreamState*>(data);
    pa_stream_state_t now = pa_stream_get_state(stream);
    if (now == PA_STREAM_READY) state->wasReady = true;
    if (now == PA_STREAM_FAILED && state->wasReady) {
        bool serverGone = !state->connection->ready();
        state->serverGone = serverGone;
        state->failed = true;
        state->tell(serverGone ? DisconnectReason::ServerShutdown
                               : DisconnectReason::DeviceRemoval);
    }
    state->connection->signal();
}

// The sound server's thread: moves every readable fragment into the ring.
void onStreamRead(pa_stream* stream, std::size_t, void* data) {
    auto* state = static_cast<StreamState*>(data);
    const void* fragment = nullptr;
    std::size_t bytes = 0;
    while (pa_stream_readable_size(stream) > 0) {
        if (pa_stream_peek(stream, &fragment, &bytes) < 0 || bytes == 0) return;
        // No data with a length is a hole in the stream: silence.
        state->ring->write(fragment, bytes, kBufferFlagsSilent, kBufferFlagsDataDiscontinuity);
        pa_stream_drop(stream);
    }
    if (WakeEvent* event = state->packetEvent.load(std::memory_order_acquire)) event->set();
}

void onStreamDevice(pa_stream* stream, void* data) {
    auto* state = static_cast<StreamState*>(data);
    state->deviceIndex = pa_stream_get_device_index(stream);
}

// The sink or source info carries its own index, so the query needs nothing beyond the
// connection: no allocation that a query cancelled with its connection would leave behind.
void onSinkForFormat(pa_context*, const pa_sink_info* info, int, void* data) {
    auto* connection = static_cast<Connection*>(data);
    if (info) {
        for (StreamState* state : connection->streams) {
            bool ours = state->record ? state->deviceIndex == info->monitor_source
                                      : state->deviceIndex == info->index;
            if (ours && state->flow == DataFlow::Render &&
                (info->sample_spec.rate != state->spec.rate ||
                 info->sample_spec.channels != state->spec.channels)) {
                state->tell(DisconnectReason::FormatChanged);
            }
        }
    }
}

void onSourceForFormat(pa_context*, const pa_source_info* info, int, void* data) {
    auto* connection = static_cast<Connection*>(data);
    if (info) {
        for (StreamState* state : connection->streams) {
            if (state->deviceIndex == info->index && state->flow == DataFlow::Capture &&
                (info->sample_spec.rate != state->spec.rate ||
                 info->sample_spec.channels != state->spec.channels)) {
                state->tell(DisconnectReason::FormatChanged);
            }
        }
    }
}

// A device that a client is told of: added when it was not known yet (PulseAudio tells a new
// sink's first change before the sink itself), changed when what a client sees of it changed (a
// volume change is not told). Monitors are no endpoints.
template <typename Info>
void Connection::onDeviceEvent(pa_context*, const Info* info, int, void* data) {
    auto* self = static_cast<Connection*>(data);
    self->guard("device event", self->deviceEventFailed, [&] {
        if (!info) return;
        constexpr bool isSink = std::is_same_v<Info, pa_sink_info>;
        DataFlow flow = isSink ? DataFlow::Render : DataFlow::Capture;
        if constexpr (!isSink) {
            if (info->monitor_of_sink != PA_INVALID_INDEX) return;
        }
        DeviceInfo device = toDeviceInfo(*info, flow);
        auto [wasKnown, changed] = self->remember(device);
        for (NotificationClient* client : self->clients) {
            if (!wasKnown) {
                client->OnDeviceAdded(flow, device.name);
            } else if (changed) {
                client->OnDeviceStateChanged(flow, device.name);
            }
        }
    });
}

void Connection::tellDeviceEvent(DataFlow flow, unsigned kind, std::uint32_t index) {
    if (kind == PA_SUBSCRIPTION_EVENT_REMOVE) {
        auto found = known(flow).find(index);
        if (found == known(flow).end()) return;
        std::string name = std::move(found->second.name);
        known(flow).erase(found);
        for (NotificationClient* client : clients) client->OnDeviceRemoved(flow, name);
        return;
    }
    if (clients.empty()) return;
    // No allocation rides on the query: one cancelled with its connection leaves nothing.
    pa_operation* op =
        flow == DataFlow::Render
            ? pa_context_get_sink_info_by_index(context(), index,
                                                &Connection::onDeviceEvent<pa_sink_info>, this)
            : pa_context_get_source_info_by_index(context(), index,
                                                  &Connection::onDeviceEvent<pa_source_info>, this);
    if (op) pa_operation_unref(op);
}

void Connection::onSubscription(unsigned type, std::uint32_t index) {
    auto facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
    auto kind = type & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
    if (facility == PA_SUBSCRIPTION_EVENT_SERVER && kind == PA_SUBSCRIPTION_EVENT_CHANGE) {
        if (auto* op = pa_context_get_server_info(context(), &Connection::onServerInfo, this)) {
            pa_operation_unref(op);
        }
        return;
    }
    if (facility == PA_SUBSCRIPTION_EVENT_SINK) tellDeviceEvent(DataFlow::Render, kind, index);
    if (facility == PA_SUBSCRIPTION_EVENT_SOURCE) tellDeviceEvent(DataFlow::Capture, kind, index);
    if (kind != PA_SUBSCRIPTION_EVENT_CHANGE || streams.empty()) return;
    pa_operation* op = nullptr;
    if (facility == PA_SUBSCRIPTION_EVENT_SINK) {
        op = pa_context_get_sink_info_by_index(context(), index, &onSinkForFormat, this);
    } else if (facility == PA_SUBSCRIPTION_EVENT_SOURCE) {
        op = pa_context_get_source_info_by_index(context(), index, &onSourceForFormat, this);
    }
    if (op) pa_operation_unref(op);
}

class PulseCaptureClient : public CaptureClient {
  public:
    explicit PulseCaptureClient(std::shared_ptr<StreamState> state) : state(std::move(state)) {}

    Status GetBuffer(const std::uint8_t*& data, std::uint32_t& frames,
                     std::uint32_t& flags) override {
        frames = 0;
        flags = 0;
        if (state->ring->peek(data, frames, flags)) return kOk;
        return state->failed.load() ? state->failure() : kOk;
    }

    Status ReleaseBuffer(std::uint32_t frames) override {
        if (frames != 0) state->ring->pop();
        return kOk;
    }

  private:
    std::shared_ptr<StreamState> state;
};

class PulseRenderClient : public RenderClient {
  public:
    explicit PulseRenderClient(std::shared_ptr<StreamState> state) : state(std::move(state)) {}

    Status GetBuffer(std::uint32_t frames, std::uint8_t*& data) override {
        if (static_cast<std::size_t>(frames) * state->frameBytes > state->renderBuffer.size()) {
            return kErrorBufferTooLarge;
        }
        data = state->renderBuffer.data();
        return kOk;
    }

    Status ReleaseBuffer(std::uint32_t frames, std::uint32_t flags) override {
        std::size_t bytes = static_cast<std::size_t>(frames) * state->frameBytes;
        if (bytes == 0) return kOk;
        if (flags & kBufferFlagsSilent) std::fill_n(state->renderBuffer.begin(), bytes, 0);
        Connection::Lock lock(*state->connection);
        if (pa_stream_write(state->stream, state->renderBuffer.data(), bytes, nullptr, 0,
                            PA_SEEK_RELATIVE) < 0) {
            return pulseError(state->connection->lastError());
        }
        return kOk;
    }

  private:
    std::shared_ptr<StreamState> state;
};

class PulseSessionControl : public SessionControl {
  public:
    PulseSessionControl(std::shared_ptr<Connection> connection, std::shared_ptr<StreamState> state)
        : connection(std::move(connection)), state(std::move(state)) {}

    Status RegisterAudioSessionNotification(SessionEvents* events) override {
        Connection::Lock lock(*connection);
        state->events = events;
        return kOk;
    }
    Status UnregisterAudioSessionNotification(SessionEvents* events) override {
        Connection::Lock lock(*connection);
        if (state->events != events) return kErrorNotFound;
        state->events = nullptr;
        return kOk;
    }

  private:
    std::shared_ptr<Connection> connection;
    std::shared_ptr<StreamState> state;
};

class PulseAudioClient : public AudioClient {
  public:
    PulseAudioClient(std::shared_ptr<Connection> connection, DataFlow flow, std::string name)
        : connection(std::move(connection)), flow(flow), name(std::move(name)) {}

    ~PulseAudioClient() override {
        if (!state) return;
        Connection::Lock lock(*connection);
        auto& streams = connection->streams;
        streams.erase(std::remove(streams.begin(), streams.end(), state.get()), streams.end());
        pa_stream_set_state_callback(state->stream, nullptr, nullptr);
        pa_stream_set_read_callback(state->stream, nullptr, nullptr);
        pa_stream_set_moved_callback(state->stream, nullptr, nullptr);
        state->events = nullptr;
        pa_stream_disconnect(state->stream);
        pa_stream_unref(state->stream);
        state->stream = nullptr;
    }

    Status GetMixFormat(MixFormat& format) override {
        DeviceInfo device;
        Status status = connection->deviceInfo(flow, name, device);
        if (Failed(status)) return status;
        format = FloatMixFormat(device.spec.channels, device.spec.rate, channelMask(device.map));
        return kOk;
    }

    Status Initialize(ShareMode, std::uint32_t streamFlags,
                      std::chrono::microseconds bufferDuration, const MixFormat& format) override {
        if (state) return kErrorAlreadyInitialized;
        bool loopback = (streamFlags & kStreamFlagsLoopback) != 0;
        if (loopback && flow != DataFlow::Render) return kErrorWrongEndpointType;
        if (format.bitsPerSample != 32 || format.channels == 0 ||
            format.channels > PA_CHANNELS_MAX || format.samplesPerSec == 0 ||
            (format.formatTag == kWaveFormatExtensible && format.subFormat != kSubtypeIeeeFloat) ||
            (format.formatTag != kWaveFormatExtensible && format.formatTag != 3)) {
            return kErrorUnsupportedFormat;
        }
        DeviceInfo device;
        Status status = connection->deviceInfo(flow, name, device);
        if (Failed(status)) return status;

        auto made = std::make_shared<StreamState>();
        made->connection = connection.get();
        made->flow = flow;
        made->record = flow == DataFlow::Capture || loopback;
        made->spec = {PA_SAMPLE_FLOAT32LE, format.samplesPerSec,
                      static_cast<std::uint8_t>(format.channels)};
        made->frameBytes = format.channels * 4u;
        made->eventCallback = (streamFlags & kStreamFlagsEventCallback) != 0;
        pa_channel_map map = device.map;
        if (map.channels != format.channels) {
            pa_channel_map_init_auto(&map, format.channels, PA_CHANNEL_MAP_DEFAULT);
        }
        std::string target = made->record && flow == DataFlow::Render ? device.monitorSource : name;
        // Clients should hear what the PC plays, not what its owner chose to hear of it.
        if (made->record && flow == DataFlow::Render && connection->onPipeWire) {
            made->beforeVolume = KeepMonitorBeforeVolume(name);
        }

        Connection::Lock lock(*connection);
        made->stream = pa_stream_new(connection->context(),
                                     made->record ? "QuaveLink capture" : "QuaveLink playback",
                                     &made->spec, &map);
        if (!made->stream) return pulseError(connection->lastError());
        pa_stream_set_state_callback(made->stream, &onStreamState, made.get());
        pa_stream_set_moved_callback(made->stream, &onStreamDevice, made.get());
        pa_buffer_attr attr;
        attr.maxlength = static_cast<std::uint32_t>(-1);
        attr.tlength = static_cast<std::uint32_t>(-1);
        attr.prebuf = static_cast<std::uint32_t>(-1);
        attr.minreq = static_cast<std::uint32_t>(-1);
        attr.fragsize = static_cast<std::uint32_t>(-1);
        int result;
        if (made->record) {
            made->ring =
                std::make_unique<PacketRing>(kRingSlots, kRingSlotFrames, made->frameBytes);
            made->bufferFrames = static_cast<std::uint32_t>(
                pa_usec_to_bytes(kFragmentUsec, &made->spec) / made->frameBytes);
            attr.fragsize =
                static_cast<std::uint32_t>(pa_usec_to_bytes(kFragmentUsec, &made->spec));
            pa_stream_set_read_callback(made->stream, &onStreamRead, made.get());
            auto flags = static_cast<pa_stream_flags_t>(
                PA_STREAM_ADJUST_LATENCY | PA_STREAM_INTERPOLATE_TIMING |
                PA_STREAM_AUTO_TIMING_UPDATE | PA_STREAM_DONT_MOVE | PA_STREAM_START_CORKED);
            result = pa_stream_connect_record(made->stream, target.c_str(), &attr, flags);
        } else {
            made->bufferFrames = static_cast<std::uint32_t>(
                bufferDuration.count() * static_cast<std::int64_t>(format.samplesPerSec) / 1000000);
            if (made->bufferFrames == 0) made->bufferFrames = 1;
            made->renderBuffer.resize(static_cast<std::size_t>(made->bufferFrames) *
                                      made->frameBytes);
            attr.tlength = static_cast<std::uint32_t>(made->renderBuffer.size());
            auto flags = static_cast<pa_stream_flags_t>(
                PA_STREAM_INTERPOLATE_TIMING | PA_STREAM_AUTO_TIMING_UPDATE | PA_STREAM_DONT_MOVE |
                PA_STREAM_START_CORKED);
            result = pa_stream_connect_playback(made->stream, target.c_str(), &attr, flags, nullptr,
                                                nullptr);
        }
        if (result < 0) {
            Status error = pulseError(connection->lastError());
            pa_stream_unref(made->stream);
            return error;
        }
        for (;;) {
            pa_stream_state_t now = pa_stream_get_state(made->stream);
            if (now == PA_STREAM_READY) break;
            if (!PA_STREAM_IS_GOOD(now)) {
                Status error = pulseError(connection->lastError());
                pa_stream_set_state_callback(made->stream, nullptr, nullptr);
                pa_stream_set_read_callback(made->stream, nullptr, nullptr);
                pa_stream_set_moved_callback(made->stream, nullptr, nullptr);
                pa_stream_unref(made->stream);
                return error;
            }
            connection->waitSignal();
        }
        made->deviceIndex = pa_stream_get_device_index(made->stream);
        connection->streams.push_back(made.get());
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
        Connection::Lock lock(*connection);
        std::size_t writable = pa_stream_writable_size(state->stream);
        if (writable == static_cast<std::size_t>(-1)) return kErrorDeviceInvalidated;
        auto writableFrames = static_cast<std::uint32_t>(
            std::min<std::size_t>(writable / state->frameBytes, state->bufferFrames));
        frames = state->bufferFrames - writableFrames;
        return kOk;
    }

    Status GetService(std::unique_ptr<CaptureClient>& service) override {
        if (!state) return kErrorNotInitialized;
        if (!state->record) return kErrorWrongEndpointType;
        service = std::make_unique<PulseCaptureClient>(state);
        return kOk;
    }

    Status GetService(std::unique_ptr<RenderClient>& service) override {
        if (!state) return kErrorNotInitialized;
        if (state->record) return kErrorWrongEndpointType;
        service = std::make_unique<PulseRenderClient>(state);
        return kOk;
    }

    Status GetService(std::unique_ptr<SessionControl>& service) override {
        if (!state) return kErrorNotInitialized;
        service = std::make_unique<PulseSessionControl>(connection, state);
        return kOk;
    }

    Status Start() override { return cork(false); }
    Status Stop() override { return cork(true); }

  private:
    static void onSuccess(pa_stream*, int, void* data) { static_cast<Connection*>(data)->signal(); }

    Status cork(bool corked) {
        if (!state) return kErrorNotInitialized;
        Connection::Lock lock(*connection);
        // The stream's end is told under this lock, so it cannot come between here and the cork.
        if (state->failed.load()) {
            // A stream whose device went away has nothing left to stop: that succeeds, as
            // IAudioClient::Stop does after the endpoint was removed, so that a stream switch or
            // a reset goes on to the new (or returning) device. Without the sound server, or to
            // start, it fails.
            return corked && !state->serverGone.load() ? kOk : state->failure();
        }
        return connection->wait(
            pa_stream_cork(state->stream, corked ? 1 : 0, &onSuccess, connection.get()));
    }

    std::shared_ptr<Connection> connection;
    DataFlow flow;
    std::string name;
    std::shared_ptr<StreamState> state;
};

// The process's way to the sound server: the shared source's connection, made anew once that one
// has died (the sound server stopped, or was restarted), handed out only once it knows the
// default devices, so that the first change after it is told as one; errors in the audio
// system's terms. Any thread, but not the loop's own.
class PrimedConnectionSource {
  public:
    Status current(std::shared_ptr<Connection>& out) {
        std::shared_ptr<pulse::Connection> connection;
        if (source.current(connection) != 0) return kErrorServiceNotRunning;
        out = std::static_pointer_cast<Connection>(connection);
        return out->prime();
    }

  private:
    pulse::ConnectionSource source{&Connection::make, Connection::options(), false};
};

// A sink or a source, known by its name as a Windows endpoint is by its id: it reaches the
// sound server through the connection current at each use, so an endpoint listed before the
// sound server restarted opens the device of that name afterwards. Audio clients stay on the
// connection they were made on.
class PulseEndpoint : public Endpoint {
  public:
    PulseEndpoint(std::shared_ptr<PrimedConnectionSource> source, DataFlow flow, std::string name)
        : source(std::move(source)), flow(flow), name(std::move(name)) {}

    std::string GetId() const override { return name; }
    DataFlow GetDataFlow() const override { return flow; }

    Status OpenPropertyStore(EndpointProperties& properties) override {
        std::shared_ptr<Connection> connection;
        DeviceInfo device;
        Status status = source->current(connection);
        if (Succeeded(status)) status = connection->deviceInfo(flow, name, device);
        if (Failed(status)) return status;
        properties.friendlyName = device.description;
        properties.deviceDesc = device.description;
        properties.formFactor = device.formFactor;
        properties.portNames = device.ports;
        return kOk;
    }

    Status Activate(std::unique_ptr<AudioClient>& client) override {
        std::shared_ptr<Connection> connection;
        DeviceInfo device;
        Status status = source->current(connection);
        if (Succeeded(status)) status = connection->deviceInfo(flow, name, device);
        if (Failed(status)) return status;
        client = std::make_unique<PulseAudioClient>(connection, flow, name);
        return kOk;
    }

  private:
    std::shared_ptr<PrimedConnectionSource> source;
    DataFlow flow;
    std::string name;
};

class PulseCollection : public EndpointCollection {
  public:
    explicit PulseCollection(std::vector<std::shared_ptr<Endpoint>> endpoints)
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
class PulseEnumerator : public DeviceEnumerator {
  public:
    PulseEnumerator(std::shared_ptr<PrimedConnectionSource> source,
                    std::shared_ptr<Connection> connection)
        : source(std::move(source)), connection(std::move(connection)) {}

    Status EnumAudioEndpoints(std::shared_ptr<EndpointCollection>& collection) override {
        std::vector<DeviceInfo> devices;
        Status status = connection->listDevices(devices);
        if (Failed(status)) return status;
        std::vector<std::shared_ptr<Endpoint>> endpoints;
        for (const DeviceInfo& device : devices) {
            endpoints.push_back(std::make_shared<PulseEndpoint>(source, device.flow, device.name));
        }
        collection = std::make_shared<PulseCollection>(std::move(endpoints));
        return kOk;
    }

    Status GetDefaultAudioEndpoint(DataFlow flow, std::shared_ptr<Endpoint>& endpoint) override {
        std::string name;
        Status status = connection->defaultDevice(flow, name);
        if (Failed(status)) return status;
        endpoint = std::make_shared<PulseEndpoint>(source, flow, name);
        return kOk;
    }

    Status RegisterEndpointNotificationCallback(NotificationClient* client) override {
        return connection->addClient(client);
    }
    Status UnregisterEndpointNotificationCallback(NotificationClient* client) override {
        return connection->removeClient(client);
    }

  private:
    std::shared_ptr<PrimedConnectionSource> source;
    std::shared_ptr<Connection> connection;
};

class PulseAudioSystem : public AudioSystem {
  public:
    Status CreateDeviceEnumerator(std::shared_ptr<DeviceEnumerator>& enumerator) override {
        std::shared_ptr<Connection> connection;
        Status status = source->current(connection);
        if (Failed(status)) return status;
        enumerator = std::make_shared<PulseEnumerator>(source, std::move(connection));
        return kOk;
    }

  private:
    std::shared_ptr<PrimedConnectionSource> source = std::make_shared<PrimedConnectionSource>();
};

}  // namespace

void RestoreSoundServerSettings() { ReleaseMonitorHolds(); }

std::unique_ptr<AudioSystem> CreatePulseAudioSystem() {
    return std::make_unique<PulseAudioSystem>();
}

}  // namespace quavelink::audio
