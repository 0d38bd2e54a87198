#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "capture/audio_block_sink.h"
#include "capture/channel_selection.h"
#include "capture/endpoint_list.h"
#include "platform/message_box.h"
#include "server/server_thread.h"
#include "server/wire_format.h"

namespace quavelink {

class CWASAPICapture;
class SilenceRenderer;
class CapturePollSource;

//! The 48 kHz advice's one setting, which the program keeps across runs: whether the advice
//! was shown before, and what records that it now has been (server thread, at most once).
struct Warn48kSetting {
    bool shownBefore = false;
    std::function<void()> recordShown;
};

//! Audio start-up: the CaptureControl that the app hands to the server thread. Starts and
//! stops the capture engine on a list index, and on the first start launches the silence
//! keep-alive (unless QUAVELINK_SERVER_NOSILENCE). Server thread only, except the constructor.
class AudioStartup : public CaptureControl {
  public:
    //! `endpoints` is the list the window shows (its audio system is used for everything);
    //! every full block goes to `sink` on the capture thread; message boxes go to `boxes`;
    //! `channels` is shared with the window. All must outlive this object. The 48 kHz advice is
    //! shown at most once a run, and never when `warn48k` says it was shown before.
    AudioStartup(EndpointList& endpoints, AudioBlockSink& sink, MessageBoxHost& boxes,
                 ChannelSelection& channels, Warn48kSetting warn48k);
    ~AudioStartup() override;
    AudioStartup(const AudioStartup&) = delete;
    AudioStartup& operator=(const AudioStartup&) = delete;

    //! 0 on success; -2 when the capturer could not be initialised (already reported); -1
    //! when it could not be started; otherwise the audio system's error from the endpoint
    //! lookup or from WInit.
    int startCapture(int listIndex, std::atomic<bool>& streamIs48k) override;
    //! startCapture with the capture engine's message boxes written to the log instead.
    int retryCapture(int listIndex, std::atomic<bool>& streamIs48k) override;
    //! Stops (joining the capture thread) and releases the capture, then frees the blocks.
    void stopCapture() override;
    bool captureEnded() override;
    //! Looks the endpoint up and reads its properties: present, gone, or no sound server.
    EndpointState probeEndpoint(int listIndex) override;

    //! One-time start-up: launches the silence keep-alive. 0 on success, -1 when called again.
    int WInit();

    //! The capture loop's polls come from `source` (which must outlive the captures) instead
    //! of the clock, from the next start on: for tests, which step the loop.
    void setPollSource(CapturePollSource* source) { polls = source; }

    //! Whether a capture engine exists (started and not yet stopped).
    bool capturing() const { return currentCapturer != nullptr; }

  private:
    // A capture tried again by itself says nothing in boxes: the window's status tells.
    class LoggedBoxes : public MessageBoxHost {
      public:
        void ShowMessageBox(const std::string& text) override;
        //! A capture ran: the next failure is told again.
        void forget() { lastText.clear(); }

      private:
        std::string lastText;
    };

    int start(int listIndex, std::atomic<bool>& streamIs48k, MessageBoxHost& shownTo);

    EndpointList& endpoints;
    AudioBlockSink& sink;
    MessageBoxHost& boxes;
    ChannelSelection& channels;
    LoggedBoxes loggedBoxes;
    bool firstStart = true;
    bool warn48kDue;
    std::function<void()> warn48kShown;
    CapturePollSource* polls = nullptr;
    std::unique_ptr<SilenceRenderer> silence;
    std::shared_ptr<audio::Endpoint> currentDevice;
    std::unique_ptr<CWASAPICapture> currentCapturer;
    std::unique_ptr<std::array<std::uint8_t, kPlainBlockLength>> plainBlock;
    std::unique_ptr<std::array<std::uint8_t, kOpusBlockLength>> opusBlock;
};

}  // namespace quavelink
