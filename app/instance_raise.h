#pragma once

#include <chrono>
#include <functional>
#include <string>

class QLocalServer;

namespace quavelink {

//! The running copy's side of a second start: a local socket next to the instance lock
//! (InstanceLock::lockPath() + ".raise"), on which every connection asks for the window.
//! Only the holder of the instance lock may listen, so a socket file left by a crashed copy
//! can be removed safely. GUI thread; needs the Qt application object.
class InstanceRaiseListener {
  public:
    //! `onRaise` runs on the GUI thread once per request.
    explicit InstanceRaiseListener(std::function<void()> onRaise);
    ~InstanceRaiseListener();
    InstanceRaiseListener(const InstanceRaiseListener&) = delete;
    InstanceRaiseListener& operator=(const InstanceRaiseListener&) = delete;

    //! Starts listening; false when the socket cannot be made (the program runs on without).
    bool listen();

    static std::string socketPath();

  private:
    std::function<void()> onRaise;
    QLocalServer* server = nullptr;
};

//! The second copy's side: asks the running copy to bring its window to the front. True when
//! the request was delivered; waits at most `timeout` for the running copy. Any thread with
//! no event loop needed.
bool askRunningInstanceToRaise(std::chrono::milliseconds timeout = std::chrono::seconds(2));

}  // namespace quavelink
