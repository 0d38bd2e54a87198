#include "server/box_courier.h"

namespace quavelink {

BoxCourier::BoxCourier(MessageBoxHost& target) : target(target), thread([this] { run(); }) {}

BoxCourier::~BoxCourier() {
    {
        std::lock_guard lock(mutex);
        ending = true;
    }
    wake.notify_all();
    thread.join();
}

void BoxCourier::ShowMessageBox(const std::string& text) {
    {
        std::lock_guard lock(mutex);
        waiting.push_back(text);
    }
    wake.notify_all();
}

void BoxCourier::run() {
    std::unique_lock lock(mutex);
    for (;;) {
        wake.wait(lock, [&] { return ending || !waiting.empty(); });
        if (waiting.empty()) return;
        std::string text = std::move(waiting.front());
        waiting.pop_front();
        // Shown outside the lock: a box may stay open for as long as the user likes.
        lock.unlock();
        target.ShowMessageBox(text);
        lock.lock();
    }
}

}  // namespace quavelink
