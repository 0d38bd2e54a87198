// The real-time request of a user without real-time rights, against a stand-in for RealtimeKit
// on a private bus: what goes over the wire, and what the program is told.
#include "platform/realtime/realtime_scheduling.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <systemd/sd-bus.h>

#include <atomic>
#include <cerrno>
#include <thread>

#include "child_process.h"
#include "temporary_folder.h"
#include "wait_until.h"

namespace quavelink::test {
namespace {

using namespace std::chrono_literals;

constexpr std::int32_t kMostPriority = 3;
constexpr std::int64_t kMostRealtimeUs = 200000;

// Answers as RealtimeKit does: its limits as properties, and a thread made real-time only for
// a process whose real-time CPU time is limited to at most what it allows.
class FakeRealtimeKit {
  public:
    FakeRealtimeKit(const std::string& address, bool grant) : grant(grant) {
        if (sd_bus_new(&bus) < 0 || sd_bus_set_address(bus, address.c_str()) < 0 ||
            sd_bus_set_bus_client(bus, 1) < 0 || sd_bus_start(bus) < 0 ||
            sd_bus_add_object_vtable(bus, nullptr, "/org/freedesktop/RealtimeKit1",
                                     "org.freedesktop.RealtimeKit1", kTable, this) < 0 ||
            sd_bus_request_name(bus, "org.freedesktop.RealtimeKit1", 0) < 0) {
            return;
        }
        ready = true;
        loop = std::thread([this] {
            while (!stopping) {
                if (sd_bus_process(bus, nullptr) > 0) continue;
                sd_bus_wait(bus, 20000);
            }
        });
    }
    ~FakeRealtimeKit() {
        stopping = true;
        if (loop.joinable()) loop.join();
        sd_bus_flush_close_unref(bus);
    }

    bool ready = false;
    std::atomic<std::uint64_t> askedThread{0};
    std::atomic<std::uint32_t> askedPriority{0};

  private:
    static int property(sd_bus*, const char*, const char*, const char* name, sd_bus_message* reply,
                        void*, sd_bus_error*) {
        if (std::string(name) == "MaxRealtimePriority") {
            return sd_bus_message_append(reply, "i", kMostPriority);
        }
        return sd_bus_message_append(reply, "x", kMostRealtimeUs);
    }

    static int makeRealtime(sd_bus_message* call, void* self, sd_bus_error* error) {
        auto* kit = static_cast<FakeRealtimeKit*>(self);
        std::uint64_t thread = 0;
        std::uint32_t priority = 0;
        int r = sd_bus_message_read(call, "tu", &thread, &priority);
        if (r < 0) return r;
        kit->askedThread = thread;
        kit->askedPriority = priority;
        rlimit limit{};
        getrlimit(RLIMIT_RTTIME, &limit);
        if (!kit->grant || limit.rlim_max == RLIM_INFINITY ||
            limit.rlim_max > static_cast<rlim_t>(kMostRealtimeUs) || priority > kMostPriority) {
            return sd_bus_error_set(error, SD_BUS_ERROR_ACCESS_DENIED, "Operation not permitted");
        }
        return sd_bus_reply_method_return(call, "");
    }

    static constexpr sd_bus_vtable kTable[] = {
        SD_BUS_VTABLE_START(0),
        SD_BUS_PROPERTY("MaxRealtimePriority", "i", property, 0, SD_BUS_VTABLE_PROPERTY_CONST),
        SD_BUS_PROPERTY("RTTimeUSecMax", "x", property, 0, SD_BUS_VTABLE_PROPERTY_CONST),
        SD_BUS_METHOD("MakeThreadRealtime", "tu", "", makeRealtime, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_VTABLE_END};

    bool grant;
    sd_bus* bus = nullptr;
    std::atomic<bool> stopping{false};
    std::thread loop;
};

// A private bus of its own, as a system bus would be.
struct PrivateBus {
    TemporaryFolder folder{"quavelink-realtime"};
    std::string address = "unix:path=" + folder.file("bus");
    ChildProcess daemon{
        {"/usr/bin/dbus-daemon", "--session", "--nofork", "--nopidfile", "--address=" + address}};
    bool up() {
        return waitUntil([&] { return std::filesystem::exists(folder.file("bus")); }, 5s);
    }
};

// Puts the process's real-time CPU limit back as it was: the requests below lower it.
struct KeptLimit {
    rlimit before{};
    KeptLimit() { getrlimit(RLIMIT_RTTIME, &before); }
    ~KeptLimit() { setrlimit(RLIMIT_RTTIME, &before); }
};

realtime::Request refusedBySystem(const std::string& address) {
    realtime::Request request;
    request.priority = 4;
    request.busAddress = address;
    request.direct = [](pid_t, int) { return EPERM; };
    return request;
}

// Refused by the system, the thread is asked for through RealtimeKit: by its kernel id, at no
// more than RealtimeKit's highest priority, after the process limited its real-time CPU time
// as RealtimeKit demands. A refusal on the bus comes back in words, not as a grant.
TEST(RealtimeScheduling, ARefusedThreadIsAskedForThroughRealtimeKitWithinItsLimits) {
    KeptLimit kept;
    PrivateBus bus;
    ASSERT_TRUE(bus.up());
    {
        FakeRealtimeKit kit(bus.address, true);
        ASSERT_TRUE(kit.ready);
        const pid_t self = realtime::currentThreadId();
        auto outcome = realtime::makeRealtime(self, refusedBySystem(bus.address));
        EXPECT_EQ(outcome.grant, realtime::Grant::RealtimeKit) << outcome.failure;
        EXPECT_EQ(kit.askedThread.load(), static_cast<std::uint64_t>(self));
        EXPECT_EQ(kit.askedPriority.load(), static_cast<std::uint32_t>(kMostPriority));
        rlimit limit{};
        getrlimit(RLIMIT_RTTIME, &limit);
        EXPECT_LE(limit.rlim_cur, static_cast<rlim_t>(kMostRealtimeUs));
    }
    {
        FakeRealtimeKit kit(bus.address, false);
        ASSERT_TRUE(kit.ready);
        auto outcome =
            realtime::makeRealtime(realtime::currentThreadId(), refusedBySystem(bus.address));
        EXPECT_EQ(outcome.grant, realtime::Grant::None);
        EXPECT_NE(outcome.failure.find("the system refused (Operation not permitted)"),
                  std::string::npos)
            << outcome.failure;
        EXPECT_NE(outcome.failure.find("AccessDenied"), std::string::npos) << outcome.failure;
    }
    // Nobody answers for RealtimeKit on this bus: refused in good time.
    auto outcome =
        realtime::makeRealtime(realtime::currentThreadId(), refusedBySystem(bus.address));
    EXPECT_EQ(outcome.grant, realtime::Grant::None);
    EXPECT_NE(outcome.failure.find("RealtimeKit"), std::string::npos) << outcome.failure;
}

}  // namespace
}  // namespace quavelink::test
