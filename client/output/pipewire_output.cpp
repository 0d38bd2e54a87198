#include <pipewire/extensions/metadata.h>
#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>

#include "client/output/audio_output.h"
#include "platform/pipewire/pipewire_connection.h"
#include "platform/realtime/realtime_scheduling.h"

namespace quavelink {
namespace {

// The quantum the stream asks the graph for (node.latency), in frames at the stream's rate. The
// graph runs at the smallest quantum any of its nodes asks for, so this is also what the sink
// runs at while nothing asks less; the sink's own buffer is then this one quantum.
constexpr unsigned kQuantumFrames = 256;
// How long opening waits for PipeWire to make the stream's node.
constexpr std::chrono::milliseconds kOpenWait{3000};
constexpr std::size_t kFrameBytes = 4;

std::string pipeWireFailure(const char* what, int error) {
    return std::string("PipeWire playback ") + what + ": " +
           std::strerror(error < 0 ? -error : error);
}

// The connection of one output, watching the registry for the sink it plays on. The session
// manager plays a stream whose sink went away on the default sink and leaves it there once the
// sink is back: then the stream is moved back the way a mixer moves one, by its `target.object`
// in the `default` metadata. Loop thread, under the lock, but for the constructor.
class FollowingConnection : public pipewire::Connection {
  public:
    explicit FollowingConnection(std::string sink) : sinkName(std::move(sink)) {}
    ~FollowingConnection() override {
        close();
        if (metadata != nullptr) pw_proxy_destroy(reinterpret_cast<pw_proxy*>(metadata));
    }

    //! Under the lock: the stream to move back, once PipeWire made its node (null: none).
    void follow(pw_stream* playing) { stream = playing; }

  private:
    void onGlobal(std::uint32_t id, const char* type, const spa_dict* props) override {
        if (std::strcmp(type, PW_TYPE_INTERFACE_Metadata) == 0 && metadata == nullptr) {
            const char* name = pipewire::property(props, "metadata.name");
            if (name && std::strcmp(name, "default") == 0) {
                metadata = static_cast<pw_metadata*>(pw_registry_bind(
                    registry(), id, PW_TYPE_INTERFACE_Metadata, PW_VERSION_METADATA, 0));
            }
            return;
        }
        if (std::strcmp(type, PW_TYPE_INTERFACE_Node) != 0 || sinkName.empty()) return;
        const char* name = pipewire::property(props, PW_KEY_NODE_NAME);
        const char* mediaClass = pipewire::property(props, PW_KEY_MEDIA_CLASS);
        if (!name || sinkName != name || !mediaClass ||
            std::strcmp(mediaClass, "Audio/Sink") != 0) {
            return;
        }
        const bool back = sinkId == SPA_ID_INVALID && sinkSeen;
        sinkId = id;
        sinkSeen = true;
        std::uint32_t node = stream != nullptr ? pw_stream_get_node_id(stream) : SPA_ID_INVALID;
        if (back && metadata != nullptr && node != SPA_ID_INVALID) {
            pw_metadata_set_property(metadata, node, "target.object", nullptr, sinkName.c_str());
        }
    }

    void onGlobalRemoved(std::uint32_t id) override {
        if (id == sinkId) sinkId = SPA_ID_INVALID;
    }

    std::string sinkName;
    pw_stream* stream = nullptr;
    pw_metadata* metadata = nullptr;
    std::uint32_t sinkId = SPA_ID_INVALID;
    bool sinkSeen = false;
};

// A pull-model output: the stream's process callback, on PipeWire's real-time data thread, takes
// each quantum from the playout as the graph asks for it. The playout's queue is then the only
// buffer of ours; the graph holds the quantum being played and what its delay says.
class PipeWireOutput : public AudioOutput {
  public:
    PipeWireOutput(std::string sink, std::string client)
        : sinkName(std::move(sink)), clientName(std::move(client)) {}
    ~PipeWireOutput() override { close(); }

    bool open(int sampleRate, PlayoutFeed& to, std::string& error) override {
        close();
        feed = &to;
        rate = sampleRate;
        if (start(error)) return true;
        close();
        return false;
    }

    // Audio is taken when the graph asks for it.
    void audioArrived() override {}

    bool failed(std::string& error) override {
        if (!connection) return false;
        if (streamFailed.load() || !connection->alive()) {
            error = "PipeWire playback failed: the connection to PipeWire was lost";
            return true;
        }
        return false;
    }

    std::uint64_t underflows() override { return streamUnderflows.load(); }

    double deviceLatencyMs() override { return deviceMs.load(); }

    Realtime realtime(std::string& detail) override {
        if (!connection) return Realtime::Unknown;
        pid_t thread = dataThread.load();
        if (thread == 0) return Realtime::Unknown;
        if (realtime::isRealtime(thread)) return Realtime::SoundServer;
        detail = "PipeWire's data thread runs at normal priority";
        return Realtime::No;
    }

    void close() override {
        if (!connection) return;
        {
            pipewire::Connection::Lock lock(*connection);
            if (stream != nullptr) {
                connection->follow(nullptr);
                spa_hook_remove(&listener);
                pw_stream_destroy(stream);
                stream = nullptr;
            }
        }
        connection->close();
        connection.reset();
        deviceMs = -1;
        dataThread = 0;
    }

  private:
    bool start(std::string& error) {
        streamFailed = false;
        streamUnderflows = 0;
        lastTicks = 0;
        connection = std::make_unique<FollowingConnection>(sinkName);
        pipewire::Connection::Options options;
        options.clientName = clientName.c_str();
        options.registry = true;
        if (int result = connection->connect(options); result != 0) {
            error = pipeWireFailure("could not start", result);
            return false;
        }
        pipewire::Connection::Lock lock(*connection);
        pw_properties* props = pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY,
                                                 "Playback", PW_KEY_MEDIA_NAME, "QuaveLink stream",
                                                 PW_KEY_NODE_NAME, clientName.c_str(), nullptr);
        pw_properties_setf(props, PW_KEY_NODE_LATENCY, "%u/%d", kQuantumFrames, rate);
        // The sink asked for; while it is away the session manager plays on the default sink.
        if (!sinkName.empty()) pw_properties_set(props, PW_KEY_TARGET_OBJECT, sinkName.c_str());
        stream = pw_stream_new(connection->core(), "QuaveLink stream", props);
        if (stream == nullptr) {
            error = pipeWireFailure("could not start", errno);
            return false;
        }
        static const pw_stream_events events = [] {
            pw_stream_events e{};
            e.version = PW_VERSION_STREAM_EVENTS;
            e.state_changed = &PipeWireOutput::onState;
            e.process = &PipeWireOutput::onProcess;
            return e;
        }();
        pw_stream_add_listener(stream, &listener, &events, this);
        std::uint8_t pod[512];
        spa_pod_builder builder = SPA_POD_BUILDER_INIT(pod, sizeof pod);
        spa_audio_info_raw info{};
        info.format = SPA_AUDIO_FORMAT_S16;
        info.rate = static_cast<std::uint32_t>(rate);
        info.channels = 2;
        info.position[0] = SPA_AUDIO_CHANNEL_FL;
        info.position[1] = SPA_AUDIO_CHANNEL_FR;
        const spa_pod* params[1] = {
            spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info)};
        int result = pw_stream_connect(
            stream, PW_DIRECTION_OUTPUT, PW_ID_ANY,
            static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS |
                                         PW_STREAM_FLAG_RT_PROCESS),
            params, 1);
        if (result < 0) {
            error = pipeWireFailure("could not start", result);
            return false;
        }
        const auto deadline = std::chrono::steady_clock::now() + kOpenWait;
        for (;;) {
            pw_stream_state state = pw_stream_get_state(stream, nullptr);
            if (state == PW_STREAM_STATE_PAUSED || state == PW_STREAM_STATE_STREAMING) {
                connection->follow(stream);
                return true;
            }
            auto left = std::chrono::ceil<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (state == PW_STREAM_STATE_ERROR || streamFailed.load() || left.count() <= 0 ||
                !connection->alive()) {
                error = "PipeWire playback could not start: the stream was refused";
                return false;
            }
            connection->waitSignal(left);
        }
    }

    static void onState(void* data, pw_stream_state, pw_stream_state state, const char*) {
        auto* output = static_cast<PipeWireOutput*>(data);
        if (state == PW_STREAM_STATE_ERROR) output->streamFailed = true;
        output->connection->signal();
    }

    // The data thread, once a graph cycle: hands the playout what the graph holds ahead of the
    // ear and the quantum to fill, and plays what it gets.
    static void onProcess(void* data) {
        auto* output = static_cast<PipeWireOutput*>(data);
        pw_buffer* buffer = pw_stream_dequeue_buffer(output->stream);
        if (buffer == nullptr) return;
        if (output->dataThread.load(std::memory_order_relaxed) == 0) {
            output->dataThread.store(realtime::currentThreadId(), std::memory_order_relaxed);
        }
        spa_data& samples = buffer->buffer->datas[0];
        if (samples.data != nullptr) {
            std::size_t frames = samples.maxsize / kFrameBytes;
            if (buffer->requested != 0) {
                frames = std::min<std::size_t>(frames, static_cast<std::size_t>(buffer->requested));
            }
            output->play(static_cast<std::int16_t*>(samples.data), frames);
            samples.chunk->offset = 0;
            samples.chunk->stride = static_cast<std::int32_t>(kFrameBytes);
            samples.chunk->size = static_cast<std::uint32_t>(frames * kFrameBytes);
        }
        pw_stream_queue_buffer(output->stream, buffer);
    }

    // Data thread.
    void play(std::int16_t* out, std::size_t frames) {
        const double frameUs = 1e6 / rate;
        PlayoutFeed::Hold hold;
        pw_time time{};
        if (pw_stream_get_time_n(stream, &time, sizeof time) == 0 && time.rate.denom != 0) {
            const double tickUs = 1e6 * time.rate.num / time.rate.denom;
            hold.heldUs = static_cast<std::int64_t>(std::max<std::int64_t>(time.delay, 0) * tickUs +
                                                    static_cast<double>(time.queued) * frameUs);
            hold.leastUs = hold.heldUs + static_cast<std::int64_t>(frames * frameUs);
            // The graph's clock moved on by more than the last quantum: a cycle went by without
            // this stream's audio, and the listener heard the gap.
            if (lastTicks != 0 && time.ticks > lastTicks &&
                static_cast<double>(time.ticks - lastTicks) * tickUs > 1.5 * lastFrames * frameUs) {
                streamUnderflows.fetch_add(1, std::memory_order_relaxed);
                feed->outputRanDry();
            }
            lastTicks = time.ticks;
        }
        lastFrames = frames;
        deviceMs.store(frames * 1000.0 / rate, std::memory_order_relaxed);
        std::size_t given = feed->pull(out, frames, hold);
        if (given < frames) std::memset(out + given * 2, 0, (frames - given) * kFrameBytes);
    }

    std::string sinkName;
    std::string clientName;
    int rate = 0;
    std::unique_ptr<FollowingConnection> connection;
    pw_stream* stream = nullptr;  // under the connection's lock
    spa_hook listener{};
    PlayoutFeed* feed = nullptr;
    std::uint64_t lastTicks = 0;  // data thread
    std::size_t lastFrames = 0;   // data thread
    std::atomic<pid_t> dataThread{0};
    std::atomic<bool> streamFailed{false};
    std::atomic<std::uint64_t> streamUnderflows{0};
    std::atomic<double> deviceMs{-1};
};

}  // namespace

std::unique_ptr<AudioOutput> createPipeWireOutput(const std::string& sinkName,
                                                  const std::string& clientName) {
    return std::make_unique<PipeWireOutput>(sinkName, clientName);
}

}  // namespace quavelink
