#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>

#include "server/client_sessions.h"
#include "server/opus_encoders.h"

struct _ENetHost;
struct _ENetEvent;

namespace quavelink {

class RecordSink;
class ServerWindow;

//! The streaming core: the encoders, the network host, the client table and the block
//! pipeline. The server thread starts it; from then on only the network host's owner uses it
//! (HostOwner: the capture thread while a capture runs, otherwise the server thread).
class StreamServer {
  public:
    StreamServer(ServerWindow& window, RecordSink& recorder,
                 const OpusEncoders::Factory& createEncoder = OpusEncoders::createDefault,
                 ClientSessions::Clock clock = &ClientSessions::unixTimeNow);
    ~StreamServer();
    StreamServer(const StreamServer&) = delete;
    StreamServer& operator=(const StreamServer&) = delete;

    //! The server thread's start: clears the client table, creates the encoders, initialises
    //! the network library and creates the host (any local address, 32 peers, 2 channels) on
    //! `environmentPort`, or on 59010 without one. On failure shows the matching message box
    //! and returns false.
    bool start(std::optional<std::uint16_t> environmentPort);

    //! Network events handled at most per block: enough to empty ENet's queue after a burst of
    //! several thousand small messages within a few blocks, few enough to cost well under a
    //! block's time.
    static constexpr int kMaxEventsPerBlock = 512;

    //! Capture thread: one full block of either stream (kOpusBlockLength: compressed stream, any
    //! other length: uncompressed), with kBlockHeaderBytes of header room first. Writes headers
    //! into the block.
    //! Returns the host service result: negative on error, else the number of network events
    //! handled (those waiting in ENet's queue first, then at most one from the socket).
    int processAudioBlock(std::uint8_t* block, int length);

    //! The server thread while no capture runs (the capture thread has been joined or has not
    //! started): services the host for `wait`, handling the client events that come meanwhile,
    //! and returns when that time is up however many more come. False when there is no host to
    //! service (the caller then waits on its own).
    bool serviceWhileIdle(std::chrono::milliseconds wait);

    //! The network host's owner lets go of it (HostOwner): the server thread before it may start
    //! a capture, the capture thread as it ends.
    void releaseHost() { clientSessions.owner().release(); }

    //! True while the capture runs at 48000 Hz; written by the capture start before the capture
    //! thread runs, read by the pipeline and the window.
    std::atomic<bool> streamIs48k{true};

    const ClientSessions& sessions() const { return clientSessions; }
    std::uint32_t plainBlockCounter() const { return blockCounter[0]; }
    std::uint32_t opusBlockCounter() const { return blockCounter[1]; }
    _ENetHost* host() const { return networkHost; }

  private:
    void sendToSlot(const ClientSlot& slot, std::uint8_t* message, int length,
                    std::uint32_t blockNumber);
    void checkOutgoingQueue(const ClientSlot& slot, std::uint32_t blockNumber);
    void feedMeterAndRecorder(const std::uint8_t* block, int length);
    int serviceHost();
    void handleEvent(const _ENetEvent& event);
    //! The host service failed: says so at once, then at most once a minute while it goes on
    //! failing (a socket that fails does so at every call).
    void reportServiceError();

    ServerWindow& window;
    RecordSink& recorder;
    OpusEncoders::Factory createEncoder;
    std::optional<OpusEncoders> opusEncoders;
    ClientSessions clientSessions;
    _ENetHost* networkHost = nullptr;
    bool networkInitialized = false;
    std::optional<std::chrono::steady_clock::time_point> serviceErrorTold;
    std::uint32_t blockCounter[2] = {0, 0};  // uncompressed, compressed
};

}  // namespace quavelink
