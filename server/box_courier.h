#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "platform/message_box.h"

namespace quavelink {

//! Shows message boxes on a thread of its own, one after the other, so that the caller goes
//! on at once: the server thread keeps servicing the network while a box waits for the user.
class BoxCourier : public MessageBoxHost {
  public:
    //! `target` shows the boxes and must outlive this object.
    explicit BoxCourier(MessageBoxHost& target);
    //! Waits until the boxes handed over have been shown and closed.
    ~BoxCourier() override;
    BoxCourier(const BoxCourier&) = delete;
    BoxCourier& operator=(const BoxCourier&) = delete;

    //! Any thread; returns before the box is shown.
    void ShowMessageBox(const std::string& text) override;

  private:
    void run();

    MessageBoxHost& target;
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::string> waiting;
    bool ending = false;
    std::thread thread;
};

}  // namespace quavelink
