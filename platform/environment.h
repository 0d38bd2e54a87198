#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace quavelink {

//! The server port the text `value` of QUAVELINK_SERVER_PORT asks for: its leading decimal
//! number kept to 16 bits ("70000" gives 4464), or nothing when `value` is null or does not
//! start with a digit (a blank, a sign or a letter first).
std::optional<std::uint16_t> portFromEnvironmentText(const char* value);

//! The server port from QUAVELINK_SERVER_PORT, if it sets one.
std::optional<std::uint16_t> portFromEnvironment();

//! The user's runtime folder for lock files and sockets: $XDG_RUNTIME_DIR, or /tmp when that is
//! unset or empty.
std::string runtimeFolder();

//! Whether the environment variable `name` holds "1" or "on" (in any letter case).
bool environmentSwitchOn(const char* name);

}  // namespace quavelink
