#include <pulse/pulseaudio.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <vector>

#include "client/output/audio_output.h"
#include "platform/pulse/pulse_connection.h"
#include "platform/realtime/realtime_scheduling.h"

namespace quavelink {
namespace {

std::string pulseFailure(const char* what, int code) {
    return std::string("PulseAudio playback ") + what + ": " + pa_strerror(code);
}

// What the sink is asked to run at for this stream, ms: what `pacat --latency-msec=20`, a plain
// low-latency player, has it run at. A sink shared at 1.5 ms (what this client once asked for)
// ran dry whenever the sound server's thread for a client was a little late, and so did ours;
// at 5 ms it ran as clean as two plain processes piped through it. The sound server keeps the
// smallest latency any stream on a sink asks for: the cost to others is in the README.
constexpr double kDeviceMs = 5;
// The sound server's main thread passes what is written on to the sink's thread: what the sink
// holds below its own latency and this is due at once.
constexpr std::int64_t kRelayUs = 1000;
// The most handed over at one wake-up: far above any latency the playout allows.
constexpr double kMostPerWriteMs = 250;
constexpr std::size_t kFrameBytes = 4;

// The stream is served from the connection's own event thread, made real-time at open (by the
// system or by RealtimeKit). Audio is written as it arrives (the network thread wakes that
// thread through an eventfd) and whenever the sound server asks: its buffer is then the
// playout's queue, the one budget the playout's controller keeps, and a margin it holds covers
// a late block and a late wake-up alike. Its attributes are set once, at open.
class PulseOutput : public AudioOutput {
  public:
    PulseOutput(std::string sink, std::string client)
        : sinkName(std::move(sink)),
          clientName(std::move(client)),
          arrivals(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}
    ~PulseOutput() override {
        close();
        if (arrivals >= 0) ::close(arrivals);
    }

    bool open(int sampleRate, PlayoutFeed& to, std::string& error) override {
        close();
        feed = &to;
        scratch.assign(static_cast<std::size_t>(sampleRate * kMostPerWriteMs / 1000) * 2, 0);
        if (start(sampleRate, error)) {
            raiseEventThread();
            return true;
        }
        close();
        return false;
    }

    void audioArrived() override {
        std::uint64_t one = 1;
        // A full counter means a wake-up is pending anyway.
        [[maybe_unused]] auto ignored = ::write(arrivals, &one, sizeof one);
    }

    bool failed(std::string& error) override {
        if (!connection) return false;
        if (streamFailed.load() || !connection->alive()) {
            error = "PulseAudio playback failed: the connection to the sound server was lost";
            return true;
        }
        return false;
    }

    std::uint64_t underflows() override { return streamUnderflows.load(); }

    double deviceLatencyMs() override { return deviceMs.load(); }

    Realtime realtime(std::string& detail) override {
        if (!connection) return Realtime::Unknown;
        detail = realtimeDetail;
        if (realtimeGrant != Realtime::No && !realtime::isRealtime(eventThread)) {
            detail = "it was real-time and no longer is";
            return Realtime::No;
        }
        return realtimeGrant;
    }

    void close() override {
        if (!connection) return;
        {
            pulse::Connection::Lock lock(*connection);
            if (arrivalEvent != nullptr) {
                pa_mainloop_api* api = pa_threaded_mainloop_get_api(connection->loop());
                api->io_free(arrivalEvent);
                arrivalEvent = nullptr;
            }
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
        deviceMs = -1;
        realtimeGrant = Realtime::Unknown;
    }

  private:
    // The sink runs at kDeviceMs: with the latency adjusted to the sink, a stream's latency is
    // shared between the sink and the stream's buffer beyond two requests; requests come each
    // half of it.
    static pa_buffer_attr attributesFor(const pa_sample_spec& spec) {
        auto bytesOf = [&](double ms) {
            auto bytes = pa_usec_to_bytes(static_cast<pa_usec_t>(ms * 1000), &spec);
            return static_cast<std::uint32_t>(bytes - bytes % kFrameBytes);
        };
        pa_buffer_attr attributes;
        attributes.maxlength = static_cast<std::uint32_t>(-1);
        attributes.minreq = bytesOf(kDeviceMs / 2);
        attributes.tlength = bytesOf(3 * kDeviceMs);
        // Playback starts with the first write and again with the first write after running
        // dry: when to start is the playout's to say.
        attributes.prebuf = kFrameBytes;
        attributes.fragsize = static_cast<std::uint32_t>(-1);
        return attributes;
    }

    bool start(int sampleRate, std::string& error) {
        streamFailed = false;
        streamUnderflows = 0;
        connection = std::make_unique<pulse::Connection>();
        pulse::Connection::Options options;
        options.clientName = clientName.c_str();
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
        pa_buffer_attr attributes = attributesFor(spec);
        auto flags = static_cast<pa_stream_flags_t>(
            PA_STREAM_ADJUST_LATENCY | PA_STREAM_INTERPOLATE_TIMING | PA_STREAM_AUTO_TIMING_UPDATE);
        if (pa_stream_connect_playback(stream, sinkName.empty() ? nullptr : sinkName.c_str(),
                                       &attributes, flags, nullptr, nullptr) < 0) {
            error = pulseFailure("could not start", connection->lastError());
            return false;
        }
        for (;;) {
            pa_stream_state_t state = pa_stream_get_state(stream);
            if (state == PA_STREAM_READY) break;
            if (!PA_STREAM_IS_GOOD(state)) {
                error = pulseFailure("could not start", connection->lastError());
                return false;
            }
            connection->waitSignal();
        }
        pa_mainloop_api* api = pa_threaded_mainloop_get_api(connection->loop());
        arrivalEvent = api->io_new(api, arrivals, PA_IO_EVENT_INPUT, &PulseOutput::onArrival, this);
        // The event thread's id, for the real-time request made from here.
        eventThread = 0;
        pa_mainloop_api_once(api, &PulseOutput::onFirstTurn, this);
        while (eventThread == 0) connection->waitSignal();
        return true;
    }

    // Player thread, after the stream opened: the request may wait for the bus, which the event
    // thread must not. Meanwhile the stream plays at normal priority.
    void raiseEventThread() {
        auto outcome = realtime::makeRealtime(eventThread);
        switch (outcome.grant) {
            case realtime::Grant::Direct:
                realtimeGrant = Realtime::Direct;
                break;
            case realtime::Grant::RealtimeKit:
                realtimeGrant = Realtime::RealtimeKit;
                break;
            default:
                realtimeGrant = Realtime::No;
        }
        realtimeDetail = outcome.failure;
    }

    static void onFirstTurn(pa_mainloop_api*, void* self) {
        auto* output = static_cast<PulseOutput*>(self);
        output->eventThread = realtime::currentThreadId();
        output->connection->signal();
    }

    static void onState(pa_stream* stream, void* self) {
        auto* output = static_cast<PulseOutput*>(self);
        if (!PA_STREAM_IS_GOOD(pa_stream_get_state(stream))) output->streamFailed = true;
        output->connection->signal();
    }

    static void onUnderflow(pa_stream*, void* self) {
        auto* output = static_cast<PulseOutput*>(self);
        output->connection->guard("the playback stream's underflow", output->callbackFailed, [&] {
            output->streamUnderflows.fetch_add(1);
            output->feed->outputRanDry();
        });
    }

    static void onWrite(pa_stream* stream, std::size_t, void* self) {
        auto* output = static_cast<PulseOutput*>(self);
        output->connection->guard("the playback stream's request", output->callbackFailed,
                                  [&] { output->write(stream); });
    }

    static void onArrival(pa_mainloop_api*, pa_io_event*, int fd, pa_io_event_flags_t, void* self) {
        auto* output = static_cast<PulseOutput*>(self);
        std::uint64_t count = 0;
        [[maybe_unused]] auto ignored = ::read(fd, &count, sizeof count);
        output->connection->guard("the arrival of audio", output->callbackFailed, [&] {
            if (output->stream != nullptr &&
                pa_stream_get_state(output->stream) == PA_STREAM_READY) {
                output->write(output->stream);
            }
        });
    }

    // Event thread: hands the playout what this stream holds and needs, and writes what it
    // gets. Until the sound server has told its timing, exactly what it asked for.
    void write(pa_stream* to) {
        PlayoutFeed::Hold hold;
        pa_usec_t latency = 0;
        int negative = 0;
        const pa_timing_info* timing = pa_stream_get_timing_info(to);
        std::size_t most = scratch.size() / 2;
        if (timing != nullptr && pa_stream_get_latency(to, &latency, &negative) == 0) {
            hold.heldUs = negative ? 0 : static_cast<std::int64_t>(latency);
            hold.leastUs = static_cast<std::int64_t>(timing->configured_sink_usec) + kRelayUs;
            deviceMs.store(static_cast<double>(timing->configured_sink_usec) / 1000,
                           std::memory_order_relaxed);
        } else {
            most = std::min(most, pa_stream_writable_size(to) / kFrameBytes);
        }
        if (most == 0) return;
        std::size_t frames = feed->pull(scratch.data(), most, hold);
        if (frames > 0 && pa_stream_write(to, scratch.data(), frames * kFrameBytes, nullptr, 0,
                                          PA_SEEK_RELATIVE) < 0) {
            streamFailed = true;
        }
    }

    std::string sinkName;
    std::string clientName;
    int arrivals;  // eventfd: audio arrived
    std::unique_ptr<pulse::Connection> connection;
    pa_stream* stream = nullptr;          // under the connection's lock
    pa_io_event* arrivalEvent = nullptr;  // under the connection's lock
    PlayoutFeed* feed = nullptr;
    std::vector<std::int16_t> scratch;  // event thread while open
    std::atomic<pid_t> eventThread{0};
    Realtime realtimeGrant = Realtime::Unknown;  // player thread
    std::string realtimeDetail;                  // player thread
    std::atomic<bool> streamFailed{false};
    std::atomic<std::uint64_t> streamUnderflows{0};
    std::atomic<double> deviceMs{-1};
    bool callbackFailed = false;  // event thread
};

}  // namespace

std::unique_ptr<AudioOutput> createPulseOutput(const std::string& sinkName,
                                               const std::string& clientName) {
    return std::make_unique<PulseOutput>(sinkName, clientName);
}

}  // namespace quavelink
