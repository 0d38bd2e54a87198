#pragma once

#include <atomic>

namespace quavelink {

//! The capture's channel layout as the window shows it and the capture thread follows it.
//! Written and read from the window, the server and the capture threads.
struct ChannelSelection {
    //! Channels of the current mix format; the window offers one button per channel pair.
    std::atomic<int> captureChannelCount{2};
    //! The source channel pair (0 to 3) that becomes the stream's left and right.
    std::atomic<int> channelPairIndex{0};
};

}  // namespace quavelink
