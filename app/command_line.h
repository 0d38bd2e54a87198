#pragma once

#include <functional>
#include <optional>
#include <string>

namespace quavelink {

//! What the command line asks of quavelink-server before any window (or display) is needed.
enum class TerminalRequest { None, Help, Version };

//! Looks for -h/--help and --version anywhere before a "--"; everything else belongs to Qt
//! (-platform, -display, ...) and to the window. Help wins when both are given.
TerminalRequest terminalRequest(int argc, const char* const* argv);

//! The first word before a "--" that is neither one of ours nor one of Qt's options (with its
//! value), or nothing. The program takes no other arguments.
std::optional<std::string> unknownArgument(int argc, const char* const* argv);

//! Looks an environment variable up; null when it is unset.
using EnvironmentLookup = std::function<const char*(const char* name)>;

//! The one line quavelink-server prints before it ends when Qt could open no window (Qt would
//! abort the process): nothing when the platform Qt will use (-platform, else QT_QPA_PLATFORM,
//! else X11 or Wayland) has what it needs (a DISPLAY or -display for X11, a WAYLAND_DISPLAY for
//! Wayland; offscreen and the like need nothing).
std::optional<std::string> missingDisplayLine(int argc, const char* const* argv,
                                              const EnvironmentLookup& environment);

//! The --help text.
const char* serverUsage();

//! The --version line, "quavelink-server VERSION" and a newline.
const char* serverVersionLine();

}  // namespace quavelink
