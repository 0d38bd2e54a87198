#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <thread>

#include "capture/audio_block_sink.h"
#include "capture/capture_events.h"
#include "capture/capture_poll_source.h"
#include "capture/channel_selection.h"
#include "platform/audio/audio_system.h"
#include "platform/message_box.h"
#include "server/wire_format.h"

namespace quavelink {

//! Engine latency asked for. The stream wakes the capture thread for each packet; without one
//! it looks again every third of this, which paces the detection of gaps.
constexpr std::chrono::milliseconds kCaptureLatency{16};

//! The capture engine: captures one endpoint (a render endpoint through loopback, a capture
//! endpoint directly), converts every packet to 16-bit stereo and hands full blocks of
//! kPlainBlockFrames and kOpusBlockFrames frames to the sink on its own capture thread.
//! Opened as the default device, it follows removal, format change and default-device change
//! by reopening the stream.
//! Server thread: everything public. Capture thread: the loop and the stream switch.
//! Audio system thread: the two notifications.
class CWASAPICapture : private audio::SessionEvents, private audio::NotificationClient {
  public:
    //! What the engine needs around it; all must outlive it.
    struct Context {
        audio::AudioSystem& system;
        AudioBlockSink& sink;
        MessageBoxHost& boxes;
        ChannelSelection& channels;
        //! The 48 kHz advice may still be shown: not shown in this run nor remembered from one
        //! before.
        bool& warn48kDue;
        //! Called once the advice has been shown, so that later runs know it; may be empty.
        const std::function<void()>& warn48kShown;
        //! What paces the capture loop's polls; null: the stream's packets, or the clock every
        //! third of the latency when none come.
        CapturePollSource* polls = nullptr;
    };

    CWASAPICapture(const Context& context, std::shared_ptr<audio::Endpoint> endpoint,
                   bool followDefault);
    ~CWASAPICapture() override;
    CWASAPICapture(const CWASAPICapture&) = delete;
    CWASAPICapture& operator=(const CWASAPICapture&) = delete;

    //! Opens the stream; `is48k` says whether the mix format runs at 48000 Hz. On false the
    //! cause has been printed (and shown when the user can act on it).
    bool Initialize(std::chrono::milliseconds latency, std::atomic<bool>& is48k);
    //! Starts the capture thread over the two blocks (kPlainBlockLength and kOpusBlockLength
    //! bytes, owned by the caller until Stop has returned), then the stream.
    bool Start(std::uint8_t* plainBlock, std::uint8_t* opusBlock);
    //! Ends capturing; the capture thread has ended when it returns.
    void Stop();
    //! Releases every resource; after Stop.
    void Shutdown();

    //! Whether the capture thread has ended on its own (a failed switch or reset).
    bool captureEnded() const { return threadEnded.load(std::memory_order_acquire); }

  private:
    void OnSessionDisconnected(audio::DisconnectReason reason) override;
    void OnDefaultDeviceChanged(audio::DataFlow flow, std::string_view deviceId) override;

    bool loadMixFormat();
    void advise48k();
    audio::Status openStream();
    bool registerSwitchNotifications();
    void unregisterSwitchNotifications();
    void captureLoop();
    bool poll(std::chrono::steady_clock::time_point now);
    void handOverSilence(std::chrono::steady_clock::time_point now);
    void fillBlock(std::uint8_t* block, std::uint32_t blockSize, std::uint32_t& fill,
                   const std::uint8_t* packet, std::uint32_t frames, bool silent, int pair);
    audio::Status switchStream(bool reset);

    Context context;
    std::shared_ptr<audio::Endpoint> endpoint;
    std::unique_ptr<audio::AudioClient> audioClient;
    std::unique_ptr<audio::CaptureClient> captureClient;
    std::unique_ptr<audio::SessionControl> sessionControl;
    std::shared_ptr<audio::DeviceEnumerator> enumerator;
    bool endpointCallbackRegistered = false;
    std::optional<std::thread> captureThread;
    std::atomic<bool> threadEnded{false};
    CaptureEvents events;
    std::optional<audio::MixFormat> mixFormat;
    std::uint32_t frameSize = 0;
    std::uint8_t* plainBlock = nullptr;
    std::uint32_t plainFill = 0;
    std::uint8_t* opusBlock = nullptr;
    std::uint32_t opusFill = 0;
    bool followDefault;
    std::chrono::milliseconds latency = kCaptureLatency;
    std::atomic<bool> switchPending{false};
    int emptyPolls = 0;
    bool sawData = false;
    bool streamFailed = false;  // a poll of the current empty stretch failed
    // When the stream last delivered frames (or the loop started), and the frames of silence
    // handed over in each block stream since.
    std::chrono::steady_clock::time_point lastData;
    std::uint64_t silentPlainFrames = 0;
    std::uint64_t silentOpusFrames = 0;
};

}  // namespace quavelink
