#pragma once

#include <cstdint>
#include <optional>

namespace quavelink {

//! The server port the text `value` of QUAVELINK_SERVER_PORT asks for: its leading decimal
//! number kept to 16 bits ("70000" gives 4464), or nothing when `value` is null or does not
//! start with a digit (a blank, a sign or a letter first).
std::optional<std::uint16_t> portFromEnvironmentText(const char* value);

//! The server port from QUAVELINK_SERVER_PORT, if it sets one.
std::optional<std::uint16_t> portFromEnvironment();

//! Whether the environment variable `name` holds "1" or "on" (in any letter case).
bool environmentSwitchOn(const char* name);

}  // namespace quavelink
