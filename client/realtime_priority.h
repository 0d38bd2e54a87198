#pragma once

namespace quavelink {

//! Moves the calling thread to round-robin real-time scheduling at a low priority (above every
//! normal thread, below the sound server's own), so that on a busy machine the playback and
//! network threads wake on time and the buffers can stay small. Threads it starts afterwards
//! inherit it. Returns false, changing nothing, where the system does not allow it (an
//! ordinary user without a real-time limit): playback then runs at normal priority.
bool raiseToRealtime();

}  // namespace quavelink
