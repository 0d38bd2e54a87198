#pragma once

#include <algorithm>
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
        });
    }
    ~LogCapture() { setLogObserver(nullptr); }

    int count(const std::string& line) {
        std::lock_guard lock(mutex);
        return static_cast<int>(std::count(lines.begin(), lines.end(), line));
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

private:
    std::mutex mutex;
    std::vector<std::string> lines;
};

}  // namespace quavelink::test
