#include "pipewire_player.h"

#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>

#include <algorithm>
#include <cstdio>

#include "platform/pipewire/pipewire_connection.h"

namespace quavelink::test {

struct PipeWirePlayer::Stream {
    Options options;
    Generator generate;
    Written written;
    pipewire::Connection connection;
    pw_stream* stream = nullptr;
    spa_hook listener{};
    long frame = 0;  // data thread
    std::atomic<bool> failed{false};

    static void process(void* data) {
        auto* self = static_cast<Stream*>(data);
        pw_buffer* buffer = pw_stream_dequeue_buffer(self->stream);
        if (!buffer) return;
        spa_data& samples = buffer->buffer->datas[0];
        const std::uint32_t stride = static_cast<std::uint32_t>(self->options.channels) * 4;
        std::uint32_t frames = samples.maxsize / stride;
        if (buffer->requested != 0) {
            frames = static_cast<std::uint32_t>(std::min<std::uint64_t>(frames, buffer->requested));
        }
        if (samples.data) {
            self->generate(static_cast<float*>(samples.data), static_cast<int>(frames),
                           self->frame);
            samples.chunk->offset = 0;
            samples.chunk->stride = static_cast<std::int32_t>(stride);
            samples.chunk->size = frames * stride;
        }
        pw_stream_queue_buffer(self->stream, buffer);
        self->frame += frames;
        if (self->written) self->written(self->frame);
    }

    static void stateChanged(void* data, pw_stream_state, pw_stream_state state, const char*) {
        if (state == PW_STREAM_STATE_ERROR) static_cast<Stream*>(data)->failed = true;
    }
};

PipeWirePlayer::PipeWirePlayer(const std::string& sink, Options options, Generator generate,
                               Written written)
    : stream(std::make_unique<Stream>()) {
    Stream& s = *stream;
    s.options = options;
    s.generate = std::move(generate);
    s.written = std::move(written);
    pipewire::Connection::Options connectionOptions;
    connectionOptions.clientName = "QuaveLink test player";
    if (s.connection.connect(connectionOptions) != 0) {
        s.failed = true;
        return;
    }
    pipewire::Connection::Lock lock(s.connection);
    pw_properties* props = pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY,
                                             "Playback", PW_KEY_TARGET_OBJECT, sink.c_str(),
                                             PW_KEY_NODE_NAME, "QuaveLink test player", nullptr);
    s.stream = pw_stream_new(s.connection.core(), "QuaveLink test player", props);
    if (!s.stream) {
        s.failed = true;
        return;
    }
    // Set after the stream is made, so that PIPEWIRE_LATENCY, which a benchmark may set for the
    // capture in the same process, leaves the player at its own quantum.
    char latency[32];
    std::snprintf(latency, sizeof latency, "%u/%d", options.quantumFrames, options.rate);
    const spa_dict_item item = SPA_DICT_ITEM_INIT(PW_KEY_NODE_LATENCY, latency);
    const spa_dict dict = SPA_DICT_INIT(&item, 1);
    pw_stream_update_properties(s.stream, &dict);
    static const pw_stream_events events = [] {
        pw_stream_events e{};
        e.version = PW_VERSION_STREAM_EVENTS;
        e.state_changed = &Stream::stateChanged;
        e.process = &Stream::process;
        return e;
    }();
    pw_stream_add_listener(s.stream, &s.listener, &events, &s);
    std::uint8_t pod[512];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(pod, sizeof pod);
    spa_audio_info_raw info{};
    info.format = SPA_AUDIO_FORMAT_F32;
    info.rate = static_cast<std::uint32_t>(options.rate);
    info.channels = static_cast<std::uint32_t>(options.channels);
    info.flags = SPA_AUDIO_FLAG_UNPOSITIONED;
    const spa_pod* params[1] = {spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info)};
    if (pw_stream_connect(
            s.stream, PW_DIRECTION_OUTPUT, PW_ID_ANY,
            static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS |
                                         PW_STREAM_FLAG_RT_PROCESS),
            params, 1) < 0) {
        s.failed = true;
    }
}

PipeWirePlayer::~PipeWirePlayer() {
    if (stream->stream) {
        pipewire::Connection::Lock lock(stream->connection);
        spa_hook_remove(&stream->listener);
        pw_stream_destroy(stream->stream);
    }
    stream->connection.close();
}

bool PipeWirePlayer::ok() const { return !stream->failed.load(); }

}  // namespace quavelink::test
