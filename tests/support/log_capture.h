#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
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
            written.notify_all();
        });
    }
    ~LogCapture() { setLogObserver(nullptr); }

    int count(const std::string& line) {
        std::lock_guard lock(mutex);
        return countLocked(line);
    }
    //! Waits up to `limit` until `line` was written at least `wanted` times (a worker thread
    //! may write it a moment after the call that started it returned); returns the count.
    int waitForCount(const std::string& line, int wanted, std::chrono::milliseconds limit) {
        std::unique_lock lock(mutex);
        written.wait_for(lock, limit, [&] { return countLocked(line) >= wanted; });
        return countLocked(line);
    }
    bool containsPrefix(const std::string& prefix) {
        std::lock_guard lock(mutex);
        return containsPrefixLocked(prefix);
    }
    //! Waits up to `limit` for a line that starts with `prefix`; whether one came.
    bool waitForPrefix(const std::string& prefix,
                       std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        std::unique_lock lock(mutex);
        return written.wait_for(lock, limit, [&] { return containsPrefixLocked(prefix); });
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
    int countLocked(const std::string& line) const {
        return static_cast<int>(std::count(lines.begin(), lines.end(), line));
    }
    bool containsPrefixLocked(const std::string& prefix) const {
        return std::any_of(lines.begin(), lines.end(),
                           [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
    }

    std::mutex mutex;
    std::condition_variable written;
    std::vector<std::string> lines;
};

}  // namespace quavelink::test
