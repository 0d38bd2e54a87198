// What a desktop's authorization agent answers RealtimeKit for a user in an active local
// session: yes to real-time scheduling, no to anything else. bench/run-latency.sh runs it on a
// private system bus beside RealtimeKit itself, where no desktop session (and so no polkit
// verdict of "active") exists. Runs until killed.
#include <systemd/sd-bus.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

constexpr const char* kGranted = "org.freedesktop.RealtimeKit1.acquire-real-time";

int checkAuthorization(sd_bus_message* call, void*, sd_bus_error*) {
    const char* action = nullptr;
    int r = sd_bus_message_skip(call, "(sa{sv})");
    if (r >= 0) r = sd_bus_message_read(call, "s", &action);
    if (r < 0) return r;
    bool yes = std::strcmp(action, kGranted) == 0;
    sd_bus_message* reply = nullptr;
    r = sd_bus_message_new_method_return(call, &reply);
    if (r >= 0) r = sd_bus_message_open_container(reply, 'r', "bba{ss}");
    if (r >= 0) r = sd_bus_message_append(reply, "bb", yes, false);
    if (r >= 0) r = sd_bus_message_open_container(reply, 'a', "{ss}");
    if (r >= 0) r = sd_bus_message_close_container(reply);
    if (r >= 0) r = sd_bus_message_close_container(reply);
    if (r >= 0) r = sd_bus_send(nullptr, reply, nullptr);
    sd_bus_message_unref(reply);
    return r;
}

const sd_bus_vtable kAuthority[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("CheckAuthorization", "(sa{sv})sa{ss}us", "(bba{ss})", checkAuthorization,
                  SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END};

}  // namespace

int main() {
    sd_bus* bus = nullptr;
    if (sd_bus_open_system(&bus) < 0 ||
        sd_bus_add_object_vtable(bus, nullptr, "/org/freedesktop/PolicyKit1/Authority",
                                 "org.freedesktop.PolicyKit1.Authority", kAuthority, nullptr) < 0 ||
        sd_bus_request_name(bus, "org.freedesktop.PolicyKit1", 0) < 0) {
        std::fprintf(stderr, "session_authority: no system bus to serve on\n");
        return 1;
    }
    for (;;) {
        int r = sd_bus_process(bus, nullptr);
        if (r < 0) return 1;
        if (r == 0) sd_bus_wait(bus, static_cast<std::uint64_t>(-1));
    }
}
