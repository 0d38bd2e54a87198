#pragma once

#include <sys/types.h>

#include <functional>
#include <string>

namespace quavelink::realtime {

//! How a thread came to run at a real-time priority, if it did.
enum class Grant { None, Direct, RealtimeKit };

struct Outcome {
    Grant grant = Grant::None;
    //! When not granted: the system's answer and RealtimeKit's, in words.
    std::string failure;
};

struct Request {
    //! Round-robin priority asked for; RealtimeKit grants at most its MaxRealtimePriority. The
    //! default is one below PulseAudio's own threads (5), which must be able to interrupt ours
    //! to render on time, and above every normal thread.
    int priority = 4;
    //! Where RealtimeKit is reached; empty: the system bus (or DBUS_SYSTEM_BUS_ADDRESS).
    std::string busAddress;
    //! Sets thread `tid`'s scheduling itself: 0, or the errno of the refusal. Empty: the
    //! system call. Tests stand in for a system that refuses.
    std::function<int(pid_t tid, int priority)> direct;
};

//! The calling thread's id in the kernel (what RealtimeKit and /proc name it by).
pid_t currentThreadId();

//! Moves thread `tid` of this process to round-robin real-time scheduling: at once where the
//! system allows it (root, or a real-time limit above 0), else by asking RealtimeKit over
//! D-Bus, as the sound servers do for a desktop user without real-time rights. For RealtimeKit
//! the process's limit on real-time CPU time without a blocking call is lowered to the most it
//! accepts first, as it demands. Any thread; waits for the bus (a second at most), so never
//! call it on an audio thread while audio flows.
Outcome makeRealtime(pid_t tid, const Request& request = {});

//! Whether thread `tid` of this process runs at a real-time priority now. Any thread.
bool isRealtime(pid_t tid);

}  // namespace quavelink::realtime
