#pragma once

#include "capture/audio_startup.h"
#include "capture/stream_server_block_sink.h"
#include "platform/thread.h"
#include "recording/recorder.h"
#include "server/stream_server.h"
#include "workers/recorder_record_sink.h"

namespace quavelink {

class ServerWindow;

//! The streaming server's parts wired together, for the window program, the headless daemon
//! and the benchmarks alike: the recorder behind the pipeline's record queue, the streaming
//! core, the audio start-up that feeds it, and the server, discovery and record threads that
//! run them. The window's endpoint choice (ServerWindow::TakeInputDeviceChange) starts the
//! capture. Main thread only.
//!
//! The programs never stop it: they end the process while the threads run, and so never
//! destroy it either. Tests and the daemon stop it, after which it may be destroyed.
class ServerWorkers {
  public:
    //! `endpoints` and `channels` are the window's; `window` gets the reports and the message
    //! boxes; `warn48k` is whether the 48 kHz advice was shown in an earlier run and how to
    //! record that it has been. A `tap`, when given, sees every block on the capture thread before
    //! the streaming core does and must leave it unchanged. All must outlive this object.
    ServerWorkers(EndpointList& endpoints, ChannelSelection& channels, ServerWindow& window,
                  Warn48kSetting warn48k, AudioBlockSink* tap = nullptr);
    ~ServerWorkers();
    ServerWorkers(const ServerWorkers&) = delete;
    ServerWorkers& operator=(const ServerWorkers&) = delete;

    //! Each once, in this order; each returns false when its thread could not be created (the
    //! caller tells the user). The server thread starts the network on the port from the
    //! environment and ends the process when it cannot.
    bool startServer();
    bool startDiscovery();
    bool startRecorder();

    //! Ends the server thread and then the capture, the discovery thread, and the recording:
    //! a file being recorded is finished with everything captured until then (its descriptor
    //! stays the caller's), then the record thread ends. Harmless when called again.
    void stop();

    Recorder& recorder() { return fileRecorder; }
    StreamServer& server() { return streamServer; }

  private:
    // What the capture thread hands on: to the tap first, then to the streaming core.
    class TappedSink : public AudioBlockSink {
      public:
        TappedSink(AudioBlockSink* tap, AudioBlockSink& next) : tap(tap), next(next) {}
        void processAudioBlock(std::uint8_t* block, int length) override;
        void captureEnded() override { next.captureEnded(); }

      private:
        AudioBlockSink* tap;
        AudioBlockSink& next;
    };

    ServerWindow& window;
    // Built in this order, torn down in the reverse.
    Recorder fileRecorder;
    RecorderRecordSink recordSink;
    StreamServer streamServer;
    StreamServerBlockSink serverSink;
    TappedSink capturedSink;
    AudioStartup capture;
    WorkerThread serverThread;
    WorkerThread discoveryThread;
    WorkerThread recordThread;
};

}  // namespace quavelink
