#pragma once

#include <atomic>
#include <thread>

namespace quavelink {

//! Who may use the network host and the client table: one thread at a time, the capture thread
//! while a capture runs, otherwise the server thread, which services the host itself while no
//! capture runs. They hand over without a lock: the server thread lets go before it may start a
//! capture, and a capture thread lets go as it ends. A debug build checks every use and stops
//! the program at the first use by a thread that does not own the host.
class HostOwner {
  public:
    //! The thread using the host now; it becomes the owner when nobody is.
    void check() {
#ifndef NDEBUG
        const std::thread::id self = std::this_thread::get_id();
        std::thread::id holder{};
        if (!owner.compare_exchange_strong(holder, self) && holder != self) usedByAnother();
#endif
    }
    //! The owner lets go, so that the next thread to use the host owns it; from any other
    //! thread this does nothing.
    void release() {
#ifndef NDEBUG
        std::thread::id self = std::this_thread::get_id();
        owner.compare_exchange_strong(self, std::thread::id{});
#endif
    }

  private:
#ifndef NDEBUG
    [[noreturn]] static void usedByAnother();
    std::atomic<std::thread::id> owner{};
#endif
};

}  // namespace quavelink
