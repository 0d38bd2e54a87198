#include "environment.h"

#include <strings.h>

#include <cstdlib>
#include <cstring>

namespace quavelink {

std::optional<std::uint16_t> portFromEnvironmentText(const char* value) {
    if (value == nullptr || *value < '0' || *value > '9') return std::nullopt;
    std::uint32_t number = 0;
    for (const char* c = value; *c >= '0' && *c <= '9'; ++c) {
        // Only the low 16 bits matter, so the number may wrap freely while it is read.
        number = number * 10 + static_cast<std::uint32_t>(*c - '0');
    }
    return static_cast<std::uint16_t>(number & 0xFFFF);
}

std::optional<std::uint16_t> portFromEnvironment() {
    return portFromEnvironmentText(std::getenv("QUAVELINK_SERVER_PORT"));
}

bool environmentSwitchOn(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && (strcmp(value, "1") == 0 || strcasecmp(value, "on") == 0);
}

std::string runtimeFolder() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    return runtime != nullptr && runtime[0] != '\0' ? runtime : "/tmp";
}

}  // namespace quavelink
