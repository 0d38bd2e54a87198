#include "app/status_display.h"

#include <cstdio>

#include "quavelink_version.h"
#include "server/connection_status_text.h"

namespace quavelink {

ConnectionStatusView ConnectionStatus::update(int clientCount, const char* clientName) {
    std::string text = connectionStatusText(clientCount, clientName, lastName);
    if (clientCount <= 0) return {text, kDisconnectedColor, kDisconnectedIconId};
    return {text, kConnectedColor, kConnectedIconId};
}

std::string formatAddressText(const std::uint8_t (&bytes)[4]) {
    if (bytes[0] == 127) return " (Unknown)";
    char text[32];
    std::snprintf(text, sizeof text, " %d.%d.%d.%d", bytes[0], bytes[1], bytes[2], bytes[3]);
    return text;
}

std::string versionTextFor(int major, int minor, int patch, int tweak) {
    char text[64];
    if (tweak != 0) {
        std::snprintf(text, sizeof text, "%d.%d.%d.%d", major, minor, patch, tweak);
    } else if (patch != 0) {
        std::snprintf(text, sizeof text, "%d.%d.%d", major, minor, patch);
    } else {
        std::snprintf(text, sizeof text, "%d.%d", major, minor);
    }
    return text;
}

std::string programVersionText() {
    return versionTextFor(QUAVELINK_VERSION_MAJOR, QUAVELINK_VERSION_MINOR, QUAVELINK_VERSION_PATCH,
                          QUAVELINK_VERSION_TWEAK + 0);
}

}  // namespace quavelink
