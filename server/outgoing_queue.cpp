#include "outgoing_queue.h"

#include <enet/enet.h>

#include <array>

#include "platform/log.h"

namespace quavelink {
namespace {

// A reliable command that carries application data on one of the peer's channels. ENet's own
// reliable commands (ping, disconnect, bandwidth and throttle changes) use channel 0xFF.
bool isReliableAudio(const ENetPeer* peer, const ENetOutgoingCommand* command) {
    return (command->command.header.command & ENET_PROTOCOL_COMMAND_FLAG_ACKNOWLEDGE) != 0 &&
           command->packet != nullptr && command->command.header.channelID < peer->channelCount;
}

template <typename Visit>
void forEachCommand(const ENetList& list, Visit visit) {
    auto* sentinel = const_cast<ENetListNode*>(&list.sentinel);
    for (ENetListIterator it = sentinel->next; it != sentinel;) {
        ENetListIterator next = enet_list_next(it);
        visit(reinterpret_cast<ENetOutgoingCommand*>(it));
        it = next;
    }
}

}  // namespace

std::size_t waitingReliableCommands(const ENetPeer* peer) {
    std::size_t count = 0;
    forEachCommand(peer->outgoingCommands, [&](const ENetOutgoingCommand* command) {
        if (isReliableAudio(peer, command)) ++count;
    });
    return count;
}

std::size_t sentReliableCommands(const ENetPeer* peer) {
    return enet_list_size(const_cast<ENetList*>(&peer->sentReliableCommands));
}

int clearOutgoingQueue(ENetPeer* peer) {
    int removed = 0;
    // The packet of the last command kept for having been sent: its later fragments must follow,
    // or the client would hold the reassembly open and stall the channel.
    const ENetPacket* partlySent = nullptr;
    // Only the first dropped command of a channel sets its sequence number back: the unsent
    // reliable commands are the tail of the sequence, so everything from there on goes. Taking
    // the first one also stays right when the 16-bit number has wrapped inside that tail.
    constexpr std::size_t kMaxChannels = ENET_PROTOCOL_MAXIMUM_CHANNEL_COUNT;
    std::array<bool, kMaxChannels> rolledBack{};

    forEachCommand(peer->outgoingCommands, [&](ENetOutgoingCommand* command) {
        if (!isReliableAudio(peer, command)) return;
        if (command->sendAttempts > 0) {
            partlySent = command->packet;
            return;
        }
        if (command->packet == partlySent) return;

        enet_list_remove(&command->outgoingCommandList);
        if (--command->packet->referenceCount == 0) enet_packet_destroy(command->packet);
        peer->outgoingDataTotal -= static_cast<enet_uint32>(
            enet_protocol_command_size(command->command.header.command) + command->fragmentLength);
        enet_uint8 channelID = command->command.header.channelID;
        if (!rolledBack[channelID]) {
            rolledBack[channelID] = true;
            peer->channels[channelID].outgoingReliableSequenceNumber =
                static_cast<enet_uint16>(command->reliableSequenceNumber - 1);
        }
        enet_free(command);
        ++removed;
    });
    logLine("Removed %d outgoing messages\n", removed);
    return removed;
}

}  // namespace quavelink
