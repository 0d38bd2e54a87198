#pragma once

#include <string>

namespace quavelink {

//! The connection status text every host shows for `connectedCount` clients: " Disconnected",
//! or " Connected", the name of the client that asked for audio last (`clientName`, cut to
//! kMaxClientNameBytes where no character splits; when it is null, `lastClientName`) and the
//! count when more than one. An empty `clientName` names nobody. Updates `lastClientName`,
//! which the last client's leaving clears.
std::string connectionStatusText(int connectedCount, const char* clientName,
                                 std::string& lastClientName);

}  // namespace quavelink
