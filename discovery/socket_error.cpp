#include "discovery/socket_error.h"

#include <cerrno>

#include "platform/log.h"

namespace quavelink {

void reportSocketError(const char* message, int error) {
    logLine("%s, errno = 0x%x, GetLastError() = 0x%x\n", message, static_cast<unsigned>(error),
            static_cast<unsigned>(error));
}

void reportSocketError(const char* message) { reportSocketError(message, errno); }

}  // namespace quavelink
