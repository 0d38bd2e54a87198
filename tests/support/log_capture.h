#pragma once

#include <algorithm>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/log.h"

namespace quavelink::test {

//! Collects the diagnostic lines written while it lives.
class LogCapture {
  public:
    LogCapture() {
        setLogObserver([this](const std::string& line) {
            std::lock_guard lock(mutex);
            lines.push_back(line);
        });
    }
    ~LogCapture() { setLogObserver(nullptr); }

    int count(const std::string& line) {
        std::lock_guard lock(mutex);
        return static_cast<int>(std::count(lines.begin(), lines.end(), line));
    }
    //! Waits up to `limit` until `line` was written at least `wanted` times (a worker thread
    //! may write it a moment after the call that started it returned); returns the count.
    int waitForCount(const std::string& line, int wanted, std::chrono::milliseconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (count(line) < wanted && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return count(line);
    }
    bool containsPrefix(const std::string& prefix) {
        std::lock_guard lock(mutex);
        return std::any_of(lines.begin(), lines.end(),
                           [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
    }

    std::vector<std::string> all() {
        std::lock_guard lock(mutex);
        return lines;
    }

    //! Every line written so far, one after the other.
    std::string text() {
        std::lock_guard lock(mutex);
        std::string joined;
        for (const std::string& line : lines) joined += line;
        return joined;
    }

  private:
    std::mutex mutex;
    std::vector<std::string> lines;
};

}  // namespace quavelink::test
