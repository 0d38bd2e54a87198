#pragma once

#include <signal.h>

namespace quavelink {

//! Every signal that ends a program unless it is caught and that can be caught: a hang-up, an
//! interrupt, quit, terminate, the two user signals, the timer and profiling signals, SIGIO,
//! power failure, the CPU time limit and every real-time signal.
sigset_t stopSignals();

//! Blocks stopSignals() in the calling thread, and so in every thread it starts from then on,
//! so that only a sigwait for them takes them; and has a write past the file size limit fail
//! (EFBIG) instead of ending the program. Call first, before any thread starts.
void takeStopSignals();

}  // namespace quavelink
