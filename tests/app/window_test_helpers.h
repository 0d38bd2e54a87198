#pragma once

#include <QCoreApplication>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "app/main_window.h"
#include "platform/message_box.h"
#include "support/recorded_boxes.h"

namespace quavelink::test {

//! Workers that start nothing, for tests of the window alone.
class IdleWorkers : public WindowWorkers {
  public:
    bool startServer(ServerWindow&) override { return true; }
    bool startDiscovery() override { return true; }
    bool startRecord() override { return true; }
    void stopRecordTarget() override {}
};

//! Lets the window run until `done` holds; false after 5 s without it.
inline bool runUntil(const std::function<bool()>& done,
                     std::chrono::seconds timeout = std::chrono::seconds(5)) {
    auto end = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < end) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

}  // namespace quavelink::test
