#include "server/connection_status_text.h"

#include "platform/utf8_cut.h"
#include "server/client_name.h"

namespace quavelink {

std::string connectionStatusText(int connectedCount, const char* clientName,
                                 std::string& lastClientName) {
    if (connectedCount <= 0) {
        lastClientName.clear();
        return " Disconnected";
    }
    if (clientName != nullptr) lastClientName = cutUtf8(clientName, kMaxClientNameBytes);
    std::string suffix = connectedCount > 1 ? " (" + std::to_string(connectedCount) + ")" : "";
    return lastClientName.empty() ? " Connected" + suffix
                                  : " Connected to " + lastClientName + suffix;
}

}  // namespace quavelink
