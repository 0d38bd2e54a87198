#include "platform/realtime/realtime_scheduling.h"

#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

namespace quavelink::realtime {
namespace {

constexpr const char* kService = "org.freedesktop.RealtimeKit1";
constexpr const char* kPath = "/org/freedesktop/RealtimeKit1";
constexpr std::uint64_t kCallTimeoutUs = 1000000;

int setDirectly(pid_t tid, int priority) {
    sched_param param{};
    param.sched_priority = priority;
    return sched_setscheduler(tid, SCHED_RR, &param) == 0 ? 0 : errno;
}

std::string errorText(int code) { return std::strerror(code); }

// One connection for one request: a request is made a few times in a program's life, and a
// connection kept open would need a thread to answer the bus.
class Bus {
  public:
    explicit Bus(const std::string& address) {
        if (address.empty()) {
            result = sd_bus_open_system(&bus);
        } else if ((result = sd_bus_new(&bus)) >= 0) {
            if ((result = sd_bus_set_address(bus, address.c_str())) >= 0 &&
                (result = sd_bus_set_bus_client(bus, 1)) >= 0) {
                result = sd_bus_start(bus);
            }
        }
        if (result >= 0) result = sd_bus_set_method_call_timeout(bus, kCallTimeoutUs);
    }
    ~Bus() { sd_bus_flush_close_unref(bus); }
    Bus(const Bus&) = delete;
    Bus& operator=(const Bus&) = delete;

    //! Negative errno when the bus could not be reached.
    int status() const { return result; }

    //! A property of RealtimeKit's; false with `why` set when it could not be read.
    template <typename T>
    bool property(const char* name, char type, T& value, std::string& why) {
        sd_bus_error error = SD_BUS_ERROR_NULL;
        int r =
            sd_bus_get_property_trivial(bus, kService, kPath, kService, name, &error, type, &value);
        if (r < 0) why = describe(error, r);
        sd_bus_error_free(&error);
        return r >= 0;
    }

    bool makeThreadRealtime(pid_t tid, std::uint32_t priority, std::string& why) {
        sd_bus_error error = SD_BUS_ERROR_NULL;
        sd_bus_message* reply = nullptr;
        int r = sd_bus_call_method(bus, kService, kPath, kService, "MakeThreadRealtime", &error,
                                   &reply, "tu", static_cast<std::uint64_t>(tid), priority);
        if (r < 0) why = describe(error, r);
        sd_bus_error_free(&error);
        sd_bus_message_unref(reply);
        return r >= 0;
    }

  private:
    static std::string describe(const sd_bus_error& error, int r) {
        if (sd_bus_error_is_set(&error)) {
            return std::string(error.name) +
                   (error.message ? std::string(": ") + error.message : "");
        }
        return errorText(-r);
    }

    sd_bus* bus = nullptr;
    int result = 0;
};

// RealtimeKit hands out real-time scheduling only to a process that has limited how much CPU
// time its real-time threads may take without blocking; over the limit the kernel stops them.
bool limitRealtimeTime(std::int64_t mostUs, std::string& why) {
    rlimit limit{};
    if (getrlimit(RLIMIT_RTTIME, &limit) != 0) {
        why = "its limit on real-time CPU time could not be read: " + errorText(errno);
        return false;
    }
    auto most = static_cast<rlim_t>(mostUs);
    if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max <= most &&
        limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur <= most) {
        return true;
    }
    limit.rlim_max = limit.rlim_max == RLIM_INFINITY ? most : std::min(limit.rlim_max, most);
    limit.rlim_cur = limit.rlim_max;
    if (setrlimit(RLIMIT_RTTIME, &limit) != 0) {
        why = "its limit on real-time CPU time could not be set: " + errorText(errno);
        return false;
    }
    return true;
}

}  // namespace

pid_t currentThreadId() { return static_cast<pid_t>(syscall(SYS_gettid)); }

Outcome makeRealtime(pid_t tid, const Request& request) {
    int refused =
        request.direct ? request.direct(tid, request.priority) : setDirectly(tid, request.priority);
    if (refused == 0) return {Grant::Direct, {}};
    Outcome outcome;
    outcome.failure = "the system refused (" + errorText(refused) + ")";

    Bus bus(request.busAddress);
    std::string why;
    std::int32_t most = 0;
    std::int64_t rttimeUs = 0;
    if (bus.status() < 0) {
        why = "no bus (" + errorText(-bus.status()) + ")";
    } else if (bus.property("MaxRealtimePriority", 'i', most, why) &&
               bus.property("RTTimeUSecMax", 'x', rttimeUs, why)) {
        if (most < 1) {
            why = "it grants no real-time priority";
        } else if (limitRealtimeTime(rttimeUs, why) &&
                   bus.makeThreadRealtime(
                       tid, static_cast<std::uint32_t>(std::min(request.priority, most)), why)) {
            return {Grant::RealtimeKit, {}};
        }
    }
    outcome.failure += ", and so did RealtimeKit (" + why + ")";
    return outcome;
}

bool isRealtime(pid_t tid) {
    int policy = sched_getscheduler(tid);
    if (policy < 0) return false;
    policy &= ~SCHED_RESET_ON_FORK;
    return policy == SCHED_RR || policy == SCHED_FIFO;
}

}  // namespace quavelink::realtime
