#include "client/realtime_priority.h"

#include <pthread.h>
#include <sched.h>

namespace quavelink {
namespace {
// As the server's capture thread: one below PulseAudio's own threads, which must be able to
// interrupt ours to render on time.
constexpr int kRealtimePriority = 4;
}  // namespace

bool raiseToRealtime() {
    sched_param param{};
    param.sched_priority = kRealtimePriority;
    return pthread_setschedparam(pthread_self(), SCHED_RR, &param) == 0;
}

}  // namespace quavelink
