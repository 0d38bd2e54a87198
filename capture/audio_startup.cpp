#include "capture/audio_startup.h"

#include <new>
#include <utility>

#include "capture/capture_engine.h"
#include "capture/silence_renderer.h"
#include "platform/environment.h"
#include "platform/log.h"

namespace quavelink {

AudioStartup::AudioStartup(EndpointList& endpoints, AudioBlockSink& sink, MessageBoxHost& boxes,
                           ChannelSelection& channels, Warn48kSetting warn48k)
    : endpoints(endpoints),
      sink(sink),
      boxes(boxes),
      channels(channels),
      warn48kDue(!warn48k.shownBefore),
      warn48kShown(std::move(warn48k.recordShown)) {}

AudioStartup::~AudioStartup() {
    stopCapture();
    silence.reset();
}

int AudioStartup::WInit() {
    if (environmentSwitchOn("QUAVELINK_SERVER_NOSILENCE")) {
        logLine(
            "Env var QUAVELINK_SERVER_NOSILENCE enabled, skipping start of PlaySilence "
            "thread\n");
        return 0;
    }
    if (silence) {
        logLine("WInit() called more than once!");
        return -1;
    }
    try {
        silence = std::make_unique<SilenceRenderer>(endpoints.audioSystem(), boxes);
    } catch (const std::system_error& error) {
        logLine("Unable to create PlaySilence thread: %x",
                static_cast<unsigned>(error.code().value()));
        return error.code().value();
    }
    return 0;
}

void AudioStartup::LoggedBoxes::ShowMessageBox(const std::string& text) {
    // The same cause on every try is told once.
    if (text == lastText) return;
    lastText = text;
    logLine("Message: %s%s", text.c_str(), !text.empty() && text.back() == '\n' ? "" : "\n");
}

int AudioStartup::startCapture(int listIndex, std::atomic<bool>& streamIs48k) {
    return start(listIndex, streamIs48k, boxes);
}

int AudioStartup::retryCapture(int listIndex, std::atomic<bool>& streamIs48k) {
    return start(listIndex, streamIs48k, loggedBoxes);
}

bool AudioStartup::captureEnded() { return currentCapturer && currentCapturer->captureEnded(); }

CaptureControl::EndpointState AudioStartup::probeEndpoint(int listIndex) {
    std::shared_ptr<audio::Endpoint> device;
    audio::EndpointProperties properties;
    audio::Status status = endpoints.findEndpoint(listIndex, &device, nullptr, true);
    if (audio::Succeeded(status)) status = device->OpenPropertyStore(properties);
    if (audio::Succeeded(status)) return EndpointState::Present;
    return status == audio::kErrorServiceNotRunning ? EndpointState::NoSoundServer
                                                    : EndpointState::Gone;
}

int AudioStartup::start(int listIndex, std::atomic<bool>& streamIs48k, MessageBoxHost& shownTo) {
    if (firstStart) {
        int result = WInit();
        if (result < 0) return result;
        firstStart = false;
    }
    bool isDefault = false;
    // A repeated try says nothing of a lookup that failed the same way before.
    const bool quiet = &shownTo == &loggedBoxes;
    audio::Status status = endpoints.findEndpoint(listIndex, &currentDevice, &isDefault, quiet);
    if (audio::Failed(status)) {
        stopCapture();
        return status;
    }
    CWASAPICapture::Context context{
        endpoints.audioSystem(), sink, shownTo, channels, warn48kDue, warn48kShown, polls};
    currentCapturer.reset(new (std::nothrow) CWASAPICapture(context, currentDevice, isDefault));
    if (!currentCapturer) {
        logLine("Unable to allocate capturer\n");
        stopCapture();
        return -1;
    }
    if (!currentCapturer->Initialize(kCaptureLatency, streamIs48k)) {
        logLine("Unable to initialize capturer\n");
        currentCapturer.reset();
        stopCapture();
        return -2;
    }
    plainBlock.reset(new (std::nothrow) std::array<std::uint8_t, kPlainBlockLength>());
    opusBlock.reset(new (std::nothrow) std::array<std::uint8_t, kOpusBlockLength>());
    if (!plainBlock || !opusBlock) {
        logLine("Unable to allocate capture buffer(s)\n");
        stopCapture();
        return -1;
    }
    if (!currentCapturer->Start(plainBlock->data(), opusBlock->data())) {
        stopCapture();
        return -1;
    }
    loggedBoxes.forget();
    return 0;
}

void AudioStartup::stopCapture() {
    if (currentCapturer) {
        // Joins the capture thread: the blocks below are no longer in use after this.
        currentCapturer->Stop();
        currentCapturer->Shutdown();
        currentCapturer.reset();
    }
    plainBlock.reset();
    opusBlock.reset();
    currentDevice.reset();
}

}  // namespace quavelink
