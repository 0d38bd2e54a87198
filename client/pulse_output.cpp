#include <pulse/pulseaudio.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <optional>

#include "client/audio_output.h"
#include "client/output_buffer_size.h"
#include "platform/pulse/pulse_connection.h"

namespace quavelink {
namespace {

std::string pulseFailure(const char* what, int code) {
    return std::string("PulseAudio playback ") + what + ": " + pa_strerror(code);
}

// The most the sound server's buffer grows to above the size asked for.
constexpr int kMostGrowthMs = 40;

std::int64_t steadyMicroseconds() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The stream is served from the connection's own event thread, which runs at a real-time
// priority: the sound server's request for audio is answered in the same wake-up that brings
// it, straight from the playout, so its buffer needs no room for a second thread of ours to
// be woken and scheduled. When it runs dry all the same, the room it is given grows
// (`OutputBufferSize`): the step is filled with silence at once, inside the gap being heard,
// rather than drawn from the playout, whose own margin it would empty.
class PulseOutput : public AudioOutput {
  public:
    PulseOutput(std::string sink, std::string client)
        : sinkName(std::move(sink)), clientName(std::move(client)) {}
    ~PulseOutput() override { close(); }

    bool open(int sampleRate, int bufferMs, Fill fillWith, std::string& error) override {
        close();
        fill = std::move(fillWith);
        // The size grown to is kept for a stream opened again: the same sound server.
        if (!size || size->baseMs() != bufferMs) size.emplace(bufferMs, bufferMs + kMostGrowthMs);
        size->newStream(steadyMicroseconds());
        shownMs = size->ms();
        if (start(sampleRate, size->ms(), error)) return true;
        close();
        return false;
    }

    bool failed(std::string& error) override {
        if (!connection) return false;
        if (streamFailed.load() || !connection->alive()) {
            error = "PulseAudio playback failed: the connection to the sound server was lost";
            return true;
        }
        return false;
    }

    std::int64_t latencyUs() override {
        if (!connection || stream == nullptr) return -1;
        pulse::Connection::Lock lock(*connection);
        pa_usec_t latency = 0;
        int negative = 0;
        if (pa_stream_get_latency(stream, &latency, &negative) < 0) return -1;
        return negative ? 0 : static_cast<std::int64_t>(latency);
    }

    std::uint64_t underflows() override { return streamUnderflows.load(); }

    int bufferMs() override { return shownMs.load(); }

    void close() override {
        if (!connection) return;
        {
            pulse::Connection::Lock lock(*connection);
            if (stream != nullptr) {
                pa_stream_set_state_callback(stream, nullptr, nullptr);
                pa_stream_set_write_callback(stream, nullptr, nullptr);
                pa_stream_set_underflow_callback(stream, nullptr, nullptr);
                pa_stream_disconnect(stream);
                pa_stream_unref(stream);
                stream = nullptr;
            }
        }
        connection.reset();
    }

  private:
    // The sound server is asked for a quarter of the size asked for at a time, and sets its own
    // latency (the sink's period) to that quarter; the rest is the stream's buffer. Grown, only
    // the buffer grows: a sink asked for another period reconfigures, and that alone made it
    // run dry again.
    pa_buffer_attr attributesFor(int bufferMs, const pa_sample_spec& spec) const {
        auto bytesOf = [&](double ms) {
            auto bytes = pa_usec_to_bytes(static_cast<pa_usec_t>(ms * 1000), &spec);
            return static_cast<std::uint32_t>(bytes - bytes % kFrameBytes);
        };
        double quarterMs = size->baseMs() / 4.0;
        pa_buffer_attr attributes;
        attributes.maxlength = static_cast<std::uint32_t>(-1);
        attributes.minreq = bytesOf(quarterMs);
        attributes.tlength = bytesOf(bufferMs - quarterMs);
        attributes.prebuf = attributes.minreq;
        attributes.fragsize = static_cast<std::uint32_t>(-1);
        return attributes;
    }

    bool start(int sampleRate, int bufferMs, std::string& error) {
        streamFailed = false;
        streamUnderflows = 0;
        connection = std::make_unique<pulse::Connection>();
        pulse::Connection::Options options;
        options.clientName = clientName.c_str();
        options.realtimeEvents = true;
        if (int code = connection->connect(options); code != 0) {
            error = pulseFailure("could not start", code);
            return false;
        }
        pulse::Connection::Lock lock(*connection);
        pa_sample_spec spec{PA_SAMPLE_S16LE, static_cast<std::uint32_t>(sampleRate), 2};
        stream = pa_stream_new(connection->context(), "QuaveLink stream", &spec, nullptr);
        if (stream == nullptr) {
            error = pulseFailure("could not start", connection->lastError());
            return false;
        }
        pa_stream_set_state_callback(stream, &PulseOutput::onState, this);
        pa_stream_set_write_callback(stream, &PulseOutput::onWrite, this);
        pa_stream_set_underflow_callback(stream, &PulseOutput::onUnderflow, this);
        pa_buffer_attr attributes = attributesFor(bufferMs, spec);
        auto flags = static_cast<pa_stream_flags_t>(
            PA_STREAM_EARLY_REQUESTS | PA_STREAM_INTERPOLATE_TIMING | PA_STREAM_AUTO_TIMING_UPDATE);
        if (pa_stream_connect_playback(stream, sinkName.empty() ? nullptr : sinkName.c_str(),
                                       &attributes, flags, nullptr, nullptr) < 0) {
            error = pulseFailure("could not start", connection->lastError());
            return false;
        }
        for (;;) {
            pa_stream_state_t state = pa_stream_get_state(stream);
            if (state == PA_STREAM_READY) return true;
            if (!PA_STREAM_IS_GOOD(state)) {
                error = pulseFailure("could not start", connection->lastError());
                return false;
            }
            connection->waitSignal();
        }
    }

    static void onState(pa_stream* stream, void* self) {
        auto* output = static_cast<PulseOutput*>(self);
        if (!PA_STREAM_IS_GOOD(pa_stream_get_state(stream))) output->streamFailed = true;
        output->connection->signal();
    }

    static void onUnderflow(pa_stream* stream, void* self) {
        auto* output = static_cast<PulseOutput*>(self);
        output->connection->guard("the playback stream's underflow", output->callbackFailed, [&] {
            std::uint64_t count = output->streamUnderflows.fetch_add(1) + 1;
            output->follow(stream, count);
        });
    }

    // Event thread: grows or shrinks the stream's buffer as `size` asks after `count` underflows.
    void follow(pa_stream* to, std::uint64_t count) {
        int before = size->ms();
        int after = size->update(count, steadyMicroseconds());
        if (after == before) return;
        if (after > before) writeSilence(to, after - before);
        pa_buffer_attr attributes = attributesFor(after, *pa_stream_get_sample_spec(to));
        // Takes effect when the sound server has it; nobody waits for that.
        if (pa_operation* operation =
                pa_stream_set_buffer_attr(to, &attributes, nullptr, nullptr)) {
            pa_operation_unref(operation);
        }
        shownMs = after;
    }

    void writeSilence(pa_stream* to, int ms) {
        std::size_t bytes =
            pa_usec_to_bytes(static_cast<pa_usec_t>(ms) * 1000, pa_stream_get_sample_spec(to));
        bytes -= bytes % kFrameBytes;
        while (bytes > 0) {
            void* data = nullptr;
            std::size_t room = bytes;
            if (pa_stream_begin_write(to, &data, &room) < 0 || data == nullptr) return;
            room = std::min(room, bytes);
            std::memset(data, 0, room);
            if (pa_stream_write(to, data, room, nullptr, 0, PA_SEEK_RELATIVE) < 0) return;
            bytes -= room;
        }
    }

    static void onWrite(pa_stream* stream, std::size_t bytes, void* self) {
        auto* output = static_cast<PulseOutput*>(self);
        output->connection->guard("the playback stream's request", output->callbackFailed, [&] {
            output->write(stream, bytes);
            output->follow(stream, output->streamUnderflows.load());
        });
    }

    void write(pa_stream* to, std::size_t bytes) {
        bytes -= bytes % kFrameBytes;
        while (bytes > 0) {
            void* data = nullptr;
            std::size_t room = bytes;
            if (pa_stream_begin_write(to, &data, &room) < 0 || data == nullptr) {
                streamFailed = true;
                return;
            }
            room = std::min(room, bytes);
            room -= room % kFrameBytes;
            if (room == 0) {
                pa_stream_cancel_write(to);
                return;
            }
            fill(static_cast<std::int16_t*>(data), room / kFrameBytes);
            if (pa_stream_write(to, data, room, nullptr, 0, PA_SEEK_RELATIVE) < 0) {
                streamFailed = true;
                return;
            }
            bytes -= room;
        }
    }

    static constexpr std::size_t kFrameBytes = 4;
    std::string sinkName;
    std::string clientName;
    std::unique_ptr<pulse::Connection> connection;
    pa_stream* stream = nullptr;  // under the connection's lock
    Fill fill;
    std::atomic<bool> streamFailed{false};
    std::atomic<std::uint64_t> streamUnderflows{0};
    std::optional<OutputBufferSize> size;  // event thread while open
    std::atomic<int> shownMs{0};
    bool callbackFailed = false;  // event thread
};

}  // namespace

std::unique_ptr<AudioOutput> createPulseOutput(const std::string& sinkName,
                                               const std::string& clientName) {
    return std::make_unique<PulseOutput>(sinkName, clientName);
}

}  // namespace quavelink
