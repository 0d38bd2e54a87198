#include "capture/capture_thread_priority.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>

#include "platform/log.h"

namespace quavelink {
namespace {

// Above normal, as Windows' THREAD_PRIORITY_ABOVE_NORMAL: this much below the nice
// value the thread inherited.
constexpr int kAboveNormalStep = 5;
// Low in the real-time range: above every normal thread, below the sound server's own
// (PulseAudio's run at 5). At the same round-robin priority a thread that is busy encoding
// keeps the sound server's thread from running until it blocks.
constexpr int kRealtimePriority = 4;

}  // namespace

void raiseCaptureThreadPriority() {
    auto self = static_cast<id_t>(::gettid());
    errno = 0;
    int nice = ::getpriority(PRIO_PROCESS, self);
    if (errno != 0) nice = 0;
    int target = nice - kAboveNormalStep < -20 ? -20 : nice - kAboveNormalStep;
    if (::setpriority(PRIO_PROCESS, self, target) != 0) {
        logLine("Warning, could not set thread priority\n");
    }
    sched_param param{};
    param.sched_priority = kRealtimePriority;
    int error = pthread_setschedparam(pthread_self(), SCHED_RR, &param);
    if (error != 0) {
        logLine("Unable to enable MMCSS on capture thread: %d\n", error);
    }
}

}  // namespace quavelink
