#include "platform/wake_event.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>

namespace quavelink {

WakeEvent::WakeEvent() : fd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (fd < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
}

WakeEvent::~WakeEvent() { close(fd); }

void WakeEvent::set() noexcept {
    const std::uint64_t one = 1;
    // A full counter (2^64 - 2 sets never waited for) is still set: nothing is lost.
    [[maybe_unused]] ssize_t written = write(fd, &one, sizeof one);
}

bool WakeEvent::wait(std::chrono::milliseconds timeout) noexcept {
    pollfd entry{fd, POLLIN, 0};
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int waitMs = -1;
        if (timeout.count() >= 0) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            waitMs = left.count() > 0 ? static_cast<int>(left.count()) : 0;
        }
        int ready = poll(&entry, 1, waitMs);
        if (ready > 0) {
            std::uint64_t count = 0;
            // Another reader cannot exist; a failed read only means it was consumed already.
            if (read(fd, &count, sizeof count) == sizeof count) return true;
            continue;
        }
        if (ready == 0) return false;
        if (errno != EINTR) return false;
    }
}

}  // namespace quavelink
