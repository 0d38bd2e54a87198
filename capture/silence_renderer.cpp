#include "capture/silence_renderer.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>

#include "platform/log.h"

namespace quavelink {

SilenceRenderer::SilenceRenderer(audio::AudioSystem& system, MessageBoxHost& boxes)
    : system(system), boxes(boxes), thread([this] {
          PlaySilence();
          {
              std::lock_guard lock(mutex);
              ended = true;
          }
          wake.notify_all();
      }) {}

SilenceRenderer::~SilenceRenderer() {
    {
        std::lock_guard lock(mutex);
        stopping = true;
    }
    wake.notify_all();
    thread.join();
}

bool SilenceRenderer::sleepFor(std::chrono::milliseconds duration) {
    std::unique_lock lock(mutex);
    return !wake.wait_for(lock, duration, [&] { return stopping; });
}

bool SilenceRenderer::waitEnded(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex);
    return wake.wait_for(lock, timeout, [&] { return ended; });
}

namespace {

// Failures that end with the sound server or with the default sink: the keep-alive waits for
// them to pass instead of dying.
bool passing(audio::Status status) {
    return status == audio::kErrorServiceNotRunning || status == audio::kErrorDeviceInvalidated;
}

constexpr std::chrono::milliseconds kFirstRetryDelay{500};
constexpr std::chrono::milliseconds kLongestRetryDelay{5000};

}  // namespace

audio::Status SilenceRenderer::PlaySilence() {
    logLine("PlaySilence thread started\n");
    if (!sleepFor(std::chrono::milliseconds(1000))) return audio::kOk;
    std::chrono::milliseconds delay = kFirstRetryDelay;
    bool told = false;
    for (;;) {
        bool played = false;
        const char* step = nullptr;
        audio::Status status = playUntilFailure(step, played);
        if (audio::Succeeded(status)) return status;
        if (!passing(status)) {
            logLine("PlaySilence: %s: %x\n", step, static_cast<unsigned>(status));
            boxes.ShowMessageBox(
                "PlaySilence thread has died. QuaveLink Server may continue to work, please "
                "restart the server if you experience audio problems.");
            return status;
        }
        if (played) {
            delay = kFirstRetryDelay;
            told = false;
        }
        // Once per outage: the sound server (or the default sink) went away or is not there yet.
        if (!told) {
            logLine("PlaySilence: %s: %x (%s), waiting for the sound server\n", step,
                    static_cast<unsigned>(status), audio::statusCause(status));
            told = true;
        }
        if (!sleepFor(delay)) return audio::kOk;
        delay = std::min(delay * 2, kLongestRetryDelay);
    }
}

audio::Status SilenceRenderer::playUntilFailure(const char*& step, bool& played) {
    std::shared_ptr<audio::DeviceEnumerator> enumerator;
    std::shared_ptr<audio::Endpoint> endpoint;
    std::unique_ptr<audio::AudioClient> client;
    std::unique_ptr<audio::RenderClient> renderClient;
    audio::MixFormat format;
    std::uint32_t bufferFrames = 0;
    std::uint8_t* data = nullptr;
    audio::Status status = audio::kOk;
    auto failed = [&](audio::Status result, const char* text) {
        status = result;
        step = text;
        return audio::Failed(result);
    };

    if (failed(system.CreateDeviceEnumerator(enumerator), "Error from CreateDeviceEnumerator()") ||
        failed(enumerator->GetDefaultAudioEndpoint(audio::DataFlow::Render, endpoint),
               "Error from GetDefaultAudioEndpoint()") ||
        failed(endpoint->Activate(client), "Error from Activate()") ||
        failed(client->GetMixFormat(format), "Error from GetMixFormat()") ||
        failed(client->Initialize(audio::ShareMode::Shared, 0, std::chrono::seconds(1), format),
               "Error from Initialize()") ||
        failed(client->GetBufferSize(bufferFrames), "Error from GetBufferSize()") ||
        failed(client->GetService(renderClient), "Error from GetService()") ||
        failed(renderClient->GetBuffer(bufferFrames, data), "Error from GetBuffer()") ||
        failed(renderClient->ReleaseBuffer(bufferFrames, audio::kBufferFlagsSilent),
               "Error from ReleaseBuffer()") ||
        failed(client->Start(), "Error from Start()")) {
        return status;
    }
    played = true;
    auto duration = static_cast<std::int64_t>(bufferFrames * 10000000.0 / format.samplesPerSec);
    while (sleepFor(std::chrono::milliseconds((duration / 10000) / 2))) {
        std::uint32_t padding = 0;
        if (failed(client->GetCurrentPadding(padding), "Error from GetCurrentPadding()")) {
            return status;
        }
        std::uint32_t freeFrames = padding < bufferFrames ? bufferFrames - padding : 0;
        if (failed(renderClient->GetBuffer(freeFrames, data), "Error from second GetBuffer()") ||
            failed(renderClient->ReleaseBuffer(freeFrames, audio::kBufferFlagsSilent),
                   "Error from second ReleaseBuffer()")) {
            return status;
        }
    }
    client->Stop();
    return audio::kOk;
}

}  // namespace quavelink
