// The client's receive path: messages from a server, any length and any bytes, through the
// header checks, the block numbering, the PCM and Opus decoding and the loss concealment.
#include <cstring>
#include <vector>

#include "client/network/stream_receiver.h"
#include "fuzz/fuzz_input.h"

namespace {

using namespace quavelink;
using fuzz::check;

// Opus can hold 120 ms, and up to kMaxConcealedBlocks + 1 blocks come out of one message.
constexpr std::size_t kMaxFramesPerMessage = 5760 * (StreamReceiver::kMaxConcealedBlocks + 2);

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::FuzzInput in(data, size);
    std::uint64_t framesSeen = 0;
    StreamReceiver receiver(
        [&](const std::int16_t* samples, std::size_t frames, int rate) {
            check(frames > 0 && frames <= kMaxFramesPerMessage, "implausible frame count");
            check(rate == 44100 || rate == 48000, "unknown sample rate");
            // Touch every sample so that the sanitizer sees a short buffer.
            volatile std::int32_t sum = 0;
            for (std::size_t i = 0; i < frames * 2; ++i) sum = sum + samples[i];
            framesSeen += frames;
        },
        [](const std::string& text) { check(!text.empty(), "empty notice"); });

    std::vector<std::uint8_t> message;
    while (!in.empty()) {
        std::uint8_t op = in.byte();
        if (op == 0xFF) {
            receiver.startNewStream();
            continue;
        }
        std::string_view bytes = in.longText();
        // A copy of exactly the message's length, so that reading past it is caught.
        message.assign(bytes.begin(), bytes.end());
        receiver.handleMessage(message.empty() ? nullptr : message.data(), message.size());
    }
    check(receiver.stats().frames == framesSeen, "frame count differs from what was handed on");
    return 0;
}
