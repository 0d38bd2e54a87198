#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace quavelink::test {

//! Looks at `done` every 5 ms until it holds or `limit` has passed; returns whether it held.
inline bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

}  // namespace quavelink::test
