#pragma once

#include <atomic>

#include "client/client_runner.h"

namespace quavelink {

//! The client program's parts: the steady clock, ClientSession over ENet, discovery on the
//! network, PulseAudio playback, the terminal's keys, the host name, real-time priority, the
//! standard streams, and `quit` (set by the program's signal handler, which must outlive the
//! runner).
ClientRunnerParts systemClientParts(const std::atomic<bool>& quit);

}  // namespace quavelink
