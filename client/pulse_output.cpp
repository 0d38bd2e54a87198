#include <pulse/error.h>
#include <pulse/simple.h>

#include "client/audio_output.h"

namespace quavelink {
namespace {

// The simple API is enough here: the playback thread only ever writes and reads the latency,
// and its buffer attributes bound how much audio the sound server holds.
class PulseOutput : public AudioOutput {
  public:
    PulseOutput(std::string sink, std::string client)
        : sinkName(std::move(sink)), clientName(std::move(client)) {}
    ~PulseOutput() override { close(); }

    bool open(int sampleRate, int bufferMs, std::string& error) override {
        close();
        pa_sample_spec spec{PA_SAMPLE_S16LE, static_cast<std::uint32_t>(sampleRate), 2};
        pa_buffer_attr attributes;
        attributes.maxlength = static_cast<std::uint32_t>(-1);
        attributes.tlength = static_cast<std::uint32_t>(
            pa_usec_to_bytes(static_cast<pa_usec_t>(bufferMs) * 1000, &spec));
        // Start playing as soon as half the buffer is there; the rest absorbs the wake-up
        // jitter of the playback thread.
        attributes.prebuf = attributes.tlength / 2;
        // Asked for a quarter of the buffer at a time, as the playback thread writes it.
        attributes.minreq = attributes.tlength / 4 / 4 * 4;
        attributes.fragsize = static_cast<std::uint32_t>(-1);
        int code = 0;
        stream = pa_simple_new(nullptr, clientName.c_str(), PA_STREAM_PLAYBACK,
                               sinkName.empty() ? nullptr : sinkName.c_str(), "QuaveLink stream",
                               &spec, nullptr, &attributes, &code);
        if (stream == nullptr) {
            error = std::string("PulseAudio playback could not start: ") + pa_strerror(code);
            return false;
        }
        return true;
    }

    bool write(const std::int16_t* samples, std::size_t frames, std::string& error) override {
        if (stream == nullptr) {
            error = "PulseAudio playback is not open";
            return false;
        }
        int code = 0;
        if (pa_simple_write(stream, samples, frames * 4, &code) < 0) {
            error = std::string("PulseAudio playback failed: ") + pa_strerror(code);
            close();
            return false;
        }
        return true;
    }

    std::int64_t latencyUs() override {
        if (stream == nullptr) return -1;
        int code = 0;
        pa_usec_t latency = pa_simple_get_latency(stream, &code);
        if (latency == static_cast<pa_usec_t>(-1)) return -1;
        return static_cast<std::int64_t>(latency);
    }

    void close() override {
        if (stream != nullptr) pa_simple_free(stream);
        stream = nullptr;
    }

  private:
    std::string sinkName;
    std::string clientName;
    pa_simple* stream = nullptr;
};

}  // namespace

std::unique_ptr<AudioOutput> createPulseOutput(const std::string& sinkName,
                                               const std::string& clientName) {
    return std::make_unique<PulseOutput>(sinkName, clientName);
}

}  // namespace quavelink
