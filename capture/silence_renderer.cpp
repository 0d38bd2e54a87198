#include "capture/silence_renderer.h"

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

audio::Status SilenceRenderer::PlaySilence() {
    logLine("PlaySilence thread started\n");
    if (!sleepFor(std::chrono::milliseconds(1000))) return audio::kOk;

    std::shared_ptr<audio::DeviceEnumerator> enumerator;
    std::shared_ptr<audio::Endpoint> endpoint;
    std::unique_ptr<audio::AudioClient> client;
    std::unique_ptr<audio::RenderClient> renderClient;
    audio::MixFormat format;
    std::uint32_t bufferFrames = 0;
    std::uint8_t* data = nullptr;
    const char* step = nullptr;
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
        failed(client->Initialize(audio::ShareMode::Shared, 0, 10000000, 0, format),
               "Error from Initialize()") ||
        failed(client->GetBufferSize(bufferFrames), "Error from GetBufferSize()") ||
        failed(client->GetService(renderClient), "Error from GetService()") ||
        failed(renderClient->GetBuffer(bufferFrames, data), "Error from GetBuffer()") ||
        failed(renderClient->ReleaseBuffer(bufferFrames, audio::kBufferFlagsSilent),
               "Error from ReleaseBuffer()")) {
        // Reported below.
    } else {
        auto duration = static_cast<std::int64_t>(bufferFrames * 10000000.0 / format.samplesPerSec);
        if (!failed(client->Start(), "Error from Start()")) {
            while (sleepFor(std::chrono::milliseconds((duration / 10000) / 2))) {
                std::uint32_t padding = 0;
                if (failed(client->GetCurrentPadding(padding), "Error from GetCurrentPadding()")) {
                    break;
                }
                std::uint32_t freeFrames = padding < bufferFrames ? bufferFrames - padding : 0;
                if (failed(renderClient->GetBuffer(freeFrames, data),
                           "Error from second GetBuffer()") ||
                    failed(renderClient->ReleaseBuffer(freeFrames, audio::kBufferFlagsSilent),
                           "Error from second ReleaseBuffer()")) {
                    break;
                }
            }
            if (audio::Succeeded(status)) client->Stop();
        }
    }
    if (audio::Failed(status)) {
        logLine("PlaySilence: %s: %x\n", step, static_cast<unsigned>(status));
        boxes.ShowMessageBox(
            "PlaySilence thread has died. QuaveLink Server may continue to work, please restart "
            "the server if you experience audio problems.");
    }
    return status;
}

}  // namespace quavelink
