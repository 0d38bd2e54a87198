#include "platform/callback_guard.h"

#include <mutex>
#include <set>
#include <string>

#include "platform/log.h"

namespace quavelink {

void logCallbackFailure(const char* where) noexcept {
    static std::mutex mutex;
    static std::set<std::string> told;
    try {
        std::lock_guard lock(mutex);
        if (told.insert(where).second) {
            logLine("Error in a sound server callback (%s); the request failed\n", where);
        }
    } catch (...) {
        // Nothing left to tell it with: the request is marked failed all the same.
    }
}

}  // namespace quavelink
