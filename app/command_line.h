#pragma once

namespace quavelink {

//! What the command line asks of quavelink-server before any window (or display) is needed.
enum class TerminalRequest { None, Help, Version };

//! Looks for -h/--help and --version anywhere before a "--"; everything else belongs to Qt
//! (-platform, -display, ...) and to the window. Help wins when both are given.
TerminalRequest terminalRequest(int argc, const char* const* argv);

//! The --help text.
const char* serverUsage();

//! The --version line, "quavelink-server VERSION" and a newline.
const char* serverVersionLine();

}  // namespace quavelink
