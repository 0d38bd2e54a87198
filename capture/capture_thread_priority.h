#pragma once

namespace quavelink {

//! Raises the calling thread above normal: a lower nice value for it (the Part's thread
//! priority), then real-time round-robin scheduling (its "Audio" scheduler task). Each refusal
//! prints the Part's warning line; capturing goes on either way.
void raiseCaptureThreadPriority();

}  // namespace quavelink
