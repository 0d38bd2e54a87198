#include "capture/capture_engine.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <system_error>

#include "capture/capture_thread_priority.h"
#include "capture/pcm_conversion.h"
#include "platform/environment.h"
#include "platform/log.h"
#include "server/capture_recovery.h"

namespace quavelink {
namespace {

using audio::Failed;
using audio::Status;

unsigned hex(Status status) { return static_cast<unsigned>(status); }

// How many empty polls in a row make a gap: the 9th.
constexpr int kEmptyPollsForGap = 8;
// The most silence handed over at once: a capture thread held up for longer does not flood the
// clients with all it missed.
constexpr std::chrono::milliseconds kMostSilenceAtOnce{200};
constexpr auto kNewDeviceWait = std::chrono::milliseconds(500);

std::string lowered(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

bool mentionsInput(const std::string& text) {
    std::string lower = lowered(text);
    return lower.find("microphone") != std::string::npos ||
           lower.find("aux jack") != std::string::npos;
}

// Port names are machine words ("analog-input-mic", "analog-input-front-mic"): a "mic" word
// in them names a microphone jack.
bool portNamesMicrophone(const std::string& port) {
    std::string lower = lowered(port);
    std::size_t start = 0;
    while (start <= lower.size()) {
        std::size_t end = lower.find_first_of("-_ .:", start);
        if (end == std::string::npos) end = lower.size();
        if (lower.compare(start, end - start, "mic") == 0) return true;
        start = end + 1;
    }
    return false;
}

// An input for the 48 kHz advice: a microphone or an aux jack by its description, form
// factor or port names.
bool isInputDevice(const audio::EndpointProperties& properties) {
    if (properties.deviceDesc && mentionsInput(*properties.deviceDesc)) return true;
    if (mentionsInput(properties.formFactor)) return true;
    return std::any_of(
        properties.portNames.begin(), properties.portNames.end(),
        [](const std::string& port) { return mentionsInput(port) || portNamesMicrophone(port); });
}

void putSample(std::uint8_t* at, std::int16_t sample) {
    auto bits = static_cast<std::uint16_t>(sample);
    at[0] = static_cast<std::uint8_t>(bits);
    at[1] = static_cast<std::uint8_t>(bits >> 8);
}

float readFloat(const std::uint8_t* at) {
    float value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

}  // namespace

CWASAPICapture::CWASAPICapture(const Context& context, std::shared_ptr<audio::Endpoint> endpoint,
                               bool followDefault)
    : context(context), endpoint(std::move(endpoint)), followDefault(followDefault) {}

CWASAPICapture::~CWASAPICapture() { Shutdown(); }

bool CWASAPICapture::Initialize(std::chrono::milliseconds latencyAsked, std::atomic<bool>& is48k) {
    is48k = false;
    Status status = endpoint->Activate(audioClient);
    if (Failed(status)) {
        logLine("Unable to activate audio device: %x\n", hex(status));
        if (status == audio::kErrorDeviceInvalidated) {
            context.boxes.ShowMessageBox(unpluggedDeviceMessage(hex(status)));
        } else {
            char text[96];
            std::snprintf(text, sizeof text, "Error, unable to activate audio device (code %x)",
                          hex(status));
            context.boxes.ShowMessageBox(text);
        }
        return false;
    }
    status = context.system.CreateDeviceEnumerator(enumerator);
    if (Failed(status)) {
        logLine("Unable to instantiate device enumerator: %x\n", hex(status));
        return false;
    }
    if (!loadMixFormat()) {
        logLine("Failed to load the mix format\n");
        return false;
    }
    if (mixFormat->bitsPerSample != 32) {
        logLine("Audio device number of bits per sample not supported.\n");
        char text[160];
        std::snprintf(text, sizeof text,
                      "Error, audio device is set to a number of bits per sample not supported "
                      "by QuaveLink (%d).",
                      mixFormat->bitsPerSample);
        context.boxes.ShowMessageBox(text);
        return false;
    }
    if (mixFormat->samplesPerSec != 44100 && mixFormat->samplesPerSec != 48000) {
        logLine("Audio device sample rate not supported.\n");
        char text[320];
        std::snprintf(text, sizeof text,
                      "Error, audio device is set to a sample rate not supported by QuaveLink.\n"
                      "Set the sound server's sample rate (default-sample-rate in PulseAudio's "
                      "daemon.conf, default.clock.rate in PipeWire) to %d or %d.",
                      44100, 48000);
        context.boxes.ShowMessageBox(text);
        return false;
    }
    if (mixFormat->samplesPerSec == 48000) {
        is48k = true;
        advise48k();
    }
    latency = latencyAsked;
    status = openStream();
    if (Failed(status)) {
        char text[96];
        std::snprintf(text, sizeof text, "Error, could not initialize audio stream (code %x)",
                      hex(status));
        context.boxes.ShowMessageBox(text);
        return false;
    }
    if (followDefault && !registerSwitchNotifications()) return false;
    return true;
}

bool CWASAPICapture::loadMixFormat() {
    audio::MixFormat format;
    Status status = audioClient->GetMixFormat(format);
    if (Failed(status)) {
        logLine("Unable to get audio mix format: %x\n", hex(status));
        return false;
    }
    mixFormat = format;
    frameSize = (format.bitsPerSample / 8u) * format.channels;
    context.channels.captureChannelCount.store(format.channels);
    logLine("Mix format: Channels=%d, Samples Per Sec=%d, Bits Per Sample=%d\n", format.channels,
            static_cast<int>(format.samplesPerSec), format.bitsPerSample);
    return true;
}

void CWASAPICapture::advise48k() {
    audio::EndpointProperties properties;
    bool input =
        audio::Succeeded(endpoint->OpenPropertyStore(properties)) && isInputDevice(properties);
    if (input || !context.warn48kDue) return;
    context.warn48kDue = false;
    if (environmentSwitchOn("QUAVELINK_SERVER_NOWARN_48K")) return;
    char text[400];
    std::snprintf(text, sizeof text,
                  "Warning, audio device is set to sample rate %d which may reduce sound quality "
                  "for typical audio sources. You may want to set the sound server's sample rate "
                  "(default-sample-rate in PulseAudio's daemon.conf, default.clock.rate in "
                  "PipeWire) to %d.",
                  48000, 44100);
    context.boxes.ShowMessageBox(text);
    if (context.warn48kShown) context.warn48kShown();
}

Status CWASAPICapture::openStream() {
    // Blocks leave as soon as their frames are there: the stream wakes the capture thread for
    // every packet, and the poll period only paces the look for gaps.
    constexpr std::uint32_t kFlags =
        audio::kStreamFlagsNoPersist | audio::kStreamFlagsEventCallback;
    Status status = audioClient->Initialize(
        audio::ShareMode::Shared, audio::kStreamFlagsLoopback | kFlags, latency, *mixFormat);
    if (Failed(status)) {
        // A capture endpoint refuses loopback: open it directly.
        audioClient.reset();
        status = endpoint->Activate(audioClient);
        if (audio::Succeeded(status)) {
            status = audioClient->Initialize(audio::ShareMode::Shared, kFlags, latency, *mixFormat);
        }
    }
    if (Failed(status)) {
        logLine("Unable to initialize audio engine: %x\n", hex(status));
        return status;
    }
    status = audioClient->SetEventHandle(events.packetEvent());
    if (Failed(status)) {
        logLine("Unable to set ready event: %x (%s)\n", hex(status), audio::statusCause(status));
        return status;
    }
    status = audioClient->GetService(captureClient);
    if (Failed(status)) {
        logLine("Unable to get new capture client: %x\n", hex(status));
        return status;
    }
    return audio::kOk;
}

bool CWASAPICapture::registerSwitchNotifications() {
    Status status = audioClient->GetService(sessionControl);
    if (Failed(status)) {
        logLine("Unable to retrieve session control: %x\n", hex(status));
        return false;
    }
    status = sessionControl->RegisterAudioSessionNotification(this);
    if (Failed(status)) {
        logLine("Unable to register for stream switch notifications: %x\n", hex(status));
        return false;
    }
    status = enumerator->RegisterEndpointNotificationCallback(this);
    if (Failed(status)) {
        logLine("Unable to register for stream switch notifications: %x\n", hex(status));
        return false;
    }
    endpointCallbackRegistered = true;
    return true;
}

void CWASAPICapture::unregisterSwitchNotifications() {
    if (sessionControl) {
        Status status = sessionControl->UnregisterAudioSessionNotification(this);
        if (Failed(status)) {
            logLine("Unable to unregister for session notifications: %x\n", hex(status));
        }
    }
    if (enumerator && endpointCallbackRegistered) {
        Status status = enumerator->UnregisterEndpointNotificationCallback(this);
        if (Failed(status)) {
            logLine("Unable to unregister for endpoint notifications: %x\n", hex(status));
        }
        endpointCallbackRegistered = false;
    }
    sessionControl.reset();
}

bool CWASAPICapture::Start(std::uint8_t* plain, std::uint8_t* opus) {
    plainBlock = plain;
    opusBlock = opus;
    threadEnded = false;
    try {
        captureThread.emplace([this] { captureLoop(); });
    } catch (const std::system_error& error) {
        logLine("Unable to create capture thread: %x", static_cast<unsigned>(error.code().value()));
        return false;
    }
    Status status = audioClient->Start();
    if (Failed(status)) {
        logLine("Unable to start capture client: %x\n", hex(status));
        return false;
    }
    return true;
}

void CWASAPICapture::Stop() {
    events.signalShutdown();
    // The capture thread may be replacing the audio client in a stream switch: join it before
    // touching the client.
    if (captureThread) {
        captureThread->join();
        captureThread.reset();
    }
    if (audioClient) {
        Status status = audioClient->Stop();
        if (Failed(status)) logLine("Unable to stop audio device: %x\n", hex(status));
    }
}

void CWASAPICapture::Shutdown() {
    if (captureThread) {
        events.signalShutdown();
        captureThread->join();
        captureThread.reset();
    }
    if (followDefault) unregisterSwitchNotifications();
    enumerator.reset();
    captureClient.reset();
    audioClient.reset();
    mixFormat.reset();
    endpoint.reset();
}

void CWASAPICapture::OnSessionDisconnected(audio::DisconnectReason reason) {
    if (reason == audio::DisconnectReason::DeviceRemoval) {
        switchPending = true;
        events.signalSwitch();
    } else if (reason == audio::DisconnectReason::FormatChanged) {
        switchPending = true;
        events.signalSwitch();
        events.signalNewDevice();
    }
}

void CWASAPICapture::OnDefaultDeviceChanged(audio::DataFlow flow, std::string_view) {
    // Index 0 captures the default render endpoint through its monitor: follow that one.
    if (flow != audio::DataFlow::Render) return;
    if (!switchPending.exchange(true)) events.signalSwitch();
    events.signalNewDevice();
}

void CWASAPICapture::captureLoop() {
    raiseCaptureThreadPriority();
    plainFill = kBlockHeaderBytes;
    opusFill = kBlockHeaderBytes;
    emptyPolls = 0;
    sawData = false;
    streamFailed = false;
    PacketPollSource packets;
    CapturePollSource& polls = context.polls != nullptr ? *context.polls : packets;
    lastData = polls.now();
    silentPlainFrames = silentOpusFrames = 0;
    const auto period = latency / 3;
    for (bool running = true; running;) {
        switch (polls.next(events, period)) {
            case CaptureEvents::Wake::Shutdown:
                running = false;
                break;
            case CaptureEvents::Wake::Switch:
                if (switchStream(false) != 0) running = false;
                break;
            case CaptureEvents::Wake::Poll:
                running = poll(polls.now());
                polls.polled();
                break;
        }
    }
    context.sink.captureEnded();
    threadEnded.store(true, std::memory_order_release);
    polls.ended();
}

bool CWASAPICapture::poll(std::chrono::steady_clock::time_point now) {
    const std::uint8_t* data = nullptr;
    std::uint32_t frames = 0;
    std::uint32_t flags = 0;
    Status status =
        captureClient ? captureClient->GetBuffer(data, frames, flags) : audio::kErrorNotInitialized;
    if (Failed(status) || frames == 0) {
        streamFailed = streamFailed || Failed(status);
        // From the ninth empty poll on, silence stands in for the stream at the stream's own
        // pace: a sink that sleeps until a stream wakes it delivers nothing for up to two
        // seconds, and a client fed less than real time runs dry.
        if (emptyPolls < kEmptyPollsForGap) {
            ++emptyPolls;
        } else {
            // A stream that fails is reset too, also before its first data: a sound server gone
            // within a stream's first seconds would otherwise leave it failing for good.
            if (sawData || streamFailed) {
                sawData = false;
                streamFailed = false;
                logLine("Gap in audio data stream\n");
                Status reset = switchStream(true);
                if (reset != 0) {
                    logLine("Unable to reset audio stream after consecutive empty buf: %x\n",
                            hex(reset));
                    return false;
                }
            }
            handOverSilence(now);
        }
    }
    while (audio::Succeeded(status) && frames != 0) {
        int pair = chooseChannelPair(
            mixFormat->channels, context.channels.channelPairIndex.load(std::memory_order_relaxed));
        emptyPolls = 0;
        sawData = true;
        streamFailed = false;
        lastData = now;
        silentPlainFrames = silentOpusFrames = 0;
        bool silent = (flags & audio::kBufferFlagsSilent) != 0;
        fillBlock(plainBlock, kPlainBlockLength, plainFill, data, frames, silent, pair);
        fillBlock(opusBlock, kOpusBlockLength, opusFill, data, frames, silent, pair);
        Status released = captureClient->ReleaseBuffer(frames);
        if (Failed(released)) {
            logLine("Error, unable to release capture buffer: %x\n", hex(released));
            return true;
        }
        status = captureClient->GetBuffer(data, frames, flags);
    }
    if (Failed(status)) logLine("Error, unable to obtain capture buffer: %x\n", hex(status));
    return true;
}

void CWASAPICapture::handOverSilence(std::chrono::steady_clock::time_point now) {
    const std::uint64_t rate = mixFormat->samplesPerSec;
    auto framesIn = [rate](std::chrono::steady_clock::duration time) {
        return static_cast<std::uint64_t>(
                   std::chrono::duration_cast<std::chrono::microseconds>(time).count()) *
               rate / 1000000;
    };
    const std::uint64_t due = framesIn(std::max(now - lastData, {}));
    const std::uint64_t mostAtOnce = framesIn(kMostSilenceAtOnce);
    // Whole blocks of zeros: the block's header room is cleared too, and what a block held
    // before its frames ran out is silenced with it.
    auto handOver = [&](std::uint8_t* block, int length, std::uint64_t frames,
                        std::uint64_t& handed) {
        handed = std::max(handed, due > mostAtOnce ? due - mostAtOnce : 0);
        while (handed + frames <= due) {
            std::memset(block, 0, static_cast<std::size_t>(length));
            context.sink.processAudioBlock(block, length);
            handed += frames;
        }
    };
    handOver(plainBlock, kPlainBlockLength, kPlainBlockFrames, silentPlainFrames);
    handOver(opusBlock, kOpusBlockLength, kOpusBlockFrames, silentOpusFrames);
}

void CWASAPICapture::fillBlock(std::uint8_t* block, std::uint32_t blockSize, std::uint32_t& fill,
                               const std::uint8_t* packet, std::uint32_t frames, bool silent,
                               int pair) {
    const std::uint32_t leftOffset = static_cast<std::uint32_t>(pair) * 2 * 4;
    // A one-channel format gives the same sample on both sides.
    const std::uint32_t rightOffset = mixFormat->channels >= 2 ? leftOffset + 4 : leftOffset;
    std::uint32_t frame = 0;
    while (frame < frames) {
        std::uint32_t count = std::min((blockSize - fill) / kBlockFrameBytes, frames - frame);
        std::uint8_t* out = block + fill;
        for (std::uint32_t k = 0; k < count; ++k, out += kBlockFrameBytes) {
            if (silent) {
                std::memset(out, 0, kBlockFrameBytes);
            } else {
                const std::uint8_t* in = packet + static_cast<std::size_t>(frame + k) * frameSize;
                putSample(out, toPcm16(readFloat(in + leftOffset)));
                putSample(out + 2, toPcm16(readFloat(in + rightOffset)));
            }
        }
        frame += count;
        fill += count * kBlockFrameBytes;
        if (fill >= blockSize) {
            context.sink.processAudioBlock(block, static_cast<int>(blockSize));
            fill = kBlockHeaderBytes;
        }
    }
}

Status CWASAPICapture::switchStream(bool reset) {
    bool hadSessionControl = sessionControl != nullptr;
    if (!reset && !switchPending) return -1;
    auto fail = [&](Status status) {
        if (!reset) switchPending = false;
        return Failed(status) ? status : audio::kErrorFail;
    };
    Status status = audioClient->Stop();
    if (Failed(status)) {
        logLine("Unable to stop audio device during stream switch: %x\n", hex(status));
        return fail(status);
    }
    if (sessionControl) {
        status = sessionControl->UnregisterAudioSessionNotification(this);
        if (Failed(status)) {
            logLine("Unable to stop audio device during stream switch: %x\n", hex(status));
            return fail(status);
        }
        sessionControl.reset();
    }
    captureClient.reset();
    audioClient.reset();
    if (!reset) {
        endpoint.reset();
        if (!events.waitNewDevice(kNewDeviceWait)) {
            logLine("Stream switch timeout - aborting...\n");
            return fail(audio::kErrorFail);
        }
        status = enumerator->GetDefaultAudioEndpoint(audio::DataFlow::Render, endpoint);
        if (Failed(status)) {
            logLine("Unable to retrieve new default device during stream switch: %x\n",
                    hex(status));
            return fail(status);
        }
    }
    status = endpoint->Activate(audioClient);
    if (Failed(status)) {
        logLine("Unable to activate audio device on the new endpoint: %x\n", hex(status));
        return fail(status);
    }
    audio::MixFormat newFormat;
    status = audioClient->GetMixFormat(newFormat);
    if (Failed(status)) {
        logLine("Unable to retrieve mix format for new endpoint: %x\n", hex(status));
        return fail(status);
    }
    if (audio::FormatBytes(newFormat) != audio::FormatBytes(*mixFormat)) {
        logLine("New mix format doesn't match old mix format.  Aborting.\n");
        return fail(audio::kErrorFail);
    }
    status = openStream();
    if (Failed(status)) return fail(status);
    if (hadSessionControl) {
        status = audioClient->GetService(sessionControl);
        if (audio::Succeeded(status))
            status = sessionControl->RegisterAudioSessionNotification(this);
        if (Failed(status)) {
            logLine("Unable to retrieve session control on new audio endpoint: %x\n", hex(status));
            return fail(status);
        }
    }
    if (!reset) events.resetNewDevice();
    status = audioClient->Start();
    if (Failed(status)) {
        logLine("Unable to start the audio device on the new endpoint: %x\n", hex(status));
        return fail(status);
    }
    if (!reset) switchPending = false;
    return audio::kOk;
}

}  // namespace quavelink
