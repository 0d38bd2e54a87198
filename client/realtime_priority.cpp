#include "client/realtime_priority.h"

#include <pthread.h>
#include <sched.h>

namespace quavelink {
namespace {
// The server's capture thread uses the same priority.
constexpr int kRealtimePriority = 5;
}  // namespace

bool raiseToRealtime() {
    sched_param param{};
    param.sched_priority = kRealtimePriority;
    return pthread_setschedparam(pthread_self(), SCHED_RR, &param) == 0;
}

}  // namespace quavelink
