// The block pipeline: every captured block passes here once, on the capture thread.
#include <enet/enet.h>

#include <array>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/log.h"
#include "server/half_open_peers.h"
#include "server/meter_scale.h"
#include "server/outgoing_queue.h"
#include "server/record_sink.h"
#include "server/server_window.h"
#include "server/stream_server.h"

namespace quavelink {
namespace {

static_assert(std::endian::native == std::endian::little,
              "blocks hold little-endian PCM that is handed to the encoder as it is");

constexpr std::size_t kMaxWaitingReliableCommands = 75;
constexpr int kEncodedMessageCapacity = kMessageHeaderSize + kMaxOpusPacketBytes;

bool isServed(const ClientSlot& slot) {
    return slot.peer != nullptr && slot.streaming && slot.peer->state == ENET_PEER_STATE_CONNECTED;
}

int sampleMagnitude(const std::uint8_t* littleEndian) {
    auto sample = static_cast<std::int16_t>(littleEndian[0] | littleEndian[1] << 8);
    return std::abs(static_cast<int>(sample));
}

}  // namespace

int StreamServer::processAudioBlock(std::uint8_t* block, int length) {
    clientSessions.owner().check();
    const bool compressed = length == kOpusBlockLength;
    const ClientSlots& slots = clientSessions.slots();

    alignas(16) std::array<std::array<std::uint8_t, kEncodedMessageCapacity>, 4> encoded;
    std::array<int, 4> encodedLength{};
    if (compressed && opusEncoders) {
        std::array<bool, 4> inUse{};
        for (const ClientSlot& slot : slots) {
            if (isServed(slot) && slot.rateCode >= 1 && slot.rateCode <= 3) {
                inUse[slot.rateCode] = true;
            }
        }
        // The block's PCM starts just past the header room in a buffer the capture engine keeps
        // aligned.
        const auto* pcm = reinterpret_cast<const std::int16_t*>(block + kMessageHeaderSize);
        for (int rateCode = 1; rateCode <= kOpusRateCodeCount; ++rateCode) {
            if (!inUse[rateCode]) continue;
            int bytes = opusEncoders->encode(
                rateCode, pcm, encoded[rateCode].data() + kMessageHeaderSize, kMaxOpusPacketBytes);
            if (bytes > 0) encodedLength[rateCode] = bytes + static_cast<int>(kMessageHeaderSize);
        }
    }

    if (length >= static_cast<int>(kMessageHeaderSize)) {
        const std::uint32_t blockNumber = blockCounter[compressed ? 1 : 0]++;
        for (const ClientSlot& slot : slots) {
            if (!isServed(slot) || (slot.rateCode != 0) != compressed) continue;
            if (compressed && encodedLength[slot.rateCode] > 0) {
                sendToSlot(slot, encoded[slot.rateCode].data(), encodedLength[slot.rateCode],
                           blockNumber);
            } else {
                sendToSlot(slot, block, length, blockNumber);
            }
        }
        if (!compressed && length > static_cast<int>(kMessageHeaderSize)) {
            feedMeterAndRecorder(block, length);
        }
    }
    return serviceHost();
}

void StreamServer::sendToSlot(const ClientSlot& slot, std::uint8_t* message, int length,
                              std::uint32_t blockNumber) {
    writeMessageHeader(
        {MSG_AUDIO, blockNumber,
         audioMessageFlags(slot.reliable, streamIs48k.load(std::memory_order_relaxed),
                           slot.rateCode),
         0},
        message);
    if (blockNumber % 15 == 0) checkOutgoingQueue(slot, blockNumber);

    ENetPacket* packet = enet_packet_create(
        message, static_cast<std::size_t>(length),
        slot.reliable ? ENET_PACKET_FLAG_RELIABLE : ENET_PACKET_FLAG_UNRELIABLE_FRAGMENT);
    if (packet == nullptr) return;
    // A refused send leaves the packet with us.
    if (enet_peer_send(slot.peer, 0, packet) < 0) enet_packet_destroy(packet);
    enet_host_flush(networkHost);
}

void StreamServer::checkOutgoingQueue(const ClientSlot& slot, std::uint32_t blockNumber) {
    std::size_t waiting = waitingReliableCommands(slot.peer);
    if (slot.reliable && waiting > kMaxWaitingReliableCommands) {
        logLine("Clearing outgoing msg queue, outgoing/sent queue sizes: %d/%lu\n",
                static_cast<int>(waiting),
                static_cast<unsigned long>(sentReliableCommands(slot.peer)));
        clearOutgoingQueue(slot.peer);
    } else if (blockNumber % 100 == 0 && waiting > 1) {
        logLine("Outgoing/sent queue sizes: %d/%lu\n", static_cast<int>(waiting),
                static_cast<unsigned long>(sentReliableCommands(slot.peer)));
    }
}

void StreamServer::feedMeterAndRecorder(const std::uint8_t* block, int length) {
    // A block too short to hold one whole frame shows silence rather than reading past its end.
    const bool hasFrame = length >= kBlockHeaderBytes + kBlockFrameBytes;
    const std::uint8_t* firstFrame = block + kBlockHeaderBytes;
    int levels[2] = {hasFrame ? meterLevel(sampleMagnitude(firstFrame)) : 0,
                     hasFrame ? meterLevel(sampleMagnitude(firstFrame + 2)) : 0};
    window.SetMeterData(levels, 0, 2);

    if (!recorder.isRecording()) return;
    const int pcmBytes = length - static_cast<int>(kMessageHeaderSize);
    std::unique_ptr<std::uint8_t[]> copy(new (std::nothrow) std::uint8_t[pcmBytes]);
    if (!copy) return;
    std::memcpy(copy.get(), block + kMessageHeaderSize, static_cast<std::size_t>(pcmBytes));
    recorder.pushRecordBlock(copy, pcmBytes,
                             streamIs48k.load(std::memory_order_relaxed) ? 48000 : 44100);
}

void StreamServer::handleEvent(const ENetEvent& event) {
    switch (event.type) {
        case ENET_EVENT_TYPE_CONNECT:
            restoreTimeouts(event.peer);
            clientSessions.handleConnect(event.peer, event.data);
            break;
        case ENET_EVENT_TYPE_DISCONNECT:
            clientSessions.handleDisconnect(event.peer);
            break;
        case ENET_EVENT_TYPE_RECEIVE:
            clientSessions.handleReceive(event.peer, event.packet->data, event.packet->dataLength);
            enet_packet_destroy(event.packet);
            break;
        default:
            break;
    }
}

int StreamServer::serviceHost() {
    if (networkHost == nullptr) return 0;
    // While events wait in ENet's queue, a host service hands back one of them without reading
    // the socket: one peer's burst would then hold back every other peer's acknowledgements,
    // pings and connects for as many blocks as it has messages. So the queue is emptied first,
    // within a bound that keeps the capture thread at its pace (ENet dispatches peers in turn,
    // so the others' events are not stuck behind the burst), and the socket is read only once
    // it is empty.
    ENetEvent event;
    int handled = 0;
    while (handled < kMaxEventsPerBlock && enet_host_check_events(networkHost, &event) > 0) {
        handleEvent(event);
        ++handled;
    }
    if (handled == kMaxEventsPerBlock) return handled;
    int result = enet_host_service(networkHost, &event, 1);
    if (result < 0) {
        reportServiceError();
        return result;
    }
    shortenHalfOpenTimeouts(networkHost);
    if (result > 0) {
        handleEvent(event);
        ++handled;
    }
    return handled;
}

}  // namespace quavelink
