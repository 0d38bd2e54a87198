#pragma once

#include <chrono>
#include <functional>
#include <string>

class QLocalServer;

namespace quavelink {

//! The running copy's side of a second start: a local socket next to the instance lock
//! (InstanceLock::lockPath() + ".raise"), on which every connection asks for the window with
//! one line, "raise TOKEN" (the second start's Wayland activation token, if it had one), and
//! is answered "shown" or "hidden".
//! Only the holder of the instance lock may listen, so a socket file left by a crashed copy
//! can be removed safely. GUI thread; needs the Qt application object.
class InstanceRaiseListener {
  public:
    //! `onRaise` runs on the GUI thread once per request, with the activation token (may be
    //! empty); it returns whether the window is in view now.
    explicit InstanceRaiseListener(std::function<bool(const std::string& token)> onRaise);
    ~InstanceRaiseListener();
    InstanceRaiseListener(const InstanceRaiseListener&) = delete;
    InstanceRaiseListener& operator=(const InstanceRaiseListener&) = delete;

    //! Starts listening; false when the socket cannot be made (the program runs on without).
    bool listen();

    static std::string socketPath();

  private:
    std::function<bool(const std::string&)> onRaise;
    QLocalServer* server = nullptr;
};

//! The second copy's side: asks the running copy to bring its window to the front, handing on
//! `activationToken` (XDG_ACTIVATION_TOKEN: without one a Wayland desktop may keep the window
//! behind others). True when the running copy answered that its window is in view; waits at
//! most `timeout`. Any thread with no event loop needed.
bool askRunningInstanceToRaise(const std::string& activationToken = {},
                               std::chrono::milliseconds timeout = std::chrono::seconds(2));

}  // namespace quavelink
